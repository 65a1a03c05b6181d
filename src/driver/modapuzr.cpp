#include "driver/modapuzr.hpp"

#include "kernel/diaglog.hpp"
#include "kernel/error.hpp"

// The application is built by its own module; until then a control file cannot be run, and
// saying so loudly is the only honest answer.
ModellApplication::ModellApplication(DiagLog* log, int, char**, int) : log_(log) {
    *log_ << "FATAL: module ModellApplication is not implemented" << "[end-entry]";
    *log_ << "FATAL: exceptions in ModellApplication::init() caught!" << "[end-entry]";
    throw ModelError(3);
}

ModellApplication::~ModellApplication() = default;
int ModellApplication::run() { return 0; }
void ModellApplication::ClearMemory() {}
bool ModellApplication::FlagFloatingPointError() noexcept { return false; }
