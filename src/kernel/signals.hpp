#pragma once
// The interrupt (SIGINT) handling shared by the time loop and by every file writer: writers
// hold the signal while they write and re-arm or disarm the handler afterwards; a held
// interrupt reaches the application when the handler is armed again.
#include <atomic>

// Sets the interrupt option the handler raises (the running application's); null while no
// application exists, so that the handler never touches a missing one (and drops a held
// interrupt).
void SetInterruptTarget(std::atomic<int>* option) noexcept;
std::atomic<int>* InterruptTarget() noexcept;

// The SIGINT handler: ignores further interrupts, then raises a pending option to 1; without
// an application the interrupt is held for the one that arms the handler next.
extern "C" void OnCtrlC(int signal);
// Installs OnCtrlC for SIGINT and delivers a held interrupt.
void ResetCtrlCHandler();
// Restores the default action of SIGINT.
void DisableCtrlCHandler();
// Holds SIGINT without acting on it (while files are read or written).
void IgnoreCtrlC();
