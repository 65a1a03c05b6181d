// Fuzz target of the control-file preprocessor: both passes over an arbitrary control file.
// Every input must end, either with a copy or with the control-file error 17.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <sstream>
#include <string>

#include "kernel/diaglog.hpp"
#include "kernel/error.hpp"
#include "setup/ctlcompiler.hpp"

namespace {
void Check(bool condition) {
    if (!condition) __builtin_trap();
}

DiagLog& Log() {
    static std::ostringstream console;
    static DiagLog log("/tmp/fuzz_ctlcompiler_diag.xml", 0);
    log.SetConsole(console);
    console.str("");
    return log;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::string text(reinterpret_cast<const char*>(data), size);
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> source(fmemopen(text.data(), text.size(), "r"), std::fclose);
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> target(std::tmpfile(), std::fclose);
    if (!source || !target) return 0;
    ControlFileCompiler compiler(&Log());
    try {
        compiler.CollectSymbols(source.get());
        std::rewind(source.get());
        compiler.WriteCopy(source.get(), target.get());
    } catch (const ModelError& e) {
        Check(e.code() == 17);
        return 0;
    }
    // Stored values never hold a symbol that could expand again, unless they are "$set" texts.
    for (const auto& symbol : compiler.Symbols())
        Check(symbol.value.find('$') == std::string::npos || symbol.value.find("$set") != std::string::npos);
    return 0;
}
