// External file coupling: "[ExternalCoupling]" and the file exchange of each coupling period.
//
// Placeholders: filled in by the coupling work. Until then a run is never coupled.
#include "setup/defltuzr.hpp"

void defaultini::GetCouplingParameters() {}

bool defaultini::HasExternalGWTable() const { return false; }

void defaultini::ReadExternalGrids(std::int64_t /*year*/, std::int64_t /*month*/, std::int64_t /*day*/,
                                   std::int64_t /*hour*/) {}

void defaultini::AccumulateExternalOutput() {}

void defaultini::WriteExternalOutput(std::int64_t /*day*/, std::int64_t /*month*/, std::int64_t /*year*/,
                                     bool /*endOfDay*/, bool /*endOfMonth*/, bool /*endOfYear*/) {}
