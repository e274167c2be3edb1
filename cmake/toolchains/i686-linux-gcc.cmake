# 32-bit x86 Linux with GCC -m32: intermediates may live in x87 registers
# (FLT_EVAL_METHOD 2). Linked statically and run under qemu-i386, since a
# kernel need not run 32-bit programs (the CI machine's does not); QEMU
# emulates the x87 unit with 80-bit software floating point.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32 -static")
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-i386)
set(CURVEDUMP_GTEST_FROM_SOURCE ON CACHE BOOL "" FORCE)
