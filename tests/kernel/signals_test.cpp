#include <gtest/gtest.h>

#include <csignal>

#include "kernel/signals.hpp"

namespace {

void (*CurrentSigint())(int) {
    struct sigaction sa {};
    sigaction(SIGINT, nullptr, &sa);
    return sa.sa_handler;
}

TEST(Interrupts, HandlerRaisesAPendingOptionOnceAndIgnoresFurtherSignals) {
    std::atomic<int> option{0};
    SetInterruptTarget(&option);
    ResetCtrlCHandler();
    EXPECT_EQ(CurrentSigint(), &OnCtrlC);
    std::raise(SIGINT);
    EXPECT_EQ(option.load(), 1);
    EXPECT_EQ(CurrentSigint(), SIG_IGN);  // lost until re-armed
    option = 3;
    ResetCtrlCHandler();
    std::raise(SIGINT);
    EXPECT_EQ(option.load(), 3);  // a pending option is not overwritten
    SetInterruptTarget(nullptr);
    DisableCtrlCHandler();
    EXPECT_EQ(CurrentSigint(), SIG_DFL);
}

TEST(Interrupts, InterruptsWithoutApplicationOrDuringWritesAreHeldForTheMenu) {
    // Without an application: nothing is touched, and the application that arms the handler
    // next gets the interrupt.
    SetInterruptTarget(nullptr);
    ResetCtrlCHandler();
    std::raise(SIGINT);  // must neither crash nor end the process
    EXPECT_EQ(CurrentSigint(), SIG_IGN);
    std::atomic<int> option{0};
    SetInterruptTarget(&option);
    EXPECT_EQ(option.load(), 0);
    ResetCtrlCHandler();
    EXPECT_EQ(option.load(), 1);
    EXPECT_EQ(CurrentSigint(), SIG_IGN);  // as after any interrupt, until the menu re-arms

    // While a file is written the interrupt waits; re-arming delivers it once.
    option = 0;
    ResetCtrlCHandler();
    IgnoreCtrlC();
    std::raise(SIGINT);
    EXPECT_EQ(option.load(), 0);
    ResetCtrlCHandler();
    EXPECT_EQ(option.load(), 1);
    option = 0;
    ResetCtrlCHandler();
    EXPECT_EQ(option.load(), 0);

    // An application that ends drops what was held for it.
    IgnoreCtrlC();
    std::raise(SIGINT);
    SetInterruptTarget(nullptr);
    SetInterruptTarget(&option);
    ResetCtrlCHandler();
    EXPECT_EQ(option.load(), 0);
    SetInterruptTarget(nullptr);
    DisableCtrlCHandler();
}

}  // namespace
