#include "meteo/station_kernels.hpp"

#include "kernel/hotloop.hpp"

#ifdef __SSE2__
#include <immintrin.h>
#endif

namespace meteo_kernel {

namespace {
// Cells are taken in blocks of kBlock, two side by side in one vector register where the
// machine has them: every lane does the scalar arithmetic of its cell, and the comparisons
// become lane masks, so that the station loop runs without branches.
constexpr int kPairs = 4;
constexpr int kBlock = 2 * kPairs;

#ifdef __SSE2__
inline __m128d Select(__m128d mask, __m128d a, __m128d b) { return _mm_or_pd(_mm_and_pd(mask, a), _mm_andnot_pd(mask, b)); }

inline void Block(const IdwStations& s, const double* x, const double* y, double* out) {
    __m128d px[kPairs], py[kPairs], sum[kPairs], weightSum[kPairs];
    const __m128d zero = _mm_setzero_pd(), one = _mm_set1_pd(1.0);
    const __m128d maxD2 = _mm_set1_pd(s.maxDistance2), colocated = _mm_set1_pd(s.colocatedWeight);
    for (int p = 0; p < kPairs; ++p) {
        px[p] = _mm_loadu_pd(x + 2 * p);
        py[p] = _mm_loadu_pd(y + 2 * p);
        sum[p] = weightSum[p] = zero;
    }
    for (int k = 0; k < s.count; ++k) {
        const __m128d sx = _mm_set1_pd(s.x[k]), sy = _mm_set1_pd(s.y[k]), v = _mm_set1_pd(s.value[k]);
        for (int p = 0; p < kPairs; ++p) {
            const __m128d dx = _mm_sub_pd(sx, px[p]);
            const __m128d dy = _mm_sub_pd(sy, py[p]);
            const __m128d d2 = _mm_add_pd(_mm_mul_pd(dx, dx), _mm_mul_pd(dy, dy));
            const __m128d inReach = _mm_and_pd(_mm_cmple_pd(d2, maxD2), _mm_div_pd(one, d2));
            const __m128d w = Select(_mm_cmpeq_pd(d2, zero), colocated, inReach);
            weightSum[p] = _mm_add_pd(weightSum[p], w);
            sum[p] = _mm_add_pd(sum[p], _mm_mul_pd(w, v));
        }
    }
    double sums[kBlock], weights[kBlock];
    for (int p = 0; p < kPairs; ++p) {
        _mm_storeu_pd(sums + 2 * p, sum[p]);
        _mm_storeu_pd(weights + 2 * p, weightSum[p]);
    }
    for (int j = 0; j < kBlock; ++j) out[j] = weights[j] == 0 ? s.missing : sums[j] / weights[j];
}

inline void NearestBlock(const IdwStations& s, const double* x, const double* y, double* out) {
    __m128d px[kPairs], py[kPairs], best[kPairs], value[kPairs];
    for (int p = 0; p < kPairs; ++p) {
        px[p] = _mm_loadu_pd(x + 2 * p);
        py[p] = _mm_loadu_pd(y + 2 * p);
        best[p] = _mm_set1_pd(1e20);
        value[p] = _mm_set1_pd(s.missing);
    }
    for (int k = 0; k < s.count; ++k) {
        const __m128d sx = _mm_set1_pd(s.x[k]), sy = _mm_set1_pd(s.y[k]), v = _mm_set1_pd(s.value[k]);
        for (int p = 0; p < kPairs; ++p) {
            const __m128d dx = _mm_sub_pd(sx, px[p]);
            const __m128d dy = _mm_sub_pd(sy, py[p]);
            const __m128d d2 = _mm_add_pd(_mm_mul_pd(dx, dx), _mm_mul_pd(dy, dy));
            const __m128d nearer = _mm_cmple_pd(d2, best[p]);
            best[p] = Select(nearer, d2, best[p]);
            value[p] = Select(nearer, v, value[p]);
        }
    }
    for (int p = 0; p < kPairs; ++p) _mm_storeu_pd(out + 2 * p, value[p]);
}

#if defined(__x86_64__) && defined(__GNUC__)
// The same blocks with four cells per register, for processors with AVX2: every lane still does
// the scalar arithmetic of its cell (no fused multiply-add), so the results are the same bit for
// bit as those of the two-lane blocks.
constexpr int kQuads = kBlock / 4;

__attribute__((target("avx2"))) inline __m256d Select4(__m256d mask, __m256d a, __m256d b) {
    return _mm256_or_pd(_mm256_and_pd(mask, a), _mm256_andnot_pd(mask, b));
}

__attribute__((target("avx2"))) void BlockAvx2(const IdwStations& s, const double* x, const double* y, double* out) {
    __m256d px[kQuads], py[kQuads], sum[kQuads], weightSum[kQuads];
    const __m256d zero = _mm256_setzero_pd(), one = _mm256_set1_pd(1.0);
    const __m256d maxD2 = _mm256_set1_pd(s.maxDistance2), colocated = _mm256_set1_pd(s.colocatedWeight);
    for (int p = 0; p < kQuads; ++p) {
        px[p] = _mm256_loadu_pd(x + 4 * p);
        py[p] = _mm256_loadu_pd(y + 4 * p);
        sum[p] = weightSum[p] = zero;
    }
    for (int k = 0; k < s.count; ++k) {
        const __m256d sx = _mm256_set1_pd(s.x[k]), sy = _mm256_set1_pd(s.y[k]), v = _mm256_set1_pd(s.value[k]);
        for (int p = 0; p < kQuads; ++p) {
            const __m256d dx = _mm256_sub_pd(sx, px[p]);
            const __m256d dy = _mm256_sub_pd(sy, py[p]);
            const __m256d d2 = _mm256_add_pd(_mm256_mul_pd(dx, dx), _mm256_mul_pd(dy, dy));
            const __m256d inReach = _mm256_and_pd(_mm256_cmp_pd(d2, maxD2, _CMP_LE_OS), _mm256_div_pd(one, d2));
            const __m256d w = Select4(_mm256_cmp_pd(d2, zero, _CMP_EQ_OQ), colocated, inReach);
            weightSum[p] = _mm256_add_pd(weightSum[p], w);
            sum[p] = _mm256_add_pd(sum[p], _mm256_mul_pd(w, v));
        }
    }
    double sums[kBlock], weights[kBlock];
    for (int p = 0; p < kQuads; ++p) {
        _mm256_storeu_pd(sums + 4 * p, sum[p]);
        _mm256_storeu_pd(weights + 4 * p, weightSum[p]);
    }
    for (int j = 0; j < kBlock; ++j) out[j] = weights[j] == 0 ? s.missing : sums[j] / weights[j];
}

__attribute__((target("avx2"))) void NearestBlockAvx2(const IdwStations& s, const double* x, const double* y,
                                                      double* out) {
    __m256d px[kQuads], py[kQuads], best[kQuads], value[kQuads];
    for (int p = 0; p < kQuads; ++p) {
        px[p] = _mm256_loadu_pd(x + 4 * p);
        py[p] = _mm256_loadu_pd(y + 4 * p);
        best[p] = _mm256_set1_pd(1e20);
        value[p] = _mm256_set1_pd(s.missing);
    }
    for (int k = 0; k < s.count; ++k) {
        const __m256d sx = _mm256_set1_pd(s.x[k]), sy = _mm256_set1_pd(s.y[k]), v = _mm256_set1_pd(s.value[k]);
        for (int p = 0; p < kQuads; ++p) {
            const __m256d dx = _mm256_sub_pd(sx, px[p]);
            const __m256d dy = _mm256_sub_pd(sy, py[p]);
            const __m256d d2 = _mm256_add_pd(_mm256_mul_pd(dx, dx), _mm256_mul_pd(dy, dy));
            const __m256d nearer = _mm256_cmp_pd(d2, best[p], _CMP_LE_OS);
            best[p] = Select4(nearer, d2, best[p]);
            value[p] = Select4(nearer, v, value[p]);
        }
    }
    for (int p = 0; p < kQuads; ++p) _mm256_storeu_pd(out + 4 * p, value[p]);
}
#define TALVO_STATION_AVX2 1
#endif
#else
// Without vector registers: the same arithmetic, one cell at a time.
inline void Block(const IdwStations& s, const double* x, const double* y, double* out) {
    for (int j = 0; j < kBlock; ++j) {
        double sum = 0, weightSum = 0;
        for (int k = 0; k < s.count; ++k) {
            const double dx = s.x[k] - x[j];
            const double dy = s.y[k] - y[j];
            const double d2 = dx * dx + dy * dy;
            const double w = d2 == 0 ? s.colocatedWeight : d2 <= s.maxDistance2 ? 1.0 / d2 : 0.0;
            weightSum += w;
            sum += w * s.value[k];
        }
        out[j] = weightSum == 0 ? s.missing : sum / weightSum;
    }
}

inline void NearestBlock(const IdwStations& s, const double* x, const double* y, double* out) {
    for (int j = 0; j < kBlock; ++j) {
        double best = 1e20, value = s.missing;
        for (int k = 0; k < s.count; ++k) {
            const double dx = s.x[k] - x[j];
            const double dy = s.y[k] - y[j];
            const double d2 = dx * dx + dy * dy;
            if (d2 <= best) {
                best = d2;
                value = s.value[k];
            }
        }
        out[j] = value;
    }
}
#endif
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
#ifdef TALVO_STATION_AVX2
    if (CpuHasAvx2()) return Run(BlockAvx2, s, x, y, n, out);
#endif
    Run(Block, s, x, y, n, out);
}

void NearestStation(const IdwStations& s, const double* x, const double* y, int n, double* out) {
#ifdef TALVO_STATION_AVX2
    if (CpuHasAvx2()) return Run(NearestBlockAvx2, s, x, y, n, out);
#endif
    Run(NearestBlock, s, x, y, n, out);
}

}  // namespace meteo_kernel
