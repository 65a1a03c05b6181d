// Station kernels over a run of cells: inverse-distance weighting with weight 2 (squared
// distances against a squared maximum distance) and the nearest station. The stations are held
// in contiguous arrays; cells are processed in small blocks so that the station loop runs across
// the cells of a block, with every cell taking its stations in station order (the same
// operations, in the same order, as one cell at a time).
#pragma once

#include <cstddef>

namespace meteo_kernel {

struct IdwStations {
    const double* x = nullptr;
    const double* y = nullptr;
    const double* value = nullptr;
    int count = 0;
    double maxDistance2 = 0;  // squared maximum distance
    double colocatedWeight = 0;  // weight of a station at distance zero
    double missing = 0;          // result of a cell without a station in reach
};

// out[i] for the cells at (x[i], y[i]), i < n (the missing value where no station is in reach).
void InverseDistanceSquared(const IdwStations& s, const double* x, const double* y, int n, double* out);

// out[i] is the value of the station nearest to (x[i], y[i]), i < n, the later station on equal
// distance; s.missing where no station is nearer than 1e10. Only x, y, value and count are read.
void NearestStation(const IdwStations& s, const double* x, const double* y, int n, double* out);

}  // namespace meteo_kernel
