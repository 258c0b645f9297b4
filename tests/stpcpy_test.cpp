// __stpcpy_sse2 against the reference model, with source and destination
// each against inaccessible pages.
#include <algorithm>
#include <string>
#include <vector>

#include "check.h"
#include "frame_suite.h"
#include "reference.h"
#include "routines.h"

namespace sse2str::test {
namespace {

using stpcpy_stages::kBlockPhaseBlocks;
using stpcpy_stages::kBlockPhaseReach;

// Bytes around a copy that are checked for stray writes.
constexpr size_t kMargin = 64;

// Ends the `length` string bytes at `source` with a terminator, and junk
// after it (up to `limit`) that a copy must neither store nor stop at.
void terminate(char* source, size_t length, const char* limit, TestRandom& random) {
  source[length] = 0;
  for (char* p = source + length + 1; p < limit && p < source + length + 1 + kMargin; ++p)
    *p = static_cast<char>(random.byte());
}

void lay_out_random_string(char* source, size_t length, const char* limit, TestRandom& random) {
  random.fill_string(source, length);
  terminate(source, length, limit, random);
}

// Where a string of the source starts, relative to the phases of the copy:
// A, the aligned block that holds byte 16, lies `first_block` bytes in
// (1 to 16), and the line loop starts at B, the line that holds A plus the
// block phase's reach.
struct Phases {
  size_t first_block;
  size_t first_line;
};

Phases phases_for(uintptr_t source) {
  const uintptr_t a = (source + kBlockSize) & ~uintptr_t{kBlockSize - 1};
  const uintptr_t b = (a + kBlockPhaseReach) & ~uintptr_t{kLineSize - 1};
  return {a - source, b - source};
}

// A sweep of copies from one set of guarded pages to another.  Every copy
// is checked against the model: the results, and every destination byte
// from kMargin before the destination to kMargin after the terminator's copy
// (clipped to the pages).  Each of those bytes first differs from the source
// byte that would land on it, so a byte left unwritten, or one written
// beyond the terminator, shows.  The first wrong copy or fault ends the
// sweep and is reported with the case that caused it.
class CopySweep {
 public:
  CopySweep(const GuardedPages& from, const GuardedPages& to) : from_(from), to_(to) {}

  // Runs `cases`, which calls copy() for every case and stops when it
  // returns false.
  void run(const std::function<void()>& cases) { expect_no_fault(*this, cases); }

  // Copies the string of `length` bytes laid out at `source` to
  // `destination` and checks the copy.
  bool copy(char* destination, const char* source, size_t length) {
    destination_ = destination;
    source_ = source;
    length_ = length;
    char* const low = std::max(to_.begin(), destination - kMargin);
    char* const high = std::min(to_.end(), destination + length + 1 + kMargin);
    for (char* p = low; p < high; ++p) {
      const char* const from = source + (p - destination);
      *p = static_cast<char>(p >= destination && from < from_.end() ? ~*from : 0x5A);
    }
    std::vector<char> want(low, high);
    char* const want_destination = want.data() + (destination - low);
    const long want_length = ref::stpcpy(want_destination, source) - want_destination;

    const long got_length = __stpcpy_sse2(destination, source) - destination;

    if (got_length != want_length) {
      ADD_FAILURE() << *this << ": result destination + " << got_length << ", want + "
                    << want_length;
      return false;
    }
    const size_t i = first_difference(low, want.data(), want.size());
    if (i < want.size()) {
      ADD_FAILURE() << *this << ": destination byte " << low + i - destination << " is "
                    << +static_cast<unsigned char>(low[i]) << ", want "
                    << +static_cast<unsigned char>(want[i]);
      return false;
    }
    return true;
  }

  // The copy to each destination offset in the block at `to`.
  bool copy_to_every_block_offset(char* to, const char* source, size_t length) {
    for (size_t offset = 0; offset < kBlockSize; ++offset)
      if (!copy(to + offset, source, length)) return false;
    return true;
  }

  // The case in hand, for messages.
  friend std::ostream& operator<<(std::ostream& out, const CopySweep& sweep) {
    const Phases at = phases_for(reinterpret_cast<uintptr_t>(sweep.source_));
    return out << "length " << sweep.length_ << ", source at page offset "
               << (sweep.source_ - sweep.from_.begin()) % page_size() << " (A at +"
               << at.first_block << ", B at +" << at.first_line << "), destination at page offset "
               << (sweep.destination_ - sweep.to_.begin()) % page_size();
  }

 private:
  const GuardedPages& from_;
  const GuardedPages& to_;
  char* destination_ = nullptr;
  const char* source_ = nullptr;
  size_t length_ = 0;
};

// Every length through the first two phases and into the line loop, from
// every source offset in a line to every destination offset in a block.
// The source starts a page after an inaccessible one, the destination
// likewise, so reads in front of the source and writes in front of the
// destination fault.
TEST(Stpcpy, CopiesEveryLengthFromEverySourceToEveryDestinationOffset) {
  GuardedPages from(1), to(1);
  CopySweep sweep(from, to);
  TestRandom random(1);
  constexpr size_t kMaxLength = kBlockSize + kBlockPhaseReach + 2;
  sweep.run([&] {
    for (size_t length = 0; length <= kMaxLength; ++length) {
      for (size_t source_offset = 0; source_offset < kLineSize; ++source_offset) {
        char* const source = from.begin() + source_offset;
        lay_out_random_string(source, length, from.end(), random);
        if (!sweep.copy_to_every_block_offset(to.begin(), source, length)) return;
      }
    }
  });
}

// Terminators on both sides of each phase border, for every source offset:
// the last short string and the first long one, the last byte of A and the
// first after it, the last byte of the block phase and the first of the line
// loop, and every block of the first, second and fourth line.
TEST(Stpcpy, CopiesAcrossEveryPhaseBorder) {
  GuardedPages from(2), to(2);
  CopySweep sweep(from, to);
  TestRandom random(2);
  sweep.run([&] {
    for (size_t source_offset = 0; source_offset < kLineSize; ++source_offset) {
      char* const source = from.begin() + source_offset;
      const Phases at = phases_for(reinterpret_cast<uintptr_t>(source));
      std::vector<size_t> lengths = {kBlockSize - 1,
                                     kBlockSize,
                                     at.first_block + kBlockSize - 1,
                                     at.first_block + kBlockSize,
                                     at.first_block + kBlockPhaseReach - 1,
                                     at.first_block + kBlockPhaseReach};
      for (size_t line : {0, 1, 3})
        for (size_t block = 0; block < kLineSize / kBlockSize; ++block)
          for (size_t position : {0, 1, 7, 8, 14, 15})
            lengths.push_back(at.first_line + line * kLineSize + block * kBlockSize + position);
      for (size_t length : lengths) {
        lay_out_random_string(source, length, from.end(), random);
        if (!sweep.copy_to_every_block_offset(to.begin(), source, length)) return;
      }
    }
  });
}

// Strings of several thousand bytes: the line loop runs many times.
TEST(Stpcpy, CopiesLongStrings) {
  GuardedPages from(4), to(4);
  CopySweep sweep(from, to);
  TestRandom random(3);
  sweep.run([&] {
    for (int round = 0; round < 300; ++round) {
      const size_t length = 1000 + random.below(from.size() - 1000 - 2 * kLineSize);
      char* const source = from.begin() + random.below(kLineSize);
      lay_out_random_string(source, length, from.end(), random);
      if (!sweep.copy(to.begin() + random.below(kLineSize), source, length)) return;
    }
  });
}

// Bytes 0x80 to 0xFF are copied as they are and never taken for the
// terminator: the zero test must treat bytes as unsigned.
TEST(Stpcpy, CopiesBytesWithTheTopBitSetUnchanged) {
  GuardedPages from(1), to(1);
  CopySweep sweep(from, to);
  TestRandom random(4);
  sweep.run([&] {
    for (size_t source_offset = 0; source_offset < kLineSize; ++source_offset) {
      char* const source = from.begin() + source_offset;
      for (size_t length = 0; length <= 300; ++length) {
        for (size_t i = 0; i < length; ++i)
          source[i] = static_cast<char>(0x80 + (i * 37 + source_offset) % 0x80);
        terminate(source, length, from.end(), random);
        if (!sweep.copy(to.begin() + length % kBlockSize, source, length)) return;
      }
    }
  });
}

// A terminator that is the last byte of a page followed by an inaccessible
// one: no read may touch that page.  The lengths run through every phase
// with the source at every offset in its line many times over.
TEST(Stpcpy, ReadsNothingPastTheTerminatorsPage) {
  GuardedPages from(2), to(2);
  CopySweep sweep(from, to);
  TestRandom random(5);
  sweep.run([&] {
    for (size_t length = 0; length <= 1100; ++length) {
      char* const source = from.end() - length - 1;
      lay_out_random_string(source, length, from.end(), random);
      if (!sweep.copy(to.begin() + kLineSize + random.below(kLineSize), source, length)) return;
    }
  });
}

// A source that starts near the end of a page and goes on into the next,
// for short and long strings.
TEST(Stpcpy, CopiesStringsThatCrossAPage) {
  GuardedPages from(2), to(1);
  CopySweep sweep(from, to);
  TestRandom random(6);
  sweep.run([&] {
    char* const page = from.begin() + page_size();
    for (size_t before_page = 1; before_page <= kLineSize + 16; ++before_page) {
      char* const source = page - before_page;
      for (size_t length = 0; length <= 300; ++length) {
        lay_out_random_string(source, length, from.end(), random);
        if (!sweep.copy(to.begin() + random.below(kBlockSize), source, length)) return;
      }
    }
  });
}

// A destination of exactly length + 1 bytes that ends at an inaccessible
// page: nothing after the terminator's copy may be written.
TEST(Stpcpy, WritesNothingPastADestinationOfExactLength) {
  GuardedPages from(1), to(1);
  CopySweep sweep(from, to);
  TestRandom random(7);
  sweep.run([&] {
    for (size_t length = 0; length <= 300; ++length) {
      for (size_t source_offset = 0; source_offset < kLineSize; ++source_offset) {
        char* const source = from.begin() + source_offset;
        lay_out_random_string(source, length, from.end(), random);
        if (!sweep.copy(to.end() - length - 1, source, length)) return;
      }
    }
  });
}

// Calls that take each path of the routine, for the frame checks.  Every
// case has a source and a destination region of its own.
std::vector<FrameCase> frame_cases() {
  constexpr size_t kRegion = kBlockSize + kBlockPhaseReach + 6 * kLineSize;
  constexpr size_t kCases = 11;
  alignas(64) static char sources[kCases][kRegion];
  alignas(64) static char destinations[kCases][kRegion];
  size_t next = 0;
  std::vector<FrameCase> cases;
  // `length` maps the source's phases to the length that reaches the path.
  auto add = [&](const std::string& label, size_t source_offset, auto length) {
    char* const source = sources[next] + source_offset;
    char* const destination = destinations[next] + 3;
    ++next;
    const size_t n = length(phases_for(reinterpret_cast<uintptr_t>(source)));
    for (size_t i = 0; i < n; ++i) source[i] = static_cast<char>('a' + i % 26);
    source[n] = 0;
    FrameCase c{label, {word(destination), word(source)}, word(destination + n)};
    if (n < kBlockSize) c.max_saved_words = 0;  // short strings save no register
    cases.push_back(c);
  };
  add("empty string", 0, [](Phases) { return 0; });
  add("short string", 1, [](Phases) { return 7; });
  add("longest short string", 5, [](Phases) { return 15; });
  add("terminator first in A", 0, [](Phases) { return 16; });
  add("terminator later in A", 3, [](Phases at) { return at.first_block + 9; });
  add("terminator in the block phase", 7,
      [](Phases at) { return at.first_block + (kBlockPhaseBlocks + 1) / 2 * kBlockSize + 2; });
  add("terminator in block 3 of the first line", 9, [](Phases at) { return at.first_line + 50; });
  for (size_t block = 0; block < 4; ++block) {
    add("terminator in block " + std::to_string(block) + " of a later line", 11 + block,
        [block](Phases at) { return at.first_line + 2 * kLineSize + block * kBlockSize + 6; });
  }
  return cases;
}

SSE2STR_FRAME_TESTS(StpcpyFrame, __stpcpy_sse2, frame_cases)

}  // namespace
}  // namespace sse2str::test
