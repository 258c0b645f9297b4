// SPDX-License-Identifier: MIT
/* The fallbacks the dispatch chooses on processors without SSE2: plain C,
 * a 4-byte word at a time where that stays simple (the searches for one
 * byte value, the fills), a byte or a character at a time elsewhere.
 *
 * They keep the routines' rules on memory: a read never leaves the aligned
 * word that holds a byte the routine must read, so it never touches a page
 * the operand has no byte in; a write never leaves the result.  Counts and
 * bounds are counted down, never added to a pointer, so one that reaches
 * past the top of the address space is harmless when the search stops
 * before it.  Nothing here calls a library routine: the build forbids GCC
 * to turn a loop into one. */
#include "dispatch/generic.h"

#include <stddef.h>
#include <stdint.h>

typedef uint32_t word;
/* The same word, allowed to alias the bytes it is read from or stored to. */
typedef uint32_t __attribute__((may_alias)) aliased_word;

enum { kWordSize = sizeof(word) };
static const word kLowBits = 0x01010101u;
static const word kHighBits = 0x80808080u;

static inline int word_aligned(const void *p) { return (uintptr_t)p % kWordSize == 0; }

/* `byte` in every byte of a word. */
static inline word broadcast(unsigned char byte) { return kLowBits * byte; }

/* Nonzero when some byte of `w` is zero.  Exact: a byte borrows into the
 * high bit only when it is zero or a lower byte borrowed, and the lowest
 * zero byte stops the borrows below it from mattering. */
static inline int has_zero_byte(word w) { return ((w - kLowBits) & ~w & kHighBits) != 0; }

static inline word load_word(const unsigned char *p) { return *(const aliased_word *)p; }

/* The first byte equal to `byte` of the `count` bytes from `p`, or null:
 * bytes up to a word boundary, then whole words while one fits, then the
 * bytes of the last part word. */
static const unsigned char *find_byte(const unsigned char *p, unsigned char byte, size_t count) {
  for (; count > 0 && !word_aligned(p); --count, ++p) {
    if (*p == byte) return p;
  }
  const word pattern = broadcast(byte);
  for (; count >= kWordSize && !has_zero_byte(load_word(p) ^ pattern); count -= kWordSize) {
    p += kWordSize;
  }
  for (; count > 0; --count, ++p) {
    if (*p == byte) return p;
  }
  return NULL;
}

void *__memchr_generic(const void *start, int value, size_t count) {
  return (void *)find_byte(start, (unsigned char)value, count);
}

size_t __strnlen_generic(const char *string, size_t bound) {
  const unsigned char *terminator = find_byte((const unsigned char *)string, 0, bound);
  return terminator ? (size_t)(terminator - (const unsigned char *)string) : bound;
}

char *__strrchr_generic(const char *string, int value) {
  const unsigned char byte = (unsigned char)value;
  const unsigned char *last = NULL;
  for (const unsigned char *p = (const unsigned char *)string;; ++p) {
    if (*p == byte) last = p;
    if (*p == 0) return (char *)last;
  }
}

char *__stpcpy_generic(char *restrict destination, const char *restrict source) {
  while ((*destination = *source) != 0) {
    ++destination;
    ++source;
  }
  return destination;
}

int __wcscmp_generic(const wchar_t *first, const wchar_t *second) {
  for (; *first == *second; ++first, ++second) {
    if (*first == 0) return 0;
  }
  return *first < *second ? -1 : 1;
}

/* Sets the `count` bytes from `p` to `byte`: bytes up to a word boundary,
 * whole words, then the bytes of the last part word. */
static void fill(unsigned char *p, unsigned char byte, size_t count) {
  for (; count > 0 && !word_aligned(p); --count) *p++ = byte;
  const word pattern = broadcast(byte);
  for (; count >= kWordSize; count -= kWordSize, p += kWordSize) *(aliased_word *)p = pattern;
  for (; count > 0; --count) *p++ = byte;
}

void *__memset_generic(void *destination, int value, size_t count) {
  fill(destination, (unsigned char)value, count);
  return destination;
}

void __bzero_generic(void *destination, size_t count) { fill(destination, 0, count); }
