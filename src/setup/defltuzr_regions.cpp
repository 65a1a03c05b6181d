// Regression regions of the meteorological interpolation: the region grid (the whole domain as
// one region unless the control file gives "regression_regions"), the transition distance of
// "[region_transition_distance]", the region ranking and the grids of up to three regions per
// cell with their blending weights.
//
// Every process ranks the regions of its own cells and computes the weights of the rows it holds
// from the regions of the cells their neighbourhoods reach, taken from the cells' owners; process
// 0 collects them all, so every process sees what a single process computes.
#include <algorithm>

#include "setup/defltuzr.hpp"
#include "setup/derivedgrids.hpp"
#include "setup/regionweights.hpp"

void defaultini::MakeRegionWeightGrids() {
    regions_ = RegionTables{};
    RegionWeightGrids grids;
    const Matrix* zone = (*gridStore)[1].grid;
    if (zone == nullptr) return;

    int regionIndex = FindSetupGrid("regression_regions");
    if (regionIndex > 0) {
        grids.regions = DataOf(regionIndex);
    } else {
        // The whole domain is one region of code 1. Every process fills its own rows and the rows
        // next to them, the cells of the zone from the owner grid: the weights and the
        // superposition read a region only at cells of the zone, and no other process's.
        const int first = std::max(1, firstRow - 1), last = std::min(nrows, lastRow + 1);
        grids.regions = CreateOwnedGrid(first, last);
        regionIndex = RegisterSetupGrid(DerivedFileName((*gridStore)[1].fileName, ".$r1"), "regression_regions",
                                        grids.regions, 0, first, last);
        ++standardGridCount_;
        const Matrix& valid = mpiRegions != nullptr ? *mpiRegions : *zone;
        Matrix& region = *grids.regions;
        for (int r = first; r <= last; ++r)
            for (int c = 1; c <= ncols; ++c) region[r][c] = valid[r][c] == nodata ? nodata : 1.0;
    }
    const std::string regionFile = (*gridStore)[regionIndex].fileName;

    OpenControlFile();
    SeekSection("[region_transition_distance]", true);
    ReadValue(ControlStream(), "%lf", &transitionDistance_, "transition distance (if or if not using a region grid) ");
    CloseControlFile();

    RankRegions(*this, zone, grids.regions, regionFile, regions_);
    // The region rows arrive before the weight grids are made: process 0 makes whole ones, and
    // the processes next to it would wait for its cells meanwhile.
    RegionWindow window = StartRegionWindow(*this, *zone, zones_.columns, transitionDistance_, *grids.regions);
    CompleteRegionWindow(window);

    // A region grid named without '.' gives its first weights the suffix ".$rw1".
    const bool dotted = regionFile.find('.') != std::string::npos;
    int index = 0;
    std::vector<int> created;
    grids.weights1 = CreateSharedGrid(DerivedFileName(regionFile, dotted ? ".$w1" : ".$rw1"), "regression_weights1",
                                      &index);
    created.push_back(index);
    if (regions_.regionCount >= 2) {
        grids.regions2 = CreateSharedGrid(DerivedFileName(regionFile, ".$r2"), "regression_regions2", &index);
        created.push_back(index);
        grids.weights2 = CreateSharedGrid(DerivedFileName(regionFile, ".$w2"), "regression_weights2", &index);
        created.push_back(index);
    }
    if (regions_.regionCount >= 3) {
        grids.regions3 = CreateSharedGrid(DerivedFileName(regionFile, ".$r3"), "regression_regions3", &index);
        created.push_back(index);
        grids.weights3 = CreateSharedGrid(DerivedFileName(regionFile, ".$w3"), "regression_weights3", &index);
        created.push_back(index);
    }

    // Cells outside the basin's column ranges are not computed: they keep the 0 of a new grid.
    ComputeRegionWeights(*this, window, *zone, regions_.regionCount, grids);

    // Written in turn up to the first failure, which every process learns of once.
    WriteOnce(created);
}
