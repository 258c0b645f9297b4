# SPDX-License-Identifier: MIT
# The i386 toolchain with the release's Clang in place of GCC (make
# test-clang): it builds the tests and assembles the modules from gen/.
include(${CMAKE_CURRENT_LIST_DIR}/i386-toolchain.cmake)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_ASM_COMPILER clang)
