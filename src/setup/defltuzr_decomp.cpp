// Load balancing and the division of the grid rows among the MPI processes, and the
// distribution of the zone grid.
//
// Placeholders: filled in by the decomposition work. Until then every process holds all rows.
#include "setup/defltuzr.hpp"

void defaultini::CreateMPIRegions() {
    firstRow = 1;
    lastRow = nrows;
    cellsPerProcess_.assign(static_cast<std::size_t>(size), 0);
    sendHaloList_.clear();
    recvHaloList_.clear();
}

void defaultini::DistributeZoneGrid() {}
