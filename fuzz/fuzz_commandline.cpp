// Fuzz target of the command line: the input is split at zero bytes into the arguments after
// the program name. Every argument must be taken as an option, as an unknown option (it begins
// with "-": a misspelt option is never a control file) or as a control file, and the last
// "-diagfile:" and "-diaglevel:" must count.
#include <cstdint>
#include <string>
#include <vector>

#include "driver/entry.hpp"

namespace {
void Check(bool condition) {
    if (!condition) __builtin_trap();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> args{"talvo"};
    std::string current;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            args.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(data[i]);
        }
    }
    if (size > 0) args.push_back(current);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(args.size());
    const CommandLine options = ParseCommandLine(argc, argv.data());

    Check(options.diagLevel >= 0 && options.diagLevel <= 4);
    std::string diagFile;
    int diagLevel = 4;
    bool dump = false, close = false;
    std::size_t next = 0, unknown = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string& a = args[static_cast<std::size_t>(i)];
        const bool isOption = a.rfind("-diagfile:", 0) == 0 || a.rfind("-diaglevel:", 0) == 0 || a == "-dumpmode" ||
                              a == "-closeAfterDump";
        if (a.rfind("-diagfile:", 0) == 0) diagFile = a.substr(10);
        if (a.rfind("-diaglevel:", 0) == 0) diagLevel = DiagLevelFromWord(a.substr(11));
        dump = dump || a == "-dumpmode";
        close = close || a == "-closeAfterDump";
        if (isOption) continue;
        if (a.rfind("-", 0) == 0) {
            Check(unknown < options.unknownOptions.size() && options.unknownOptions[unknown] == a);
            ++unknown;
            continue;
        }
        Check(next < options.controlFiles.size() && options.controlFiles[next] == i);
        ++next;
    }
    Check(next == options.controlFiles.size() && unknown == options.unknownOptions.size());
    Check(options.diagFile == diagFile && options.diagLevel == diagLevel);
    Check(options.dumpMode == dump && options.closeAfterDump == close);
    return 0;
}
