// Fuzz target of the output control of the set-up ("[output_interval]" with its keys,
// "[output_list]", "[coordinates]", "[meteo_data_count]", "[meteo_names]"): the input is the
// whole control file. Every input must end with settings or with one of the reader's codes.
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>

#include "kernel/diaglog.hpp"
#include "kernel/gridstore.hpp"
#include "setup/defltuzr.hpp"

namespace {
void Check(bool condition) {
    if (!condition) __builtin_trap();
}

DiagLog& Log() {
    static std::ostringstream console;
    static DiagLog log("/tmp/fuzz_outputcontrol_diag.xml", 0);
    log.SetConsole(console);
    console.str("");
    return log;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = "/tmp/fuzz_outputcontrol_" + std::to_string(getpid()) + ".ctl";
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    static GridStore store;
    unsigned error = 0;
    defaultini setup(error, &Log(), path, 2, &store);
    Check(error == 0);
    int code = 0;
    try {
        setup.ReadOutputControl(path);
    } catch (const ModelError& e) {
        code = e.code();
    }
    Check(code == 0 || code == 17 || code == 97);
    if (code != 0) return 0;
    const GlobalSettings g = setup.GetGlobalSettings();
    Check(g.outputInterval >= 1);
    Check(g.meteoOption == 0 || g.meteoOption == 1);
    Check(g.thirdSwitch == 0 || g.thirdSwitch == 1);
    Check(std::isfinite(g.minToIntEnd) && g.minToIntEnd >= 0);
    Check(g.outputListCodes.size() == static_cast<std::size_t>(g.outputListCount > 0 ? g.outputListCount : 0) + 1);
    for (std::size_t i = 2; i < g.outputListCodes.size(); ++i) Check(g.outputListCodes[i] > g.outputListCodes[i - 1]);
    Check(g.meteoNames.size() == static_cast<std::size_t>(g.meteoCount > 0 ? g.meteoCount : 0) + 1);
    for (std::size_t i = 1; i < g.meteoNames.size(); ++i) Check(!g.meteoNames[i].empty() && g.meteoNames[i].size() <= 200);
    return 0;
}
