// The choice is made four cells at a time with AVX2 where the processor has it, otherwise cell
// by cell; both only compare and copy values, so they give the same bits.
#include "kernel/rowselect.hpp"

#include "kernel/hotloop.hpp"

namespace rowselect {
namespace {

inline double Select(double region, double own, double outside, double nodata) {
    return region == 0 ? own : region == nodata ? outside : nodata;
}

inline double Next(const double* values, std::size_t* next, std::size_t received, double nodata) {
    return *next < received ? values[(*next)++] : nodata;
}

void SelectRowPlain(double* to, const double* region, const double* own, const double* outside, double nodata,
                    int n) {
    for (int i = 0; i < n; ++i) to[i] = Select(region[i], own[i], outside[i], nodata);
}

void SelectRowStreamedPlain(double* to, const double* region, const double* own, const double* values,
                            std::size_t* next, std::size_t received, double nodata, int n) {
    for (int i = 0; i < n; ++i)
        to[i] = region[i] == 0 ? own[i] : region[i] == nodata ? Next(values, next, received, nodata) : nodata;
}

#ifdef TALVO_AVX2_PATHS

// Ordered comparisons: a region value that is not a number is neither 0 nor nodata, as in the
// scalar comparison.
__attribute__((target("avx2"))) void SelectRowAvx2(double* to, const double* region, const double* own,
                                                   const double* outside, double nodata, int n) {
    const __m256d zero = _mm256_setzero_pd(), none = _mm256_set1_pd(nodata);
    int i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m256d r = _mm256_loadu_pd(region + i);
        const __m256d isOwn = _mm256_cmp_pd(r, zero, _CMP_EQ_OQ);
        const __m256d isOutside = _mm256_cmp_pd(r, none, _CMP_EQ_OQ);
        __m256d v = _mm256_blendv_pd(none, _mm256_loadu_pd(outside + i), isOutside);
        v = _mm256_blendv_pd(v, _mm256_loadu_pd(own + i), isOwn);
        _mm256_storeu_pd(to + i, v);
    }
    for (; i < n; ++i) to[i] = Select(region[i], own[i], outside[i], nodata);
}

// Four cells without an outside cell go at once, and so do four outside cells; the outside cells
// of the others one by one.
__attribute__((target("avx2"))) void SelectRowStreamedAvx2(double* to, const double* region, const double* own,
                                                           const double* values, std::size_t* next,
                                                           std::size_t received, double nodata, int n) {
    const __m256d zero = _mm256_setzero_pd(), none = _mm256_set1_pd(nodata);
    int i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m256d r = _mm256_loadu_pd(region + i);
        const __m256d isOwn = _mm256_cmp_pd(r, zero, _CMP_EQ_OQ);
        _mm256_storeu_pd(to + i, _mm256_blendv_pd(none, _mm256_loadu_pd(own + i), isOwn));
        const int outside = _mm256_movemask_pd(_mm256_cmp_pd(r, none, _CMP_EQ_OQ)) & ~_mm256_movemask_pd(isOwn);
        if (outside == 0) continue;
        if (outside == 15 && received - *next >= 4) {
            _mm256_storeu_pd(to + i, _mm256_loadu_pd(values + *next));
            *next += 4;
            continue;
        }
        for (int k = 0; k < 4; ++k)
            if ((outside >> k) & 1) to[i + k] = Next(values, next, received, nodata);
    }
    SelectRowStreamedPlain(to + i, region + i, own + i, values, next, received, nodata, n - i);
}
#endif

}  // namespace

void SelectRow(double* to, const double* region, const double* own, const double* outside, double nodata, int n) {
#ifdef TALVO_AVX2_PATHS
    if (CpuHasAvx2()) return SelectRowAvx2(to, region, own, outside, nodata, n);
#endif
    SelectRowPlain(to, region, own, outside, nodata, n);
}

void SelectRowStreamed(double* to, const double* region, const double* own, const double* values,
                       std::size_t* next, std::size_t received, double nodata, int n) {
#ifdef TALVO_AVX2_PATHS
    if (CpuHasAvx2()) return SelectRowStreamedAvx2(to, region, own, values, next, received, nodata, n);
#endif
    SelectRowStreamedPlain(to, region, own, values, next, received, nodata, n);
}

}  // namespace rowselect
