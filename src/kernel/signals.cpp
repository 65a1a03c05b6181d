#include "kernel/signals.hpp"

#include <csignal>
#include <unistd.h>

namespace {
std::atomic<std::atomic<int>*> g_interruptTarget{nullptr};
static_assert(std::atomic<std::atomic<int>*>::is_always_lock_free);
static_assert(std::atomic<int>::is_always_lock_free);

void SetAction(void (*handler)(int)) {
    struct sigaction sa {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    sigaction(SIGINT, &sa, nullptr);
}
}  // namespace

void SetInterruptTarget(std::atomic<int>* option) noexcept { g_interruptTarget.store(option); }
std::atomic<int>* InterruptTarget() noexcept { return g_interruptTarget.load(); }

extern "C" void OnCtrlC(int) {
    // Only async-signal-safe work here: a disposition change, an atomic flag, write(2).
    std::signal(SIGINT, SIG_IGN);
    std::atomic<int>* option = g_interruptTarget.load();
    if (option == nullptr) return;
    int expected = 0;
    if (!option->compare_exchange_strong(expected, 1)) return;
    static const char text[] = "\nCntr-C pressed! please wait...\n\n";
    ssize_t ignored = ::write(STDOUT_FILENO, text, sizeof text - 1);
    (void)ignored;
}

void ResetCtrlCHandler() { SetAction(OnCtrlC); }
void DisableCtrlCHandler() { SetAction(SIG_DFL); }
void IgnoreCtrlC() { SetAction(SIG_IGN); }
