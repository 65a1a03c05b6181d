#pragma once
// The silting-up model on the shared 4 x 5 test domain: a "[SiltingUpModel]" section for any
// method, a land-use table with a tilled field (code 1) and a meadow without tillage (code 2),
// a soil with grain sizes and formula parameters, and the input grids held by the test.
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "../submodel/submodel_fixtures.hpp"
#include "lateral/siltingup.hpp"
#include "tables/landuse_entry.hpp"
#include "tables/soil_entry.hpp"

namespace silting_test {

struct SectionOptions {
    int flow = 1;
    std::string methodLine = "2 method";  // empty: method 1 without a method line
    double timeStep = 60;
    std::string stats = "0";              // statistics code of SDISP and QDSU
    std::string codes = "3 9";            // subbasin codes (zones 3, 5 and 9)
    std::string pauses = "0.5 0.2";       // minimum rain pause per given code
    std::string readGrid = "0 readgrid";
    std::string parameters = "65\n12.2\n0.52\n-0.64\n0.013\n-1.03\n0.7\n-0.19\n";  // method 2
    std::string expressions;              // method 3: the text after readgrid
};

inline std::string SiltingSection(const SectionOptions& o) {
    std::string s = "[SiltingUpModel]\n" + std::to_string(o.flow) + " flow control\n" +
                    std::to_string(static_cast<int>(o.timeStep)) + " time step\n";
    if (!o.methodLine.empty()) s += o.methodLine + "\n";
    s += "sdisp.sta " + o.stats + " SDISP\nqdsu.sta " + o.stats + " QDSU\n";
    for (const char* g : {"disp.asc", "pause.asc", "ekin.asc", "tsbb.asc", "qdsu.asc"})
        s += std::string(g) + "\n0 write code\n";
    s += o.codes + " codes\n" + o.pauses + " minimum rain pause\n" + o.readGrid + "\n";
    if (o.methodLine.rfind("2", 0) == 0) s += o.parameters;
    s += o.expressions;
    return s + "\n";
}

// A tilled field (tillage on days 100 and 250, residue cover 0.1) and a meadow.
inline const char* kField =
    "1 field method = VariableDayCount { RootDist = 1; TReduWet = 0.9; HReduDry = 3; JulDays = 1 366;\n"
    " Albedo = 0.2 0.2; rsc = 60 60; LAI = 2 2; Z0 = 0.05 0.05; VCF = 0.8 0.8; RootDepth = 0.5 0.5; AltDep = 0 0;\n"
    " SoilTillage = 100 250; SR_ResidCovrg = 0.1 0.1; }";
inline const char* kMeadow =
    "2 meadow method = VariableDayCount { RootDist = 1; TReduWet = 0.9; HReduDry = 3; JulDays = 1 366;\n"
    " Albedo = 0.2 0.2; rsc = 60 60; LAI = 2 2; Z0 = 0.05 0.05; VCF = 0.8 0.8; RootDepth = 0.5 0.5; AltDep = 0 0;\n"
    " SR_ResidCovrg = 0.1 0.1; }";
inline const char* kLoam =
    "1 loam { method = MultipleHorizons; layers = 2 8; thickness = 0.05 0.1; ksat = 1e-5;\n"
    " theta_sat = 0.45 0.40; theta_res = 0.05 0.04; alpha = 2.0 1.5; Par_n = 1.5 1.25;\n"
    " GrainSizeDist = 0.4 0.4 0.2 0 0 0 0; SU_PAR01 = 1.5; SU_PAR10 = 4; }";

class SiltingDomain : public submodel_test::DomainTest {
protected:
    void SetUp() override {
        DomainTest::SetUp();
        store_[2].grid = &Grid("[elevation]", 500);
        store_[2].internalName = "[elevation_model]";
        store_[2].fileName = "dem.asc";
        store_[2].hasFileName = true;
        store_[2].hasInternalName = true;
        for (const char* name : {"landuse1", "vegetation_coverage_degree1", "soil_types", "SurfStorSiltingUp",
                                 "precipitation"})
            Add(name, 0);
        Fill("landuse1", 1);
        Fill("soil_types", 1);
        Fill("vegetation_coverage_degree1", 0.2);

        landuses_.assign(3, landuse_entry{});
        landuses_[0] = landuse_entry(2);
        landuses_[1].ParseLanduseBlock(*log_, kField, "VariableDayCount");
        landuses_[2].ParseLanduseBlock(*log_, kMeadow, "VariableDayCount");
        settings_.landuseTable = landuses_.data();
        soils_.assign(2, soil_entry{});
        soils_[0].code = 1;
        soils_[1] = soil_entry(1);
        soils_[1].ParseSoilBlock(*log_, kLoam, "MultipleHorizons");
        settings_.soilTable = soils_.data();
    }

    Matrix& Grid(const std::string& key, double value) {
        memory_handling mh;
        grids_.emplace_back(mh.matrix(1, 4, 1, 5, 4));
        Matrix& m = grids_.back();
        for (int r = 1; r <= 4; ++r)
            for (int c = 1; c <= 5; ++c) m[r][c] = zone_[r][c] == -9999 ? -9999 : value;
        byName_[key] = &m;
        return m;
    }
    int Add(const std::string& name, double value) { return Register(name, &Grid(name, value)); }
    int Register(const std::string& name, Matrix* m) {
        const int i = FirstFreeGridEntry(store_);
        store_[i].grid = m;
        store_[i].fileName = name + ".asc";
        store_[i].hasFileName = true;
        store_[i].internalName = name;
        store_[i].hasInternalName = true;
        return i;
    }
    void Fill(const std::string& name, double v) {
        Matrix& m = *byName_.at(name);
        for (int r = 1; r <= 4; ++r)
            for (int c = 1; c <= 5; ++c)
                if (zone_[r][c] != -9999) m[r][c] = v;
    }
    Matrix& G(const std::string& name) { return *byName_.at(name); }
    int EntryOf(const std::string& name) const {
        for (int i = 1; i < 1000; ++i)
            if (store_[i].hasInternalName && store_[i].internalName == name) return i;
        return 0;
    }

    std::unique_ptr<siltingupclass> Make(const SectionOptions& o, unsigned* code = nullptr) {
        submodel_test::WriteShared("test.ctl", submodel_test::ControlFile(SiltingSection(o)));
        unsigned error = 0;
        auto s = std::make_unique<siltingupclass>(error, log_.get(), settings_);
        if (code != nullptr) *code = error;
        return s;
    }
    // Constructed without failure, with the water input linked.
    std::unique_ptr<siltingupclass> Ready(const SectionOptions& o) {
        unsigned code = 9;
        auto s = Make(o, &code);
        EXPECT_EQ(code, 0u) << console_.str();
        if (code == 0) s->UpdateInputGrid(false);
        return s;
    }
    template <class F>
    void ForOwn(F&& f) {
        for (int r = settings_.firstRow; r <= settings_.lastRow; ++r)
            for (int c = 1; c <= 5; ++c)
                if (zone_[r][c] != -9999) f(r, c);
    }

    std::deque<Matrix> grids_;
    std::map<std::string, Matrix*> byName_;
    std::vector<landuse_entry> landuses_;
    std::vector<soil_entry> soils_;
};

}  // namespace silting_test
