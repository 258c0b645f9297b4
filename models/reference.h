// SPDX-License-Identifier: MIT
// Reference models: the plainest loops that do each routine's job.  The
// tests compare the routines with them, and the benchmark times them as the
// plain byte loop.  Both build them so that GCC cannot turn them back into
// calls to the platform's own routines, and check the objects for such calls
// (tests/CMakeLists.txt, bench/CMakeLists.txt).
#pragma once

#include <stddef.h>
#include <wchar.h>

namespace ref {

const void* memchr(const void* start, int value, size_t count);
size_t strnlen(const char* string, size_t bound);
const char* strrchr(const char* string, int value);
char* stpcpy(char* destination, const char* source);
int wcscmp(const wchar_t* first, const wchar_t* second);  // -1, 0 or +1
void* memset(void* destination, int value, size_t count);
void bzero(void* destination, size_t count);

}  // namespace ref
