// SPDX-License-Identifier: MIT
#include "models/reference.h"

namespace ref {

const void* memchr(const void* start, int value, size_t count) {
  const unsigned char* p = static_cast<const unsigned char*>(start);
  for (size_t i = 0; i < count; ++i)
    if (p[i] == static_cast<unsigned char>(value)) return p + i;
  return nullptr;
}

size_t strnlen(const char* string, size_t bound) {
  size_t n = 0;
  while (n < bound && string[n] != '\0') ++n;
  return n;
}

const char* strrchr(const char* string, int value) {
  const char* last = nullptr;
  for (const char* p = string;; ++p) {
    if (static_cast<unsigned char>(*p) == static_cast<unsigned char>(value)) last = p;
    if (*p == '\0') return last;
  }
}

char* stpcpy(char* destination, const char* source) {
  while ((*destination = *source) != '\0') {
    ++destination;
    ++source;
  }
  return destination;
}

int wcscmp(const wchar_t* first, const wchar_t* second) {
  for (size_t k = 0;; ++k) {
    const long a = first[k];
    const long b = second[k];
    if (a != b) return a > b ? 1 : -1;
    if (a == 0) return 0;
  }
}

void* memset(void* destination, int value, size_t count) {
  unsigned char* p = static_cast<unsigned char*>(destination);
  for (size_t i = 0; i < count; ++i) p[i] = static_cast<unsigned char>(value);
  return destination;
}

void bzero(void* destination, size_t count) { ref::memset(destination, 0, count); }

}  // namespace ref
