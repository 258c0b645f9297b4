// SPDX-License-Identifier: MIT
// The realistic mixes (mixes.h).  Built with loops only: the harness never
// prepares operands with the routines it measures (checked at build time).
#include "mixes.h"

#include <dirent.h>
#include <ftw.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <random>
#include <utility>

namespace bench {
namespace {

// The seed of every draw: the same sequence on every run and machine
// (mt19937's output is fixed by the standard; only `%` is applied to it).
constexpr unsigned kSeed = 20260814;
constexpr char kLicences[] = "/usr/share/common-licenses";
constexpr char kPathRoot[] = "/usr/share";
constexpr size_t kMaxPaths = 1 << 16;  // path names kept from the walk
// Fills land at a random offset within this much of their buffer.
constexpr size_t kFillSpread = 4096;
// Strings that differ at a random position: this many characters, this many
// pairs per layout.
constexpr size_t kDifferLength = 64;
constexpr size_t kDifferPairs = 128;
constexpr char kNewline = '\n';
constexpr char kSlash = '/';

// Memory for operands that lives as long as the program, from zeroed pages.
char* take(size_t bytes) {
  void* p = mmap(nullptr, bytes + 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) {
    perror("mmap");
    exit(2);
  }
  return static_cast<char*>(p);
}

// `strings` one after another, each with its terminator; returns where each
// landed.
std::vector<char*> place(const std::vector<std::string>& strings) {
  size_t bytes = 0;
  for (const std::string& s : strings) bytes += s.size() + 1;
  char* at = take(bytes);
  std::vector<char*> placed;
  for (const std::string& s : strings) {
    placed.push_back(at);
    for (char c : s) *at++ = c;
    *at++ = '\0';
  }
  return placed;
}

Mix named(const char* routine, std::string name, std::string description) {
  Mix mix;
  mix.routine = routine;
  mix.name = std::move(name);
  mix.description = std::move(description);
  return mix;
}

bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// ---- the data ----------------------------------------------------------------

struct Text {
  std::string bytes;
  std::vector<std::string> words;  // in text order
};

// Every licence text once (symbolic links to another are skipped), in the
// order of their names.
Text read_licences(Corpus* corpus) {
  Text text;
  DIR* dir = opendir(kLicences);
  if (!dir) return text;
  std::vector<std::string> names;
  while (dirent* e = readdir(dir)) names.push_back(e->d_name);
  closedir(dir);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const std::string path = std::string(kLicences) + "/" + name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) continue;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) text.bytes.append(chunk, n);
    fclose(f);
    if (!text.bytes.empty() && text.bytes.back() != kNewline) text.bytes += kNewline;
    ++corpus->files;
  }
  std::string word;
  for (char c : text.bytes) {
    if (is_letter(c)) {
      word += c;
    } else if (!word.empty()) {
      text.words.push_back(word);
      word.clear();
    }
  }
  corpus->words = text.words.size();
  return text;
}

std::vector<std::string>* walked;

int keep_path(const char* path, const struct stat*, int, struct FTW*) {
  walked->push_back(path);
  return walked->size() >= kMaxPaths ? 1 : 0;
}

// Path names under /usr/share, sorted (the walk's order is the file
// system's).
std::vector<std::string> read_paths() {
  std::vector<std::string> paths;
  walked = &paths;
  nftw(kPathRoot, keep_path, 32, FTW_PHYS);
  walked = nullptr;
  std::sort(paths.begin(), paths.end());
  return paths;
}

// One line of comma-separated probabilities, index = size in bytes.
std::vector<double> read_distribution(const std::string& path) {
  std::vector<double> p;
  FILE* f = fopen(path.c_str(), "r");
  if (!f) return p;
  double v;
  while (fscanf(f, "%lf", &v) == 1) {
    p.push_back(v);
    if (fgetc(f) != ',') break;
  }
  fclose(f);
  return p;
}

// ---- the mixes -----------------------------------------------------------------

class Builder {
 public:
  Builder(size_t calls, Corpus* corpus) : calls_(calls), corpus_(corpus), rng_(kSeed) {}

  size_t draw(size_t n) { return n ? rng_() % n : 0; }

  void add(Mix mix) {
    if (mix.calls.empty()) {
      fprintf(stderr, "sse2str_bench: mix %s:%s left out: no data\n", mix.routine.c_str(),
              mix.name.c_str());
      return;
    }
    mixes_.push_back(std::move(mix));
  }

  // Sizes drawn from a distribution, each fill at a random offset.
  template <bool kZero>
  void fills(const std::string& file, const std::string& name, const std::string& workload) {
    const std::vector<double> p = read_distribution(file);
    Mix mix = named(kZero ? "bzero" : "memset", name, "sizes from " + workload + ", random destination offsets");
    double total = 0;
    for (double v : p) total += v;
    if (p.empty() || total <= 0) return add(std::move(mix));
    char* buffer = take(kFillSpread + p.size() + 64);
    // memset and bzero get the same sequence from the same distribution.
    std::mt19937 rng(kSeed);
    for (size_t i = 0; i < calls_; ++i) {
      const double u = static_cast<double>(rng()) / 4294967296.0 * total;
      size_t size = 0;
      for (double acc = p[0]; acc <= u && size + 1 < p.size(); acc += p[++size]) {
      }
      mix.calls.push_back({buffer + rng() % kFillSpread, nullptr, size});
      mix.bytes += static_cast<double>(size);
    }
    add(std::move(mix));
  }

  // memchr for the next newline, line after line, bounded by the text's end.
  void lines(const Text& text) {
    Mix mix = named("memchr", "lines", "the next newline in the licence texts, line after line");
    char* start = place({text.bytes})[0];
    const char* end = start + text.bytes.size();
    for (char* p = start; p < end && mix.calls.size() < calls_;) {
      char* next = p;
      while (*next != kNewline) ++next;
      mix.calls.push_back({p, nullptr, static_cast<size_t>(end - p), kNewline});
      mix.bytes += static_cast<double>(next - p + 1);
      p = next + 1;
    }
    corpus_->lines = mix.calls.size();
    add(std::move(mix));
  }

  // strnlen of random words, half with a bound past the terminator and half
  // with one inside the word.
  void word_lengths(const Text& text) {
    Mix mix = named("strnlen", "words", "random words of the licence texts, bounds above and below");
    const std::vector<char*> placed = place(text.words);
    for (size_t i = 0; i < calls_ && !placed.empty(); ++i) {
      const size_t w = draw(placed.size());
      const size_t length = text.words[w].size();
      const size_t bound = i % 2 ? length + 1 + draw(32) : 1 + draw(length);
      mix.calls.push_back({placed[w], nullptr, bound});
      mix.bytes += static_cast<double>(std::min(length + 1, bound));
    }
    add(std::move(mix));
  }

  void last_slash(const std::vector<std::string>& paths) {
    Mix mix = named("strrchr", "paths", "the last '/' of random path names under /usr/share");
    const std::vector<char*> placed = place(paths);
    for (size_t i = 0; i < calls_ && !placed.empty(); ++i) {
      const size_t k = draw(placed.size());
      mix.calls.push_back({placed[k], nullptr, 0, kSlash});
      mix.bytes += static_cast<double>(paths[k].size() + 1);
    }
    add(std::move(mix));
  }

  // Each copy starts at the end of the one before (the end stpcpy returns).
  void copies(const std::vector<std::string>& strings, bool in_order, const std::string& name,
              const std::string& description) {
    Mix mix = named("stpcpy", name, description);
    const std::vector<char*> placed = place(strings);
    std::vector<size_t> chosen;
    size_t bytes = 1;
    for (size_t i = 0; i < calls_ && !placed.empty(); ++i) {
      chosen.push_back(in_order ? i % placed.size() : draw(placed.size()));
      bytes += strings[chosen.back()].size();
    }
    char* destination = take(bytes);
    for (size_t k : chosen) {
      mix.calls.push_back({destination, placed[k], 0});
      destination += strings[k].size();
      mix.bytes += static_cast<double>(strings[k].size() + 1);
    }
    add(std::move(mix));
  }

  // Words as wide strings: neighbours in sorted order, and random pairs.
  void wide_words(const Text& text) {
    std::vector<std::string> sorted = text.words;
    std::sort(sorted.begin(), sorted.end());
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    corpus_->distinct_words = sorted.size();
    const std::vector<wchar_t*> wide = widen(sorted);
    Mix neighbours = named("wcscmp", "sorted-neighbours",
                           "neighbouring keys of the sorted list of distinct words, as wide strings");
    for (size_t i = 0; i + 1 < wide.size() && neighbours.calls.size() < calls_; ++i)
      compare(neighbours, wide[i], wide[i + 1]);
    add(std::move(neighbours));

    // The words of the text, as often as they occur there.
    std::vector<size_t> index;
    for (const std::string& w : text.words)
      index.push_back(
          static_cast<size_t>(std::lower_bound(sorted.begin(), sorted.end(), w) - sorted.begin()));
    Mix pairs = named("wcscmp", "random-pairs", "random pairs of words of the text, as wide strings");
    for (size_t i = 0; i < calls_ && !index.empty(); ++i)
      compare(pairs, wide[index[draw(index.size())]], wide[index[draw(index.size())]]);
    add(std::move(pairs));
  }

  // Equal strings but for one character at a random position, both starts
  // placed as a pass layout of the wcscmp sweep puts them.
  void wide_differences() {
    for (const Layout& layout : CompareWide::kLayouts) {
      Mix mix = named("wcscmp", std::string("differ-") + layout.label,
                      "strings of " + std::to_string(kDifferLength) +
                          " characters that differ at a random position");
      // Room for a string behind the largest offset, in whole lines, so that
      // every pair keeps the layout's offsets.
      const size_t rounded = (4 * (kDifferLength + 1) + 64 + 63) / 64 * 64;
      char* first = take(rounded * kDifferPairs);
      char* second = take(rounded * kDifferPairs);
      std::vector<Operands> pairs;
      for (size_t k = 0; k < kDifferPairs; ++k) {
        char* a = first + k * rounded + layout.first;
        char* b = second + k * rounded + layout.second;
        CompareWide::write(a, kDifferLength + 1);
        CompareWide::write(b, kDifferLength + 1);
        const size_t at = draw(kDifferLength);
        CompareWide::put(b, at, static_cast<wchar_t>(draw(2) ? -1 : 0x7FFFFFFF));
        pairs.push_back({a, b, 4 * (at + 1)});  // the bytes compared
      }
      for (size_t i = 0; i < calls_; ++i) {
        mix.calls.push_back(pairs[draw(kDifferPairs)]);
        mix.bytes += static_cast<double>(mix.calls.back().size);
      }
      add(std::move(mix));
    }
  }

  std::vector<Mix> done() { return std::move(mixes_); }

 private:
  static std::vector<wchar_t*> widen(const std::vector<std::string>& strings) {
    size_t characters = 0;
    for (const std::string& s : strings) characters += s.size() + 1;
    wchar_t* at = reinterpret_cast<wchar_t*>(take(4 * characters));
    std::vector<wchar_t*> placed;
    for (const std::string& s : strings) {
      placed.push_back(at);
      for (char c : s) *at++ = static_cast<unsigned char>(c);
      *at++ = 0;
    }
    return placed;
  }

  // The bytes one comparison reads: the common prefix and the deciding pair.
  static void compare(Mix& mix, wchar_t* a, wchar_t* b) {
    size_t k = 0;
    while (a[k] && a[k] == b[k]) ++k;
    mix.calls.push_back({reinterpret_cast<char*>(a), reinterpret_cast<char*>(b), 0});
    mix.bytes += static_cast<double>(4 * (k + 1));
  }

  size_t calls_;
  Corpus* corpus_;
  std::mt19937 rng_;
  std::vector<Mix> mixes_;
};

}  // namespace

std::vector<Mix> make_mixes(const std::string& distributions, size_t calls, Corpus* corpus) {
  static const char* const kDistributions[][2] = {{"GoogleA", "service 4"},
                                                  {"GoogleL", "logging"},
                                                  {"GoogleM", "service 2"},
                                                  {"GoogleQ", "database 2"},
                                                  {"GoogleW", "service 1"}};
  Builder b(calls, corpus);
  for (const auto& d : kDistributions) {
    const std::string file = distributions + "/Memset" + d[0] + ".csv";
    const std::string workload = std::string("Memset") + d[0] + " (" + d[1] + ")";
    b.fills<false>(file, d[0], workload);
    b.fills<true>(file, d[0], workload);
  }
  const Text text = read_licences(corpus);
  std::vector<std::string> paths = read_paths();
  corpus->paths_found = paths.size();
  // A fixed-seed sample when there are more than the calls need.
  std::mt19937 rng(kSeed);
  std::shuffle(paths.begin(), paths.end(), rng);
  if (paths.size() > calls) paths.resize(calls);
  corpus->paths = paths.size();

  b.lines(text);
  b.word_lengths(text);
  b.last_slash(paths);
  b.copies(text.words, true, "words", "the words of the licence texts in order, one after another");
  b.copies(paths, false, "paths", "random path names under /usr/share, one after another");
  b.wide_words(text);
  b.wide_differences();
  return b.done();
}

}  // namespace bench
