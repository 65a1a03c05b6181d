#include "meteo/meteoint.hpp"

meteointerpol::meteointerpol(unsigned& error, DiagLog* log_, const std::string& name, const SubmodelSettings& s,
                             int gridIndex_)
    : modelobject(log_, s.controlFileName, 0, s.textOutput, s.doublePrecision, s.record), gridIndex(gridIndex_) {
    SetModuleName(name);
    CatchIntoError(error, [&] { RefuseUnavailableModule(log, moduleName, kUnavailableCode); });
}

meteointerpol::~meteointerpol() = default;

void meteointerpol::GetDate(std::int64_t* h, std::int64_t* d, std::int64_t* m, std::int64_t* y) const {
    *h = hour;
    *d = day;
    *m = month;
    *y = year;
}

void meteointerpol::run(std::int64_t, std::int64_t, std::int64_t, std::int64_t) {}


precicorrclass::precicorrclass(unsigned& error, DiagLog* log_, const std::vector<meteointerpol*>&,
                               const std::vector<std::string>&, const SubmodelSettings& s)
    : modelobject(log_, s.controlFileName, 0, s.textOutput, s.doublePrecision, s.record) {
    SetModuleName("precipitation_correction");
    CatchIntoError(error, [&] {
        controlFile = OpenFile(controlFileName, "rt");
        if (!controlFile) {
            *log << "FATAL: error opening " << controlFileName << "[end-entry]";
            throw ModelError(28);
        }
        SeekSection("[precipitation_correction]", true);
        ReadValue(ControlStream(), "%d", &doIt, "flow control parameter for [precipitation_correction]");
        controlFile.reset();
        if (doIt != 0) RefuseUnavailableModule(log, moduleName, kUnavailableCode);
    });
}


RegionalSuperposition::RegionalSuperposition(unsigned& error, DiagLog* log_, const SubmodelSettings& s)
    : teilmodellklasse(log_, "RegionalSuperposition", s, 1) {
    CatchIntoError(error, [&] { StartUnavailableModule("regsuper", kUnavailableCode); });
}
