// Fuzz target of the reader of "[model_time]": the input is the text after the section line.
// Every input must end with a start and end date whose months and days exist, or with the
// reader's code.
#include <cstdint>
#include <string>

#include "fuzz_support.hpp"
#include "kernel/error.hpp"
#include "kernel/gridstore.hpp"
#include "setup/defltuzr.hpp"

using fuzz_support::Check;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_support::EnterPrivateFolder("fuzz_modeltime");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz_support::WriteInput("input.ctl", "[model_time]\n", data, size);
    static GridStore store;
    unsigned error = 0;
    defaultini setup(error, &fuzz_support::QuietLog(), "input.ctl", 2, &store);
    Check(error == 0);
    setup.controlFile = OpenFile("input.ctl", "r");
    Check(static_cast<bool>(setup.controlFile));
    int code = 0;
    try {
        setup.ReadModelTime();
    } catch (const ModelError& e) {
        code = e.code();
    }
    Check(code == 0 || code == 17);
    if (code != 0) return 0;
    Check(setup.month >= 1 && setup.month <= 12 && setup.day >= 1 && setup.day <= 31);
    Check(setup.endMonth >= 1 && setup.endMonth <= 12 && setup.endDay >= 1 && setup.endDay <= 31);
    return 0;
}
