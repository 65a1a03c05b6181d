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

TEST(Interrupts, HandlerWithoutApplicationTouchesNothing) {
    SetInterruptTarget(nullptr);
    ResetCtrlCHandler();
    std::raise(SIGINT);  // must neither crash nor end the process
    EXPECT_EQ(CurrentSigint(), SIG_IGN);
    DisableCtrlCHandler();
}

}  // namespace
