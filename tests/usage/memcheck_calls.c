// SPDX-License-Identifier: MIT
/* Run under valgrind memcheck by run_memcheck.py.
 *
 *   memcheck_calls correct     every routine, used correctly
 *                              on heap buffers of every small size and
 *                              start offset, so that its reads past the end
 *                              of the operand (inside the operand's aligned
 *                              blocks and lines) all happen;
 *   memcheck_calls list        the misuses below: name, the function that
 *                              must be blamed, and memcheck's wording;
 *   memcheck_calls NAME        one misuse: caller errors memcheck must
 *                              still report with the suppression file;
 *                              fails if a case adds no error to memcheck's
 *                              count;
 *   memcheck_calls every-part  operands memcheck holds undefined, and fills
 *                              one byte past the end, all from
 *                              misuse_every_part, so that memcheck reports
 *                              from every part of every routine, on each
 *                              of the fills' paths.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <valgrind/memcheck.h>

#include "sse2str.h"

/* Covers the first block, the aligned passes, the line loop and every tail
   length of the search routines. */
enum { kMaxSize = 200, kMaxOffset = 16 };

/* Fill sizes: every size up to kMaxSize (the short table, the tail table,
   the block loop), then two far beyond any data cache (the string store). */
enum { kFillSizes = kMaxSize + 2 };
static size_t fill_size(size_t k) {
  return k < kMaxSize ? k + 1 : (size_t)1 << (16 + 4 * (k - kMaxSize));
}

static volatile unsigned long sink;

static char *filled(size_t size, char byte) {
  char *p = malloc(size);
  for (size_t i = 0; i < size; ++i) p[i] = byte;
  return p;
}

/* A heap string of `length` characters, its terminator the buffer's last
   byte. */
static char *heap_string(size_t length) {
  char *p = filled(length + 1, 'a');
  if (length > 0) p[length / 2] = '/';
  p[length] = '\0';
  return p;
}

static wchar_t *heap_wide(size_t length, wchar_t last) {
  wchar_t *p = malloc((length + 1) * sizeof *p);
  for (size_t i = 0; i < length; ++i) p[i] = L'a' + (wchar_t)(i % 26);
  if (length > 0) p[length - 1] = last;
  p[length] = L'\0';
  return p;
}

__attribute__((noinline)) static void correct_use(void) {
  for (size_t size = 1; size <= kMaxSize; ++size) {
    for (size_t offset = 0; offset < kMaxOffset && offset < size; ++offset) {
      const size_t count = size - offset;
      {
        char *p = filled(size, 'a');
        p[size - 1] = 'z';
        sink += (unsigned long)__memchr_sse2(p + offset, 'q', count);
        sink += (unsigned long)__memchr_sse2(p + offset, 'z', count);
        free(p);
      }
      {
        char *s = heap_string(size - 1);
        char *d = malloc(count);
        sink += __strnlen_sse2(s + offset, count);
        sink += __strnlen_sse2(s + offset, (size_t)-1);
        sink += (unsigned long)__strrchr_sse2(s + offset, '/');
        sink += (unsigned long)__strrchr_sse2(s + offset, 'q');
        sink += (unsigned long)__strrchr_sse2(s + offset, 0);
        sink += (unsigned long)__stpcpy_sse2(d, s + offset);
        free(d);
        free(s);
      }
      if (offset < size / 4 + 1) {
        wchar_t *a = heap_wide(size / 4, L'x');
        wchar_t *b = heap_wide(size / 4, L'y');
        sink += (unsigned long)__wcscmp_sse2(a + offset, b + offset);
        sink += (unsigned long)__wcscmp_sse2(a + offset, a + offset);
        free(b);
        free(a);
      }
      {
        char *d = malloc(size);
        sink += (unsigned long)__memset_sse2_rep(d + offset, 'm', count);
        free(d);
      }
      {
        char *d = malloc(size);
        __bzero_sse2_rep(d + offset, count);
        free(d);
      }
    }
  }
  for (size_t k = kMaxSize; k < kFillSizes; ++k) {
    char *d = malloc(fill_size(k));
    sink += (unsigned long)__memset_sse2_rep(d, 'm', fill_size(k));
    __bzero_sse2_rep(d, fill_size(k));
    free(d);
  }
}

/* ---- misuses: genuine caller errors ---------------------------------- */

/* Each misuse is a sweep of cases, each a caller error on its own; the
   driver checks that memcheck counts a new error after every case. */

/* The caller itself reads past a buffer the routine searched: the
   suppressions name only the routines, so this stays an error. */
static void caller_overrun(size_t k) {
  char *p = filled(10 + k, 'a');
  const char *hit = __memchr_sse2(p, 'a', 10 + k);
  sink += (unsigned long)hit + (unsigned char)p[10 + k];
  free(p);
}

/* A bound beyond an unterminated buffer of 1 to 15 bytes: its first 16
   bytes are probed one at a time. */
static void strnlen_unterminated(size_t k) {
  char *p = filled(k + 1, 'a');
  sink += __strnlen_sse2(p, 64);
  free(p);
}

/* A destination one byte short of the string and its terminator, for
   every length through the probes, the block phase and the line loop. */
static void stpcpy_short_destination(size_t k) {
  char *s = heap_string(k + 1);
  char *d = malloc(k + 1);
  sink += (unsigned long)__stpcpy_sse2(d, s);
  free(d);
  free(s);
}

/* A wide string of 1 to 3 characters without its terminator, compared with
   a longer one it starts: the first four characters are probed one at a
   time. */
static void wcscmp_unterminated(size_t k) {
  wchar_t *a = malloc((k + 1) * sizeof *a);
  wchar_t *b = heap_wide(k + 8, L'a');
  for (size_t i = 0; i <= k; ++i) a[i] = b[i];
  sink += (unsigned long)__wcscmp_sse2(a, b);
  free(b);
  free(a);
}

/* A count one beyond the buffer, through every size class. */
static void memset_past_end(size_t k) {
  char *d = malloc(fill_size(k));
  sink += (unsigned long)__memset_sse2_rep(d, 'm', fill_size(k) + 1);
  free(d);
}

static void bzero_past_end(size_t k) {
  char *d = malloc(fill_size(k));
  __bzero_sse2_rep(d, fill_size(k) + 1);
  free(d);
}

/* ---- reports from every part of every routine ------------------------ */

/* Long enough to take every routine past its first stage, into its loops
   and its tail. */
enum { kPartsSize = 300 };

/* Bytes with the content `byte` (and a terminator at the end) that memcheck
   holds undefined: the routine runs its usual path, and every decision it
   takes on them is reported where it is taken. */
static char *undefined_bytes(size_t size, char byte) {
  char *p = filled(size, byte);
  p[size - 1] = '\0';
  VALGRIND_MAKE_MEM_UNDEFINED(p, size);
  return p;
}

static wchar_t *undefined_wide(size_t length) {
  wchar_t *p = heap_wide(length, L'x');
  VALGRIND_MAKE_MEM_UNDEFINED(p, (length + 1) * sizeof *p);
  return p;
}

__attribute__((noinline)) static void misuse_every_part(void) {
  char *p = undefined_bytes(kPartsSize, 'a');
  char *d = malloc(kPartsSize);
  sink += (unsigned long)__memchr_sse2(p + 3, 'z', kPartsSize - 3);
  sink += __strnlen_sse2(p + 3, kPartsSize);
  sink += (unsigned long)__strrchr_sse2(p + 3, 'z');
  sink += (unsigned long)__stpcpy_sse2(d, p + 3);
  free(d);
  free(p);
  wchar_t *a = undefined_wide(kPartsSize / 4);
  wchar_t *b = undefined_wide(kPartsSize / 4);
  sink += (unsigned long)__wcscmp_sse2(a, b);
  free(b);
  free(a);
  /* Fills one byte past the end of their buffers, from its second byte:
     short, medium, the block loop, and the string store, whose last word
     (988 bytes remain after the head store) is the one that overruns. */
  static const struct {
    size_t size;
    unsigned cache_size; /* sends the large ones to a path of their choice */
  } fills[] = {{7, 0}, {100, 0}, {1000, 1u << 20}, {1003, 0}};
  const unsigned saved = __x86_data_cache_size;
  for (size_t i = 0; i < sizeof fills / sizeof fills[0]; ++i) {
    __x86_data_cache_size = fills[i].cache_size;
    d = malloc(fills[i].size);
    sink += (unsigned long)__memset_sse2_rep(d + 1, 'm', fills[i].size);
    __bzero_sse2_rep(d + 1, fills[i].size);
    free(d);
  }
  __x86_data_cache_size = saved;
}

struct misuse {
  const char *name;
  void (*run)(size_t k);
  size_t cases;
  const char *blamed; /* function memcheck must name at the error */
  const char *report; /* the start of memcheck's error message */
};

static const struct misuse misuses[] = {
    {"caller-overrun", caller_overrun, 4, "caller_overrun", "Invalid read"},
    {"strnlen-unterminated", strnlen_unterminated, 15, "strnlen_sse2", "Invalid read"},
    {"stpcpy-short-destination", stpcpy_short_destination, kMaxSize, "stpcpy_sse2",
     "Invalid write"},
    {"wcscmp-unterminated", wcscmp_unterminated, 3, "wcscmp_sse2", "Invalid read"},
    {"memset-past-end", memset_past_end, kFillSizes, "memset_sse2_rep", "Invalid write"},
    {"bzero-past-end", bzero_past_end, kFillSizes, "bzero_sse2_rep", "Invalid write"},
};

/* Runs every case of a misuse; 0 when each was reported. */
static int run_misuse(const struct misuse *m) {
  int hidden = 0;
  for (size_t k = 0; k < m->cases; ++k) {
    const unsigned before = VALGRIND_COUNT_ERRORS;
    m->run(k);
    if (VALGRIND_COUNT_ERRORS == before) {
      fprintf(stderr, "%s: case %zu not reported\n", m->name, k);
      hidden = 1;
    }
  }
  return hidden;
}

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s correct|every-part|list|MISUSE\n", argv[0]);
    return 2;
  }
  if (strcmp(argv[1], "correct") == 0) {
    correct_use();
    return 0;
  }
  if (strcmp(argv[1], "every-part") == 0) {
    misuse_every_part();
    return 0;
  }
  for (size_t i = 0; i < sizeof misuses / sizeof misuses[0]; ++i) {
    if (strcmp(argv[1], "list") == 0) {
      printf("%s\t%s\t%s\n", misuses[i].name, misuses[i].blamed, misuses[i].report);
    } else if (strcmp(argv[1], misuses[i].name) == 0) {
      return run_misuse(&misuses[i]);
    }
  }
  return strcmp(argv[1], "list") == 0 ? 0 : 2;
}
