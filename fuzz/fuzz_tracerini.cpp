// Fuzz target of the reader of "[substance_transport]": the input is the text after the
// section line. Every input must end with descriptors or with one of the reader's codes.
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>

#include "kernel/diaglog.hpp"
#include "setup/tracer_ini.hpp"

namespace {
void Check(bool condition) {
    if (!condition) __builtin_trap();
}

DiagLog& Log() {
    static std::ostringstream console;
    static DiagLog log("/tmp/fuzz_tracerini_diag.xml", 0);
    log.SetConsole(console);
    console.str("");
    return log;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = "/tmp/fuzz_tracerini_" + std::to_string(getpid()) + ".ctl";
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << "[substance_transport]\n";
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    unsigned error = 0;
    int count = -1;
    const TracerDescriptor* descriptors = nullptr;
    tracer_ini_class reader(error, &Log(), path, false, false, ObjectRecord{}, count, descriptors);
    Check(error == 0 || error == 17 || error == 56 || error == 58 || error == 59);
    if (error != 0) return 0;
    Check(count >= 0 && count <= tracer_ini_class::kMaxTracers);
    for (int i = 1; i <= count; ++i) {
        const TracerDescriptor& t = descriptors[i];
        Check(t.name.size() == 3);
        for (char ch : t.name) Check(!(ch >= 'A' && ch <= 'Z'));
        Check(t.radioactive == 0 ? t.half_time == -9999.0 : t.half_time > 0);
        Check(t.path.size() < 300 && t.statext.size() < 300 && t.gridext.size() < 300);
    }
    return 0;
}
