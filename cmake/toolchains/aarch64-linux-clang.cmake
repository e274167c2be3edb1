# 64-bit Arm Linux with Clang and Debian's arm64 cross libraries, linked
# statically and run under qemu-user: 128-bit long double, other NaN rules,
# unsigned char.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(curvedump_triple aarch64-linux-gnu)
set(curvedump_emulator qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-clang-cross.cmake)
