#include "kernel/signals.hpp"

#include <csignal>
#include <unistd.h>

namespace {
std::atomic<std::atomic<int>*> g_interruptTarget{nullptr};
// An interrupt that arrived while files were read or written, or before the application could
// take it: held until the handler is armed again with an application to tell.
std::atomic<bool> g_held{false};
static_assert(std::atomic<std::atomic<int>*>::is_always_lock_free);
static_assert(std::atomic<int>::is_always_lock_free);
static_assert(std::atomic<bool>::is_always_lock_free);

void SetAction(void (*handler)(int)) {
    struct sigaction sa {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    // A read or write that the signal interrupts goes on instead of failing.
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
}

extern "C" void HoldCtrlC(int) { g_held.store(true); }

// Raises the application's option to 1 unless an option is pending already.
void Deliver(std::atomic<int>* option) noexcept {
    int expected = 0;
    if (!option->compare_exchange_strong(expected, 1)) return;
    static const char text[] = "\nCntr-C pressed! please wait...\n\n";
    ssize_t ignored = ::write(STDOUT_FILENO, text, sizeof text - 1);
    (void)ignored;
}

void DeliverHeld() noexcept {
    std::atomic<int>* option = g_interruptTarget.load();
    if (option != nullptr && g_held.exchange(false)) {
        SetAction(SIG_IGN);  // as after any interrupt: further ones wait for the menu
        Deliver(option);
    }
}
}  // namespace

void SetInterruptTarget(std::atomic<int>* option) noexcept {
    g_interruptTarget.store(option);
    // Without an application nothing is held for later.
    if (option == nullptr) g_held.store(false);
}
std::atomic<int>* InterruptTarget() noexcept { return g_interruptTarget.load(); }

extern "C" void OnCtrlC(int) {
    // Only async-signal-safe work here: a disposition change, atomic flags, write(2).
    std::signal(SIGINT, SIG_IGN);
    std::atomic<int>* option = g_interruptTarget.load();
    if (option == nullptr) {
        g_held.store(true);
        return;
    }
    Deliver(option);
}

void ResetCtrlCHandler() {
    SetAction(OnCtrlC);
    DeliverHeld();
}
void DisableCtrlCHandler() { SetAction(SIG_DFL); }
// While files are read or written an interrupt must not disturb them: it is only noted, and
// the menu follows once the handler is armed again.
void IgnoreCtrlC() { SetAction(HoldCtrlC); }
