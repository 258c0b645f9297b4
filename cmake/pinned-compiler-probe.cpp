// SPDX-License-Identifier: MIT
// What the generated objects' sources include, compiled for i386 by the
// pinned compiler at configure time: the 32-bit C++ headers are those of
// its multilib package.
#include <cpuid.h>
#include <emmintrin.h>
#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <type_traits>
