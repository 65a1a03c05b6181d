#include "setup/tracer_ini.hpp"

tracer_ini_class::tracer_ini_class(unsigned& error, DiagLog* log_, const std::string& controlFileName_,
                                   bool textOutput_, bool doublePrecision_, const ObjectRecord& record, int& count,
                                   const TracerDescriptor*& descriptors)
    : modelobject(log_, controlFileName_, 0, textOutput_, doublePrecision_, record) {
    SetModuleName("tracer_ini");
    error = 0;
    try {
        ReadSection();
    } catch (const ModelError& e) {
        error = static_cast<unsigned>(e.code());
    } catch (...) {
        error = 103;
    }
    count = count_;
    descriptors = count_ > 0 ? descriptors_.data() : nullptr;
}

// Without the section there are no tracers. The tracer lines themselves are not read by this
// build: a run that asks for tracers stops instead of running without them.
void tracer_ini_class::ReadSection() {
    controlFile = OpenFile(controlFileName, "rt");
    if (!controlFile) {
        *log << "FATAL: error opening " << controlFileName << "[end-entry]";
        throw ModelError(28);
    }
    if (!SeekSection("[substance_transport]", false)) return;
    int n = 0;
    ReadValue(ControlStream(), "%i", &n, " number of tracers in ");
    if (n >= 10) {
        *log << "FATAL: not more than 9 tracer species are allowed at one time (they need a very lot of memory!)"
             << "[end-entry]";
        throw ModelError(58);
    }
    if (n > 0) {
        *log << "FATAL: module tracer_ini is not implemented" << "[end-entry]";
        throw ModelError(2021);
    }
    descriptors_.resize(1);
    if (std::fclose(controlFile.release()) != 0) {
        *log << "FATAL: error closing " << controlFileName << "[end-entry]";
        throw ModelError(11);
    }
}
