// Per-step work on the set-up's grids: periodic re-reading, output by write code and the zone
// statistics of the standard grids.
//
// Placeholders: filled in by the output-control work. They walk RegisteredIndices().
#include "setup/defltuzr.hpp"

void defaultini::UpdatePeriodicGrids(std::int64_t /*hour*/, std::int64_t /*day*/, std::int64_t /*month*/,
                                     std::int64_t /*year*/) {}

void defaultini::WriteStandardGrids(std::int64_t /*hour*/, std::int64_t /*day*/, std::int64_t /*month*/,
                                    std::int64_t /*year*/) {}

void defaultini::WriteVariableGrids(std::int64_t /*hour*/, std::int64_t /*day*/, std::int64_t /*month*/,
                                    std::int64_t /*year*/) {}

void defaultini::ResetStandardGridStatistics() {}

void defaultini::AddStandardGridStatistics() {}

void defaultini::StepStandardGridStatistics(std::int64_t /*hour*/, std::int64_t /*day*/, std::int64_t /*month*/,
                                            std::int64_t /*year*/) {}

void defaultini::WriteStandardGridStatisticLines() {}
