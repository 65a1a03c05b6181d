// The interception model's step over the cells: one and several layers, the water balance per
// cell and per subbasin, empty layers, glaciers, tracers and the outputs outside the basin.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "interception_test_domain.hpp"
#include "setup/tracer_ini.hpp"

namespace {

using interception_test::SectionOptions;

class InterceptionStep : public interception_test::InterceptionDomain {
protected:
    double& Storage(interzeptionsmodellklasse& m, int k, int r, int c) {
        return m.layers[static_cast<std::size_t>(k)].storage.data[r][c];
    }
    double Throughfall(interzeptionsmodellklasse& m, int k, int r, int c) {
        return m.layers[static_cast<std::size_t>(k)].throughfall.data[r][c];
    }
    double Evaporation(interzeptionsmodellklasse& m, int k, int r, int c) {
        return m.layers[static_cast<std::size_t>(k)].evaporation.data[r][c];
    }
};

TEST_F(InterceptionStep, OneLayerCapacityFromTheMaximumThickness) {
    SectionOptions o;
    o.method = 1;
    auto m = Ready(o);
    Fill("precipitation", 5);
    Fill("pot_transpiration1", 0.5);
    ForOwn([&](int r, int c) { Storage(*m, 1, r, c) = 0.3; });
    m->run(1, 1, 1, 2020);
    ForOwn([&](int r, int c) {
        EXPECT_NEAR(Throughfall(*m, 1, r, c), 4.5, 1e-12);
        EXPECT_NEAR(Storage(*m, 1, r, c), 0.3, 1e-12);
        EXPECT_NEAR(Evaporation(*m, 1, r, c), 0.5, 1e-12);
        EXPECT_NEAR(G("pot_transpiration1")[r][c], 0.0, 1e-12);
        // Layer 0 copies layer 1, the potential transpiration included.
        EXPECT_EQ(Throughfall(*m, 0, r, c), Throughfall(*m, 1, r, c));
        EXPECT_EQ(Storage(*m, 0, r, c), Storage(*m, 1, r, c));
        EXPECT_EQ(Evaporation(*m, 0, r, c), Evaporation(*m, 1, r, c));
        EXPECT_EQ(G("pot_transpiration0")[r][c], G("pot_transpiration1")[r][c]);
    });
}

TEST_F(InterceptionStep, TableCapacityAndTheSnowOutflowAsInput) {
    Fill("landuse1", 2);  // 0.5 mm per unit LAI: 2 mm
    Add("snowcover_outflow", 3);
    SectionOptions o;
    o.method = 2;
    auto m = Ready(o);
    Fill("precipitation", 100);
    Fill("vegetation_coverage_degree1", 1.0);
    m->run(1, 1, 1, 2020);
    ForOwn([&](int r, int c) {
        EXPECT_NEAR(Storage(*m, 1, r, c), 2.0, 1e-12);
        EXPECT_NEAR(Throughfall(*m, 0, r, c), 1.0, 1e-12);
    });
    // Methods above 10 take the precipitation.
    o.method = 12;
    auto first = Ready(o);
    EXPECT_EQ(first->GetMethod(), 12);
    first->run(1, 1, 1, 2020);
    ForOwn([&](int r, int c) { EXPECT_NEAR(Throughfall(*first, 0, r, c), 98.0, 1e-12); });
}

// P = change of storage0 + evaporation0 + throughfall0 for every vegetated cell over several
// steps, with one and with three layers, for both ways of evaporating.
TEST_F(InterceptionStep, EveryCellKeepsItsWaterBalance) {
    for (int layers : {1, 3}) {
        if (layers > 1) UseLayers(layers);
        for (int method : {1, 2, 11, 12}) {
            SectionOptions o;
            o.method = method;
            auto m = Ready(o);
            ASSERT_EQ(m->layerCount, layers);
            for (int k = 1; k <= layers; ++k) {
                Matrix& cover = G("vegetation_coverage_degree" + std::to_string(k));
                Matrix& lai = G("leaf_area_index" + std::to_string(k));
                ForOwn([&](int r, int c) {
                    cover[r][c] = std::fmod(0.3 * r + 0.17 * c * k, 1.0);
                    lai[r][c] = 1 + (r + c + k) % 4;
                });
            }
            for (int s = 0; s < 4; ++s) {
                std::vector<double> before, etp0;
                ForOwn([&](int r, int c) {
                    G("precipitation")[r][c] = ((r + c + s) % 3) * 1.3;
                    double total = 0;
                    for (int k = 1; k <= layers; ++k) {
                        const std::string n = std::to_string(k);
                        G("pot_transpiration" + n)[r][c] = 0.05 * (k + s);
                        G("potential_InterceptionEvap" + n)[r][c] = 0.04 * (k + r);
                        total += G("pot_transpiration" + n)[r][c];
                    }
                    G("pot_transpiration0")[r][c] = total;
                    etp0.push_back(total);
                    before.push_back(Storage(*m, 0, r, c));
                });
                m->run(s + 1, 1, 1, 2020);
                std::size_t i = 0;
                ForOwn([&](int r, int c) {
                    const double P = G("precipitation")[r][c];
                    const double change = Storage(*m, 0, r, c) - before[i];
                    EXPECT_NEAR(P, change + Evaporation(*m, 0, r, c) + Throughfall(*m, 0, r, c), 1e-12)
                        << "layers " << layers << " method " << method << " cell " << r << "," << c;
                    double stored = 0, evaporated = 0, left = 0;
                    for (int k = 1; k <= layers; ++k) {
                        stored += Storage(*m, k, r, c);
                        evaporated += Evaporation(*m, k, r, c);
                        left += G("pot_transpiration" + std::to_string(k))[r][c];
                    }
                    EXPECT_NEAR(stored, Storage(*m, 0, r, c), 1e-12);
                    EXPECT_NEAR(evaporated, Evaporation(*m, 0, r, c), 1e-12);
                    EXPECT_NEAR(Throughfall(*m, layers, r, c), Throughfall(*m, 0, r, c), 1e-12);
                    // The cell's demand is lowered by what the layers' demands lost.
                    EXPECT_NEAR(G("pot_transpiration0")[r][c], left, 1e-12);
                    EXPECT_LE(G("pot_transpiration0")[r][c], etp0[i] + 1e-15);
                    ++i;
                });
            }
        }
    }
}

// The zone values of the statistics (areal means) close the balance of each subbasin.
TEST_F(InterceptionStep, EverySubbasinKeepsItsWaterBalanceInTheStatistics) {
    SectionOptions o;
    o.method = 2;
    o.stats = "4001";  // every zone, one row a step
    auto m = Ready(o);
    Fill("potential_InterceptionEvap1", 0.3);
    Fill("pot_transpiration1", 0.2);
    std::vector<double> storageBefore;
    for (int s = 0; s < 3; ++s) {
        Fill("precipitation", 0.5 + s);
        m->run(s + 1, 1, 1, 2020);
        const auto& stored = m->layers[0].storageStat->lastValues();
        const auto& evaporated = m->layers[0].evaporationStat->lastValues();
        const auto& passed = m->layers[0].throughfallStat->lastValues();
        if (talvo_test::Rank() != 0) continue;
        ASSERT_GE(stored.size(), 4u);
        for (int z = 1; z <= 3; ++z) {
            const double before = s == 0 ? 0.0 : storageBefore[static_cast<std::size_t>(z)];
            EXPECT_NEAR(0.5 + s, stored[static_cast<std::size_t>(z)] - before +
                                                   evaporated[static_cast<std::size_t>(z)] +
                                                   passed[static_cast<std::size_t>(z)],
                        1e-9)
                << "zone " << z << " step " << s;
        }
        storageBefore = stored;
    }
}

TEST_F(InterceptionStep, AnEmptyLayerPassesItsInputOn) {
    UseLayers(3);
    Fill("landuse2", -9999);
    SectionOptions o;
    o.method = 2;
    auto m = Ready(o);
    Fill("precipitation", 4);
    Fill("vegetation_coverage_degree1", 0.5);
    Fill("vegetation_coverage_degree3", 0.5);
    Fill("leaf_area_index1", 1);  // capacity 0.2 mm
    Fill("leaf_area_index3", 1);
    m->run(1, 1, 1, 2020);
    ForOwn([&](int r, int c) {
        EXPECT_NEAR(Throughfall(*m, 1, r, c), 3.8, 1e-12);
        EXPECT_EQ(Throughfall(*m, 2, r, c), 0.0);
        EXPECT_EQ(Storage(*m, 2, r, c), 0.0);
        EXPECT_EQ(Evaporation(*m, 2, r, c), 0.0);
        // Layer 3 receives what left layer 1.
        EXPECT_NEAR(Storage(*m, 3, r, c), 0.2, 1e-12);
        EXPECT_NEAR(Throughfall(*m, 0, r, c), 3.6, 1e-12);
        EXPECT_NEAR(Storage(*m, 0, r, c), 0.4, 1e-12);
    });
    // Without any land use the whole input reaches the ground.
    Fill("landuse1", -9999);
    Fill("landuse3", -9999);
    m->run(2, 1, 1, 2020);
    ForOwn([&](int r, int c) { EXPECT_NEAR(Throughfall(*m, 0, r, c), 4.0, 1e-12); });
}

TEST_F(InterceptionStep, ACellWithoutLandUseHoldsNothingInOneLayer) {
    // One layer whose land use is missing in column 2 (and whose store held water before):
    // there the whole input reaches the ground and nothing evaporates or stays.
    SectionOptions o;
    o.method = 1;
    auto m = Ready(o);
    Fill("precipitation", 5);
    Fill("pot_transpiration1", 0.5);
    ForOwn([&](int r, int c) {
        Storage(*m, 1, r, c) = 0.3;
        if (c == 2) G("landuse1")[r][c] = -9999;
    });
    m->run(1, 1, 1, 2020);
    ForOwn([&](int r, int c) {
        const bool bare = c == 2;
        EXPECT_NEAR(Throughfall(*m, 0, r, c), bare ? 5.0 : 4.5, 1e-12) << r << "," << c;
        EXPECT_NEAR(Storage(*m, 0, r, c), bare ? 0.0 : 0.3, 1e-12) << r << "," << c;
        EXPECT_NEAR(Evaporation(*m, 0, r, c), bare ? 0.0 : 0.5, 1e-12) << r << "," << c;
        EXPECT_EQ(Throughfall(*m, 0, r, c), Throughfall(*m, 1, r, c));
    });
}

TEST_F(InterceptionStep, GlacierCellsHoldAndPassNothing) {
    Add("GlacierizedCells", 0);
    SectionOptions o;
    o.stats = "2001";  // means of every zone
    auto m = Ready(o);
    Fill("precipitation", 2);
    ForOwn([&](int r, int c) {
        G("GlacierizedCells")[r][c] = c == 2 ? 1.0 : (c == 3 ? 0.5 : (c == 4 ? 1.7 : 0.0));
        Storage(*m, 1, r, c) = 0.6;
    });
    m->run(1, 1, 1, 2020);
    ForOwn([&](int r, int c) {
        if (c == 2 || c == 4) {
            EXPECT_EQ(Throughfall(*m, 0, r, c), 0.0);
            EXPECT_EQ(Storage(*m, 0, r, c), 0.0);
            EXPECT_EQ(Storage(*m, 1, r, c), 0.0);
            EXPECT_EQ(Evaporation(*m, 0, r, c), 0.0);
        } else {
            EXPECT_GT(Throughfall(*m, 0, r, c), 0.0);
        }
    });
    // Zone 3 (row 1: columns 2, 3; row 2: columns 1, 2): glacier shares 1, 0.5, 0, 1. The mean
    // storage weights each cell's 0.8 mm by 1 - g over the cells' total weight 4.
    const auto& stored = m->layers[1].storageStat->lastValues();
    if (talvo_test::Rank() == 0) {
        EXPECT_NEAR(stored[1], (0.5 * 0.8 + 0.8) / 4, 1e-9);
    }
}

TEST_F(InterceptionStep, CellsOutsideTheBasinStayNodata) {
    auto m = Ready(SectionOptions{});
    Fill("precipitation", 1);
    m->run(1, 1, 1, 2020);
    for (int r = settings_.firstRow; r <= settings_.lastRow; ++r)
        for (int c = 1; c <= 5; ++c)
            if (zone_[r][c] == -9999) {
                EXPECT_EQ(Throughfall(*m, 0, r, c), -9999);
                EXPECT_EQ(Storage(*m, 1, r, c), -9999);
            }
}

TEST_F(InterceptionStep, TracersAsMassAndAsConcentration) {
    std::vector<TracerDescriptor> tracers(3);
    tracers[1].name = "chl";
    tracers[1].max_conc = 1000;
    tracers[2].name = "tri";
    tracers[2].evaporating = 1;
    Add("concflux_tracer_1_input", 2.0);
    Add("concflux_tracer_2_input", 5.0);
    SectionOptions o;
    o.method = 2;
    auto m = Ready(o);
    unsigned error = 9;
    m->LinkTracerGrids(error, 2, tracers.data(), nullptr, 0);
    ASSERT_EQ(error, 0u) << console_.str();
    Fill("vegetation_coverage_degree1", 0.5);
    Fill("precipitation", 4);  // 2 mm caught, 1.2 mm spill over the capacity of 0.8 mm
    m->run(1, 1, 1, 2020);
    ForOwn([&](int r, int c) {
        const double tf = Throughfall(*m, 1, r, c);
        ASSERT_NEAR(tf, 3.2, 1e-12);
        // Mass in = mass stored + mass passed on.
        const double stored = m->tracers[1].storage[r][c];
        EXPECT_NEAR(2.0 * 4, stored + m->tracers[1].flux[r][c] * tf, 1e-12);
        EXPECT_NEAR(stored, 2.0 * 2 * 0.8 / 2.0, 1e-12);
        // Concentrations: one input concentration everywhere stays that concentration.
        EXPECT_NEAR(m->tracers[2].storage[r][c], 5.0, 1e-12);
        EXPECT_NEAR(m->tracers[2].flux[r][c], 5.0, 1e-12);
    });
    m->FreeTracerGrids();
}

// After snow the snow's tracer flux is found past a stack-only entry of the grid store (the soil
// model registers its stacks before the snow model's grids); before snow it is not taken.
TEST_F(InterceptionStep, TheSnowTracerFluxIsFoundPastAStack) {
    std::vector<TracerDescriptor> tracers(2);
    tracers[1].name = "chl";
    tracers[1].evaporating = 1;
    Stack levels;
    const int stack = Add("theta", 0.0);
    store_[stack].grid = nullptr;  // an entry that holds a stack only
    store_[stack].stack = &levels;
    const int snow = Add("concflux_tracer_1_snow_model", 7.0);
    auto m = Ready(SectionOptions{});
    unsigned error = 9;
    m->LinkTracerGrids(error, 1, tracers.data(), nullptr, 0);
    ASSERT_EQ(error, 0u) << console_.str();
    EXPECT_EQ(m->tracerInput[1], store_[snow].grid);
    m->FreeTracerGrids();
    store_[stack].stack = nullptr;
    // Before snow (method 11) interception catches the precipitation, at the input's concentration.
    const int input = Add("concflux_tracer_1_input", 2.0);
    SectionOptions o;
    o.method = 11;
    auto before = Ready(o);
    before->LinkTracerGrids(error, 1, tracers.data(), nullptr, 0);
    ASSERT_EQ(error, 0u) << console_.str();
    EXPECT_EQ(before->tracerInput[1], store_[input].grid);
    before->FreeTracerGrids();
}

}  // namespace
