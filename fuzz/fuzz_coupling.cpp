// Fuzz target of the reader of "[ExternalCoupling]": the input is the text after the section
// line. Every input must end with settings or with one of the reader's codes; the second
// reading with two processes must refuse a coupled run.
#include <cstdint>
#include <string>

#include "fuzz_support.hpp"
#include "kernel/error.hpp"
#include "kernel/modelobject.hpp"
#include "setup/coupling.hpp"

using fuzz_support::Check;

namespace {
int ReadCode(ExternalCoupling& coupling) {
    try {
        coupling.ReadSettings("input.ctl");
    } catch (const ModelError& e) {
        return e.code();
    }
    return 0;
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_support::EnterPrivateFolder("fuzz_coupling");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz_support::WriteInput("input.ctl", "[ExternalCoupling]\n", data, size);
    modelobject owner(&fuzz_support::QuietLog(), "input.ctl", 0, false, false, ObjectRecord{});
    owner.SetModuleName("fuzz");
    owner.ncols = 4;
    owner.nrows = 3;
    owner.nodata = -9999;
    ExternalCoupling coupling(owner);
    const int code = ReadCode(coupling);
    Check(code == 0 || code == 10 || code == 17);
    if (code == 0) {
        Check(coupling.Mode() != 0 || (coupling.Incoming().empty() && coupling.Outgoing().empty()));
        Check(std::string("IHDMY").find(coupling.PeriodLetter()) != std::string::npos);
        for (const auto& g : coupling.Outgoing())
            Check(g.writeCode.size() <= ExternalCoupling::kWriteCodeLength &&
                  (!ExternalCoupling::Accumulates(g.writeCode) || static_cast<bool>(g.accumulation)));
    }
    owner.size = 2;
    const int second = ReadCode(coupling);
    Check(second == 0 || second == 10 || second == 17 || second == 1009);
    if (second == 0) Check(!coupling.IsCoupled());
    return 0;
}
