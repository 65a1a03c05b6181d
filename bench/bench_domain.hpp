#pragma once
// A basin of one zone in a scratch directory, for the benchmarks of a sub-model's step.
#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <system_error>
#include <vector>

#include "bench_support.hpp"
#include "kernel/diaglog.hpp"
#include "kernel/gridstore.hpp"
#include "kernel/zonerecord.hpp"
#include "submodel/teilmod.hpp"

namespace talvo_bench {

// A square basin of size x size cells, all of one zone, in a scratch working directory: the grid
// store, the ranking of the zone, the sub-model settings that describe them (the control file
// "bench.ctl", all rows this process's) and a diagnostics log that writes nothing to the console.
// The directory is removed with the domain.
struct OneZoneDomain {
    OneZoneDomain(const std::string& stem, int size, double cellsize) : dir(EnterScratchDirectory(stem)) {
        index.assign(2, 0);
        index[1] = 1;
        records = {{0, 0, 0, 1, 0}, {0, 0, 1, 1, 0}};
        settings.controlFileName = "bench.ctl";
        settings.zoneIndex = &index;
        settings.zoneRecords = &records;
        settings.zoneCount = 1;
        settings.ncols = settings.nrows = size;
        settings.firstRow = 1;
        settings.lastRow = size;
        settings.cellsize = cellsize;
        settings.gridStore = &store;
        log = std::make_unique<DiagLog>("bench_diag.xml", 0);
        log->SetConsole(quiet);
    }
    ~OneZoneDomain() {
        log.reset();
        std::error_code ec;
        std::filesystem::current_path(std::filesystem::temp_directory_path(), ec);
        std::filesystem::remove_all(dir, ec);
    }
    OneZoneDomain(const OneZoneDomain&) = delete;
    OneZoneDomain& operator=(const OneZoneDomain&) = delete;

    std::filesystem::path dir;
    GridStore store;
    std::vector<int> index;
    std::vector<zoneFZT> records;
    SubmodelSettings settings;
    std::ostream quiet{nullptr};
    std::unique_ptr<DiagLog> log;
};

}  // namespace talvo_bench
