// The control point's time series: buffered records appended to their text files in blocks,
// on request of the driver and at the end of the run.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <vector>

#include "kernel/signals.hpp"
#include "soil/unsatzon.hpp"

namespace {
constexpr long kPointBufferBytes = 2097152;

// Re-arms the interrupt handler however the write ends.
struct HoldInterrupt {
    HoldInterrupt() { IgnoreCtrlC(); }
    ~HoldInterrupt() { ResetCtrlCHandler(); }
    HoldInterrupt(const HoldInterrupt&) = delete;
    HoldInterrupt& operator=(const HoldInterrupt&) = delete;
};

// A file of the control point: its buffer and the value range it writes (0: the layer count).
struct PointFile {
    std::size_t buffer;
    int first, last;
};

// The files in the order they are written: q_bottom, theta, hhyd, otherdata, etr, interflow
// [, temperature].
std::vector<PointFile> PointFileOrder(int otherLast, bool temperature) {
    std::vector<PointFile> order = {{2, 1, 0}, {1, 1, 0}, {0, 1, 0}, {5, 1, otherLast}, {3, 0, 0}, {4, 1, 0}};
    if (temperature) order.push_back({6, 1, 0});
    return order;
}
}  // namespace

void unsatzonmodellklasse::FlushPointBuffer(PointBuffer& buffer, int first, int last) {
    if (buffer.filled == 0) return;
    HoldInterrupt hold;
    TableFile& table = *buffer.table;
    *log << "write " << table.name();
    auto failed = [&] {
        const int reason = errno;
        *log << "FATAL: \nerror opening file " << table.name() << "[end-entry]";
        LogSystemReason(*log, reason);
        throw ModelError(65);
    };
    std::FILE* file = table.Open(true);
    if (file == nullptr) failed();
    if (last == 0) last = nlayers;
    for (int i = 0; i < buffer.filled; ++i) {
        const std::size_t at = static_cast<std::size_t>(i);
        const std::int64_t* date = &buffer.dates[at * 4];
        std::fprintf(file, "%ld\t%ld\t%ld\t%ld", static_cast<long>(date[0]), static_cast<long>(date[1]),
                     static_cast<long>(date[2]), static_cast<long>(date[3]));
        const double* values = &buffer.data[at * static_cast<std::size_t>(buffer.values)];
        for (int k = first; k <= last; ++k) std::fprintf(file, "\t%g", values[k]);
        std::fprintf(file, "\n");
    }
    if (!table.Close()) failed();
    *log << "(" << static_cast<long>((nlayers * 8L + 32L) * buffer.filled) << " of " << kPointBufferBytes
         << " buffer-bytes)";
    buffer.filled = 0;
}

void unsatzonmodellklasse::FlushPointBuffers(bool onlyFull) {
    if (!controlPointHere || pointBuffers.empty()) return;
    for (const PointFile& f : PointFileOrder(18 + 6 * n_veg_layers, pointBuffers.size() > 6)) {
        PointBuffer& p = pointBuffers[f.buffer];
        if (!onlyFull || p.filled >= p.capacity) FlushPointBuffer(p, f.first, f.last);
    }
}

void unsatzonmodellklasse::EndPointFiles() {
    if (!controlPointHere || pointBuffers.empty()) return;
    for (const PointFile& f : PointFileOrder(18 + 6 * n_veg_layers, pointBuffers.size() > 6)) {
        PointBuffer& p = pointBuffers[f.buffer];
        if (!p.table) continue;
        if (p.table->TakesHeldRows()) FlushPointBuffer(p, f.first, f.last);
        p.filled = 0;
        if (!NormalEndPending() && !p.table->Finish()) {
            const int reason = errno;
            *log << "FATAL: \nerror opening file " << p.table->name() << "[end-entry]";
            LogSystemReason(*log, reason);
            throw ModelError(65);
        }
    }
}

void unsatzonmodellklasse::RecordControlPoint() {
    const int r = config.control_row, c = config.control_col;
    if (!controlPointHere || pointBuffers.empty() || !IsOwnCell(r, c)) return;
    std::vector<double> v(static_cast<std::size_t>(nlayers) + 1, 0.0);
    auto levels = [&](int buffer, const Stack& s) {
        std::copy(s[r][c], s[r][c] + nlayers + 1, v.begin());
        AddPointRecord(buffer, v);
    };
    levels(2, own.qDown);
    levels(1, own.theta);
    levels(0, own.hydraulicHeads);
    if (heat.on() && pointBuffers.size() > 6) levels(6, own.soilTemperature);
    if (in.responseUnits == nullptr) {
        AddPointRecord(3, pointEtr);
        AddPointRecord(4, pointInterflow);
        // Other data, 1-based in the order of the file's header; a missing grid gives nodata.
        auto at = [&](const Matrix* m) { return m != nullptr && !m->empty() && m->holds(r) ? (*m)[r][c] : nodata; };
        const double N = std::max(1u, numSubSteps);
        const double D = timeInterval * 60000.0 / N / std::max(1, pointSubsteps);
        std::vector<double> o = {0.0,
                                 at(&own.directflow),
                                 at(&own.interflow),
                                 at(&own.baseflow),
                                 -own.qDown[r][c][0] * D,
                                 at(&own.gwin),
                                 at(&own.gwex),
                                 at(&own.groundwaterRecharge),
                                 at(&own.capillaryUprise),
                                 at(&own.percolation),
                                 at(&own.macroporeInfiltration),
                                 at(&own.drainageFlow),
                                 in.maxPonding != nullptr ? at(&own.pondingStorage) : nodata,
                                 at(&own.infiltrationExcess),
                                 at(&own.groundwaterDistance),
                                 at(&own.groundwaterLevel),
                                 at(&own.rootGrid),
                                 at(in.albedo),
                                 at(in.evapResistance)};
        for (int j = 1; j <= n_veg_layers; ++j) {
            const std::size_t l = static_cast<std::size_t>(j);
            for (const Matrix* m : {in.lai[l], in.vegCover[l], in.canopyResistance[l], in.intercepResistance[l],
                                    in.rootDepth[l], in.roughness[l]})
                o.push_back(at(m));
        }
        AddPointRecord(5, o);
    }
    FlushPointBuffers(true);
}

void unsatzonmodellklasse::AddPointRecord(int buffer, std::span<const double> values) {
    PointBuffer& p = pointBuffers[static_cast<std::size_t>(buffer)];
    const std::size_t at = static_cast<std::size_t>(p.filled);
    const std::int64_t date[4] = {stepYear, stepMonth, stepDay, stepHour};
    for (std::size_t i = 0; i < 4; ++i) p.dates[at * 4 + i] = date[i];
    const std::size_t width = static_cast<std::size_t>(p.values);
    for (std::size_t k = 0; k < width && k < values.size(); ++k) p.data[at * width + k] = values[k];
    ++p.filled;
}
