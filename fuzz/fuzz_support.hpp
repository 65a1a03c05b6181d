#pragma once
// Common pieces of the fuzz targets that read files: a private working folder, a quiet
// diagnostics log inside it and the fuzzer input written out as a file.
#include <algorithm>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>

#include "kernel/diaglog.hpp"

namespace fuzz_support {

inline void Check(bool condition) {
    if (!condition) __builtin_trap();
}

inline std::string& PrivateFolder() {
    static std::string folder;
    return folder;
}

// Makes a fresh folder under the temporary directory and makes it the working directory, so
// that every file a reader writes or looks for stays inside it. A run that ends normally
// removes the folder; one that finds a fault leaves it for inspection.
inline void EnterPrivateFolder(const std::string& tag) {
    std::string pattern = (std::filesystem::temp_directory_path() / ("talvo_" + tag + "_XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    std::filesystem::current_path(pattern);
    PrivateFolder() = pattern;
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::current_path(std::filesystem::temp_directory_path(), ignored);
        std::filesystem::remove_all(PrivateFolder(), ignored);
    });
}

// The console text of QuietLog since its last call.
inline std::ostringstream& QuietConsole() {
    static std::ostringstream console;
    return console;
}

// A log that keeps its console text in memory (cleared at each call) and writes its
// diagnostics file into the working folder.
inline DiagLog& QuietLog() {
    static DiagLog log("fuzz_diag.xml", 0);
    log.SetConsole(QuietConsole());
    QuietConsole().str("");
    return log;
}

// Removes every file of the working folder that a reader has written.
inline void RemoveWrittenFiles() {
    for (const auto& entry : std::filesystem::directory_iterator("."))
        if (entry.path().filename() != "input.ctl" && entry.path().filename().string().rfind("fuzz_diag", 0) != 0)
            std::filesystem::remove_all(entry.path());
}

// In a control file every '/' becomes '_': a section names the files its module writes, and an
// absolute or upward path would let the target write outside its private folder. Other inputs
// (grids, state files) name no file and keep their bytes.
inline void WriteInput(const std::string& path, const std::string& head, const std::uint8_t* data, std::size_t size) {
    std::string text = head + std::string(reinterpret_cast<const char*>(data), size);
    if (path.ends_with(".ctl")) std::replace(text.begin(), text.end(), '/', '_');
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

}  // namespace fuzz_support
