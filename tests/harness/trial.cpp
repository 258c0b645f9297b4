// SPDX-License-Identifier: MIT
#include "trial.h"

#include <string.h>

#include <algorithm>
#include <cstdio>

#include "models/reference.h"
#include "sweep.h"
#include "wide.h"

namespace sse2str::test {

void (*trial_observer)(uint32_t feature) = nullptr;

namespace {

// ---- layout -----------------------------------------------------------------

// An operand laid out in its window: its address, and the span of the
// window the trial laid out (and compares): the operand and its
// surroundings, with the arena's margin on each side.
struct Placed {
  char* at = nullptr;
  Window span;
};

// Where an operand of `size` bytes goes in its window; false when it or its
// surroundings do not fit.
bool locate(const Operand& o, size_t size, const Window& window, size_t margin, Placed* p) {
  const size_t room = window.size();
  if (size + o.anchor.slack > room) return false;
  const size_t front = o.anchor.at_end ? room - o.anchor.slack - size : o.anchor.slack;
  const size_t back = room - front - size;
  if (o.before.size() > front || o.after.size() > back) return false;
  p->at = window.begin + front;
  p->span = {p->at - o.before.size() - std::min(margin, front - o.before.size()),
             p->at + size + o.after.size() + std::min(margin, back - o.after.size())};
  return true;
}

// Fills the span with the backdrop and puts the operand and its
// surroundings in.
void place(const Operand& o, size_t size, const Placed& p) {
  memset(p.span.begin, o.backdrop, p.span.size());
  memcpy(p.at - o.before.size(), o.before.data(), o.before.size());
  memcpy(p.at, o.bytes.data(), std::min(size, o.bytes.size()));
  memcpy(p.at + size, o.after.data(), o.after.size());
}

// ---- features for the fuzzer ------------------------------------------------------

// Lengths and counts by the stage of the routines they end in: nothing, a
// part of one block, one block, the first line, each of the next three
// lines, then one class per power of two.
uint32_t size_class(uint64_t n) {
  if (n < kBlockSize) return n > 0;
  if (n == kBlockSize) return 2;
  if (n < 4 * kLineSize) return 3 + static_cast<uint32_t>(n / kLineSize);
  return 7 + (63 - __builtin_clzll(n)) - 8;
}

// The kinds of placement class reported to the fuzzer.
enum Feature : uint32_t {
  kStartInLine = 1,  // the first operand's line offset
  kStartBySize,      // its block offset, with its length class
  kEndInLine,        // its last byte's line offset, with the guard it faces
  kPairInBlocks,     // both operands' block offsets
  kPairOfBlocks,     // which block of its line each operand starts in
  kSecondEndInLine,  // the second operand's last byte's line offset
  kAnswerLane,       // the answer's lane in its block, with its stage
  kNoAnswer,         // null, or no position to speak of
  kCountBySize,      // the count against the operand, with its class
  kFillPath,         // string store or not, with the count's class
};

void observe(Feature kind, const Trial& t, uint32_t a, uint32_t b) {
  uint32_t h = 2166136261u;  // FNV-1a over the parts
  for (uint32_t part : {static_cast<uint32_t>(kind), static_cast<uint32_t>(t.routine), a, b}) {
    h = (h ^ part) * 16777619u;
  }
  trial_observer(h);
}

// The classes are coarse on purpose: each new one makes the fuzzer keep an
// input, and the corpus should stay a few hundred inputs per routine.
template <class T>
void report_features(const Trial& t, const Memory& m, size_t size1, size_t size2, int64_t answer) {
  const uintptr_t start = reinterpret_cast<uintptr_t>(m.first);
  const uintptr_t last = start + (size1 ? size1 - 1 : 0);
  observe(kStartInLine, t, start % kLineSize, 0);
  observe(kStartBySize, t, start % kBlockSize, size_class(size1));
  observe(kEndInLine, t, last % kLineSize,
          t.first.anchor.at_end * 2 + (t.first.anchor.slack < kBlockSize));
  if (T::kTwoOperands) {
    // Pairings of the two operands' offsets in their blocks, and of the
    // blocks they start in within their lines (all 4096 pairings of line
    // offsets would make as many corpus inputs).
    const uintptr_t second = reinterpret_cast<uintptr_t>(m.second);
    observe(kPairInBlocks, t, start % kBlockSize, second % kBlockSize);
    observe(kPairOfBlocks, t, start % kLineSize / kBlockSize, second % kLineSize / kBlockSize);
    observe(kSecondEndInLine, t, (second + (size2 ? size2 - 1 : 0)) % kLineSize,
            t.second.anchor.at_end);
  }
  // Where the answer lies: which lane of a block, in which stage.
  if (answer >= 0) {
    const uint64_t at = static_cast<uint64_t>(answer);
    observe(kAnswerLane, t, static_cast<uint32_t>(at % kBlockSize), size_class(at));
  } else {
    observe(kNoAnswer, t, static_cast<uint32_t>(answer), 0);
  }
  const uint32_t count_relation = t.count == 0       ? 0
                                  : t.count < size1  ? 1
                                  : t.count == size1 ? 2
                                  : t.count >> 31    ? 4
                                                     : 3;
  observe(kCountBySize, t, count_relation, size_class(t.count));
  if (t.cache_size) {
    const uint32_t c = *t.cache_size;
    observe(kFillPath, t, t.count >= fill_stages::string_store_threshold(c), size_class(t.count));
  }
}

// Index of the first pair of wide characters that differ or are both zero.
size_t deciding_pair(const char* first, const char* second) {
  size_t k = 0;
  while (get(first, k) == get(second, k) && get(first, k) != 0) ++k;
  return k;
}

// ---- descriptions ------------------------------------------------------------------

std::string describe_operand(const char* name, const Operand& o, const char* at, size_t size) {
  char text[160];
  snprintf(text, sizeof text, "%s: %zu bytes at line offset %zu, %zu bytes %s the %s guard", name,
           size, static_cast<size_t>(reinterpret_cast<uintptr_t>(at) % kLineSize), o.anchor.slack,
           o.anchor.at_end ? "before" : "after", o.anchor.at_end ? "rear" : "front");
  return text;
}

// What a routine's result is (its traits' kResult).
enum ResultKind { kNumber, kPointerIntoFirst, kPointerIntoSecond };

// A result: a length or a sign as itself, a pointer relative to the
// operand it should point into.
template <class T>
std::string describe_result(Result r, const Memory& m, const Arena& arena) {
  if (r == kNoResult) return "none";
  if (T::kResult == kNumber) return std::to_string(r);
  if (r == kNull) return "null";
  char text[48];
  if (r >= (int64_t{1} << 32)) {
    snprintf(text, sizeof text, "%#llx, outside the window",
             static_cast<unsigned long long>(r - (int64_t{1} << 32)));
  } else if (T::kResult == kPointerIntoSecond) {
    snprintf(text, sizeof text, "destination%+lld",
             static_cast<long long>(r - (m.second - arena.second.begin)));
  } else {
    snprintf(text, sizeof text, "start%+lld",
             static_cast<long long>(r - (m.first - arena.first.begin)));
  }
  return text;
}

template <class T>
std::string describe_trial(const Trial& t, const Memory& m, size_t size1, size_t size2) {
  std::string s = info(t.routine).name;
  s += "; " + describe_operand("first", t.first, m.first, size1);
  if (T::kTwoOperands) s += "; " + describe_operand("second", t.second, m.second, size2);
  if (T::kCountName != nullptr)
    s += "; " + std::string(T::kCountName) + " " + std::to_string(t.count);
  if (T::kTakesValue) {
    char text[32];
    snprintf(text, sizeof text, "; value %#x", static_cast<unsigned>(t.value));
    s += text;
  }
  if (t.cache_size) s += "; cache size " + std::to_string(*t.cache_size);
  return s + T::details(m);
}

// First byte where a window differs from the model's copy of it.
std::string compare_window(const char* name, const Window& w, const Window& model,
                           const char* operand) {
  if (memcmp(w.begin, model.begin, w.size()) == 0) return "";
  const size_t i = std::mismatch(w.begin, w.end, model.begin).first - w.begin;
  char text[160];
  snprintf(text, sizeof text, "%s window: byte at operand%+ld is %#x, model has %#x", name,
           static_cast<long>(w.begin + i - operand), static_cast<unsigned char>(w.begin[i]),
           static_cast<unsigned char>(model.begin[i]));
  return text;
}

// ---- decoding ------------------------------------------------------------------

// Reads the fuzzer's bytes in order; past the end every byte reads as zero.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t byte() { return next_ < size_ ? data_[next_++] : 0; }
  uint32_t word() {
    uint32_t w = 0;
    for (int i = 0; i < 4; ++i) w |= static_cast<uint32_t>(byte()) << (8 * i);
    return w;
  }
  // The bytes not read yet, at most `limit` of them.
  std::vector<unsigned char> rest(size_t limit) {
    const size_t from = std::min(next_, size_);
    const size_t n = std::min(size_ - from, limit);
    next_ = size_;
    return {data_ + from, data_ + from + n};
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t next_ = 0;
};

// Bit 7: against the front guard; bits 0 to 5: the slack.
Anchor anchor_from(uint8_t byte) { return Anchor{(byte & 0x80) == 0, byte & (kLineSize - 1u)}; }

bool holds(const std::vector<unsigned char>& bytes, unsigned char b) {
  return std::find(bytes.begin(), bytes.end(), b) != bytes.end();
}

// A count or bound: from within the operand, or (top bit set, when the
// operand holds the byte that ends the call) any count at all, far past the
// operand and the top of the address space.
uint32_t search_count(uint32_t raw, size_t size, bool ends_inside) {
  if ((raw >> 31) && ends_inside) return raw;
  return static_cast<uint32_t>(raw % (size + 1));
}

// A fill count, each size class equally likely: short, through the tail
// table, a few strides of the block loop, as large as the window allows.
uint32_t fill_count(uint32_t raw, size_t room) {
  using namespace fill_stages;
  static constexpr size_t kClassLimits[] = {kShortFillLimit, kShortFillLimit + kTailLimit,
                                            8 * kStrideSize, SIZE_MAX};
  const size_t limit = std::min(kClassLimits[raw & 3], room + 1);
  return static_cast<uint32_t>((raw >> 2) % limit);
}

// The bytes up to the first zero, and a zero.
std::vector<unsigned char> terminated(std::vector<unsigned char> bytes) {
  auto zero = std::find(bytes.begin(), bytes.end(), 0);
  if (zero != bytes.end())
    bytes.erase(zero + 1, bytes.end());
  else
    bytes.push_back(0);
  return bytes;
}

// Wide characters: the whole 4-byte groups up to the first zero character.
std::vector<Char> wide_characters(const std::vector<unsigned char>& bytes) {
  const char* const string = reinterpret_cast<const char*>(bytes.data());
  std::vector<Char> chars;
  for (size_t k = 0; k < bytes.size() / kCharSize && get(string, k) != 0; ++k)
    chars.push_back(get(string, k));
  return chars;
}

std::vector<unsigned char> wide_string(const std::vector<Char>& chars) {
  std::vector<unsigned char> bytes((chars.size() + 1) * kCharSize, 0);
  memcpy(bytes.data(), chars.data(), chars.size() * kCharSize);
  return bytes;
}

// ---- each routine's trials ----------------------------------------------------

// What a trial of each routine is made of, one struct per routine of the list
// (routines.def):
//   kTwoOperands     whether a second operand is laid out (a destination, a
//                    second string)
//   kCountName       what its count is called in descriptions, or null when
//                    it takes none
//   kTakesValue      whether it takes a value
//   kResult          what its result is: a number, or a pointer into the
//                    first or the second operand
//   size(t, second)  the bytes an operand occupies in its window
//   call(m, w1, w2)  the call of Sse2Routines or ModelRoutines on the
//                    operands at `m`, in windows `w1` and `w2`
//   answer(m, a, r)  the result `r` as a position from the start of the
//                    operand it points into (a length is one already; a
//                    comparison's is where its deciding pair lies), or
//                    negative when there is none: for the fuzzer's features
//   details(m)       what a description adds after the operands
//   decode(t, ...)   the operands, count and value from the fuzzer's input
template <Routine>
struct Traits;

// What most routines share: one operand, laid out from its bytes, and a
// pointer into it for a result; each routine's struct changes what differs.
struct OneOperand {
  static constexpr bool kTwoOperands = false;
  static constexpr const char* kCountName = nullptr;
  static constexpr bool kTakesValue = false;
  static constexpr ResultKind kResult = kPointerIntoFirst;
  static size_t size(const Trial& t, bool) { return t.first.bytes.size(); }
  static int64_t answer(const Memory& m, const Arena& a, Result r) {
    return r < 0 ? r : r - (m.first - a.first.begin);
  }
  static std::string details(const Memory&) { return ""; }
};

template <>
struct Traits<Routine::memchr> : OneOperand {  // first: the range; count; value
  static constexpr const char* kCountName = "count";
  static constexpr bool kTakesValue = true;
  template <class Routines>
  static Result call(const Trial& t, const Memory& m, const Window& w1, const Window&) {
    return position_in(Routines::memchr(m.first, t.value, t.count), w1);
  }
  // The range holds what may be read; a count past it (even with its top
  // bit set) only when a match lies in it.
  static void decode(Trial& t, std::vector<unsigned char> contents, uint32_t raw_count, uint32_t,
                     size_t) {
    t.count = search_count(raw_count, contents.size(),
                           holds(contents, static_cast<unsigned char>(t.value)));
    t.first.bytes = std::move(contents);
  }
};

template <>
struct Traits<Routine::strnlen> : OneOperand {  // first: the string; count: the bound
  static constexpr const char* kCountName = "bound";
  static constexpr ResultKind kResult = kNumber;
  template <class Routines>
  static Result call(const Trial& t, const Memory& m, const Window&, const Window&) {
    return Routines::strnlen(m.first, t.count);
  }
  static int64_t answer(const Memory&, const Arena&, Result r) { return r; }
  static void decode(Trial& t, std::vector<unsigned char> contents, uint32_t raw_count, uint32_t,
                     size_t) {
    t.count = search_count(raw_count, contents.size(), holds(contents, 0));
    t.first.bytes = std::move(contents);
  }
};

// A terminated string as the first operand, made from the fuzzer's bytes.
struct OneString : OneOperand {
  static void decode(Trial& t, std::vector<unsigned char> contents, uint32_t, uint32_t, size_t) {
    t.first.bytes = terminated(std::move(contents));
  }
};

template <>
struct Traits<Routine::strrchr> : OneString {  // first: the string, terminator included; value
  static constexpr bool kTakesValue = true;
  template <class Routines>
  static Result call(const Trial& t, const Memory& m, const Window& w1, const Window&) {
    return position_in(Routines::strrchr(m.first, t.value), w1);
  }
};

// first: the source, terminator included; second: the destination, as long
// as the source (its bytes are not used).
template <>
struct Traits<Routine::stpcpy> : OneString {
  static constexpr bool kTwoOperands = true;
  static constexpr ResultKind kResult = kPointerIntoSecond;
  template <class Routines>
  static Result call(const Trial&, const Memory& m, const Window&, const Window& w2) {
    return position_in(Routines::stpcpy(m.second, m.first), w2);
  }
  static int64_t answer(const Memory& m, const Arena& a, Result r) {
    return r - (m.second - a.second.begin);
  }
};

// first, second: the two strings, 4-byte characters in memory order,
// terminators included.
template <>
struct Traits<Routine::wcscmp> : OneOperand {
  static constexpr bool kTwoOperands = true;
  static constexpr ResultKind kResult = kNumber;
  static size_t size(const Trial& t, bool second) {
    return second ? t.second.bytes.size() : t.first.bytes.size();
  }
  template <class Routines>
  static Result call(const Trial&, const Memory& m, const Window&, const Window&) {
    return Routines::wcscmp(reinterpret_cast<const wchar_t*>(m.first),
                            reinterpret_cast<const wchar_t*>(m.second));
  }
  static int64_t answer(const Memory& m, const Arena&, Result) {
    return deciding_pair(m.first, m.second) * kCharSize;
  }
  static std::string details(const Memory& m) {
    const size_t k = deciding_pair(m.first, m.second);
    char text[80];
    snprintf(text, sizeof text, "; deciding pair %zu: %#x against %#x", k,
             static_cast<unsigned>(get(m.first, k)), static_cast<unsigned>(get(m.second, k)));
    return text;
  }
  // The second string is the first with one character changed: the count
  // picks which (one past the terminator appends, two past changes
  // nothing) and the value is the new character, so the two strings share
  // prefixes of every length.
  static void decode(Trial& t, std::vector<unsigned char> contents, uint32_t raw_count, uint32_t,
                     size_t) {
    const std::vector<Char> first = wide_characters(contents);
    std::vector<Char> second = first;
    const size_t at = raw_count % (first.size() + 2);
    const Char c = t.value;
    if (at < first.size() && c == 0)
      second.resize(at);
    else if (at < first.size())
      second[at] = c;
    else if (at == first.size() && c != 0)
      second.push_back(c);
    t.first.bytes = wide_string(first);
    t.second.bytes = wide_string(second);
  }
};

// first: the destination, count bytes (its bytes are not used); count;
// cache_size.
struct Fill : OneOperand {
  static constexpr const char* kCountName = "count";
  static size_t size(const Trial& t, bool) { return t.count; }
  static int64_t answer(const Memory&, const Arena&, Result) { return kNoResult; }
  static void decode(Trial& t, std::vector<unsigned char>, uint32_t raw_count,
                     uint32_t raw_cache_size, size_t window_size) {
    t.count = fill_count(raw_count, window_size - t.first.anchor.slack);
    t.cache_size = raw_cache_size % (2 * window_size);
  }
};

template <>
struct Traits<Routine::memset> : Fill {  // and the value
  static constexpr bool kTakesValue = true;
  template <class Routines>
  static Result call(const Trial& t, const Memory& m, const Window& w1, const Window&) {
    return position_in(Routines::memset(m.first, t.value, t.count), w1);
  }
};

template <>
struct Traits<Routine::bzero> : Fill {
  template <class Routines>
  static Result call(const Trial& t, const Memory& m, const Window&, const Window&) {
    Routines::bzero(m.first, t.count);
    return kNoResult;
  }
};

// Calls `f` with the traits of `routine`.
template <class F>
decltype(auto) with_traits(Routine routine, F&& f) {
  switch (routine) {
#define SSE2STR_ROUTINE(name, module, symbol, section, source) \
  case Routine::name:                                          \
    return f(Traits<Routine::name>{});
#include "routines.def"
#undef SSE2STR_ROUTINE
  }
  __builtin_unreachable();
}

template <class T>
std::string run(const Trial& t, const Arena& arena) {
  const bool two = T::kTwoOperands;
  const size_t size1 = T::size(t, false);
  const size_t size2 = two ? T::size(t, true) : 0;
  Placed p1, p2;
  if (!locate(t.first, size1, arena.first, arena.margin, &p1) ||
      (two && !locate(t.second, size2, arena.second, arena.margin, &p2)))
    return std::string(info(t.routine).name) + ": the trial does not fit its windows";
  place(t.first, size1, p1);
  if (two) place(t.second, size2, p2);
  const Memory m{p1.at, p2.at};
  const Arena spans{p1.span, p2.span};

  // The model works on a copy of the spans, at the same offsets.
  thread_local std::vector<char> copy1, copy2;
  copy1.assign(spans.first.begin, spans.first.end);
  copy2.assign(spans.second.begin, spans.second.end);
  const Arena model{{copy1.data(), copy1.data() + copy1.size()},
                    {copy2.data(), copy2.data() + copy2.size()}};
  const Memory mm{model.first.begin + (m.first - spans.first.begin),
                  two ? model.second.begin + (m.second - spans.second.begin) : nullptr};

  const uint32_t cache_size = __x86_data_cache_size;
  if (t.cache_size) __x86_data_cache_size = *t.cache_size;
  const Result got = T::template call<Sse2Routines>(t, m, spans.first, spans.second);
  const Result want = T::template call<ModelRoutines>(t, mm, model.first, model.second);
  if (t.cache_size) __x86_data_cache_size = cache_size;

  if (trial_observer != nullptr) report_features<T>(t, m, size1, size2, T::answer(m, spans, got));

  std::string difference;
  if (got != want) {
    difference = "result " + describe_result<T>(got, m, spans) + ", model " +
                 describe_result<T>(want, m, spans);
  } else {
    difference = compare_window("first", spans.first, model.first, m.first);
    if (difference.empty() && two)
      difference = compare_window("second", spans.second, model.second, m.second);
  }
  if (difference.empty()) return "";
  return describe_trial<T>(t, m, size1, size2) + ": " + difference;
}

}  // namespace

bool has_second_operand(Routine routine) {
  return with_traits(routine, [](auto traits) { return decltype(traits)::kTwoOperands; });
}

std::string run_trial(const Trial& t, const Arena& arena) {
  return with_traits(t.routine, [&](auto traits) { return run<decltype(traits)>(t, arena); });
}

template <class Routines>
Result call_routine(const Trial& t, const Memory& m, const Window& w1, const Window& w2) {
  return with_traits(t.routine, [&](auto traits) {
    return decltype(traits)::template call<Routines>(t, m, w1, w2);
  });
}
template Result call_routine<Sse2Routines>(const Trial&, const Memory&, const Window&,
                                           const Window&);
template Result call_routine<ModelRoutines>(const Trial&, const Memory&, const Window&,
                                            const Window&);

void cut(Operand& o, const std::vector<unsigned char>& area, size_t before, size_t size) {
  o.before.assign(area.begin(), area.begin() + before);
  o.bytes.assign(area.begin() + before, area.begin() + before + size);
  o.after.assign(area.begin() + before + size, area.end());
}

// Input layout: byte 0 and 1 the anchors of the first and second operand,
// 2 and 3 their backdrops, then three little-endian words: value, count and
// cache size, then the operand's contents, which each routine's traits
// decode.
Trial decode_trial(Routine routine, const uint8_t* data, size_t size, size_t window_size) {
  Reader in(data, size);
  Trial t;
  t.routine = routine;
  t.first.anchor = anchor_from(in.byte());
  t.second.anchor = anchor_from(in.byte());
  t.first.backdrop = in.byte();
  t.second.backdrop = in.byte();
  t.value = static_cast<int>(in.word());
  const uint32_t raw_count = in.word();
  const uint32_t raw_cache_size = in.word();
  // Room for the largest slack and a terminator in any window.
  std::vector<unsigned char> contents = in.rest(window_size - kLineSize - kCharSize);
  with_traits(routine, [&](auto traits) {
    decltype(traits)::decode(t, std::move(contents), raw_count, raw_cache_size, window_size);
  });
  return t;
}

}  // namespace sse2str::test
