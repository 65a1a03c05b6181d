#include "routing/state_reader.hpp"

#include <cmath>

#include "kernel/diaglog.hpp"
#include "kernel/error.hpp"
#include "kernel/modelobject.hpp"

namespace routing {

int StateReader::Integer(const char* what) {
    int v = 0;
    if (std::fscanf(f_, "%d", &v) != 1) Fail(what);
    return v;
}

double StateReader::Value() {
    double v = 0;
    if (std::fscanf(f_, "%lf", &v) != 1 || !std::isfinite(v)) Fail("error reading a stored value");
    return v;
}

void StateReader::SkipLine() { ReadLineRest(f_); }

void StateReader::Fail(const char* what) {
    log_ << "FATAL: " << what << " in file " << name_ << " (position " << position << ")" << "[end-entry]";
    throw ModelError(71);
}

void StorageMismatch(DiagLog& log, const std::string& name, double controlValue, double fileValue) {
    log << "FATAL: error in storage file content reading " << name << ":\nvalue in actual control is:   "
        << controlValue << "\nbut value in storage file is: " << fileValue << "\nTalvo throws..." << "[end-entry]";
    throw ModelError(72);
}

}  // namespace routing
