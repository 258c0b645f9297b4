// SPDX-License-Identifier: MIT
#ifndef BYTES_H
#define BYTES_H

#include <stddef.h>

/* The number of bytes equal to c among the n at bytes. */
size_t count_byte(const void *bytes, int c, size_t n);

#endif
