// SPDX-License-Identifier: MIT
/* lsbase: lists paths by their last component.
 *
 *   find /usr/share/doc -name 'README*' | lsbase
 *
 * Reads one path a line and prints, for each, its last component, padding
 * to the column of the widest one, and the directory it lies in ("." when
 * there is none); sorted by last component regardless of case, in the
 * character set of the locale.  A component wider than NAME_MAX columns is
 * printed whole but does not widen the column further. */
#define _XOPEN_SOURCE 700 /* wcswidth */
#include <limits.h>
#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>
#include <wctype.h>

#include "sse2str.h"

enum { kGap = 2 }; /* spaces between the name column and the directory */

struct entry {
  const char *name; /* last component */
  const char *dir;  /* the path in front of it */
  size_t width;     /* columns the name takes in its column */
  size_t line;      /* input order, to keep equal names in it */
  wchar_t *key;     /* the name in lower case, for sorting */
};

static void *checked(void *p) {
  if (p == NULL) {
    perror("lsbase");
    exit(EXIT_FAILURE);
  }
  return p;
}

/* All of standard input, with room for a terminator after it. */
static char *read_all(size_t *size) {
  size_t capacity = 1 << 16, used = 0, got;
  char *text = checked(malloc(capacity + 1));
  while ((got = fread(text + used, 1, capacity - used, stdin)) > 0) {
    used += got;
    if (used == capacity) text = checked(realloc(text, (capacity *= 2) + 1));
  }
  if (ferror(stdin)) checked(NULL);
  *size = used;
  return text;
}

/* The name as wide characters folded to lower case; a byte that starts no
   valid character of the locale stands for itself. */
static wchar_t *sort_key(const char *name, size_t length) {
  wchar_t *key = checked(malloc((length + 1) * sizeof *key));
  wchar_t *out = key;
  mbstate_t state;
  __bzero_sse2_rep(&state, sizeof state);
  while (length > 0) {
    wchar_t c;
    size_t used = mbrtowc(&c, name, length, &state);
    if (used == (size_t)-1 || used == (size_t)-2 || used == 0) {
      c = (unsigned char)*name;
      used = 1;
      __bzero_sse2_rep(&state, sizeof state);
    }
    *out++ = (wchar_t)towlower((wint_t)c);
    name += used;
    length -= used;
  }
  *out = L'\0';
  return key;
}

/* Columns the name takes on a terminal: its bytes if it holds a character
   that cannot be shown. */
static size_t columns(const wchar_t *key, size_t length) {
  int width = wcswidth(key, length);
  size_t shown = width < 0 ? length : (size_t)width;
  return shown < NAME_MAX ? shown : NAME_MAX;
}

static int by_key(const void *a, const void *b) {
  const struct entry *x = a, *y = b;
  int order = __wcscmp_sse2(x->key, y->key);
  return order != 0 ? order : (x->line > y->line) - (x->line < y->line);
}

/* Splits the line at its last '/', in place; `end` is where the line
   ended (a line may hold a zero byte, which ends its string early). */
static struct entry split(char *path, const char *end, size_t line) {
  struct entry e = {path, ".", 0, line, NULL};
  char *slash = __strrchr_sse2(path, '/');
  size_t length;
  if (slash != NULL) {
    e.name = slash + 1;
    e.dir = slash == path ? "/" : path;
    *slash = '\0';
  }
  length = __strnlen_sse2(e.name, (size_t)(end - e.name));
  e.key = sort_key(e.name, length);
  e.width = columns(e.key, length);
  return e;
}

int main(void) {
  size_t size, count = 0, capacity = 256, widest = 0, longest_line = 0;
  char *text, *p, *end;
  struct entry *entries = checked(malloc(capacity * sizeof *entries));

  setlocale(LC_ALL, "");
  text = read_all(&size);
  end = text + size;

  /* Each line becomes a string where it lies. */
  for (p = text; p < end; ++count) {
    char *newline = __memchr_sse2(p, '\n', (size_t)(end - p));
    char *line_end = newline != NULL ? newline : end;
    *line_end = '\0';
    if ((size_t)(line_end - p) > longest_line) longest_line = (size_t)(line_end - p);
    if (count == capacity) entries = checked(realloc(entries, (capacity *= 2) * sizeof *entries));
    entries[count] = split(p, line_end, count);
    if (entries[count].width > widest) widest = entries[count].width;
    p = line_end + 1;
  }
  qsort(entries, count, sizeof *entries, by_key);

  {
    /* Name and directory take at most the line and a one-byte "." or "/";
       then the padding, and the newline where stpcpy left a terminator. */
    char *row = checked(malloc(longest_line + 1 + widest + kGap + 1));
    for (size_t i = 0; i < count; ++i) {
      char *at = __stpcpy_sse2(row, entries[i].name);
      size_t pad = kGap + widest - entries[i].width;
      __memset_sse2_rep(at, ' ', pad);
      at = __stpcpy_sse2(at + pad, entries[i].dir);
      *at++ = '\n';
      fwrite(row, 1, (size_t)(at - row), stdout);
      free(entries[i].key);
    }
    free(row);
  }
  free(entries);
  free(text);
  return fflush(stdout) == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}
