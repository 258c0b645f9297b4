# SPDX-License-Identifier: MIT
# The i386 toolchain with Clang 14 in place of GCC (make test-clang).
include(${CMAKE_CURRENT_LIST_DIR}/i386-toolchain.cmake)
set(CMAKE_C_COMPILER clang-14)
set(CMAKE_CXX_COMPILER clang++-14)
set(CMAKE_ASM_COMPILER clang-14)
