// The soil table: block format with horizons, old fixed format, defaults and failures.
#include <cmath>

#include "tables/soil_table.hpp"
#include "table_test_support.hpp"

namespace {

std::string Dump(const soil_entry& e) {
    std::string s = StrFormat("%d %s method=%d n=%d H=%d per horizon", e.code, e.name.c_str(), e.method, e.layerCount,
                              e.horizonCount) +
                    List(e.layersPerHorizon) + "\n";
    s += "thickness" + List(e.thickness) + "\nksat" + List(e.ksat) + "\ntheta_sat" + List(e.theta_sat) + "\n";
    s += "theta_res" + List(e.theta_res) + "\nalpha" + List(e.alpha) + "\nPar_n" + List(e.Par_n) + "\n";
    s += "Par_m" + List(e.Par_m) + "\nPar_tau" + List(e.Par_tau) + "\nk_recession" + List(e.k_recession) + "\n";
    s += StrFormat("FCap=%g mSB=%g diff=%g ksat_topmodel=%g suction=%g maxratio=%g kred=%g\n", e.FCap, e.mSB,
                   e.scaledDifference, e.ksat_topmodel, e.suction, e.maxratio, e.kReduction);
    s += StrFormat("EvapMaxDepth=%g MaxInterflowDepth=%g scaling=%g depth=%g\n", e.EvapMaxDepth, e.MaxInterflowDepth,
                   e.ThicknessScaling, e.totalDepth);
    s += StrFormat("macro=%g %g %g %g KMin=%g %g tables=%d %d\n", e.PMacroThresh * 3600000, e.MacroCapacity * 3600000,
                   e.MacroDepth, e.CapacityRedu, e.KMinFrozenSoil, e.lnKMinFrozenSoil, e.retentionTableSize,
                   e.conductivityTableSize);
    s += "grain" + List(e.GrainSizeDist) + "\nSU_PAR" + List(e.SU_PAR) + "\n";
    s += "heat" + List(e.DryHeatCapacity) + "\ndensity" + List(e.DryDensity) + "\nconduct" +
         List(e.DryThermalConduct) + "\n";
    return s;
}

const char* kLoam =
    "1 loam {method = MultipleHorizons; layers = 2 8;\n"
    "  thickness = 0.05 0.1; ksat = 1e-5; theta_sat = 0.45 0.40; theta_res = 0.05 0.04 0.03;\n"
    "  alpha = 2.0 1.5; Par_n = 1.5 1.25; SU_PAR03 = 7; DryDensity = 1500 1600;\n"
    "}\n";

const char* kLoamDump =
    "1 loam method=0 n=10 H=2 per horizon 10 2 8\n"
    "thickness 0.05 0.05 0.05 0.1 0.1 0.1 0.1 0.1 0.1 0.1 0.1\n"
    "ksat 1e-05 1e-05 1e-05 1e-05 1e-05 1e-05 1e-05 1e-05 1e-05 1e-05 1e-05\n"
    "theta_sat 0.45 0.45 0.45 0.4 0.4 0.4 0.4 0.4 0.4 0.4 0.4\n"
    "theta_res 0.05 0.05 0.05 0.04 0.04 0.04 0.04 0.04 0.04 0.04 0.04\n"
    "alpha 2 2 2 1.5 1.5 1.5 1.5 1.5 1.5 1.5 1.5\n"
    "Par_n 1.5 1.5 1.5 1.25 1.25 1.25 1.25 1.25 1.25 1.25 1.25\n"
    "Par_m 0.333333 0.333333 0.333333 0.2 0.2 0.2 0.2 0.2 0.2 0.2 0.2\n"
    "Par_tau 0.5 0.5 0.5 0.5 0.5 0.5 0.5 0.5 0.5 0.5 0.5\n"
    "k_recession 1 1 1 1 1 1 1 1 1 1 1\n"
    "FCap=25 mSB=35 diff=0.1 ksat_topmodel=1e-05 suction=300 maxratio=1000 kred=0\n"
    "EvapMaxDepth=0.05 MaxInterflowDepth=2 scaling=1 depth=0.9\n"
    "macro=1000 0 1 1 KMin=-1 -20 tables=30 30\n"
    "grain 0.3333 0.3333 0.3334 0 0 0 0\n"
    "SU_PAR 0 0 0 7 0 0 0 0 0 0 0\n"
    "heat -1 -1 -1 -1 -1 -1 -1 -1 -1 -1 -1\n"
    "density 1500 1500 1500 1600 1600 1600 1600 1600 1600 1600 1600\n"
    "conduct -1 -1 -1 -1 -1 -1 -1 -1 -1 -1 -1\n";

// code name FCap mSB ksat_topmodel suction method theta_sat theta_res alpha n layers d maxratio kred
const char* kOldLine = "3 old 20 30 1e-5 250 1 0.45 0.05 2.0 1.5 10 0.1 900 0.5\n";

std::string OldDump() {
    // Layer 1 at 0.025 m, layer 2 at 0.075 m, layer i at (i - 1.5) * 0.1 m; element 0 = layer 1.
    std::string ksat = StrFormat(" %g %g %g", 1e-5 * std::pow(0.5, 0.025), 1e-5 * std::pow(0.5, 0.025),
                                 1e-5 * std::pow(0.5, 0.075));
    for (int i = 3; i <= 10; ++i) ksat += StrFormat(" %g", 1e-5 * std::pow(0.5, (i - 1.5) * 0.1));
    return "3 old method=1 n=10 H=1 per horizon 10 10\n"
           "thickness 0.1 0.05 0.05 0.1 0.1 0.1 0.1 0.1 0.1 0.1 0.1\n"
           "ksat" + ksat + "\n"
           "theta_sat 0.45 0.45 0.45 0.45 0.45 0.45 0.45 0.45 0.45 0.45 0.45\n"
           "theta_res 0.05 0.05 0.05 0.05 0.05 0.05 0.05 0.05 0.05 0.05 0.05\n"
           "alpha 2 2 2 2 2 2 2 2 2 2 2\n"
           "Par_n 1.5 1.5 1.5 1.5 1.5 1.5 1.5 1.5 1.5 1.5 1.5\n"
           "Par_m 0.333333 0.333333 0.333333 0.333333 0.333333 0.333333 0.333333 0.333333 0.333333 0.333333 "
           "0.333333\n"
           "Par_tau 0.5 0.5 0.5 0.5 0.5 0.5 0.5 0.5 0.5 0.5 0.5\n"
           "k_recession 1 1 1 1 1 1 1 1 1 1 1\n"
           "FCap=20 mSB=30 diff=0.1 ksat_topmodel=1e-05 suction=250 maxratio=900 kred=0.5\n"
           "EvapMaxDepth=0.1 MaxInterflowDepth=2 scaling=1 depth=0.9\n"
           "macro=1000 0 1 1 KMin=-1 -20 tables=30 30\n"
           "grain 0.3333 0.3333 0.3334 0 0 0 0\n"
           "SU_PAR 0 0 0 0 0 0 0 0 0 0 0\n"
           "heat -1 -1 -1 -1 -1 -1 -1 -1 -1 -1 -1\n"
           "density -1 -1 -1 -1 -1 -1 -1 -1 -1 -1 -1\n"
           "conduct -1 -1 -1 -1 -1 -1 -1 -1 -1 -1 -1\n";
}

// A one-horizon block with extra keys.
std::string Block(int code, const std::string& extra, const std::string& layers = "4") {
    return std::to_string(code) + " s" + std::to_string(code) + " { method = MultipleHorizons; layers = " + layers +
           "; thickness = 0.1; ksat = 1e-5; theta_sat = 0.4; theta_res = 0.05; alpha = 2; Par_n = 1.5;\n" + extra +
           "}\n";
}

class SoilTableTest : public TableTest {
protected:
    std::vector<soil_entry> Read(const std::string& entries, int count) {
        modelobject& r = Reader("[soil_table]\n" + std::to_string(count) + " soil types\n" + entries + "[end]\n");
        return ReadSoilTableSection(r, 2);
    }
    int Fails(const std::string& entries, int count) {
        return ErrorCode([&] { Read(entries, count); });
    }
};

TEST_F(SoilTableTest, BlockAndFixedFormatEntriesReadAsGolden) {
    const auto t = Read(std::string(kLoam) + kOldLine, 2);
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t[0].code, 2);
    EXPECT_EQ(Dump(t[1]), kLoamDump);
    EXPECT_EQ(Dump(t[2]), OldDump());
}

TEST_F(SoilTableTest, ListsAreTakenFromTheirOwnKeyOnly) {
    // "ksat" stands before "ksat_topmodel", which is never read as the list.
    const auto t = Read(Block(1, "ksat_topmodel = 0.5; suction = 200;", "2 2"), 1);
    EXPECT_DOUBLE_EQ(t[1].ksat[4], 1e-5);
    EXPECT_DOUBLE_EQ(t[1].ksat_topmodel, 0.5);
    EXPECT_DOUBLE_EQ(t[1].suction, 200.0);
    // Lists use their last occurrence, single values their first.
    const auto u = Read(Block(1, "maxratio = 5; maxratio = 6; Par_tau = 0.1; Par_tau = 0.7 0.8;", "1 1"), 1);
    EXPECT_DOUBLE_EQ(u[1].maxratio, 5.0);
    EXPECT_DOUBLE_EQ(u[1].Par_tau[1], 0.7);
    EXPECT_DOUBLE_EQ(u[1].Par_tau[2], 0.8);
}

TEST_F(SoilTableTest, ThicknessScalingAndOptionalValues) {
    const auto plain = Read(Block(1, "ThicknessScaling = 1.0;"), 1);
    EXPECT_FALSE(Logged("will be scaled"));
    const auto t = Read(Block(7, "ThicknessScaling = 2.0; KMinFrozenSoil = 0; EvapMaxDepth = 0.3; Par_m = 0.4;"
                                 "PMacroThresh = 36; MacroCapacity = 7.2; MaxInterflowDepth = 1.5;"),
                        1);
    EXPECT_TRUE(Logged("Soil layers for landuse 7 will be scaled by a factor of 2\n"));
    EXPECT_DOUBLE_EQ(t[1].thickness[0], 0.2);
    EXPECT_DOUBLE_EQ(t[1].thickness[4], 0.2);
    EXPECT_DOUBLE_EQ(t[1].totalDepth, 0.8);
    EXPECT_DOUBLE_EQ(plain[1].totalDepth, 0.4);
    EXPECT_DOUBLE_EQ(t[1].lnKMinFrozenSoil, -27.631);
    EXPECT_DOUBLE_EQ(t[1].EvapMaxDepth, 0.3);
    EXPECT_DOUBLE_EQ(t[1].Par_m[3], 0.4);
    EXPECT_DOUBLE_EQ(t[1].PMacroThresh, 1e-5);
    EXPECT_DOUBLE_EQ(t[1].MacroCapacity, 2e-6);
    EXPECT_DOUBLE_EQ(t[1].MaxInterflowDepth, 1.5);
    EXPECT_DOUBLE_EQ(Read(Block(1, "KMinFrozenSoil = 1e-9;"), 1)[1].lnKMinFrozenSoil, std::log(1e-9));
}

TEST_F(SoilTableTest, ConductivityDecreasesWithDepthWithinEachHorizon) {
    // Two horizons of 2 layers of 0.2 m; interflow depth 0.5 m ends the decrease below layer 2
    // of horizon 2 (mid-depth 0.7 m).
    const auto t = Read("1 s {method = MultipleHorizons; layers = 2 2; thickness = 0.2; ksat = 1; "
                        "theta_sat = 0.4; theta_res = 0.05; alpha = 2; Par_n = 1.5; k_recession = 0.5 0.25; "
                        "MaxInterflowDepth = 0.5;}\n",
                        1);
    EXPECT_DOUBLE_EQ(t[1].ksat[1], std::pow(0.5, 0.1));
    EXPECT_DOUBLE_EQ(t[1].ksat[2], std::pow(0.5, 0.3));
    EXPECT_DOUBLE_EQ(t[1].ksat[3], std::pow(0.25, 0.1));
    EXPECT_DOUBLE_EQ(t[1].ksat[4], 1.0);
}

TEST_F(SoilTableTest, GrainSizesAreChecked) {
    EXPECT_EQ(Fails(Block(1, "GrainSizeDist = 0.4 0.4 0.2 0 0 0 0;"), 1), 0);
    EXPECT_EQ(Fails(Block(2, "GrainSizeDist = 0.4 0.4 0.2002 0 0 0 0;"), 1), 110);
    EXPECT_TRUE(Logged("Grainsize distribution: sum of all fractions (sand, silt, clay, stones1..4) must be 1.0\n "
                       "soil type: 2\n{"));
    EXPECT_EQ(Fails(Block(3, "GrainSizeDist = 0 0.5 0.5 0 0 0 0;"), 1), 110);
    EXPECT_TRUE(Logged("fraction of sand must be > 0 \nsoil type: 3\n"));
    EXPECT_EQ(Fails(Block(4, "GrainSizeDist = 0.6 0.5 -0.1 0 0 0 0;"), 1), 110);
    EXPECT_TRUE(Logged("all grain size fractions must be >= 0 (sand must be >0)\nsoil type: 4\n"));
    EXPECT_EQ(Fails(Block(5, "GrainSizeDist = 0.6 0.4;"), 1), 29);
}

TEST_F(SoilTableTest, ValuesNoSoilCanHaveAreRefusedNamingKeyLayerAndRange) {
    auto entry = [](const std::string& values) {
        return "3 sand { method = MultipleHorizons; layers = 1 2; " + values + " }\n";
    };
    const std::string good = "thickness = 0.1 0.2; ksat = 1e-5; theta_sat = 0.4 0.35; theta_res = 0.05; alpha = 2; "
                             "Par_n = 1.5 1.2;";
    EXPECT_EQ(Fails(entry(good), 1), 0);
    struct Case {
        std::string values, message;
    } cases[] = {
        {"thickness = 0.1 0.2; ksat = 1e-5 -1e-6; theta_sat = 0.4; theta_res = 0.05; alpha = 2; Par_n = 1.5;",
         "ksat, layer 2; soil type 3 (sand): the value -1e-06 in section [soil_table] must be > 0!"},
        {"thickness = 0.1 0; ksat = 1e-5; theta_sat = 0.4; theta_res = 0.05; alpha = 2; Par_n = 1.5;",
         "thickness, layer 2; soil type 3 (sand): the value 0 in section [soil_table] must be > 0!"},
        {"thickness = 0.1; ksat = 1e-5; theta_sat = 35; theta_res = 0.05; alpha = 2; Par_n = 1.5;",
         "theta_sat, layer 1; soil type 3 (sand): the value 35 in section [soil_table] must be in (0, 1]!"},
        {"thickness = 0.1; ksat = 1e-5; theta_sat = 0.3; theta_res = 0.3; alpha = 2; Par_n = 1.5;",
         "theta_res, layer 1; soil type 3 (sand): the value 0.3 in section [soil_table] must be in [0, 0.3)!"},
        {"thickness = 0.1; ksat = 1e-5; theta_sat = 0.3; theta_res = 0.1; alpha = 0; Par_n = 1.5;",
         "alpha, layer 1; soil type 3 (sand): the value 0 in section [soil_table] must be > 0!"},
        {"thickness = 0.1; ksat = 1e-5; theta_sat = 0.3; theta_res = 0.1; alpha = 2; Par_n = 1;",
         "Par_n, layer 1; soil type 3 (sand): the value 1 in section [soil_table] must be > 1!"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Fails(entry(c.values), 1), 17) << c.values;
        EXPECT_TRUE(Logged("error in soil table, " + c.message)) << c.values;
    }
    // The old one-line format is held to the same ranges.
    EXPECT_EQ(Fails("5 d 25 35 1e-5 300 1 0.45 0.5 2 1.5 3 0.1 1000 0.5\n", 1), 17);
    EXPECT_TRUE(Logged("theta_res, layer 1; soil type 5 (d): the value 0.5 in section [soil_table] must be in [0, "
                       "0.45)!"));
}

TEST_F(SoilTableTest, BlockFailures) {
    EXPECT_EQ(Fails("1 s {method = Other; layers = 2;}\n", 1), 29);
    EXPECT_TRUE(Logged("soil table definition method unknown 1 s {method = Other; layers = 2;}\n"));
    EXPECT_EQ(Fails("4 s {method = MultipleHorizons; layers = 2; thickness = 0.1;}\n", 1), 29);
    EXPECT_TRUE(Logged("Soil table code 4: some values could not be read\n{method"));
    EXPECT_EQ(Fails(Block(1, "", "0"), 1), 29);    // no layers
    EXPECT_EQ(Fails(Block(1, "", "2 -1"), 1), 29);  // negative count
    EXPECT_EQ(Fails(Block(1, "", "2, 8"), 1), 29);  // comma-separated counts
    EXPECT_EQ(Fails(Block(1, "", "600 600"), 1), 29);
    EXPECT_EQ(Fails(Block(1, "maxratio = big;"), 1), 29);
    EXPECT_EQ(Fails(Block(1, "Par_tau = 0.5, 0.6;", "1 1"), 1), 29);
    EXPECT_EQ(Fails(Block(1, "").substr(0, 40), 1), 29);  // end of file inside the block
    EXPECT_EQ(Fails(Block(1, "") + Block(2, "", "2 8"), 2), 30);
    EXPECT_TRUE(Logged("the numbers of soil layers has to be equal for all soil types\n(here: soil type 2: 10 "
                       "layers, but soil type 1: 4 layers)\n\n"));
}

TEST_F(SoilTableTest, FixedFormatChecks) {
    const auto t = Read("5 thin 25 35 1e-5 300 1 0.45 0.05 2.0 1.5 6 0.5 1000 0.5\n", 1);
    // Below 2 m of mid-depth the conductivity stays that of the layer above.
    EXPECT_DOUBLE_EQ(t[1].thickness[2], 0.45);
    EXPECT_DOUBLE_EQ(t[1].ksat[5], 1e-5 * std::pow(0.5, 1.75));
    EXPECT_DOUBLE_EQ(t[1].ksat[6], t[1].ksat[5]);
    EXPECT_DOUBLE_EQ(Read("5 d 25 35 1e-5 300 1 0.45 0.05 2 1.5 3 0.1 1000 0.5\n", 1)[1].thickness[2], 0.05);

    EXPECT_EQ(Fails("5 d 25 35 1e-5 300 1 0.45 0.05 2 1.5 3 0.08 1000 0.5\n", 1), 30);
    EXPECT_TRUE(Logged("\nerror soil type 5:\nthickness of single layers (here 0.08 m)\nhas to be at minimum twice "
                       "as thick as the\nthickness of the top layer (here 0.05 m)\n"));
    EXPECT_EQ(Fails("5 d 25 35 1e-5 300 2 0.45 0.05 2 1.5 3 0.1 1000 0.5\n", 1), 131);
    EXPECT_TRUE(Logged("only old method 1 (van-Genuchten Parameter) is supported in Talvo newer than 6.4.\nUse the "
                       "new soil type table format instead.\n"));
    EXPECT_EQ(Fails("5 d 25 35 1e-5 300 1 0.45 0.05 2 1.5 1 0.1 1000 0.5\n", 1), 30);
    EXPECT_EQ(Fails("5 d 25 35 1e-5 300 1 0.45 0.05 2 1.5 3 0.1 x 0.5\n", 1), 30);
    EXPECT_TRUE(Logged("error reading maxratio for soil type 5\n"));
    EXPECT_EQ(Fails("5 d 25 35 1e-5 300 1 0.45 0.05 2 1.5 3 thick 1000 0.5\n", 1), 30);
    EXPECT_TRUE(Logged("error reading layer thickness for soiltype 5\n"));
    EXPECT_EQ(Fails("5 d 25 35 1e-5 300 1 0.45 0.05 2 1.5 3 0.1 1000\n", 1), 30);
    EXPECT_TRUE(Logged("error reading k reduction for soil type 5\n"));
    EXPECT_EQ(Fails("5 d 25 35 1e-5\n", 1), 30);
    EXPECT_TRUE(Logged("soil table code 5: some values could not be read\n5 d 25 35 1e-5\n"));
    EXPECT_EQ(Fails("", 1), 30);
    EXPECT_EQ(Fails("", -2), 29);
}

}  // namespace
