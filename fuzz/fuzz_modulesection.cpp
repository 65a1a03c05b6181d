// Fuzz target of the section head every sub-model reads ("[<module>]": flow control and time
// step). The first byte chooses whether the section is required and the shift of the
// meteorological hour; the rest is the text after the section line. Every input must end
// with a module that is off or runs with a usable step, or with one of the reader's codes.
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "kernel/error.hpp"
#include "submodel/teilmod.hpp"

using fuzz_support::Check;

namespace {
class SectionProbe : public teilmodellklasse {
public:
    SectionProbe(DiagLog* log, const SubmodelSettings& s) : teilmodellklasse(log, "fuzz_module", s, 1) {}
    using teilmodellklasse::ReadModuleSection;
    double StepsPerDay() const { return stepsPerDay; }
    double Interval() const { return timeInterval; }
};
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_support::EnterPrivateFolder("fuzz_modulesection");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const bool required = (data[0] & 1) != 0;
    static const double kShifts[4] = {0, 60, 1440, -30};
    fuzz_support::WriteInput("input.ctl", (data[0] & 8) ? "[other]\n1\n" : "[fuzz_module]\n", data + 1, size - 1);
    static const std::vector<int> zoneIndex(2, 0);
    SubmodelSettings settings;
    settings.controlFileName = "input.ctl";
    settings.minToIntEnd = kShifts[(data[0] >> 1) & 3];
    settings.zoneIndex = &zoneIndex;
    SectionProbe probe(&fuzz_support::QuietLog(), settings);
    int code = 0;
    try {
        probe.ReadModuleSection(required);
    } catch (const ModelError& e) {
        code = e.code();
    }
    Check(code == 0 || code == 17 || code == 63);
    if (code != 0) return 0;
    if (probe.GetFlowControl() == 0) {
        Check(!probe.controlFile);
        return 0;
    }
    Check(static_cast<bool>(probe.controlFile));
    Check(probe.Interval() > 0 && std::isfinite(probe.StepsPerDay()) && probe.StepsPerDay() > 0);
    return 0;
}
