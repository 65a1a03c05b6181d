// Fuzz target of "MpiSpeedFactor.dat", the speed value a process contributes to the division
// of the grid among the processes: the value read from the file must give weights and cell
// shares that add up, whatever number the file holds (one of 0 or below weighs as 1). A file that
// begins with no finite number makes the reader time a benchmark instead; such inputs are left
// out, as the benchmark reads nothing.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "kernel/modelobject.hpp"
#include "setup/mpiregions.hpp"

using fuzz_support::Check;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_support::EnterPrivateFolder("fuzz_speedfactor");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    text = text.c_str();  // up to the first zero byte, so that the check below sees what the reader sees
    double expected = 0;
    // A value that is no finite number makes the reader time the benchmark too.
    if (std::sscanf(text.c_str(), "%lf", &expected) != 1 || !std::isfinite(expected)) return 0;
    fuzz_support::WriteInput("MpiSpeedFactor.dat", text, nullptr, 0);
    modelobject obj(&fuzz_support::QuietLog(), "none", 0, false, false, ObjectRecord{});
    const double value = ProcessSpeedValue(obj);
    Check(value == expected);

    // Process 0 and 2 give the value read, the others measured times.
    const std::vector<double> values = {value, 0.5, value, 2.0};
    const std::vector<double> weights = PerformanceWeights(values);
    double sum = 0;
    for (double w : weights) {
        Check(std::isfinite(w) && w >= 0 && w <= 1);
        sum += w;
    }
    Check(std::fabs(sum - 1) < 1e-9);
    for (std::int64_t cells : {std::int64_t{4}, std::int64_t{7}, std::int64_t{1000}, std::int64_t{123456789}}) {
        const std::vector<std::int64_t> shares = CellShares(cells, weights);
        std::int64_t total = 0;
        for (std::int64_t s : shares) {
            Check(s >= 1);
            total += s;
        }
        Check(total == cells);
    }
    return 0;
}
