// The seven exported routines, with the C types callers link against.
#pragma once

#include <stddef.h>
#include <wchar.h>

extern "C" {
void* __memchr_sse2(const void* start, int value, size_t count);
size_t __strnlen_sse2(const char* string, size_t bound);
char* __strrchr_sse2(const char* string, int value);
char* __stpcpy_sse2(char* destination, const char* source);
int __wcscmp_sse2(const wchar_t* first, const wchar_t* second);
void* __memset_sse2_rep(void* destination, int value, size_t count);
void __bzero_sse2_rep(void* destination, size_t count);
}
