#include "meteo/station_kernels.hpp"

#include <cstring>

namespace meteo_kernel {

namespace {
// Two cells side by side in one vector register: every lane does the scalar arithmetic of its
// cell, and the comparisons become lane masks, so that the station loop runs without branches.
typedef double Pair __attribute__((vector_size(2 * sizeof(double))));
typedef long long PairMask __attribute__((vector_size(2 * sizeof(double))));
constexpr int kPairs = 4;
constexpr int kBlock = 2 * kPairs;

inline Pair Select(PairMask m, Pair a, Pair b) {
    return reinterpret_cast<Pair>((reinterpret_cast<PairMask>(a) & m) | (reinterpret_cast<PairMask>(b) & ~m));
}

inline void NearestBlock(const IdwStations& s, const double* x, const double* y, double* out) {
    Pair px[kPairs], py[kPairs], best[kPairs], value[kPairs];
    std::memcpy(px, x, sizeof(px));
    std::memcpy(py, y, sizeof(py));
    const Pair zero = {};
    for (int p = 0; p < kPairs; ++p) {
        best[p] = zero + 1e20;
        value[p] = zero + s.missing;
    }
    for (int k = 0; k < s.count; ++k) {
        const double sx = s.x[k], sy = s.y[k];
        const Pair v = zero + s.value[k];
        for (int p = 0; p < kPairs; ++p) {
            const Pair dx = sx - px[p];
            const Pair dy = sy - py[p];
            const Pair d2 = dx * dx + dy * dy;
            const PairMask nearer = d2 <= best[p];
            best[p] = Select(nearer, d2, best[p]);
            value[p] = Select(nearer, v, value[p]);
        }
    }
    std::memcpy(out, value, sizeof(value));
}

// One full block of cells: the station loop outside, the cells side by side inside, each cell
// keeping its own station order.
inline void Block(const IdwStations& s, const double* x, const double* y, double* out) {
    Pair px[kPairs], py[kPairs], sum[kPairs], weightSum[kPairs];
    std::memcpy(px, x, sizeof(px));
    std::memcpy(py, y, sizeof(py));
    const Pair zero = {};
    const Pair maxD2 = zero + s.maxDistance2;
    const auto colocated = reinterpret_cast<PairMask>(zero + s.colocatedWeight);
    for (int p = 0; p < kPairs; ++p) sum[p] = weightSum[p] = zero;
    for (int k = 0; k < s.count; ++k) {
        const double sx = s.x[k], sy = s.y[k], v = s.value[k];
        for (int p = 0; p < kPairs; ++p) {
            const Pair dx = sx - px[p];
            const Pair dy = sy - py[p];
            const Pair d2 = dx * dx + dy * dy;
            const Pair inverse = 1.0 / d2;
            const PairMask inReach = d2 <= maxD2;
            const PairMask atStation = d2 == zero;
            const PairMask bits = (reinterpret_cast<PairMask>(inverse) & inReach & ~atStation) | (colocated & atStation);
            const Pair w = reinterpret_cast<Pair>(bits);
            weightSum[p] += w;
            sum[p] += w * v;
        }
    }
    for (int j = 0; j < kBlock; ++j) {
        const double ws = weightSum[j / 2][j % 2];
        out[j] = ws == 0 ? s.missing : sum[j / 2][j % 2] / ws;
    }
}
}  // namespace

namespace {
using BlockFunction = void (*)(const IdwStations&, const double*, const double*, double*);

inline void Run(BlockFunction block, const IdwStations& s, const double* x, const double* y, int n, double* out) {
    int i = 0;
    for (; i + kBlock <= n; i += kBlock) block(s, x + i, y + i, out + i);
    if (i == n) return;
    // The last, partial block repeats its last cell in the unused lanes.
    double tx[kBlock], ty[kBlock], to[kBlock];
    for (int j = 0; j < kBlock; ++j) {
        const int from = i + j < n ? i + j : n - 1;
        tx[j] = x[from];
        ty[j] = y[from];
    }
    block(s, tx, ty, to);
    for (int j = 0; i + j < n; ++j) out[i + j] = to[j];
}
}  // namespace

void InverseDistanceSquared(const IdwStations& s, const double* x, const double* y, int n, double* out) {
    Run(Block, s, x, y, n, out);
}

void NearestStation(const IdwStations& s, const double* x, const double* y, int n, double* out) {
    Run(NearestBlock, s, x, y, n, out);
}

}  // namespace meteo_kernel
