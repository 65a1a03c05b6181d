#pragma once
// The interrupt (SIGINT) handling shared by the time loop and by every file writer: writers
// ignore the signal while they write and re-arm or disarm the handler afterwards.
#include <atomic>

// Sets the interrupt option the handler raises (the running application's); null while no
// application exists, so that the handler never touches a missing one.
void SetInterruptTarget(std::atomic<int>* option) noexcept;
std::atomic<int>* InterruptTarget() noexcept;

// The SIGINT handler: ignores further interrupts, then raises a pending option to 1.
extern "C" void OnCtrlC(int signal);
// Installs OnCtrlC for SIGINT.
void ResetCtrlCHandler();
// Restores the default action of SIGINT.
void DisableCtrlCHandler();
// Ignores SIGINT (while files are read or written).
void IgnoreCtrlC();
