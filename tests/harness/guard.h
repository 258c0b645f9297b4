// SPDX-License-Identifier: MIT
// Memory with inaccessible pages around it, and catching faults as results.
#pragma once

#include <signal.h>
#include <stddef.h>
#include <stdint.h>

#include <functional>

namespace sse2str::test {

size_t page_size();

// Readable and writable memory with unreadable memory right before `begin`
// and right from `end` on, so any access outside it faults.
struct Window {
  char* begin = nullptr;
  char* end = nullptr;
  size_t size() const { return static_cast<size_t>(end - begin); }
};

// `pages` readable and writable pages with a PROT_NONE page on each side.  A
// routine that reads or writes a byte outside [begin(), end()) faults.
class GuardedPages {
 public:
  explicit GuardedPages(size_t pages = 2);
  ~GuardedPages();
  GuardedPages(const GuardedPages&) = delete;
  GuardedPages& operator=(const GuardedPages&) = delete;

  char* begin() const { return begin_; }
  char* end() const { return begin_ + size_; }
  size_t size() const { return size_; }
  Window window() const { return {begin(), end()}; }

  // Fills all readable bytes with `byte`.
  void fill(unsigned char byte) const;

 private:
  char* mapping_;
  size_t mapping_size_;
  char* begin_;
  size_t size_;
};

// A fault (SIGSEGV or SIGBUS) caught while running a function.
struct Fault {
  bool happened = false;
  uintptr_t address = 0;
  explicit operator bool() const { return happened; }
};

// Installs `handler` (SA_SIGINFO, and `flags`) for `signal`; the previous
// action goes to `previous` unless it is null.  Returns what sigaction does.
int install_handler(int signal, void (*handler)(int, siginfo_t*, void*), int flags,
                    struct sigaction* previous);

// Runs `body`; a fault inside it ends the body and is returned instead of
// killing the process.  Not reentrant; the body must not leave C++ objects
// with non-trivial destructors half-built when it faults.
Fault run_catching_faults(const std::function<void()>& body);

}  // namespace sse2str::test
