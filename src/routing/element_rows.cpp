#include "routing/element_rows.hpp"

#include <cstdio>

#include "kernel/diaglog.hpp"
#include "kernel/error.hpp"
#include "kernel/gridio.hpp"
#include "kernel/signals.hpp"

namespace routing {

void AppendRows(const std::string& file, const std::vector<double>& buffer, int rows, std::size_t width, DiagLog& log) {
    // The program's interrupt handler comes back afterwards, so that Ctrl-C still ends the run
    // in order after a flush.
    gridio::SignalScope signals(ResetCtrlCHandler);
    log << "flushing to disk: " << file << " (" << kElementBufferBytes << " buffersize)" << "[end-entry]";
    std::FILE* f = std::fopen(file.c_str(), "a+");
    if (f == nullptr) {
        log << "FATAL: error opening reservoir file " << file << "[end-entry]";
        throw ModelError(65);
    }
    for (int r = 0; r < rows; ++r) {
        const double* row = buffer.data() + static_cast<std::size_t>(r) * width;
        std::fprintf(f, "%2.0lf\t%2.0lf\t%2.0lf\t%2.0lf", row[0], row[1], row[2], row[3]);
        for (std::size_t v = 4; v < width; ++v) std::fprintf(f, "\t%lg", row[v]);
        std::fprintf(f, "\n");
    }
    std::fclose(f);
}

}  // namespace routing
