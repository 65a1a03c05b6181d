// Fuzz target of the section "[groundwater_flow]" read by the groundwater model on a small
// basin of one aquifer layer. What the reader accepts has at least one sweep, a positive error
// bound, a time weight in [0, 1] and an over-relaxation factor below 2.
#include <memory>

#include "lateral/gwflow.hpp"
#include "submodel_fuzz_support.hpp"

using fuzz_support::Check;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_support::EnterPrivateFolder("fuzz_gwflow_section");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static fuzz_support::FuzzBasin basin({{"groundwater_recharge", 0},
                                          {"groundwater_distance", 2},
                                          {"soil_types", 1},
                                          {"baseflow", 0},
                                          {"aquifer_thickness_1", 10},
                                          {"gw_k_x_1", 1e-4},
                                          {"gw_k_y_1", 1e-4},
                                          {"gw_storage_coeff_1", 0.1},
                                          {"gw_boundary_fix_h_1", -9999},
                                          {"gw_boundary_fix_q_1", -9999}});
    basin.WriteSection("[groundwater_flow]\n", data, size);
    unsigned error = 0;
    auto model = std::make_unique<gwflowclass>(error, basin.Log(), basin.settings, 1);
    Check(fuzz_support::ExpectedReaderCode(error));
    if (error == 0 && model->GetFlowControl() != 0) {
        Check(model->maxiter >= 1);
        Check(model->maxErrorAllowed > 0);
        Check(model->alpha >= 0 && model->alpha <= 1);
        Check(model->sorParameter < 2);
    }
    model.reset();
    fuzz_support::RemoveWrittenFiles();
    return 0;
}
