// SPDX-License-Identifier: MIT
/* sse2str: string and memory routines for 32-bit x86 with SSE2.
 *
 * Each routine does the job of the standard routine it is named after and
 * gives exactly its result.  They are i386 code that needs an SSE2
 * processor at run time; callers need no SSE2 code themselves.  Link the
 * modules statically into a program that is not position-independent
 * (-no-pie or -static).
 *
 * The routines come in two configurations with these same declarations:
 * without a profiling hook (libsse2str.a, <module>.o), which ordinary
 * programs link, and calling _mcount on entry (libsse2str_p.a,
 * <module>_p.o), for programs built with gcc -pg.
 *
 * The search, copy and compare routines read whole aligned 16-byte blocks
 * and 64-byte lines that hold a byte of their operand, so they may read a
 * few bytes outside it (never across a page that holds none of it); the
 * bytes read never reach the result.  They never write outside the result.
 */
#ifndef SSE2STR_H
#define SSE2STR_H

#if !defined(__i386__)
#error "sse2str: the routines are 32-bit x86 code; build this program with -m32"
#endif

/* The release these declarations belong to: the header that the build
   installs defines SSE2STR_VERSION_MAJOR, SSE2STR_VERSION_MINOR and
   SSE2STR_VERSION_PATCH here, from the project's version. */

#include <stddef.h>
#include <wchar.h>

#ifdef __cplusplus
extern "C" {
#endif

/* memchr: the first of the first `count` bytes from `start` equal to
   (unsigned char)value, or null. */
void *__memchr_sse2(const void *start, int value, size_t count);

/* strnlen: the length of `string`, or `bound` if no terminator lies in its
   first `bound` bytes. */
size_t __strnlen_sse2(const char *string, size_t bound);

/* strrchr: the last occurrence of (unsigned char)value in `string`, the
   terminator included (a value of 0 finds it), or null. */
char *__strrchr_sse2(const char *string, int value);

/* stpcpy: copies `source` with its terminator to `destination` and returns
   the address of the copied terminator.  The strings must not overlap. */
char *__stpcpy_sse2(char *__restrict destination, const char *__restrict source);

/* wcscmp: -1, 0 or +1 as `first` orders before, equal to or after `second`,
   comparing characters as (signed) wchar_t values. */
int __wcscmp_sse2(const wchar_t *first, const wchar_t *second);

/* memset: sets `count` bytes from `destination` to (unsigned char)value and
   returns `destination`. */
void *__memset_sse2_rep(void *destination, int value, size_t count);

/* bzero: sets `count` bytes from `destination` to zero. */
void __bzero_sse2_rep(void *destination, size_t count);

/* Data-cache size in bytes, read by the two fill routines to decide when a
   fill is large enough for the processor's string store.  Defined outside
   the routines (x86_cache_size.o provides one); any value is correct, it
   only picks the technique. */
extern unsigned int __x86_data_cache_size;

#ifdef __cplusplus
}
#endif

#endif /* SSE2STR_H */
