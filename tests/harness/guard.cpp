// SPDX-License-Identifier: MIT
#include "guard.h"

#include <setjmp.h>
#include <signal.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

namespace sse2str::test {

size_t page_size() { return static_cast<size_t>(sysconf(_SC_PAGESIZE)); }

GuardedPages::GuardedPages(size_t pages) {
  const size_t page = page_size();
  size_ = pages * page;
  mapping_size_ = size_ + 2 * page;
  void* m =
      mmap(nullptr, mapping_size_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (m == MAP_FAILED) throw std::runtime_error("mmap failed");
  mapping_ = static_cast<char*>(m);
  begin_ = mapping_ + page;
  if (mprotect(begin_, size_, PROT_READ | PROT_WRITE) != 0)
    throw std::runtime_error("mprotect failed");
}

GuardedPages::~GuardedPages() { munmap(mapping_, mapping_size_); }

void GuardedPages::fill(unsigned char byte) const {
  memset(begin_, byte, size_);
}

namespace {

sigjmp_buf* active_jump = nullptr;
volatile uintptr_t fault_address = 0;

void on_fault(int signal, siginfo_t* info, void*) {
  if (active_jump == nullptr) {
    // Not inside run_catching_faults: die as the signal would have.
    ::signal(signal, SIG_DFL);
    raise(signal);
    return;
  }
  fault_address = reinterpret_cast<uintptr_t>(info->si_addr);
  siglongjmp(*active_jump, 1);
}

void install_handlers() {
  static bool installed = false;
  if (installed) return;
  // SA_NODEFER: the handler leaves by siglongjmp without restoring the
  // signal mask, so the signal must not stay blocked.
  install_handler(SIGSEGV, on_fault, SA_NODEFER, nullptr);
  install_handler(SIGBUS, on_fault, SA_NODEFER, nullptr);
  installed = true;
}

}  // namespace

int install_handler(int signal, void (*handler)(int, siginfo_t*, void*), int flags,
                    struct sigaction* previous) {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_sigaction = handler;
  action.sa_flags = SA_SIGINFO | flags;
  sigemptyset(&action.sa_mask);
  return sigaction(signal, &action, previous);
}

Fault run_catching_faults(const std::function<void()>& body) {
  install_handlers();
  sigjmp_buf jump;
  Fault fault;
  if (sigsetjmp(jump, 0) == 0) {
    active_jump = &jump;
    body();
  } else {
    fault.happened = true;
    fault.address = fault_address;
  }
  active_jump = nullptr;
  return fault;
}

}  // namespace sse2str::test
