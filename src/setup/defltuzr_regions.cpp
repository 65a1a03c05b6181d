// Regression regions of the meteorological interpolation: the region grid (the whole domain as
// one region unless the control file gives "regression_regions"), the transition distance of
// "[region_transition_distance]", the region ranking and the grids of up to three regions per
// cell with their blending weights.
//
// Process 0 ranks the regions; every process computes the weights of the rows it holds from
// process 0's region grid and process 0 collects them all, so every process sees what a single
// process computes.
#include "setup/defltuzr.hpp"
#include "setup/derivedgrids.hpp"
#include "setup/regionweights.hpp"
#include "setup/rootrows.hpp"

void defaultini::MakeRegionWeightGrids() {
    regions_ = RegionTables{};
    RegionWeightGrids grids;
    const Matrix* zone = (*gridStore)[1].grid;
    if (zone == nullptr) return;

    int regionIndex = FindSetupGrid("regression_regions");
    if (regionIndex > 0) {
        grids.regions = DataOf(regionIndex);
    } else {
        // The whole domain is one region of code 1.
        grids.regions = CreateSharedGrid(DerivedFileName((*gridStore)[1].fileName, ".$r1"), "regression_regions",
                                         &regionIndex);
        Matrix& region = *grids.regions;
        if (rank == 0) {
            for (int r = 1; r <= nrows; ++r)
                for (int c = 1; c <= ncols; ++c) region[r][c] = (*zone)[r][c] == nodata ? nodata : 1.0;
        }
        ShareRowsFromRoot(*this, region);
    }
    const std::string regionFile = (*gridStore)[regionIndex].fileName;

    OpenControlFile();
    SeekSection("[region_transition_distance]", true);
    ReadValue(ControlStream(), "%lf", &transitionDistance_, "transition distance (if or if not using a region grid) ");
    CloseControlFile();

    RankRegions(*this, zone, grids.regions, regionFile, regions_);

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
    ComputeRegionWeights(*this, *zone, zones_.columns, transitionDistance_, regions_.regionCount, grids);

    for (int i : created) WriteOnce(i);
}
