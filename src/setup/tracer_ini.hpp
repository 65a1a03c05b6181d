#pragma once
// Tracer (solute) descriptions of "[substance_transport]": at most nine tracers; every sub-model
// keeps a pointer to the shared array and builds its own tracer grids from it.
#include <cstdint>
#include <string>
#include <vector>

#include "kernel/modelobject.hpp"

struct TracerDescriptor {
    std::string name;  // three lower-case characters
    std::int32_t radioactive = 0;
    std::int32_t evaporating = 0;
    double min_conc = 0;
    double max_conc = 0;
    double half_time = -9999.0;  // days; -9999 when not radioactive
    double gwini = 0;
    double soilini = 0;
    std::int64_t reserved1 = 0;
    std::int64_t reserved2 = 0;
    std::string path;
    std::string statext;
    std::string gridext;
    std::int32_t statcode = 0;
    std::int32_t gridcode = 0;
};

// Reads "[substance_transport]": the number of tracers, then one line per tracer whose keys may
// stand anywhere in that line. Positions 1..count of Descriptors() hold the tracers; position 0
// stays empty. Without the section the run has no tracers.
class tracer_ini_class : public modelobject {
public:
    static constexpr int kMaxTracers = 9;
    // error receives the failure code (any other exception: 103); the object is then unusable.
    tracer_ini_class(unsigned& error, DiagLog* log, const std::string& controlFileName, bool textOutput,
                     bool doublePrecision, const ObjectRecord& record, int& count,
                     const TracerDescriptor*& descriptors);
    int Count() const { return count_; }
    const TracerDescriptor* Descriptors() const { return descriptors_.data(); }

private:
    void ReadSection();
    void CloseControlFile();
    void ReadName(int i, const std::string& line);
    void ReadRadioactivity(int i, const std::string& line);
    void ReadConcentrations(int i, const std::string& line);
    void ReadOutputs(int i, const std::string& line);
    // Logs "FATAL: " + text and throws 56.
    [[noreturn]] void TracerError(const std::string& text);

    int count_ = 0;
    std::vector<TracerDescriptor> descriptors_;
};
