// SPDX-License-Identifier: MIT
// Realistic mixes: sequences of calls whose sizes and positions are drawn
// from real data with a fixed seed, so that every candidate sees the same
// sequence and the branch predictor cannot learn it.  One measurement runs a
// whole sequence; its time divided by the number of calls is the time per
// call.
//
//   memset, bzero   sizes drawn from the fleet-measured size distributions
//                   (bench/data/size-distributions), destinations at random
//                   offsets
//   memchr          the next newline in real text, line after line
//   strnlen         real words, with bounds above and below their length
//   strrchr         the last '/' of real path names
//   stpcpy          real words, and real paths, copied one after another
//   wcscmp          neighbours in a sorted list of real words as wide
//                   strings, random pairs of them, and strings that differ at
//                   a random position in each of the seven pass layouts
//
// The text is the licence texts under /usr/share/common-licenses, the paths
// those under /usr/share: both are on every Debian machine.
#pragma once

#include <stddef.h>

#include <string>
#include <vector>

#include "workloads.h"

namespace bench {

struct Mix {
  std::string routine;      // "memset"
  std::string name;         // "GoogleA"
  std::string description;  // one line for the report
  std::vector<Operands> calls;
  double bytes = 0;  // the bytes all calls process together
};

// What the mixes were drawn from.
struct Corpus {
  size_t files = 0;
  size_t lines = 0;           // lines of text searched
  size_t words = 0;           // words of the text
  size_t distinct_words = 0;  // the sorted list
  size_t paths_found = 0;     // path names under /usr/share
  size_t paths = 0;           // the ones drawn from
};

// Every mix, `calls` calls each at most; the distributions are read from
// `distributions` (a directory).  Mixes whose data cannot be had are left out
// with a message on stderr.
std::vector<Mix> make_mixes(const std::string& distributions, size_t calls, Corpus* corpus);

}  // namespace bench
