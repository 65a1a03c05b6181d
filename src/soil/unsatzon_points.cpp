// The control point's time series: buffered records appended to their text files in blocks,
// on request of the driver and at the end of the run.
#include <cstdio>

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
}  // namespace

void unsatzonmodellklasse::FlushPointBuffer(const std::string& fileName, PointBuffer& buffer, int first, int last) {
    if (buffer.filled == 0) return;
    HoldInterrupt hold;
    *log << "write " << fileName;
    FileHandle file = OpenFile(fileName, "a+");
    if (!file) {
        *log << "FATAL: \nerror opening file " << fileName << "[end-entry]";
        throw ModelError(65);
    }
    if (last == 0) last = nlayers;
    for (int i = 0; i < buffer.filled; ++i) {
        const std::size_t at = static_cast<std::size_t>(i);
        const std::int64_t* date = &buffer.dates[at * 4];
        std::fprintf(file.get(), "%ld\t%ld\t%ld\t%ld", static_cast<long>(date[0]), static_cast<long>(date[1]),
                     static_cast<long>(date[2]), static_cast<long>(date[3]));
        const double* values = &buffer.data[at * static_cast<std::size_t>(buffer.values)];
        for (int k = first; k <= last; ++k) std::fprintf(file.get(), "\t%g", values[k]);
        std::fprintf(file.get(), "\n");
    }
    file.reset();
    *log << "(" << static_cast<long>((nlayers * 8L + 32L) * buffer.filled) << " of " << kPointBufferBytes
         << " buffer-bytes)";
    buffer.filled = 0;
}

void unsatzonmodellklasse::FlushPointBuffers() {
    if (!controlPointHere || pointBuffers.empty()) return;
    using C = SoilModelConfig;
    const auto& files = config.pointFiles;
    // Buffers: hhyd, theta, q_bottom, etr, interflow, otherdata[, temperature].
    const int otherLast = 18 + 6 * n_veg_layers;
    FlushPointBuffer(files[C::QBOTTOM], pointBuffers[2], 1, 0);
    FlushPointBuffer(files[C::THETA_FILE], pointBuffers[1], 1, 0);
    FlushPointBuffer(files[C::HHYD], pointBuffers[0], 1, 0);
    FlushPointBuffer(files[C::OTHERDATA], pointBuffers[5], 1, otherLast);
    FlushPointBuffer(files[C::ETR_DETAIL], pointBuffers[3], 0, 0);
    FlushPointBuffer(files[C::INTERFLOW], pointBuffers[4], 1, 0);
    if (heat.on() && pointBuffers.size() > 6) FlushPointBuffer(heat.temperatureFile, pointBuffers[6], 1, 0);
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
