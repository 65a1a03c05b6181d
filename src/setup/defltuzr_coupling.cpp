// External file coupling of the set-up object: "[ExternalCoupling]" and the file exchange of
// each coupling period, done by the coupling component on behalf of the set-up.
#include "setup/defltuzr.hpp"

void defaultini::GetCouplingParameters() {
    coupling_.ReadSettings(compiledName_.empty() ? controlFileName : compiledName_);
    couplingMode_ = coupling_.Mode();
    semaphoreFile_ = coupling_.SemaphoreFileName();
    couplingWaitInterval_ = coupling_.WaitInterval();
    couplingLetter_ = coupling_.PeriodLetter();
    externalTimeStep_ = coupling_.ExternalTimeStep();
    externalSemaphoreFile_ = coupling_.OutgoingSemaphoreFileName();
    externalSemaphoreContent_ = coupling_.OutgoingSemaphoreContent();
}

void defaultini::LinkExternalGrids(const OutputCodeEntry* table, int entries) {
    coupling_.Link(table, entries);
}

bool defaultini::HasExternalGWTable() const { return coupling_.HasExternalGWTable(); }

void defaultini::ReadExternalGrids(std::int64_t year, std::int64_t month, std::int64_t day, std::int64_t hour) {
    coupling_.ReadGrids(year, month, day, hour);
}

void defaultini::AccumulateExternalOutput() { coupling_.Accumulate(); }

void defaultini::WriteExternalOutput(std::int64_t day, std::int64_t month, std::int64_t year, bool endOfDay,
                                     bool endOfMonth, bool endOfYear) {
    coupling_.Write(day, month, year, endOfDay, endOfMonth, endOfYear, zones_.zoneCount);
}
