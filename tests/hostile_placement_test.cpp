// SPDX-License-Identifier: MIT
// Placements no ordinary caller would choose, for every routine:
// operands at the very top of what a 32-bit process can map, counts and
// bounds that wrap past the top of the address space, and operands that end
// at each of the 64 offsets of the line in front of an inaccessible page.
#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/mman.h>

#include <sstream>
#include <string>

#include "check.h"
#include "routine_table.h"

namespace sse2str::test {
namespace {

constexpr uint64_t kAddressSpaceEnd = uint64_t{1} << 32;

// How far below the top to look for free pages before giving up.
constexpr uint64_t kTopSearchSpan = uint64_t{64} << 20;

// The highest page a 32-bit process can map, with an inaccessible page
// under it.  A 32-bit process on a 64-bit x86 kernel owns the address space
// up to 0xFFFFE000: fixed mappings above that fail with ENOMEM, and nothing
// at all is mapped there, so a read past the page faults.  Pages are asked
// for from the top of the 4 GiB space downwards with MAP_FIXED_NOREPLACE,
// which also skips anything the process already has there (with address
// space randomisation the stack lies lower, but it may on rare runs take
// the top pages).
class TopPage {
 public:
  TopPage() {
    const size_t page = page_size();
    for (uint64_t end = kAddressSpaceEnd; end >= kAddressSpaceEnd - kTopSearchSpan; end -= page) {
      const uintptr_t base = static_cast<uintptr_t>(end - 2 * page);
      void* want = reinterpret_cast<void*>(base);
      void* got =
          mmap(want, 2 * page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
      if (got == MAP_FAILED) {
        refusals_ << std::hex << end - page << ": " << strerror(errno) << "; ";
        continue;
      }
      if (got != want) {  // a kernel that took the address as a mere hint
        munmap(got, 2 * page);
        continue;
      }
      mapping_ = static_cast<char*>(got);
      if (mprotect(mapping_ + page, page, PROT_READ | PROT_WRITE) != 0) break;
      window_ = {mapping_ + page, mapping_ + 2 * page};
      return;
    }
  }
  ~TopPage() {
    if (mapping_ != nullptr) munmap(mapping_, 2 * page_size());
  }
  const Window& window() const { return window_; }
  std::string refusals() const { return refusals_.str(); }

 private:
  char* mapping_ = nullptr;
  Window window_;
  std::ostringstream refusals_;
};

const TopPage& top_page() {
  static const TopPage top;
  return top;
}

// The premise of the tests below: the top page is mapped where the address
// space ends, and nothing beyond it or under it can be read.
TEST(HostilePlacement, TheTopPageEndsTheAddressSpace) {
  const Window& top = top_page().window();
  ASSERT_NE(top.begin, nullptr) << "no page within " << (kTopSearchSpan >> 20)
                                << " MiB of the top could be mapped: " << top_page().refusals();
  std::ostringstream address;
  address << static_cast<const void*>(top.begin);
  RecordProperty("top_page", address.str());
  RecordProperty("refused_above", top_page().refusals());
  EXPECT_GT(reinterpret_cast<uintptr_t>(top.begin), kAddressSpaceEnd - kTopSearchSpan);
  volatile char sink = 0;
  EXPECT_TRUE(run_catching_faults([&] { sink = top.end[0]; })) << "the byte past the top page";
  EXPECT_TRUE(run_catching_faults([&] { sink = top.begin[-1]; })) << "the byte under the top page";
  (void)sink;
}

// ---- operands ending at every offset of the last line --------------------------

// Lengths from 1 to 64, so that with every end offset each start offset in
// a line occurs, and the same plus whole lines, so that the end lies in
// each stage of the routines: first block, aligned passes, line loops.
constexpr size_t kExtraLines[] = {0, 1, 2, 4, 6};
constexpr int kVariants = 2;

// One operand (two for stpcpy and wcscmp) of `length` bytes whose last byte
// lies at line offset `end_offset` of the line in front of the window's end.
// Variant 0 surrounds the operand with bytes that would change the answer
// if the routine took them in (copies of the value sought, zeros); variant
// 1 ends the call at the operand's last byte by a match or terminator with
// a count or bound far beyond it.
Trial grid_trial(Routine routine, size_t length, size_t end_offset, int variant,
                 TestRandom& random) {
  Trial t;
  t.routine = routine;
  t.first.anchor = {true, kLineSize - 1 - end_offset};
  t.second.anchor = {true, (t.first.anchor.slack * 37 + 11) % kLineSize};
  t.first.backdrop = random.byte();
  t.second.backdrop = random.byte();
  const unsigned char needle = random.byte_other_than(0);
  std::vector<unsigned char>& bytes = t.first.bytes;
  bytes.resize(length);
  switch (routine) {
    case Routine::memchr:
      random.fill_avoiding(bytes.data(), length, needle);
      t.value = value_with_junk(needle, random);
      if (variant == 0) {
        t.first.backdrop = needle;
        t.count = static_cast<uint32_t>(length);
      } else {
        bytes.back() = needle;
        t.count = ~0u;
      }
      break;
    case Routine::strnlen:
      random.fill_string(bytes.data(), length);
      if (variant == 0) {
        t.first.backdrop = 0;
        t.count = static_cast<uint32_t>(length);
      } else {
        bytes.back() = 0;
        t.count = ~0u;
      }
      break;
    case Routine::strrchr:
      random.fill_string(bytes.data(), length);
      bytes[random.below(length)] = needle;
      bytes.back() = 0;
      t.value = variant == 0 ? value_with_junk(needle, random) : 0x100;
      if (variant == 0) t.first.backdrop = needle;
      break;
    case Routine::stpcpy:
      random.fill_string(bytes.data(), length);
      bytes.back() = 0;
      t.second.backdrop = variant == 0 ? 0 : 0xFF;
      break;
    case Routine::wcscmp: {
      // Whole characters (run_grid passes multiples of 4), the last one the
      // terminator; variant 1 changes the second string's last character.
      for (size_t i = 0; i + 4 < length; i += 4) {
        const uint32_t c = random.word() | 1;  // never the terminator
        memcpy(&bytes[i], &c, 4);
      }
      memset(&bytes[length - 4], 0, 4);
      t.second.bytes = bytes;
      if (variant == 1 && length >= 8) t.second.bytes[length - 8] ^= 0x80;
      break;
    }
    case Routine::memset:
    case Routine::bzero:
      t.count = static_cast<uint32_t>(length);
      t.value = value_with_junk(random.byte(), random);
      t.first.backdrop = static_cast<unsigned char>(~t.value);
      bytes.clear();  // the destination holds the backdrop, which the fill must change
      t.cache_size = variant == 0 ? 0u : 1u << 20;  // string stores, or the block loop
      break;
  }
  return t;
}

// Runs the grid on `arena` for every routine; `placement` names the arena.
void run_grid(const Arena& arena, const char* placement, bool two_operand_routines_only = false) {
  TestRandom random(11);
  const char* name = "";
  const auto at = where("routine", name, "placement", placement);
  for (Routine routine : kAllRoutines) {
    if (two_operand_routines_only && !has_second_operand(routine)) continue;
    name = info(routine).name;
    expect_trials_agree(at, arena, [&](auto&& agrees) {
      for (size_t end_offset = 0; end_offset < kLineSize; ++end_offset) {
        for (size_t lines : kExtraLines) {
          for (size_t length = 1 + lines * kLineSize; length <= (lines + 1) * kLineSize; ++length) {
            if (routine == Routine::wcscmp && length % 4 != 0) continue;
            for (int variant = 0; variant < kVariants; ++variant)
              if (!agrees(grid_trial(routine, length, end_offset, variant, random))) return;
          }
        }
      }
    });
  }
}

TEST(HostilePlacement, OperandsEndAtEveryOffsetOfTheLineBeforeAGuardPage) {
  GuardedPages first(1), second(1);
  run_grid({first.window(), second.window()}, "before a guard page");
}

TEST(HostilePlacement, OperandsEndAtEveryOffsetOfTheTopPage) {
  const Window& top = top_page().window();
  ASSERT_NE(top.begin, nullptr);
  GuardedPages other(1);
  run_grid({top, other.window()}, "at the top (first operand)");
  run_grid({other.window(), top}, "at the top (second operand)", true);
}

// ---- counts and bounds past the top of the address space -----------------------

// memchr and strnlen keep a remaining count, never start + count: a count
// that carries the end of the range past 2^32 (or just to it) must still
// give the match inside the range.  The operand ends at each offset of the
// window's last line with its match or terminator last, so the routine's
// reads beyond it fault.
template <class Agrees>
void wrapping_counts(Routine routine, const Window& window, TestRandom& random, size_t& trials,
                     Agrees&& agrees) {
  constexpr uint64_t kBeyondTheTop[] = {0, 1, 15, 16, 17, 63, 64, 65, 4096, 0x7FFFFFFF};
  for (size_t end_offset = 0; end_offset < kLineSize; ++end_offset) {
    for (size_t length = 1; length <= 300; length += length < 80 ? 1 : 37) {
      Trial t = grid_trial(routine, length, end_offset, 1, random);
      const uint64_t start =
          reinterpret_cast<uintptr_t>(window.end) - t.first.anchor.slack - length;
      std::vector<uint64_t> counts = {0xFFFFFFFF, 0x80000000};
      for (uint64_t beyond : kBeyondTheTop) {
        const uint64_t count = kAddressSpaceEnd - start + beyond;
        if (count <= 0xFFFFFFFF) counts.push_back(count);
      }
      for (uint64_t count : counts) {
        t.count = static_cast<uint32_t>(count);
        ++trials;
        if (!agrees(t)) return;
      }
    }
  }
}

void run_wrapping_counts(const Window& window, const char* placement) {
  TestRandom random(12);
  const char* name = "";
  const auto at = where("routine", name, "placement", placement);
  for (Routine routine : {Routine::memchr, Routine::strnlen}) {
    size_t trials = 0;
    name = info(routine).name;
    expect_trials_agree(at, Arena{window, window}, [&](auto&& agrees) {
      wrapping_counts(routine, window, random, trials, agrees);
    });
    EXPECT_GT(trials, 1000u);
  }
}

TEST(HostilePlacement, CountsThatWrapPastTheTopFindTheMatchInRange) {
  GuardedPages pages(1);
  run_wrapping_counts(pages.window(), "before a guard page");
  const Window& top = top_page().window();
  ASSERT_NE(top.begin, nullptr);
  run_wrapping_counts(top, "at the top");
}

}  // namespace
}  // namespace sse2str::test
