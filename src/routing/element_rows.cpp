#include "routing/element_rows.hpp"

#include <cerrno>
#include <cstdio>

#include "kernel/diaglog.hpp"
#include "kernel/error.hpp"
#include "kernel/gridio.hpp"
#include "kernel/signals.hpp"

namespace routing {

namespace {
[[noreturn]] void WriteFailed(const TableFile& table, DiagLog& log) {
    const int reason = errno;
    log << "FATAL: error opening reservoir file " << table.name() << "[end-entry]";
    LogSystemReason(log, reason);
    throw ModelError(65);
}
}  // namespace

void AppendRows(TableFile& table, const std::vector<double>& buffer, int rows, std::size_t width, DiagLog& log) {
    // The program's interrupt handler comes back afterwards, so that Ctrl-C still ends the run
    // in order after a flush.
    gridio::SignalScope signals(ResetCtrlCHandler);
    log << "flushing to disk: " << table.name() << " (" << kElementBufferBytes << " buffersize)" << "[end-entry]";
    std::FILE* f = table.Open(true);
    if (f == nullptr) WriteFailed(table, log);
    for (int r = 0; r < rows; ++r) {
        const double* row = buffer.data() + static_cast<std::size_t>(r) * width;
        std::fprintf(f, "%2.0lf\t%2.0lf\t%2.0lf\t%2.0lf", row[0], row[1], row[2], row[3]);
        for (std::size_t v = 4; v < width; ++v) std::fprintf(f, "\t%lg", row[v]);
        std::fprintf(f, "\n");
    }
    if (!table.Close()) WriteFailed(table, log);
}

void EndElementFile(TableFile& table, const std::vector<double>& buffer, int& rows, std::size_t width, DiagLog& log) {
    const int held = rows;
    rows = 0;
    if (held > 0 && table.TakesHeldRows()) AppendRows(table, buffer, held, width, log);
    if (!NormalEndPending() && !table.Finish()) WriteFailed(table, log);
}

}  // namespace routing
