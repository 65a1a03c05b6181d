// meteointerpol: the cell loop of plain inverse-distance weighting with weight 2 and of the
// nearest station. It gives the same values, bit for bit, as the general loop: every cell takes
// its stations in station order; stations without a valid value are left out (inverse distance
// adds a zero weight and a signed zero for them, the nearest station skips them).
#include <omp.h>

#include <algorithm>
#include <cmath>

#include "kernel/threading.hpp"
#include "meteo/station_kernels.hpp"
#include "meteo/meteoint.hpp"

bool meteointerpol::StationKernelLoop() {
    const bool nearest = method == 4;
    if (uniformStep_) return false;
    if (!nearest && (method != 1 || anisotropyRatio < 1.0 || weightingMode != 2000)) return false;
    const StationFile& f = input_->Station(0);
    const int n = f.StationCount();
    const double* v = f.Values().data();
    idwX_.clear();
    idwY_.clear();
    idwValue_.clear();
    for (int k = 1; k <= n; ++k) {
        if (v[k] < -N) {
            // Left out only where its zero weight times its value is a signed zero.
            if (!nearest && !std::isfinite(v[k])) return false;
            continue;
        }
        idwX_.push_back(f.X()[static_cast<std::size_t>(k)]);
        idwY_.push_back(f.Y()[static_cast<std::size_t>(k)]);
        idwValue_.push_back(v[k]);
    }
    meteo_kernel::IdwStations stations;
    stations.x = idwX_.data();
    stations.y = idwY_.data();
    stations.value = idwValue_.data();
    stations.count = static_cast<int>(idwValue_.size());
    stations.maxDistance2 = maxDistance;
    stations.colocatedWeight = maxDistance >= 1 ? 1.0 : 0.0;
    stations.missing = -N - 1;

    const int threads = std::max(omp_get_max_threads(), 1);
    const std::size_t width = static_cast<std::size_t>(ncols) + 1;
    if (rowScratch_.size() < 3 * width * static_cast<std::size_t>(threads))
        rowScratch_.resize(3 * width * static_cast<std::size_t>(threads));
    if (rowColumns_.size() < width * static_cast<std::size_t>(threads))
        rowColumns_.resize(width * static_cast<std::size_t>(threads));
    // Inverse distance uses the rotated coordinates where they exist, the nearest station CoordX/CoordY.
    const Matrix& cx = rotatedX && !nearest ? rotatedX : *coordX;
    const Matrix& cy = rotatedY && !nearest ? rotatedY : *coordY;
    // The fields the cells read, in locals: the stores into the result rows would otherwise make
    // the compiler fetch them again for every cell. The finish below is Finish's expression.
    const double nd = nodata, missing = -N;
    const bool plainFinish = SzenUse != 1;
    const double factor = scalingFactor, lower = lowerLimit, lowerValue = lowerReplacement, upper = upperLimit,
                 upperValue = upperReplacement;
    const Matrix* scaling = scalingGrid;
#pragma omp parallel if (WorthThreads(firstRow, lastRow, ncols))
    {
        const auto t = static_cast<std::size_t>(omp_get_thread_num());
        double* xs = rowScratch_.data() + 3 * width * t;
        double* ys = xs + width;
        double* out = ys + width;
        int* columns = rowColumns_.data() + width * t;
#pragma omp for schedule(runtime)
        for (int r = firstRow; r <= lastRow; ++r) {
            double* row = result[r];
            unsigned char* flags = noStation_.data() + static_cast<std::size_t>(r - firstRow) * width;
            const auto [c1, c2] = BasinColumns(r);
            const OwnRow ownRow = OwnRowOf(r);
            const double* xRow = cx[r];
            const double* yRow = cy[r];
            int own = 0;
            for (int c = c1; c <= c2; ++c) {
                flags[c] = 0;
                if (!ownRow.Own(c)) {
                    row[c] = nd;
                    continue;
                }
                columns[own] = c;
                xs[own] = xRow[c];
                ys[own] = yRow[c];
                ++own;
            }
            if (nearest) {
                meteo_kernel::NearestStation(stations, xs, ys, own, out);
            } else {
                meteo_kernel::InverseDistanceSquared(stations, xs, ys, own, out);
            }
            for (int i = 0; i < own; ++i) flags[columns[i]] = !nearest && out[i] < missing ? 1 : 0;
            if (!plainFinish) {
                for (int i = 0; i < own; ++i) {
                    const int c = columns[i];
                    row[c] = Finish(out[i], (*coordX)[r][c], (*coordY)[r][c], r, c);
                }
                continue;
            }
            const double* scaleRow = scaling != nullptr ? (*scaling)[r] : nullptr;
            for (int i = 0; i < own; ++i) {
                double v = out[i] * factor;
                if (v < lower) {
                    v = lowerValue;
                } else if (v > upper) {
                    v = upperValue;
                }
                if (scaleRow != nullptr) v *= scaleRow[columns[i]];
                row[columns[i]] = v;
            }
        }
    }
    return true;
}
