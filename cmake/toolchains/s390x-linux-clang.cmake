# 64-bit IBM Z Linux with Clang and Debian's s390x cross libraries, linked
# statically and run under qemu-user: a big-endian target, so the whole
# suite shows that decoding does not depend on the host's byte order.
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(curvedump_triple s390x-linux-gnu)
set(curvedump_emulator qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-clang-cross.cmake)
