#pragma once
// What the benchmark programs share: naming a grid-store entry, a scratch working directory and
// a main that runs the benchmarks inside MPI.
#include <benchmark/benchmark.h>
#include <mpi.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "kernel/gridstore.hpp"
#include "kernel/matrix.hpp"

namespace talvo_bench {

// Gives the entry the grid under one name, as file and as internal name.
inline void NameGridEntry(GridStoreEntry& e, Matrix* grid, const std::string& name) {
    e.grid = grid;
    e.fileName = name;
    e.hasFileName = true;
    e.internalName = name;
    e.hasInternalName = true;
}

// Creates "<temp>/talvo_bench_<stem>_<pid>" and makes it the working directory.
inline std::filesystem::path EnterScratchDirectory(const std::string& stem) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("talvo_bench_" + stem + "_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    std::filesystem::current_path(dir);
    return dir;
}

inline int RunUnderMpi(int argc, char** argv) {
    MPI_Init(&argc, &argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    MPI_Finalize();
    return 0;
}

}  // namespace talvo_bench
