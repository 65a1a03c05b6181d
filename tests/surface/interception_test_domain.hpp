#pragma once
// The interception model on the shared 4 x 5 test domain: a "[interception_model]" section, a
// land-use table with and without an interception capacity, an optional multilayer table and
// the land-use and evaporation grids of every layer, held by the test in the grid store.
#include <string>
#include <vector>

#include "snow_test_domain.hpp"
#include "surface/interzep.hpp"
#include "tables/landuse_entry.hpp"
#include "tables/multilayer_landuse.hpp"

namespace interception_test {

struct SectionOptions {
    int flow = 1;
    int method = 2;
    double timeStep = 60;
    std::string outflow = "tf.asc", evaporation = "ei.asc", storage = "st.asc";
    int writeCode = 0;
    std::string stats = "0";  // statistics code of every output
    double maxThickness = 0.2;
    int readGrid = 0;
};

inline std::string InterceptionSection(const SectionOptions& o) {
    const std::string code = std::to_string(o.writeCode) + " write code\n";
    auto stat = [&](const std::string& name) { return name + " " + o.stats + " statistics\n"; };
    return "[interception_model]\n" + std::to_string(o.flow) + " flow control\n" + std::to_string(o.timeStep) +
           " time step\n" + std::to_string(o.method) + " method\n" + o.outflow + "\n" + code + stat("tf.sta") +
           o.evaporation + "\n" + code + stat("ei.sta") + o.storage + "\n" + code + stat("st.sta") +
           std::to_string(o.maxThickness) + " maximum water layer thickness\n" + std::to_string(o.readGrid) +
           " readgrid\n\n";
}

// Land use 1 gives no capacity (the maximum thickness applies), land use 2 gives 0.5 mm per LAI.
class InterceptionDomain : public snow_test::SnowDomain {
protected:
    void SetUp() override {
        SnowDomain::SetUp();
        landuse_.clear();
        landuse_.emplace_back(2);
        landuse_.emplace_back(1);
        landuse_.emplace_back(2);
        landuse_[2].IntercepCap = 0.5;
        settings_.landuseTable = landuse_.data();
        Fill("landuse1", 1);
        AddLayerGrids(1);
        for (const char* name : {"pot_transpiration0", "potential_InterceptionEvap0", "real_transpiration0"})
            Add(name, 0);
    }
    void AddLayerGrids(int k) {
        const std::string n = std::to_string(k);
        if (k > 1) Add("landuse" + n, 1);
        Add("leaf_area_index" + n, 4);
        Add("vegetation_coverage_degree" + n, 0.8);
        for (const char* name : {"pot_transpiration", "potential_InterceptionEvap", "real_transpiration"})
            Add(name + n, 0);
    }
    // A multilayer table of `layers` layers.
    void UseLayers(int layers) {
        for (int k = 2; k <= layers; ++k) AddLayerGrids(k);
        multilayer_.clear();
        multilayer_.emplace_back(1);
        multilayer_.emplace_back(1);
        multilayer_[1].layerCount = layers;
        settings_.multilayerTable = multilayer_.data();
    }

    // The owner of every row in bands, as "MPIRegions", and the strip table "MPIHelper" of the
    // row transfers: whole rows, owner and length on process 0, first column and length elsewhere.
    void DecomposeInBands() {
        Matrix& regions = Grid("MPIRegions", 0);
        Matrix& helper = Grid("MPIHelper", 0);
        const int size = talvo_test::Size();
        for (int r = 1; r <= 4; ++r) {
            int owner = 0;
            for (int p = 0; p < size; ++p)
                if (r >= p * 4 / size + 1 && r <= (p + 1) * 4 / size) owner = p;
            for (int c = 0; c <= 5; ++c) regions[r][c] = owner;
            for (int c = 0; c <= 5; ++c) helper[r][c] = 0;
            helper[r][1] = talvo_test::Rank() == 0 ? owner : 1;
            helper[r][2] = 5;
        }
        Register("MPIRegions", &regions);
        Register("MPIHelper", &helper);
    }

    std::unique_ptr<interzeptionsmodellklasse> MakeInterception(const SectionOptions& o, unsigned* code = nullptr) {
        submodel_test::WriteShared("test.ctl", submodel_test::ControlFile(InterceptionSection(o)));
        unsigned error = 0;
        auto model = std::make_unique<interzeptionsmodellklasse>(error, log_.get(), settings_);
        if (code != nullptr) *code = error;
        return model;
    }
    std::unique_ptr<interzeptionsmodellklasse> Ready(const SectionOptions& o) {
        unsigned code = 9;
        auto model = MakeInterception(o, &code);
        EXPECT_EQ(code, 0u) << console_.str();
        return model;
    }

    std::vector<landuse_entry> landuse_;
    std::vector<multilayer_landuse_entry> multilayer_;
};

}  // namespace interception_test
