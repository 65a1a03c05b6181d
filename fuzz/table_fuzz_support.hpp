#pragma once
// Runs a table reader on fuzzer input taken as the text of a control file held in memory.
// Failures of the reader (a logged FATAL entry and a thrown code) are expected results.
#include <cstdint>
#include <cstdio>
#include <ostream>
#include <string>

#include "kernel/diaglog.hpp"
#include "kernel/error.hpp"
#include "kernel/modelobject.hpp"

template <class Read>
int RunTableReader(const std::string& head, const std::uint8_t* data, std::size_t size, Read read) {
    static std::ostream discard(nullptr);
    // Level -1 keeps every entry out of the diagnostics file.
    static DiagLog log("fuzz_tables_diag.xml", -1);
    log.SetConsole(discard);
    std::string text = head;
    text.append(reinterpret_cast<const char*>(data), size);
    modelobject reader(&log, "fuzz", 0, false, false, ObjectRecord{});
    reader.SetModuleName("fuzz");
    reader.controlFile.reset(fmemopen(text.data(), text.size(), "r"));
    if (!reader.ControlStream()) return 0;
    try {
        read(reader);
    } catch (const ModelError&) {
    }
    return 0;
}
