#pragma once
// The application: builds every sub-model from one control file, runs the time loop and
// clears up. The program entry uses only the construction, run and ClearMemory.
#include <atomic>

class DiagLog;

class ModellApplication {
public:
    // argv[controlFileIndex] is the control file to run.
    ModellApplication(DiagLog* log, int argc, char** argv, int controlFileIndex);
    ~ModellApplication();
    ModellApplication(const ModellApplication&) = delete;
    ModellApplication& operator=(const ModellApplication&) = delete;

    int run();
    void ClearMemory();

    // Sets the floating-point-error flag of the sub-models that report it; false when the
    // soil model's flag was already set. Called from the SIGFPE handler: flags only.
    bool FlagFloatingPointError() noexcept;

    // Pending interrupt: 0 nothing pending; raised to 1 by the SIGINT handler.
    std::atomic<int> ctrlCOption{0};

private:
    DiagLog* log_;
};
