// Grid output by write code, tracer statistics and the buffered control-point file.
#include <cerrno>
#include <cstdio>

#include "kernel/signals.hpp"
#include "lateral/gwflow.hpp"

void gwflowclass::WriteOutputs(std::int64_t h, std::int64_t d, std::int64_t m, std::int64_t y) {
    if (flowControl == 0) return;
    hour = h;
    day = d;
    month = m;
    year = y;
    // "baseflow" is the soil model's grid, which writes it once a step after the aquifer's passes:
    // a second write of the entry in the step would end its period sums and means twice.
    for (int l = 1; l <= layerCount; ++l) {
        const Layer& L = layers[static_cast<std::size_t>(l)];
        for (int index : {L.headIndex, L.oldIndex, L.flowXIndex, L.flowYIndex, L.balanceIndex})
            WriteStatisticGrids(index, true, false);
    }
    // The records of every tracer layer's table reach process 0 in one exchange; each table steps
    // after its layer's grid, as before.
    std::vector<zonalstatistic*> stats;
    for (std::size_t t = 1; t < gwTracers.size(); ++t)
        for (std::size_t l = 1; l < gwTracers[t].layers.size(); ++l) stats.push_back(gwTracers[t].layers[l].stat.get());
    ReduceStatisticsTogether(stats);
    for (std::size_t t = 1; t < gwTracers.size(); ++t) {
        for (std::size_t l = 1; l < gwTracers[t].layers.size(); ++l) {
            TracerLayer& tl = gwTracers[t].layers[l];
            WriteStatisticGrids(tl.index, true, false);
            if (tl.stat) tl.stat->StepReduced(y, m, d, h);
        }
    }
}

void gwflowclass::FlushStatistics() {
    if (flowControl == 0) return;
    for (std::size_t t = 1; t < gwTracers.size(); ++t)
        for (std::size_t l = 1; l < gwTracers[t].layers.size(); ++l)
            if (gwTracers[t].layers[l].stat) gwTracers[t].layers[l].stat->WriteLine();
    if (!controlHere) return;
    WriteControlPointFluxes(controlFileOut, controlFileOut, controlCount, controlRecords);
    // The normal end: a table without rows is put in place with its header.
    if (!controlTable.Finish()) {
        const int reason = errno;
        *log << "FATAL: error opening file " << controlFileOut << "[end-entry]";
        LogSystemReason(*log, reason);
        throw ModelError(65);
    }
}

void gwflowclass::AppendControlRecord() {
    // The base flow of the previous column may belong to another process: run exchanges its
    // halo rows on all processes (the control point is the same everywhere).
    if (!controlHere) return;
    const int r = controlRow, c = controlCol;
    ControlRecord& rec = controlRecords[++controlCount];
    rec.year = year;
    rec.month = month;
    rec.day = day;
    rec.hour = hour;
    for (int l = 1; l <= layerCount; ++l) {
        const Matrix& h = layers[static_cast<std::size_t>(l)].head;
        double* v = rec.values.data() + 6 * (l - 1) + 1;
        v[0] = h[r][c];
        v[1] = r > 1 ? h[r - 1][c] : kEdgeValue;
        v[2] = c < ncols ? h[r][c + 1] : kEdgeValue;
        v[3] = r < nrows ? h[r + 1][c] : kEdgeValue;
        v[4] = c > 1 ? h[r][c - 1] : kEdgeValue;
        // The base flow of the previous column; a control point in the first column has none.
        v[5] = c > 1 ? (*baseflow)[r][c - 1] : kEdgeValue;
    }
    if (controlCount >= controlCapacity)
        WriteControlPointFluxes(controlFileOut, controlFileOut, controlCount, controlRecords);
}

// The rows go to the control-point table (controlTable, the file controlFileOut).
void gwflowclass::WriteControlPointFluxes(const std::string& /*file*/, const std::string& name, std::size_t count,
                                          const std::vector<ControlRecord>& records) {
    if (count == 0) return;
    IgnoreCtrlC();
    *log << "write " << name;
    std::FILE* f = controlTable.Open(true);
    auto failed = [&] {
        const int reason = errno;
        *log << "[end-entry]";
        *log << "FATAL: error opening file " << name << "[end-entry]";
        LogSystemReason(*log, reason);
        ResetCtrlCHandler();
        throw ModelError(65);
    };
    if (f == nullptr) failed();
    for (std::size_t i = 1; i <= count; ++i) {
        const ControlRecord& rec = records[i];
        std::fprintf(f, "%ld\t%ld\t%ld\t%ld", static_cast<long>(rec.year), static_cast<long>(rec.month),
                     static_cast<long>(rec.day), static_cast<long>(rec.hour));
        for (int l = 1; l <= layerCount; ++l) {
            const double* v = rec.values.data() + 6 * (l - 1) + 1;
            std::fprintf(f, "\t%g\t%g\t%g\t%g\t%g\t%g", v[0], v[1], v[2], v[3], v[4], v[5]);
        }
        std::fprintf(f, "\n");
    }
    if (!controlTable.Close()) failed();
    const long bytes = ((6L * layerCount + 1) * 8 + 32) * static_cast<long>(count);
    *log << "(" << bytes << " of " << kBufferBytes << " buffer-bytes)" << "[end-entry]";
    controlCount = 0;
    ResetCtrlCHandler();
}
