// Construction of the evapotranspiration model: the section in its order, the checks with
// their codes and messages, the input grids, the published grids and "[lake_model]".
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "etp_fixture.hpp"
#include "tables/multilayer_landuse.hpp"

using namespace etp_test;
using submodel_test::Contains;

namespace {

class EtpConfigTest : public EtpTest {
protected:
    // A multilayer table of one entry with the given number of layers.
    void Layers(int n) {
        table_.assign(2, multilayer_landuse_entry{});
        table_[0].code = 1;
        table_[1].layerCount = n;
        settings_.multilayerTable = table_.data();
    }
    unsigned Code(const Section& s, const std::string& extra = "") {
        unsigned error = 0;
        model_.reset();
        model_ = Make(s, error, extra);
        return error;
    }
    std::vector<multilayer_landuse_entry> table_;
    std::unique_ptr<verdunstungsmodellklasse> model_;
};

}  // namespace

TEST_F(EtpConfigTest, SwitchedOffItIsInert) {
    submodel_test::WriteShared("test.ctl", submodel_test::ControlFile());
    unsigned error = 9;
    verdunstungsmodellklasse m(error, log_.get(), settings_);
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(m.SetCorrectionGrid(nullptr), 0);
    Matrix snow;
    EXPECT_EQ(m.SetSnowStorageGrid(&snow), 0);
    EXPECT_EQ(m.snowStorage, nullptr);
    m.PotentialEvapotranspirationStep(12, 1, 6, 2020);
    m.AfterSoilStep(12, 1, 6, 2020);
    EXPECT_EQ(m.FindGrid("pot_transpiration0"), 0);
}

TEST_F(EtpConfigTest, EmpiricalMethodsNeedOneLayerAndDailySteps) {
    PutStandardInputs(2);
    Section s;
    s.method = 2;
    s.step = 720;
    EXPECT_EQ(Code(s), 44u);
    EXPECT_TRUE(Logged("for daily time steps or larger. The actual time step is less than 1440 min.\nactual "
                       "parameters: method: 2, timestep: 720 minutes"));
    s.step = 1440;
    EXPECT_EQ(Code(s), 0u);
    Layers(2);
    Put("landuse2", 1);
    Put("landuse", 1);
    EXPECT_EQ(Code(s), 44u);
    EXPECT_TRUE(Logged("for unlayered Vegetation. Actual parameters: method: 2, number of layers: 2"));
}

TEST_F(EtpConfigTest, ValuesAreReadInOrderWithTheirCodes) {
    PutStandardInputs(1);
    Put("global_radiation", 300);
    struct Case {
        const char* what;
        std::function<void(Section&)> change;
        unsigned code;
        const char* logged;
    };
    const std::vector<Case> cases = {
        {"comment after PEC", [](Section& s) { s.pec += " monthly factors"; }, 45u,
         "values for the fh-parameter for \nHAUDE-evaporation"},
        {"eleven PEC values", [](Section& s) { s.pec = "1 1 1 1 1 1 1 1 1 1 1 x"; }, 45u, "PEC-parameter"},
        {"comment after fh", [](Section& s) { s.fh += " monthly factors"; }, 17u, "fk - Coastfactor"},
        {"fd above 1", [](Section& s) { s.fdv = "1.5 0"; }, 10u, "read: amplitude_fraction_day: 1.5"},
        {"fd missing", [](Section& s) { s.fdv = "x"; }, 10u,
         "error reading fraction for temperature amplitude for day/night\nor the annual variability"},
        {"c0 too small", [](Section& s) { s.c = "0.04 0.96 0 0"; }, 10u, "diffuse radiation is too small: 0.04"},
        {"c0 too large", [](Section& s) { s.c = "0.51 0.49 0 0"; }, 10u, "diffuse radiation is too large: 0.51"},
        {"sum 0.98", [](Section& s) { s.c = "0.2 0.78 0 0"; }, 10u, "derzeitige Summe: 0.2 + 0.78 + 0 + 0 = 0.98"},
        {"sum 1.02", [](Section& s) { s.c = "0.2 0.82 0 0"; }, 10u, "in ihrer Summe 1 ergeben"},
        {"no sunshine root", [](Section& s) { s.cs = "0.5 1 0 0"; }, 10u,
         "No null point (root) was found between 0 and 1!\nCS[0]=0.5, CS[1]=1, CS[2]=0, CS[3]=0"},
        {"no relation", [](Section& s) { s.cs = "0.5 0 0 0"; }, 10u, "There must be at minimum a linear relationship"},
        {"missing coefficient", [](Section& s) { s.cs = "0.5 0 0"; }, 17u, "sunshine coefficients"},
        {"c0 0.05 accepted", [](Section& s) { s.c = "0.05 0.95 0 0"; }, 0u, ""},
        {"c0 0.5 accepted", [](Section& s) { s.c = "0.5 0.5 0 0"; }, 0u, ""},
    };
    for (const Case& k : cases) {
        Section s;
        k.change(s);
        console_.str("");
        EXPECT_EQ(Code(s), k.code) << k.what;
        EXPECT_TRUE(Logged(k.logged)) << k.what;
    }
}

TEST_F(EtpConfigTest, SunshineRootAndOptionalCloudinessLine) {
    PutStandardInputs(1);
    Put("sunshine_duration", 0.5);
    Section s;
    EXPECT_EQ(Code(s), 0u);
    EXPECT_NEAR(model_->x0, 0.2431029, 1e-7);
    EXPECT_EQ(model_->method, 1);
    EXPECT_DOUBLE_EQ(model_->fn, 0.4);
    EXPECT_EQ(model_->pec[0], model_->pec[12]);
    const int cloud = model_->FindGrid("cloudiness");
    ASSERT_GT(cloud, 0);
    EXPECT_EQ(store_[cloud].fileName, "cloudiness");
    s.cs = "-0.2 1 0 0";
    s.cloudLine = "clouds.stat 0";
    EXPECT_EQ(Code(s), 0u);
    EXPECT_NEAR(model_->x0, 0.2, 1e-15);
    EXPECT_EQ(store_[model_->FindGrid("cloudiness")].fileName, "clouds.stat");
}

TEST_F(EtpConfigTest, MissingInputsFailWithTheirCodes) {
    PutStandardInputs(1);
    Section s;
    EXPECT_EQ(Code(s), 46u);
    EXPECT_TRUE(Logged("erlative sunshine duration (SSD, in 1/1)  or global radiation"));
    Put("net_radiation", 100);
    s.method = 7;  // an unknown method finds no radiation input of its own
    s.step = 1440;
    EXPECT_EQ(Code(s), 46u);
    s.method = 1;
    s.step = 60;
    // Rename the humidity entry: without humidity or vapour pressure method 1 is refused.
    Hide("air_humidity");
    EXPECT_EQ(Code(s), 46u);
    EXPECT_TRUE(Logged("vapor pressure (e, in mbar) or relative air humidity (RLF, in 1/1)."));
    Put("vapor_pressure", 10);
    // Daily Penman-Monteith steps need the night temperature.
    s.step = 1440;
    EXPECT_EQ(Code(s), 33u);
    Put("temperature_night", 5);
    EXPECT_EQ(Code(s), 0u);
    // The soil grids are linked on request only, and both are required then.
    Put("soil_storage", 0);
    EXPECT_EQ(submodel_test::CodeOf([&] { model_->LinkSoilGrids(); }), 33);
    Put("available_soil_moisture", 0);
    EXPECT_EQ(submodel_test::CodeOf([&] { model_->LinkSoilGrids(); }), 0);
    Hide("wind_speed");
    EXPECT_EQ(Code(s), 33u);
}

TEST_F(EtpConfigTest, LayerGridsAndTheirFileNames) {
    Layers(2);
    PutStandardInputs(1);
    Put("sunshine_duration", 0.5);
    Put("landuse", 1);
    Put("landuse2", 1);
    for (const char* n : {"leaf_area_index2", "root_depth2", "vegetation_coverage_degree2", "SurfaceCanopyResistance2",
                          "SurfaceIntercepResistance2", "RoughnessLength2"})
        Put(n, 1);
    Section s;
    EXPECT_EQ(Code(s), 0u);
    EXPECT_EQ(model_->layers, 2);
    for (int i = 0; i <= 2; ++i)
        for (const char* name : {"pot_transpiration", "real_transpiration", "potential_InterceptionEvap"})
            EXPECT_GT(model_->FindGrid(name + std::to_string(i)), 0) << name << i;
    EXPECT_EQ(store_[model_->FindGrid("pot_transpiration1")].fileName, "etp_Layer_1.asc");
    EXPECT_EQ(store_[model_->FindGrid("real_transpiration2")].fileName, "etr_Layer_2.asc");
    EXPECT_EQ(store_[model_->FindGrid("pot_transpiration0")].fileName, "etp.asc");
    // Real transpiration spans every row on process 0, the own rows elsewhere.
    const Matrix& etr = model_->etr[1];
    EXPECT_EQ(etr.firstRow(), talvo_test::Rank() == 0 ? 1 : settings_.firstRow);
    EXPECT_EQ(verdunstungsmodellklasse::LayerFileName("etp", 2), "etp_Layer_2");
    EXPECT_EQ(verdunstungsmodellklasse::LayerFileName("out.d/etp", 1), "out.d/etp_Layer_1");
    EXPECT_EQ(verdunstungsmodellklasse::LayerFileName("a.b.asc", 3), "a.b_Layer_3.asc");
    model_.reset();
    // Every registered grid went with the model.
    EXPECT_EQ(FindGridInStore("pot_transpiration0"), 0);
}

TEST_F(EtpConfigTest, LayerGridsStartAtZeroInTheBasinCellsAndNodataElsewhere) {
    // Every held row of every layer's grids, column 0 included, compared as bits.
    Layers(1);
    PutStandardInputs(1);
    Put("sunshine_duration", 0.5);
    EXPECT_EQ(Code(Section()), 0u);
    auto same = [](double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; };
    for (const std::vector<Matrix>* grids : {&model_->etp, &model_->etr, &model_->eip})
        for (const Matrix& m : *grids)
            for (int r = m.firstRow(); r <= m.lastRow(); ++r)
                for (int c = 0; c <= 5; ++c) {
                    const double want = c == 0 ? -9999.0 : zone_[r][c] == -9999 ? -9999.0 : 0.0;
                    EXPECT_TRUE(same(m[r][c], want)) << r << "," << c << " " << m[r][c];
                }
}

TEST_F(EtpConfigTest, AFullGridStoreIsFatal12) {
    PutStandardInputs(1);
    Put("sunshine_duration", 0.5);
    for (int i = FindGridInStore("sunshine_duration") + 1; i <= 998; ++i) Put("filler" + std::to_string(i), 0);
    Section s;
    EXPECT_EQ(Code(s), 12u);
    EXPECT_TRUE(Logged("no free grid left of 1000!"));
}

TEST_F(EtpConfigTest, LakeSettings) {
    PutStandardInputs(1);
    Put("sunshine_duration", 0.5);
    Section s;
    EXPECT_EQ(Code(s), 0u);
    model_->ReadLakeModel("[lake_model]");
    EXPECT_TRUE(Logged("no LAKE-grid was found in evapotranspiration\nLake modelling is switched off for "
                       "evapotranspiration.\n"));
    Put("lake_codes", 1);
    struct Case {
        std::string section;
        int code;
        bool pond;
    } cases[] = {
        {"[lake_model]\n0 off\nnot a number\n", 0, false},
        {"[lake_model]\n1 on\n3 init\n0.08\n0.001\n", 211, true},
        {"[lake_model]\n1 on\n1 init\n0.08\n0.001\n", 28, false},
        {"[lake_model]\n1 on\n1 init\n0.08\n0\n", 211, true},
        {"[lake_model]\n1 on\n2 init\n0.08\n", 17, true},
        {"[lake_model]\n1 on\n2 init\n0.08 albedo\n0.001 z0\n", 0, true},
        {"[lake_model]\n1 on\n2 init\n8 albedo in percent\n0.001 z0\n", 17, true},
    };
    for (const Case& k : cases) {
        if (k.pond && FindGridInStore("ponding_storage") == 0) Put("ponding_storage", 1);
        if (!k.pond) Hide("ponding_storage");
        EXPECT_EQ(Code(s, k.section), 0u);
        console_.str("");
        EXPECT_EQ(submodel_test::CodeOf([&] { model_->ReadLakeModel("[lake_model]"); }), k.code) << k.section;
        if (k.code == 0 && k.pond) {
            EXPECT_EQ(model_->lakeFlow, 1);
            EXPECT_EQ(model_->albedoOpenWater, 0.08);
            EXPECT_EQ(model_->z0OpenWater, 0.001);
        }
    }
    EXPECT_EQ(Code(s, "[lake_model]\n1 on\n1 init\n0.08\n0\n"), 0u);
    EXPECT_EQ(submodel_test::CodeOf([&] { model_->ReadLakeModel("[lake_model]"); }), 211);
    EXPECT_TRUE(Logged("z0_OpenWater for [lake_model] must be greater than 0"));
    EXPECT_EQ(Code(s, "[lake_model]\n1 on\n2 init\n-0.1\n0.001\n"), 0u);
    EXPECT_EQ(submodel_test::CodeOf([&] { model_->ReadLakeModel("[lake_model]"); }), 17);
    EXPECT_TRUE(Logged("Albedo_OpenWater for [lake_model]; evapotranspiration: the value -0.1 in section [lake_model] must be in [0, 1]!"));
}
