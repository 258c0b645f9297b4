// SPDX-License-Identifier: MIT
/* Calls the seven standard routines by their standard names, each a number
   of times of its own (CALLS_<name>), and checks each result.  Built with
   interposition, every call reaches the routine and the counting hook
   reports exactly these numbers. */
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <wchar.h>

#define CALLS_memchr 1
#define CALLS_strnlen 2
#define CALLS_strrchr 3
#define CALLS_stpcpy 4
#define CALLS_wcscmp 5
#define CALLS_memset 6
#define CALLS_bzero 7

static int failures;

static void expect(int ok, const char *what, int round) {
  if (!ok) {
    printf("wrong result: %s (call %d)\n", what, round);
    ++failures;
  }
}

int main(void) {
  static const char text[] = "a/path/to/some/file.txt";
  static const wchar_t wide[] = L"wide";
  static const wchar_t wider[] = L"wider";
  char buffer[64];

  for (int i = 0; i < CALLS_memchr; ++i)
    expect(memchr(text, 'f', sizeof text) == text + 15, "memchr", i);
  for (int i = 0; i < CALLS_strnlen; ++i) expect(strnlen(text, 8 + i) == 8u + i, "strnlen", i);
  for (int i = 0; i < CALLS_strrchr; ++i) expect(strrchr(text, '/') == text + 14, "strrchr", i);
  for (int i = 0; i < CALLS_stpcpy; ++i)
    expect(stpcpy(buffer, text + i) == buffer + sizeof text - 1 - i, "stpcpy", i);
  for (int i = 0; i < CALLS_wcscmp; ++i)
    expect(i % 2 ? wcscmp(wider, wider) == 0 : wcscmp(wide, wider) < 0, "wcscmp", i);
  for (int i = 0; i < CALLS_memset; ++i)
    expect(memset(buffer, 'x', sizeof buffer) == buffer && buffer[sizeof buffer - 1] == 'x',
           "memset", i);
  for (int i = 0; i < CALLS_bzero; ++i) {
    bzero(buffer + i, sizeof buffer - i);
    expect(buffer[i] == 0 && buffer[sizeof buffer - 1] == 0, "bzero", i);
  }
  if (failures == 0) printf("standard names: all results right\n");
  return failures != 0;
}
