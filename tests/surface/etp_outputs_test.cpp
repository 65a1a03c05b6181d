// Around the potential step: snow evaporation out of the potential values (with the glacier
// share), the real evapotranspiration totals with their glacier weights, and lakes with units.
#include <gtest/gtest.h>

#include <mpi.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <vector>

#include "etp_fixture.hpp"
#include "setup/spinup.hpp"
#include "tables/multilayer_landuse.hpp"

using namespace etp_test;

namespace {

class EtpOutputsTest : public EtpTest {
protected:
    // A two-layer method-1 model after one hourly step.
    std::unique_ptr<verdunstungsmodellklasse> TwoLayers(const Section& s = Section{}) {
        table_.assign(2, multilayer_landuse_entry{});
        table_[0].code = 1;
        table_[1].layerCount = 2;
        settings_.multilayerTable = table_.data();
        PutStandardInputs(1);
        Put("sunshine_duration", 0.5);
        Put("landuse", 1);
        for (const std::string n : {"landuse", "leaf_area_index", "root_depth", "vegetation_coverage_degree",
                                    "SurfaceCanopyResistance", "SurfaceIntercepResistance", "RoughnessLength"})
            Put(n + "2", Grid(n + "1")[settings_.firstRow][2]);
        auto m = Make(s);
        m->PotentialEvapotranspirationStep(13, 15, 6, 2020);
        return m;
    }
    // Potential values 1.5 and 1.0 mm in the layers and 0.5 mm soil evaporation.
    static void SetDemand(verdunstungsmodellklasse& m, int r, int c) {
        m.etp[1][r][c] = 1.5;
        m.etp[2][r][c] = 1.0;
        m.potEvaporation[r][c] = 0.5;
    }
    Matrix& WholeGrid(const std::string& name, double value) { return Put(name, value); }
    std::vector<multilayer_landuse_entry> table_;
};

// The last value of the last line of a statistics table written by process 0.
double LastTotal(const std::string& file) {
    const std::vector<double> row = LastRowOf(file);
    return row.empty() ? -1e300 : row.back();
}

}  // namespace

TEST_F(EtpOutputsTest, SnowTakesTheLayersInOrder) {
    auto m = TwoLayers();
    Matrix& snow = WholeGrid("snowstorage_solid", 2.0);
    EXPECT_EQ(m->SetSnowStorageGrid(&snow), 1);
    m->SetSnowMethod(1);
    ForOwnCells([&](int r, int c) { SetDemand(*m, r, c); });
    m->SnowEvaporationOnGlacier(13, 15, 6, 2020);
    ForOwnCells([&](int r, int c) {
        EXPECT_EQ(m->snowEvaporation[r][c], 2.0);
        EXPECT_EQ(m->etp[1][r][c], 0.0);
        EXPECT_EQ(m->etp[2][r][c], 0.5);
        EXPECT_EQ(m->potEvaporation[r][c], 0.5);
        EXPECT_EQ(snow[r][c], 0.0);
    });
    // Deep snow takes everything: evaporation + remaining demand + snow left is conserved.
    snow.fill(10.0);
    ForOwnCells([&](int r, int c) { SetDemand(*m, r, c); });
    m->SnowEvaporationOnGlacier(14, 15, 6, 2020);
    ForOwnCells([&](int r, int c) {
        EXPECT_EQ(m->snowEvaporation[r][c], 3.0);
        EXPECT_EQ(snow[r][c], 7.0);
        EXPECT_EQ(m->etp[1][r][c] + m->etp[2][r][c] + m->potEvaporation[r][c], 0.0);
    });
}

TEST_F(EtpOutputsTest, SnowMethodsWithoutEvaporationZeroTheDemand) {
    auto m = TwoLayers();
    Matrix& snow = WholeGrid("snowstorage_solid", 2.0);
    m->SetSnowStorageGrid(&snow);
    for (int method : {5, 6, 7, 11}) {
        m->SetSnowMethod(method);
        ForOwnCells([&](int r, int c) { SetDemand(*m, r, c); });
        m->SnowEvaporationOnGlacier(13, 15, 6, 2020);
        ForOwnCells([&](int r, int c) {
            EXPECT_EQ(m->etp[1][r][c] + m->etp[2][r][c] + m->potEvaporation[r][c], 0.0) << method;
            EXPECT_EQ(m->snowEvaporation[r][c], 0.0);
            EXPECT_EQ(snow[r][c], 2.0);
        });
    }
}

TEST_F(EtpOutputsTest, GlacierShareWorksOnTheUntouchedDemand) {
    Put("GlacierizedCells", 0.4);
    auto m = TwoLayers();
    Matrix& snow = WholeGrid("snowstorage_solid", 2.0);
    m->SetSnowStorageGrid(&snow);
    m->SetSnowMethod(1);
    // Without the snow model's glacier grids there is no glacier share.
    ForOwnCells([&](int r, int c) { SetDemand(*m, r, c); });
    m->SnowEvaporationOnGlacier(13, 15, 6, 2020);
    ForOwnCells([&](int r, int c) { EXPECT_EQ(m->snowEvaporation[r][c], 2.0); });

    // A model that finds them takes the glacier share from the glacier snow.
    Matrix& glacierEvaporation = Put("SnowEvaporation_onGlacier", 0);
    Put("TotalSnowStorage_onGlacier", 1);
    Matrix& glacierSnow = Put("SolidSnowStorage_onGlacier", 1.0);
    m.reset();
    auto g = TwoLayers();
    snow.fill(0.5);
    g->SetSnowStorageGrid(&snow);
    g->SetSnowMethod(1);
    ForOwnCells([&](int r, int c) { SetDemand(*g, r, c); });
    g->SnowEvaporationOnGlacier(13, 15, 6, 2020);
    ForOwnCells([&](int r, int c) {
        EXPECT_EQ(g->snowEvaporation[r][c], 0.5);
        EXPECT_EQ(g->etp[1][r][c], 1.0);  // the glacier share leaves the potential grids alone
        EXPECT_EQ(g->etp[2][r][c], 1.0);
        EXPECT_EQ(glacierEvaporation[r][c], 1.0);
        EXPECT_EQ(glacierSnow[r][c], 0.0);
    });
}

TEST_F(EtpOutputsTest, RealTotalsWithAndWithoutTheInterceptionLink) {
    auto m = TwoLayers();
    auto fill = [&] {
        ForOwnCells([&](int r, int c) {
            m->etr[0][r][c] = 0.7;
            m->etr[1][r][c] = 1.0;
            m->etr[2][r][c] = 0.5;
            m->realEvaporation[r][c] = 0.2;
            m->snowEvaporation[r][c] = 0.1;
        });
    };
    m->InterceptionEvaporationOutput(13, 15, 6, 2020);
    fill();
    m->SubStep();
    m->AfterSoilStep(13, 15, 6, 2020);
    // Without interception: the total's value, the snow's, the soil's evaporation and the layers'
    // transpiration.
    ForOwnCells([&](int r, int c) { EXPECT_NEAR(m->etr[0][r][c], 0.7 + 0.1 + 0.2 + 1.5, 1e-12); });
    // The interception grid appears later: the link is tried again in every step.
    Put("interception_evaporation0", 0.3);
    m->InterceptionEvaporationOutput(14, 15, 6, 2020);
    EXPECT_TRUE(m->interceptionLinked);
    fill();
    m->AfterSoilStep(14, 15, 6, 2020);
    ForOwnCells([&](int r, int c) { EXPECT_NEAR(m->etr[0][r][c], 0.3 + 0.1 + 0.2 + 1.5, 1e-12); });
}

TEST_F(EtpOutputsTest, GlacierCellsCountTheirGlacierEvaporationOnly) {
    Put("GlacierizedCells", 1.0);
    Put("SnowEvaporation_onGlacier", 0.25);
    Put("TotalSnowStorage_onGlacier", 1);
    Put("SolidSnowStorage_onGlacier", 0);
    Section s;
    s.etrStat = "etr.stat 2001";
    auto m = TwoLayers(s);
    Matrix& snow = WholeGrid("snowstorage_solid", 0);
    m->SetSnowStorageGrid(&snow);
    m->SnowEvaporationOnGlacier(13, 15, 6, 2020);  // finds the glacier grids
    Grid("SnowEvaporation_onGlacier").fill(0.25);
    m->InterceptionEvaporationOutput(13, 15, 6, 2020);
    ForOwnCells([&](int r, int c) {
        m->etr[0][r][c] = 3.0;
        m->realEvaporation[r][c] = 1.0;
    });
    m->AfterSoilStep(13, 15, 6, 2020);
    m->FlushStatistics();
    if (talvo_test::Rank() == 0) {
        std::ifstream in("etr.stat");
        std::stringstream all;
        all << in.rdbuf();
        EXPECT_NEAR(LastTotal("etr.stat"), 0.25, 1e-9) << all.str();
    }
}

TEST_F(EtpOutputsTest, ResponseUnitsSwitchLakesOff) {
    settings_.spinUpSwitch = 1;
    Put("HydrologicResponseUnits", 0);
    Put("MasterHydrologicResponseUnits", 1);
    PutStandardInputs(1);
    Put("sunshine_duration", 0.5);
    Put("lake_codes", 1);
    Put("ponding_storage", 1);
    unsigned error = 0;
    auto m = Make(Section{}, error, "[lake_model]\n1 on\n1 init\n0.08\n0.001\n");
    ASSERT_EQ(error, 0u);
    m->ReadLakeModel("[lake_model]");
    EXPECT_EQ(m->lakeFlow, 0);
    EXPECT_EQ(m->z0OpenWater, 0.0);
}

TEST_F(EtpOutputsTest, OpenWaterCellsUseTheLakeValues) {
    PutStandardInputs(1);
    Put("sunshine_duration", 0.5);
    Matrix& lake = Put("lake_codes", 0);
    Put("ponding_storage", 1);
    unsigned error = 0;
    auto m = Make(Section{}, error, "[lake_model]\n1 on\n1 init\n0.08\n0.001\n");
    ASSERT_EQ(error, 0u);
    m->ReadLakeModel("[lake_model]");
    m->PotentialEvapotranspirationStep(13, 15, 6, 2020);
    std::vector<double> land;
    ForOwnCells([&](int r, int c) { land.push_back(m->etp[1][r][c]); });
    lake.fill(2);
    m->PotentialEvapotranspirationStep(13, 15, 6, 2020);
    std::size_t i = 0;
    ForOwnCells([&](int r, int c) {
        // Open water: no interception, no soil evaporation, more evaporation than the meadow.
        EXPECT_EQ(m->eip[1][r][c], 0.0);
        EXPECT_EQ(m->potEvaporation[r][c], 0.0);
        EXPECT_GT(m->etp[1][r][c], land[i++]);
    });
}

TEST_F(EtpOutputsTest, OpenWaterReflectsWithItsOwnAlbedoUnderWendling) {
    // Daily Wendling evaporation: an open-water cell takes the lake's albedo (0.08), not the
    // land's (0.2), and so evaporates more from the same radiation.
    PutStandardInputs(3, 20);
    Put("sunshine_duration", 0.5);
    Matrix& lake = Put("lake_codes", 0);
    Put("ponding_storage", 1);
    Section s;
    s.method = 3;
    s.step = 1440;
    unsigned error = 0;
    auto m = Make(s, error, "[lake_model]\n1 on\n1 init\n0.08\n0.001\n");
    ASSERT_EQ(error, 0u);
    m->ReadLakeModel("[lake_model]");
    for (double code : {0.0, 2.0}) {
        lake.fill(code);
        m->PotentialEvapotranspirationStep(24, 15, 6, 2020);
        ForOwnCells([&](int r, int c) {
            const double albedo = code > 0 ? 0.08 : 0.2;
            EXPECT_NEAR(m->etp[0][r][c], evaporation::Wendling(m->correctedRadiation[r][c], albedo, 1.0, 20), 1e-12);
        });
    }
}

TEST_F(EtpOutputsTest, RealTablesHoldTheMeansOfTheirOwnGrids) {
    // The real totals, the layers' real transpiration and the real soil evaporation are summed
    // over the processes together: each table must hold the basin mean of its own grid.
    Section s;
    s.etrStat = "etr.stat 1001";
    s.evapRealStat = "evapr.stat 1001";
    auto m = TwoLayers(s);
    m->InterceptionEvaporationOutput(13, 15, 6, 2020);
    ForOwnCells([&](int r, int c) {
        m->etr[0][r][c] = 0.1 * r;
        m->etr[1][r][c] = 0.2 * c;
        m->etr[2][r][c] = 0.05 * (r + c);
        m->realEvaporation[r][c] = 0.01 * r * c;
        m->snowEvaporation[r][c] = 0.03 * c;
    });
    m->AfterSoilStep(13, 15, 6, 2020);
    m->FlushStatistics();
    const struct {
        const char* file;
        const Matrix* grid;
    } tables[] = {{"etr.stat", &m->etr[0]},
                  {"etr_Layer_1.stat", &m->etr[1]},
                  {"etr_Layer_2.stat", &m->etr[2]},
                  {"evapr.stat", &m->realEvaporation}};
    std::vector<double> sums(std::size(tables) + 1, 0.0), all(sums.size(), 0.0);
    ForOwnCells([&](int r, int c) {
        // Without interception: the total's value, snow, soil evaporation and both layers.
        EXPECT_NEAR(m->etr[0][r][c], 0.1 * r + 0.03 * c + 0.01 * r * c + 0.2 * c + 0.05 * (r + c), 1e-12);
        for (std::size_t k = 0; k < std::size(tables); ++k) sums[k] += (*tables[k].grid)[r][c];
        sums.back() += 1;
    });
    MPI_Allreduce(sums.data(), all.data(), static_cast<int>(sums.size()), MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
    if (talvo_test::Rank() != 0) return;
    for (std::size_t k = 0; k < std::size(tables); ++k)
        EXPECT_NEAR(LastTotal(tables[k].file), all[k] / all.back(), 5.1e-6) << tables[k].file;
}

TEST_F(EtpOutputsTest, RealZoneMeansWeighTheCellAreaAndTheGlacierShare) {
    // Cells of different areas and glacier fractions (missing, below 0, above 1 among them): a
    // layer and the soil evaporation count their land part, the glacier part adds weight without
    // value; the total weighs land and glacier (here the snow evaporation) by their shares.
    Matrix& area = Put("RelCellArea", 0);
    Matrix& glacier = Put("GlacierizedCells", 0);
    const double fractions[] = {-9999, 0, 0.4, 1, 1.5, -0.5};
    for (int r = 1; r <= 4; ++r)
        for (int c = 1; c <= 5; ++c) {
            area[r][c] = 0.5 + 0.25 * c;
            glacier[r][c] = fractions[(r + 2 * c) % 6];
        }
    Section s;
    s.etrStat = "etr.stat 2001";
    s.evapRealStat = "evapr.stat 2001";
    auto m = TwoLayers(s);
    m->InterceptionEvaporationOutput(13, 15, 6, 2020);
    const auto layer = [](int k, int r, int c) { return k == 1 ? 0.2 * c : 0.05 * (r + c); };
    ForOwnCells([&](int r, int c) {
        m->etr[0][r][c] = 0.1 * r;
        m->etr[1][r][c] = layer(1, r, c);
        m->etr[2][r][c] = layer(2, r, c);
        m->realEvaporation[r][c] = 0.01 * r * c;
        m->snowEvaporation[r][c] = 0.03 * c;
    });
    m->AfterSoilStep(13, 15, 6, 2020);
    m->FlushStatistics();
    const auto share = [&](int r, int c) {
        const double g = glacier[r][c];
        return g == -9999 ? 0.0 : std::clamp(g, 0.0, 1.0);
    };
    const auto a = [&](int r, int c) { return area[r][c]; };
    const auto land = [&](const std::function<double(int, int)>& value) {
        return [&, value](int r, int c) { return area[r][c] * (1 - share(r, c)) * value(r, c); };
    };
    ExpectLastZoneMeans("etr_Layer_1.stat", land([&](int r, int c) { return layer(1, r, c); }), a, 5.1e-6);
    ExpectLastZoneMeans("etr_Layer_2.stat", land([&](int r, int c) { return layer(2, r, c); }), a, 5.1e-6);
    ExpectLastZoneMeans("evapr.stat", land([](int r, int c) { return 0.01 * r * c; }), a, 5.1e-6);
    ExpectLastZoneMeans(
        "etr.stat",
        [&](int r, int c) {
            const double total = 0.1 * r + 0.03 * c + 0.01 * r * c + layer(1, r, c) + layer(2, r, c);
            return area[r][c] * ((1 - share(r, c)) * total + share(r, c) * 0.03 * c);
        },
        a, 5.1e-6);
}

TEST_F(EtpOutputsTest, ResponseUnitsTakeTheSnowAndGlacierSnowEvaporationOfTheirMaster) {
    // One unit per row, its master the row's first basin cell. Every cell holds its own snow
    // and glacier snow (less than the demand of 3 mm): the master evaporates all of both, and
    // the other cells of the row end with the master's evaporation and emptied stores.
    std::vector<HydrologicResponseUnit> units;
    PutRowResponseUnits(units);
    Put("GlacierizedCells", 0.4);
    Matrix& glacierEvaporation = Put("SnowEvaporation_onGlacier", 0);
    Put("TotalSnowStorage_onGlacier", 1);
    Matrix& glacierSnow = Put("SolidSnowStorage_onGlacier", 0);
    auto m = TwoLayers();
    Matrix& snow = WholeGrid("snowstorage_solid", 0);
    for (int r = 1; r <= 4; ++r)
        for (int c = 1; c <= 5; ++c) {
            snow[r][c] = 0.5 + 0.1 * c;
            glacierSnow[r][c] = 1.0 + 0.2 * c;
        }
    m->SetSnowStorageGrid(&snow);
    m->SetSnowMethod(1);
    ForOwnCells([&](int r, int c) {
        SetDemand(*m, r, c);
        m->snowEvaporation[r][c] = -1;
        glacierEvaporation[r][c] = -1;
    });
    m->SnowEvaporationOnGlacier(13, 15, 6, 2020);
    ForOwnCells([&](int r, int c) {
        const int mc = units[static_cast<std::size_t>(r)].column;
        EXPECT_NEAR(m->snowEvaporation[r][c], 0.5 + 0.1 * mc, 1e-12) << r << "," << c;
        EXPECT_NEAR(glacierEvaporation[r][c], 1.0 + 0.2 * mc, 1e-12) << r << "," << c;
        EXPECT_EQ(snow[r][c], 0.0) << r << "," << c;
        EXPECT_EQ(glacierSnow[r][c], 0.0) << r << "," << c;
        // The demand left after the snow: the soil first, then the upper layer.
        EXPECT_EQ(m->potEvaporation[r][c], m->potEvaporation[r][mc]);
        EXPECT_EQ(m->etp[1][r][c], m->etp[1][r][mc]);
        EXPECT_EQ(m->etp[2][r][c], m->etp[2][r][mc]);
    });
}
