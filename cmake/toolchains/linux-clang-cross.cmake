# What the Clang cross targets share: Debian's cross libraries for the
# triple in curvedump_triple, linked statically and run under qemu-user
# (curvedump_emulator), GoogleTest built from source for the target.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${curvedump_triple})
set(CMAKE_CXX_COMPILER_TARGET ${curvedump_triple})
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_FIND_ROOT_PATH /usr/${curvedump_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${curvedump_emulator})
set(CURVEDUMP_GTEST_FROM_SOURCE ON CACHE BOOL "" FORCE)
