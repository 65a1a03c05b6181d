// Fuzz target of the regression-file reader in text and binary form. The first byte chooses
// the block size; the rest is the file. The file is walked to its end, rewound and walked
// again.
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <ostream>
#include <string>

#include "kernel/diaglog.hpp"
#include "kernel/error.hpp"
#include "meteo/meteofiles.hpp"

namespace {

constexpr double kN = 9999.0;
std::unique_ptr<DiagLog> gLog;
std::ostream gNull(nullptr);
std::string gPath;

void Check(bool condition) {
    if (!condition) __builtin_trap();
}

int Walk(RegressionFile& f) {
    int steps = 0;
    const std::int64_t end = DateKey(2001, 1, 1, 0);
    while (steps < 100000 && f.NextRecord(end, true)) {
        for (double v : f.Parameters()) Check(std::isfinite(v));
        ++steps;
    }
    return steps;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Memory-backed files where available: rewriting a file on disk for every input is slow.
    const std::string dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm/" : "/tmp/";
    const std::string stem = dir + "talvo_fuzz_regressionfile_" + std::to_string(getpid());
    gPath = stem + ".dat";
    gLog = std::make_unique<DiagLog>(stem + ".xml", 0);
    std::atexit([] {
        const std::string diag = gLog->FileName();
        gLog.reset();
        std::remove(diag.c_str());
        std::remove(gPath.c_str());
    });
    gLog->SetConsole(gNull);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const int block = 1 + data[0];
    {
        std::ofstream out(gPath, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data + 1), static_cast<std::streamsize>(size - 1));
    }
    const MeteoDate start{0, 1, 1, 2000};
    RegressionFile f(gLog.get(), "fuzz", kN);
    f.SetFile(gPath);
    try {
        f.FindStartDate(start);
        Check(f.Date() == start);
        f.LimitBlockCapacity(block);
        const int first = Walk(f);
        f.Rewind(start);
        const int second = Walk(f);
        // A rewound file gives the start record and then the same records again.
        Check(second == first + 1);
    } catch (const ModelError& e) {
        Check(e.code() == 19 || e.code() == 49 || e.code() == 51);
    }
    return 0;
}
