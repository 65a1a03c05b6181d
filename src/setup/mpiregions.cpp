#include "setup/mpiregions.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <mpi.h>

#include "kernel/hotloop.hpp"
#include "kernel/modelobject.hpp"
#include "kernel/strhelp.hpp"
#include "kernel/mpirows.hpp"

namespace {
constexpr int kBenchmarkSize = 1000;
constexpr int kBenchmarkRepetitions = 30;

bool IsValid(double v, double nodata) { return v > nodata; }

// Scans of a row for the end of a stretch of cells: the first column from c on (up to end + 1)
// whose value is not v (a NaN never is), the first that is valid or the first that is not,
// and from the other side the last column from end down to c whose value is not v (c - 1 if
// none). They only compare, so the AVX2 versions, four cells at a time, find the same columns.
int RunEndPlain(const double* row, int c, int end, double v) {
    while (c + 3 <= end && row[c] == v && row[c + 1] == v && row[c + 2] == v && row[c + 3] == v) c += 4;
    while (c <= end && row[c] == v) ++c;
    return c;
}
int ValidFromPlain(const double* row, int c, int end, double nodata) {
    while (c <= end && !IsValid(row[c], nodata)) ++c;
    return c;
}
int InvalidFromPlain(const double* row, int c, int end, double nodata) {
    while (c <= end && IsValid(row[c], nodata)) ++c;
    return c;
}
int LastOtherPlain(const double* row, int c, int end, double v) {
    while (end - 3 >= c && row[end] == v && row[end - 1] == v && row[end - 2] == v && row[end - 3] == v) end -= 4;
    while (end >= c && row[end] == v) --end;
    return end;
}

#ifdef TALVO_AVX2_PATHS
// Columns c..c+3 as a mask of lanes: equal to v (ordered), or above nodata (ordered).
__attribute__((target("avx2"))) inline int EqualLanes(const double* row, int c, __m256d v) {
    return _mm256_movemask_pd(_mm256_cmp_pd(_mm256_loadu_pd(row + c), v, _CMP_EQ_OQ));
}
__attribute__((target("avx2"))) inline int AboveLanes(const double* row, int c, __m256d nodata) {
    return _mm256_movemask_pd(_mm256_cmp_pd(_mm256_loadu_pd(row + c), nodata, _CMP_GT_OQ));
}
__attribute__((target("avx2"))) int RunEndAvx2(const double* row, int c, int end, double v) {
    const __m256d value = _mm256_set1_pd(v);
    // Long runs (a refined zone grid's) go eight cells per test; the four-cell steps find the end.
    for (; c + 7 <= end; c += 8) {
        const __m256d equal = _mm256_and_pd(_mm256_cmp_pd(_mm256_loadu_pd(row + c), value, _CMP_EQ_OQ),
                                            _mm256_cmp_pd(_mm256_loadu_pd(row + c + 4), value, _CMP_EQ_OQ));
        if (_mm256_movemask_pd(equal) != 15) break;
    }
    for (; c + 3 <= end; c += 4)
        if (const int other = ~EqualLanes(row, c, value) & 15; other != 0)
            return c + __builtin_ctz(static_cast<unsigned>(other));
    return RunEndPlain(row, c, end, v);
}
__attribute__((target("avx2"))) int ValidFromAvx2(const double* row, int c, int end, double nodata) {
    const __m256d floor = _mm256_set1_pd(nodata);
    for (; c + 3 <= end; c += 4)
        if (const int valid = AboveLanes(row, c, floor); valid != 0)
            return c + __builtin_ctz(static_cast<unsigned>(valid));
    return ValidFromPlain(row, c, end, nodata);
}
__attribute__((target("avx2"))) int InvalidFromAvx2(const double* row, int c, int end, double nodata) {
    const __m256d floor = _mm256_set1_pd(nodata);
    for (; c + 3 <= end; c += 4)
        if (const int invalid = ~AboveLanes(row, c, floor) & 15; invalid != 0)
            return c + __builtin_ctz(static_cast<unsigned>(invalid));
    return InvalidFromPlain(row, c, end, nodata);
}
__attribute__((target("avx2"))) int LastOtherAvx2(const double* row, int c, int end, double v) {
    const __m256d value = _mm256_set1_pd(v);
    for (; end - 3 >= c; end -= 4)
        if (const int other = ~EqualLanes(row, end - 3, value) & 15; other != 0)
            return end - 3 + (31 - __builtin_clz(static_cast<unsigned>(other)));
    return LastOtherPlain(row, c, end, v);
}
#endif

// The valid cells of columns 1..ncols of a row (above nodata; a NaN is not).
std::int64_t ValidCountPlain(const double* row, int ncols, double nodata) {
    std::int64_t n = 0;
    for (int c = 1; c <= ncols; ++c) n += IsValid(row[c], nodata) ? 1 : 0;
    return n;
}

#ifdef TALVO_AVX2_PATHS
__attribute__((target("avx2"))) std::int64_t ValidCountAvx2(const double* row, int ncols, double nodata) {
    static constexpr int kLanesSet[16] = {0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4};
    const __m256d floor = _mm256_set1_pd(nodata);
    std::int64_t n = 0;
    int c = 1;
    for (; c + 3 <= ncols; c += 4) n += kLanesSet[AboveLanes(row, c, floor)];
    for (; c <= ncols; ++c) n += IsValid(row[c], nodata) ? 1 : 0;
    return n;
}
#endif

// The AVX2 scan where the processor has it, else the plain one: both only compare, so they find
// the same cells.
template <auto Avx2, auto Plain, class... Args>
auto Dispatch(Args... args) {
#ifdef TALVO_AVX2_PATHS
    if (CpuHasAvx2()) return Avx2(args...);
#endif
    return Plain(args...);
}

#ifdef TALVO_AVX2_PATHS
#define TALVO_SCAN(name) Dispatch<name##Avx2, name##Plain>
#else
#define TALVO_SCAN(name) Dispatch<name##Plain, name##Plain>
#endif

std::int64_t ValidCount(const double* row, int ncols, double nodata) {
    return TALVO_SCAN(ValidCount)(row, ncols, nodata);
}
int RunEnd(const double* row, int c, int end, double v) { return TALVO_SCAN(RunEnd)(row, c, end, v); }
int ValidFrom(const double* row, int c, int end, double nodata) {
    return TALVO_SCAN(ValidFrom)(row, c, end, nodata);
}
int InvalidFrom(const double* row, int c, int end, double nodata) {
    return TALVO_SCAN(InvalidFrom)(row, c, end, nodata);
}
int LastOther(const double* row, int c, int end, double v) { return TALVO_SCAN(LastOther)(row, c, end, v); }
#undef TALVO_SCAN
}  // namespace

int EqualRunEnd(const double* row, int c, int end, double v) { return RunEnd(row, c, end, v); }

std::vector<double> PerformanceWeights(const std::vector<double>& values) {
    // The reciprocals are scaled by the smallest value, so that a tiny value (whose reciprocal
    // would overflow) still gives finite weights that add up to 1. Only when every value is
    // infinite do all processes weigh the same.
    std::vector<double> v(values.size());
    double smallest = std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i < values.size(); ++i) {
        v[i] = values[i] > 0 ? values[i] : 1.0;
        smallest = std::min(smallest, v[i]);
    }
    std::vector<double> w(values.size(), 1.0);
    double sum = 0;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (std::isfinite(smallest)) w[i] = smallest / v[i];
        sum += w[i];
    }
    for (double& x : w) x /= sum;
    return w;
}

std::vector<std::int64_t> CellShares(std::int64_t n, const std::vector<double>& weights) {
    const std::size_t p = weights.size();
    std::vector<std::int64_t> shares(p, 0);
    std::int64_t sum = 0;
    for (std::size_t i = 0; i < p; ++i) {
        shares[i] = static_cast<std::int64_t>(std::floor(static_cast<double>(n) * weights[i] + 0.4999));
        sum += shares[i];
    }
    shares[p - 1] += n - sum;
    // Every process needs at least one cell; what a small share lacks comes from the largest.
    for (std::size_t i = 0; i < p; ++i) {
        while (shares[i] < 1) {
            auto largest = std::max_element(shares.begin(), shares.end());
            if (*largest <= 1) return shares;  // fewer cells than processes: caller refuses
            --*largest;
            ++shares[i];
        }
    }
    return shares;
}

void AssignOwners(const Matrix& zone, Matrix& regions, int nrows, int ncols, double nodata,
                  std::vector<std::int64_t> shares, std::vector<int>& firstRows, std::vector<int>& lastRows) {
    const int p = static_cast<int>(shares.size());
    firstRows.assign(static_cast<std::size_t>(p), -1);
    lastRows.assign(static_cast<std::size_t>(p), -1);
    int cur = p - 1;
    // Run by run of valid cells: the owner takes cells up to the end of its share (or of the
    // run), as cell by cell; process 0, or an owner without share, takes all that remain.
    for (int r = 1; r <= nrows; ++r) {
        const double* z = zone[r];
        double* out = regions[r];
        for (int c = 1; c <= ncols;) {
            if (!IsValid(z[c], nodata)) {
                const int valid = ValidFrom(z, c + 1, ncols, nodata);
                std::fill(out + c, out + valid, nodata);
                c = valid;
                continue;
            }
            const int end = InvalidFrom(z, c + 1, ncols, nodata);
            while (c < end) {
                auto& first = firstRows[static_cast<std::size_t>(cur)];
                if (first < 0) first = lastRows[static_cast<std::size_t>(cur)] = r;
                auto& left = shares[static_cast<std::size_t>(cur)];
                const std::int64_t run = end - c;
                const std::int64_t take = left > 0 && left <= run ? left : run;
                std::fill(out + c, out + c + take, static_cast<double>(cur));
                c += static_cast<int>(take);
                left -= take;
                if (left == 0) {
                    lastRows[static_cast<std::size_t>(cur)] = r;
                    if (cur > 0) --cur;
                }
            }
        }
    }
    // The process that took the last cells ends in the last row holding one of them.
    for (int i = 0; i < p; ++i)
        if (firstRows[static_cast<std::size_t>(i)] > 0 && lastRows[static_cast<std::size_t>(i)] < firstRows[static_cast<std::size_t>(i)])
            lastRows[static_cast<std::size_t>(i)] = firstRows[static_cast<std::size_t>(i)];
}

bool BuildHelperRowAll(const double* row, double* helper, int ncols, double nodata, bool zeroed) {
    const int c0 = RunEnd(row, 1, ncols, nodata);
    helper[0] = c0 - 1;
    // Nodata after the last valid cell is no run: nothing there moves between processes. A
    // row's runs are the owners' shares, often hundreds of cells.
    const int end = LastOther(row, c0, ncols, nodata);
    // The runs go to the slots one after the other, every slot after them is zero (also when a
    // run does not fit).
    int slot = 1;
    bool fits = true;
    for (int c = c0; c <= end;) {
        const double value = row[c];
        const int next = RunEnd(row, c + 1, end, value);
        if (slot + 3 > ncols) {
            fits = false;
            break;
        }
        helper[slot] = value;
        helper[slot + 1] = next - c;
        slot += 2;
        c = next;
    }
    if (!zeroed) std::fill(helper + slot, helper + ncols + 1, 0.0);
    return fits;
}

bool BuildHelperRowOwn(const double* row, double* helper, int ncols, int rank) {
    std::fill(helper, helper + ncols + 1, 0.0);
    int slot = 1;
    int c = 1;
    while (c <= ncols) {
        if (row[c] != rank) {
            ++c;
            continue;
        }
        const int first = c;
        while (c <= ncols && row[c] == rank) ++c;
        if (slot + 3 > ncols) return false;
        helper[slot] = first;
        helper[slot + 1] = c - first;
        slot += 2;
    }
    return true;
}

int MaxProcessesForGrid(memory_handling& mh, const Matrix& zone, int nrows, int ncols, double nodata, int upTo) {
    std::int64_t n = 0;
    for (int r = 1; r <= nrows; ++r)
        for (int c = 1; c <= ncols; ++c)
            if (IsValid(zone[r][c], nodata)) ++n;
    Matrix regions = mh.matrix(1, nrows, 1, ncols, nrows);
    std::vector<double> helper(static_cast<std::size_t>(ncols) + 1);
    std::vector<int> firstRows, lastRows;
    for (int p = static_cast<int>(std::min<std::int64_t>(upTo, n)); p >= 2; --p) {
        AssignOwners(zone, regions, nrows, ncols, nodata,
                     CellShares(n, std::vector<double>(static_cast<std::size_t>(p), 1.0 / p)), firstRows, lastRows);
        bool fits = true;
        for (int r = 1; r <= nrows && fits; ++r) {
            fits = BuildHelperRowAll(regions[r], helper.data(), ncols, nodata);
            for (int q = 1; q < p && fits; ++q) fits = BuildHelperRowOwn(regions[r], helper.data(), ncols, q);
        }
        if (fits) return p;
    }
    return 1;
}

std::vector<HaloRecord> ReceiveHaloRuns(const Matrix& halo, int lo, int hi, int ncols) {
    std::vector<HaloRecord> runs;
    for (int r = lo; r <= hi; ++r) {
        const double* row = halo[r];
        double before = -1;  // the cell before the first counts as no halo cell
        // Stretch by stretch of equal values: its first cell starts, extends (over a gap of
        // non-halo cells) or continues a run of its owner, the others only continue it.
        for (int c = 1; c <= ncols;) {
            const double v = row[c];
            const int end = RunEnd(row, c + 1, ncols, v);
            if (v < 0) {
                before = -1;
                c = end;
                continue;
            }
            const int owner = static_cast<int>(v);
            if (before >= 0 && static_cast<int>(before) == owner) {
                runs.back().count += end - c;
            } else if (runs.empty() || runs.back().rank != owner || runs.back().row != r) {
                runs.push_back(HaloRecord{r, c, end - c, owner});
            } else {
                runs.back().count = end - runs.back().firstCol;
            }
            before = v;
            c = end;
        }
    }
    return runs;
}

void SpeedBenchmarkLoop(Matrix& a, Matrix& b, Matrix& c, int rows, int cols) {
#pragma omp parallel for schedule(runtime)
    for (int i = 1; i <= rows; ++i) {
        for (int j = 1; j <= cols; ++j) {
            const double x = static_cast<double>(i + j);
            a[i][j] = std::cos(x);
            b[i][j] = std::sin(x);
            c[i][j] = std::atan(std::sin(x) * a[i][j]);
        }
    }
}

SpeedFactorFile ReadSpeedFactorFile(const std::string& name, double* value) {
    FileHandle f = OpenFile(name, "r");
    if (!f) return SpeedFactorFile::Missing;
    double v = 0;
    // A cost that is not a finite number would give this process no share, or every share, of
    // the cells; one of 0 or below weighs as 1 (PerformanceWeights).
    if (std::fscanf(f.get(), "%lf", &v) != 1 || !std::isfinite(v)) return SpeedFactorFile::Unusable;
    *value = v;
    return SpeedFactorFile::Read;
}

double ProcessSpeedValue(modelobject& obj) {
    double value = 0;
    switch (ReadSpeedFactorFile("MpiSpeedFactor.dat", &value)) {
        case SpeedFactorFile::Read: return value;
        case SpeedFactorFile::Unusable:
            *obj.log << "WARNING: MpiSpeedFactor.dat does not begin with a finite number; measuring the speed "
                        "instead"
                     << "[end-entry]";
            break;
        case SpeedFactorFile::Missing: break;
    }
    Matrix a = obj.matrix(1, kBenchmarkSize, 1, kBenchmarkSize, kBenchmarkSize);
    Matrix b = obj.matrix(1, kBenchmarkSize, 1, kBenchmarkSize, kBenchmarkSize);
    Matrix c = obj.matrix(1, kBenchmarkSize, 1, kBenchmarkSize, kBenchmarkSize);
    double total = 0;
    for (int k = 0; k < kBenchmarkRepetitions; ++k) {
        const double t0 = MPI_Wtime();
        SpeedBenchmarkLoop(a, b, c, kBenchmarkSize, kBenchmarkSize);
        total += MPI_Wtime() - t0;
    }
    *obj.log << "MPI wtime: " << total << "for instance: " << obj.rank << "[end-entry]";
    return total;
}

namespace {

// With one process nothing moves between processes, so a full strip row does no harm there.
// A row that does not fit on one process stops every process (the lowest such row is named,
// with the largest number of equally fast processes the grid can be divided among).
void AgreeOnHelperRows(modelobject& obj, int ownBadRow, const Matrix* zone) {
    if (obj.size < 2) return;
    int local = ownBadRow > 0 ? ownBadRow : std::numeric_limits<int>::max(), lowest = local;
    MPI_Allreduce(&local, &lowest, 1, MPI_INT, MPI_MIN, MPI_COMM_WORLD);
    if (lowest == std::numeric_limits<int>::max()) return;
    int most = 1;
    if (obj.rank == 0 && zone != nullptr) most = MaxProcessesForGrid(obj, *zone, obj.nrows, obj.ncols, obj.nodata, obj.size - 1);
    MPI_Bcast(&most, 1, MPI_INT, 0, MPI_COMM_WORLD);
    *obj.log << "FATAL: grid row " << lowest << " has more strips than fit into its row of MPIHelper; "
             << "this grid can be divided among at most " << most << " processes of equal speed" << "[end-entry]";
    throw ModelError(120);
}

// A grid file holds nodata for the rows the grid does not hold: in binary files the nodata
// value, in text files "-9999". Where nodata prints otherwise, a text file tells the two apart.
bool NodataWritesAsUnheldRows(double nodata) {
    std::string text;
    AppendG(text, nodata);
    return text == "-9999";
}

// The foreign cells around the own cells first..last of row r (the rows above and below, one
// column either side): each gets its owner, as from every own cell's eight neighbours in turn.
void MarkHaloAround(const Matrix& regions, Matrix& halo, int r, int first, int last, int nrows, int ncols,
                    double nodata, int rank) {
    const int c0 = std::max(1, first - 1), c1 = std::min(ncols, last + 1);
    for (int rr = std::max(1, r - 1); rr <= std::min(nrows, r + 1); ++rr) {
        const double* from = regions[rr];
        double* to = halo[rr];
        for (int cc = c0; cc <= c1; ++cc) {
            const double v = from[cc];
            if (v != rank && v != nodata) to[cc] = v;
        }
    }
}

void WriteHaloListFile(int rank, const DecompositionResult& res) {
    FileHandle f = OpenFile("halo" + std::to_string(rank) + ".txt", "w");
    if (!f) return;
    auto list = [&](const std::vector<HaloRecord>& v) {
        for (const HaloRecord& h : v)
            std::fprintf(f.get(), "row: %d col: %d cnt: %d rank: %d\n", h.row, h.firstCol, h.count, h.rank);
    };
    std::fprintf(f.get(), "DEBUG: sendHalo-vector: %zu elements.\n", res.sendHalo.size());
    list(res.sendHalo);
    std::fprintf(f.get(), "\nDEBUG: recvHalo-vector: %zu elements.\n", res.recvHalo.size());
    list(res.recvHalo);
}

// Exchanges the receive lists with the neighbours: each record goes to the owner of its cells,
// which appends it (with the asker's rank) to its send list.
void ExchangeHaloLists(int rank, DecompositionResult& res) {
    std::vector<std::pair<int, int>> perOwner;  // owner, record count (ascending owner)
    for (const HaloRecord& h : res.recvHalo) {
        auto it = std::find_if(perOwner.begin(), perOwner.end(), [&](auto& p) { return p.first == h.rank; });
        if (it == perOwner.end())
            perOwner.emplace_back(h.rank, 1);
        else
            ++it->second;
    }
    std::sort(perOwner.begin(), perOwner.end());
    std::vector<int> sendCounts(perOwner.size() * 2), recvCounts(perOwner.size() * 2);
    std::vector<MPI_Request> req;
    for (std::size_t k = 0; k < perOwner.size(); ++k) {
        sendCounts[2 * k] = perOwner[k].first;
        sendCounts[2 * k + 1] = perOwner[k].second;
        req.emplace_back();
        MPI_Isend(&sendCounts[2 * k], 2, MPI_INT, perOwner[k].first, 0, MPI_COMM_WORLD, &req.back());
        req.emplace_back();
        MPI_Irecv(&recvCounts[2 * k], 2, MPI_INT, perOwner[k].first, 0, MPI_COMM_WORLD, &req.back());
    }
    MPI_Waitall(static_cast<int>(req.size()), req.data(), MPI_STATUSES_IGNORE);
    req.clear();
    std::vector<HaloRecord> outgoing = res.recvHalo;
    for (HaloRecord& h : outgoing) h.rank = rank;
    std::size_t incomingTotal = 0;
    for (std::size_t k = 0; k < perOwner.size(); ++k) incomingTotal += static_cast<std::size_t>(std::max(recvCounts[2 * k + 1], 0));
    std::vector<HaloRecord> incoming(incomingTotal);
    req.reserve(outgoing.size() + incomingTotal);
    for (std::size_t k = 0; k < outgoing.size(); ++k) {
        req.emplace_back();
        MPI_Isend(&outgoing[k], 4, MPI_INT, res.recvHalo[k].rank, 0, MPI_COMM_WORLD, &req.back());
    }
    std::size_t pos = 0;
    for (std::size_t k = 0; k < perOwner.size(); ++k) {
        for (int n = 0; n < recvCounts[2 * k + 1]; ++n) {
            req.emplace_back();
            MPI_Irecv(&incoming[pos++], 4, MPI_INT, perOwner[k].first, 0, MPI_COMM_WORLD, &req.back());
        }
    }
    MPI_Waitall(static_cast<int>(req.size()), req.data(), MPI_STATUSES_IGNORE);
    res.sendHalo.insert(res.sendHalo.end(), incoming.begin(), incoming.end());
}

}  // namespace

void CreateMPIRegions(modelobject& obj, const Matrix* zone, DecompositionGrids& grids, DecompositionResult& res,
                      const RegisterDecompositionGrids& registerGrids) {
    DiagLog& log = *obj.log;
    const int rank = obj.rank, size = obj.size, nrows = obj.nrows, ncols = obj.ncols;
    const double nodata = obj.nodata;
    res = DecompositionResult{};
    res.ownFirstRow = 1;
    res.ownLastRow = nrows;

    if (rank == 0) {
        grids.regions = obj.matrix(1, nrows, 1, ncols, nrows);
        grids.helper = obj.matrix(1, nrows, 1, ncols, nrows);
    }

    // Speed of every process, collected on process 0.
    const double own = ProcessSpeedValue(obj);
    std::vector<double> values(static_cast<std::size_t>(size), 0.0);
    MPI_Gather(&own, 1, MPI_DOUBLE, values.data(), 1, MPI_DOUBLE, 0, MPI_COMM_WORLD);
    if (rank == 0)
        for (int i = 0; i < size; ++i)
            log << "received MPI wtime: " << values[static_cast<std::size_t>(i)] << " for instance: " << i
                << "[end-entry]";

    std::vector<int> firstRows(static_cast<std::size_t>(size), -1), lastRows(static_cast<std::size_t>(size), -1);
    std::vector<std::int64_t> shares;
    int failure = 0;
    if (rank == 0) {
        const std::vector<double> weights = PerformanceWeights(values);
        for (int i = 0; i < size; ++i)
            log << "MPI performance weight: " << weights[static_cast<std::size_t>(i)] << " for instance: " << i
                << "[end-entry]";
        std::int64_t n = 0;
        for (int r = 1; r <= nrows; ++r) n += ValidCount((*zone)[r], ncols, nodata);
        log << "MPI regular cells: " << static_cast<long>(n) << "\nMPI river cells: " << 0 << "[end-entry]";
        if (n < size) {
            failure = 1;
        } else {
            shares = CellShares(n, weights);
            for (int i = 0; i < size; ++i)
                log << "MPI num cells: " << static_cast<long>(shares[static_cast<std::size_t>(i)]) << " for instance: " << i
                    << "[end-entry]";
            AssignOwners(*zone, grids.regions, nrows, ncols, nodata, shares, firstRows, lastRows);
        }
    }
    // One message from process 0: whether the grid can be divided (so that all fail the same
    // way), then per process its first and last row and its cells (an owner at or below nodata
    // counting as no owner; every process took exactly its share).
    const std::size_t n = static_cast<std::size_t>(size);
    std::vector<std::int64_t> plan(1 + 3 * n, 0);
    if (rank == 0) {
        plan[0] = failure;
        for (std::size_t i = 0; i < n && failure == 0; ++i) {
            plan[1 + i] = firstRows[i];
            plan[1 + n + i] = lastRows[i];
            plan[1 + 2 * n + i] = IsValid(static_cast<double>(i), nodata) ? shares[i] : 0;
        }
    }
    MPI_Bcast(plan.data(), static_cast<int>(plan.size()), MPI_INT64_T, 0, MPI_COMM_WORLD);
    if (plan[0] != 0) {
        log << "FATAL: the zone grid has fewer valid cells than there are MPI processes (" << size
            << "); run with fewer processes" << "[end-entry]";
        throw ModelError(1011);
    }
    res.cellsPerProcess.assign(n + 1, 0);
    for (std::size_t i = 0; i < n; ++i) {
        firstRows[i] = static_cast<int>(plan[1 + i]);
        lastRows[i] = static_cast<int>(plan[1 + n + i]);
        res.cellsPerProcess[i] = plan[1 + 2 * n + i];
    }
    res.ownFirstRow = firstRows[static_cast<std::size_t>(rank)];
    res.ownLastRow = lastRows[static_cast<std::size_t>(rank)];
    auto lo = [&](int i) { return firstRows[static_cast<std::size_t>(i)] == 1 ? 1 : firstRows[static_cast<std::size_t>(i)] - 1; };
    auto hi = [&](int i) { return lastRows[static_cast<std::size_t>(i)] == nrows ? nrows : lastRows[static_cast<std::size_t>(i)] + 1; };

    // Process 0 keeps the owner grid and the strip table whole, the halo grid (whose cells lie
    // next to the own cells) over its own rows and the rows next to them, unless rows it does not
    // hold would be written otherwise than its nodata cells. Every other process stores its own
    // rows and the rows next to them.
    if (rank == 0) {
        const bool haloRowsOnly = NodataWritesAsUnheldRows(nodata);
        grids.halo = obj.matrix(haloRowsOnly ? lo(0) : 1, haloRowsOnly ? hi(0) : nrows, 1, ncols, nrows);
        grids.halo.fill(nodata);
        registerGrids(grids, 1, nrows);
    } else {
        grids.regions = obj.matrix(lo(rank), hi(rank), 1, ncols, nrows);
        grids.helper = obj.matrix(lo(rank), hi(rank), 1, ncols, nrows);
        grids.halo = obj.matrix(lo(rank), hi(rank), 1, ncols, nrows);
        grids.regions.fill(nodata);
        grids.halo.fill(nodata);
        registerGrids(grids, lo(rank), hi(rank));
    }
    // Owner grid rows to the other processes: each receives the rows it stores in one message,
    // all of them under way at once. A message of rows moves only while its sender is inside
    // MPI, so process 0 sees them through before it builds its strip table.
    std::vector<MPI_Datatype> types;
    std::vector<MPI_Request> requests;
    if (rank == 0) {
        for (int i = 1; i < size; ++i) {
            types.push_back(mpirows::RowsType(grids.regions, lo(i), hi(i), ncols));
            requests.emplace_back();
            MPI_Isend(MPI_BOTTOM, 1, types.back(), i, 0, MPI_COMM_WORLD, &requests.back());
        }
        MPI_Waitall(static_cast<int>(requests.size()), requests.data(), MPI_STATUSES_IGNORE);
        requests.clear();
    } else {
        types.push_back(mpirows::RowsType(grids.regions, lo(rank), hi(rank), ncols));
        MPI_Recv(MPI_BOTTOM, 1, types.back(), 0, 0, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
    }

    // Strip table over the rows each process keeps it for: process 0 lists every owner's runs
    // of every row (into its fresh, zeroed grid), the others their own runs in their own rows.
    const int ownLo = rank == 0 ? 1 : res.ownFirstRow;
    const int ownHi = rank == 0 ? nrows : res.ownLastRow;
    int badRow = 0;
    for (int r = ownLo; r <= ownHi; ++r) {
        const bool fits = rank == 0 ? BuildHelperRowAll(grids.regions[r], grids.helper[r], ncols, nodata, true)
                                    : BuildHelperRowOwn(grids.regions[r], grids.helper[r], ncols, rank);
        if (!fits && badRow == 0) badRow = r;
    }
    MPI_Waitall(static_cast<int>(requests.size()), requests.data(), MPI_STATUSES_IGNORE);
    for (MPI_Datatype& type : types) MPI_Type_free(&type);
    AgreeOnHelperRows(obj, badRow, rank == 0 ? zone : nullptr);
    // Halo grid: the foreign neighbours of the own cells, which lie in the own rows.
    for (int r = res.ownFirstRow; r <= res.ownLastRow; ++r) {
        const double* row = grids.regions[r];
        for (int c = 1; c <= ncols;) {
            if (row[c] != rank) {
                ++c;
                continue;
            }
            const int end = RunEnd(row, c + 1, ncols, static_cast<double>(rank));
            MarkHaloAround(grids.regions, grids.halo, r, c, end - 1, nrows, ncols, nodata, rank);
            c = end;
        }
    }

    // Halo lists: the halo cells lie in the own rows and the rows next to them.
    res.recvHalo = ReceiveHaloRuns(grids.halo, lo(rank), hi(rank), ncols);
    ExchangeHaloLists(rank, res);
    WriteHaloListFile(rank, res);
}
