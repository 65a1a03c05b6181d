#pragma once
// Descriptions of the tracers (dissolved substances) carried with the water, read from
// "[substance_transport]". The application constructs the reader once, right after the
// meteorological inputs; every sub-model keeps its own copy of the descriptors.
#include <cstdint>
#include <string>
#include <vector>

#include "kernel/modelobject.hpp"

struct TracerDescriptor {
    std::string name;               // short name: 3 characters, lower case
    std::int32_t radioactive = 0;   // 1 radioactive, 0 not
    std::int32_t evaporating = 0;   // 1 evaporates with the water, 0 stays behind
    double min_conc = 0;
    double max_conc = 0;            // unit mg/l, g/l or kg/kg (tested, not kept)
    double half_time = 0;           // days; -9999.0 when not radioactive
    double gwini = 0;               // initial concentration in groundwater
    double soilini = 0;             // initial concentration in the soil
    std::int64_t reserved1 = 0;     // not set by the reader
    std::int64_t reserved2 = 0;
    std::string path;               // directory of the tracer's output files
    std::string statext;            // file-name extension of its statistics outputs
    std::string gridext;            // file-name extension of its grid outputs
    std::int32_t statcode = 0;
    std::int32_t gridcode = 0;
};

class tracer_ini_class : public modelobject {
public:
    static constexpr int kMaxTracers = 9;

    // Reads the section from the compiled control file and hands back the number of tracers and
    // the descriptors (positions 1..count; position 0 stays empty). Follows the constructor
    // protocol of the model: an error code goes to *error (other exceptions as 103).
    tracer_ini_class(int* error, DiagLog* log, const std::string& controlFileName, int unused, bool textOutput,
                     bool doublePrecision, const ObjectRecord& record, int* tracerCount,
                     std::vector<TracerDescriptor>* tracers);

    int TracerCount() const { return count_; }
    const std::vector<TracerDescriptor>& Tracers() const { return tracers_; }

private:
    void ReadSection();
    void ReadTracer(int i, const std::string& line);
    void ReadName(int i, const std::string& line);
    void ReadRadioactivity(int i, const std::string& line);
    void ReadConcentrations(int i, const std::string& line);
    void ReadOutputs(int i, const std::string& line);
    // "FATAL: " entry from the pieces, then error 56.
    [[noreturn]] void TracerError(const std::string& text);

    int count_ = 0;
    std::vector<TracerDescriptor> tracers_;
};
