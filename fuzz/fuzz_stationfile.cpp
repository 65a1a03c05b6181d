// Fuzz target of the station-file and grid-list readers. The first byte chooses the additional
// columns, the set of files (one station file, two equal station files, a grid list) and the
// block size, so that block boundaries are reached with small inputs; the rest is the file.
// The files are walked to their end, rewound and walked again.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <ostream>
#include <string>

#include "kernel/diaglog.hpp"
#include "kernel/error.hpp"
#include "meteo/meteoinput.hpp"

namespace {

constexpr double kN = 9999.0;
std::unique_ptr<DiagLog> gLog;
std::ostream gNull(nullptr);
std::string gPath;

void Check(bool condition) {
    if (!condition) __builtin_trap();
}

// Every current value is either within [-N, N] or the missing value -N-1.
void CheckValues(const StationFile& f) {
    Check(static_cast<int>(f.Values().size()) == f.StationCount() + 1);
    for (int k = 1; k <= f.StationCount(); ++k) {
        const double v = f.Values()[static_cast<std::size_t>(k)];
        Check(v == -kN - 1 || (v >= -kN && v <= kN));
    }
}

int Walk(MeteoInputFiles& in, int method) {
    int steps = 0;
    while (!in.IsAtEnd() && steps < 100000) {
        in.AdvanceRecords();
        if (MeteoInputFiles::StationFileCount(method) > 0) CheckValues(in.Station(0));
        ++steps;
    }
    return steps;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Memory-backed files where available: rewriting a file on disk for every input is slow.
    const std::string dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm/" : "/tmp/";
    const std::string stem = dir + "talvo_fuzz_stationfile_" + std::to_string(getpid());
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
    const int additionalColumns = data[0] & 3;
    const int methods[4] = {1, 6, 9, 12};
    const int method = methods[(data[0] >> 2) & 3];
    const int block = 1 + (data[0] >> 4);
    {
        std::ofstream out(gPath, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data + 1), static_cast<std::streamsize>(size - 1));
    }
    MeteoInputFiles in(gLog.get(), "fuzz", method, kN, MeteoDate{0, 1, 1, 2000}, MeteoDate{0, 1, 1, 2001});
    try {
        in.SetStationFile(0, gPath, additionalColumns);
        in.SetStationFile(1, gPath, additionalColumns);
        in.SetGridList(gPath, additionalColumns);
        if (method == 9) {
            in.Open();
        } else {
            for (int i = 0; i < MeteoInputFiles::StationFileCount(method); ++i) {
                StationFile& f = in.Station(i);
                f.ReadDescription();
                f.LimitBlockCapacity(block);
            }
            in.Station(0).FindStartDate(MeteoDate{0, 1, 1, 2000});
            if (method == 6) in.Station(1).FindStartDate(MeteoDate{0, 1, 1, 2000});
            CheckValues(in.Station(0));
        }
        const int first = Walk(in, method);
        in.Rewind();
        const int second = Walk(in, method);
        // A rewound file gives the start record and then the same records again.
        Check(second == first + 1);
    } catch (const ModelError& e) {
        Check(e.code() == 19 || e.code() == 49 || e.code() == 51 || e.code() == 52 || e.code() == 73);
    }
    return 0;
}
