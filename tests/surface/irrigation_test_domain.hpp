#pragma once
// The irrigation model on the shared 4 x 5 test domain, divided among the processes in bands:
// a "[irrigation]" section, an irrigation table and test doubles of the soil model's grids and
// of the discharge routing's arrays.
#include <string>
#include <vector>

#include "interception_test_domain.hpp"
#include "surface/irrigate.hpp"
#include "submodel/riverflow_table.hpp"
#include "tables/irrigation_table.hpp"

namespace irrigation_test {

inline std::string IrrigationSection(int flow = 1, double step = 60, const std::string& codes = "0 0") {
    std::string gwCode = codes.substr(0, codes.find(' ')), swCode = codes.substr(codes.find(' ') + 1);
    return "[irrigation]\n" + std::to_string(flow) + " flow control\n" + std::to_string(step) + " time step\ngw.sta " +
           gwCode + " groundwater statistics\nsw.sta " + swCode + " surface-water statistics\n\n";
}

// Irrigation types: 1 fixed dates (24 mm on 2 January), 2 soil moisture from groundwater,
// 3 soil moisture from surface water, 4 ETR/ETP from groundwater, 5 method 0.
class IrrigationDomain : public interception_test::InterceptionDomain {
protected:
    void SetUp() override {
        InterceptionDomain::SetUp();
        DecomposeInBands();
        for (const char* name : {"irrigation_codes", "Max_Pumping", "irrigation_amounts", "SB_1_grid", "SBLOW_grid",
                                 "SBHIGH_grid", "ETR2ETP", "root_depth1"})
            Add(name, 0);
        Fill("Max_Pumping", 100);
        Fill("SB_1_grid", 0.15);
        Fill("SBLOW_grid", 0.2);
        Fill("SBHIGH_grid", 0.3);
        Fill("ETR2ETP", 1);
        Fill("root_depth1", 0.5);
        table_.assign(6, irrigation_entry{});
        table_[0].code = 5;
        auto rule = [&](int i, int method, int origin) {
            table_[i].code = i;
            table_[i].method = method;
            table_[i].origin = origin;
        };
        rule(1, 1, 2);
        table_[1].tabcnt = 1;
        table_[1].months = {0, 1};
        table_[1].days = {0, 2};
        table_[1].amounts = {0, 24};
        rule(2, 3, 1);
        rule(3, 3, 2);
        rule(4, 4, 1);
        table_[4].minRatio = 0.7;
        rule(5, 0, 1);
        settings_.irrigationTable = table_.data();
    }

    std::unique_ptr<irrigationclass> MakeIrrigation(unsigned* code = nullptr, double step = 60,
                                                    const std::string& statCodes = "0 0") {
        submodel_test::WriteShared("test.ctl", submodel_test::ControlFile(IrrigationSection(1, step, statCodes)));
        unsigned error = 0;
        auto model = std::make_unique<irrigationclass>(error, log_.get(), settings_);
        if (code != nullptr) *code = error;
        return model;
    }
    std::unique_ptr<irrigationclass> ReadyIrrigation(double step = 60, const std::string& statCodes = "0 0") {
        unsigned code = 9;
        auto model = MakeIrrigation(&code, step, statCodes);
        EXPECT_EQ(code, 0u) << console_.str();
        return model;
    }

    // Routing doubles: three subbasins (zones 3, 5, 9), every array 0..3.
    void MakeRoutingArrays(double rivers, double reservoirs) {
        maxirrig_.assign(2, std::vector<double>(4, rivers));
        fromReservoirs_.assign(2, std::vector<double>(4, reservoirs));
        for (auto& row : targets_) row.assign(4, 0);
        abfrel_.assign(4, 0.0);
    }
    void Link(irrigationclass& m) {
        m.SetMaxIrrigation(&maxirrig_, &fromReservoirs_);
        m.SetRoutingTarget(targets_);
        m.SetAbfrel(&abfrel_);
    }

    std::vector<irrigation_entry> table_;
    RunoffArray maxirrig_, fromReservoirs_;
    RoutingTargetRows targets_[3];  // the routing's three network arrays
    SubbasinValues abfrel_;
};

}  // namespace irrigation_test
