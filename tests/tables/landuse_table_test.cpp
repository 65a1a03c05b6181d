// The land-use table: block and fixed format, defaults, key matching, failures.
#include "tables/landuse_table.hpp"
#include "table_test_support.hpp"

namespace {

// A readable dump of the fields the reader fills.
std::string Dump(const landuse_entry& e) {
    std::string s = StrFormat("%d %s method=%d n=%d mask=%d flags=%s start=%d tstart=%d\n", e.code, e.name.c_str(),
                              e.method, e.fixPointCount, e.internalParameterMask, e.useInternalParameters.c_str(),
                              e.startFixPoint, e.TStart);
    s += StrFormat("RootDist=%g TReduWet=%g LimitReduWet=%g HReduDry=%g IntercepCap=%g Stress=%g\n", e.RootDist,
                   e.TReduWet, e.LimitReduWet, e.HReduDry, e.IntercepCap, e.StressFactorDynPhen);
    s += StrFormat("balance=%d %d %d %d\n", e.StartVegetationPeriodForBalance, e.StopVegetationPeriodForBalance,
                   e.JDVegetationResetForBalance, e.JDVegetationWriteForBalance);
    s += "JulDays" + List(e.JulDays) + "\nactual" + List(e.actualFixPointDays) + "\n";
    s += "Albedo" + List(e.Albedo) + "\nrsc" + List(e.rsc) + "\nLAI" + List(e.LAI) + "\nZ0" + List(e.Z0) + "\n";
    s += "VCF" + List(e.VCF) + "\nRootDepth" + List(e.RootDepth) + "\nAltDep" + List(e.AltDep) + "\n";
    s += "rs_interception" + List(e.rs_interception) + "\nrs_evaporation" + List(e.rs_evaporation) + "\n";
    s += StrFormat("tillage %d:", e.SoilTillageCount) + List(e.SoilTillage) + "\n";
    s += StrFormat("SR %d %g %g %g %g", e.SR_cultivation, e.SR_CropDistX, e.SR_CropDistY, e.SR_K_ST, e.SR_C_WR) +
         List(e.SR_rough_coeff1) + " |" + List(e.SR_rough_coeff2) + "\n";
    s += "stem" + List(e.SR_StemDiameter) + "\nresid" + List(e.SR_ResidCovrg) + "\nnfactor" + List(e.nFactor) + "\n";
    s += StrFormat("nf %g %g\n", e.nf_freezing, e.nf_thawing);
    return s;
}

const char* kGrassland =
    "1 grassland method = VariableDayCount {\n"
    "  RootDist = 1.0; TReduWet = 0.95; LimitReduWet = 0.5; HReduDry = 3.45;\n"
    "  IntercepCap = 0.3; useInternalParameters = 10110011;\n"
    "  StartVegetationPeriodForBalance = 2; StopVegetationPeriodForBalance = 3;\n"
    "  JDVegetationResetForBalance = 0; JDVegetationWriteForBalance = 300;\n"
    "  JulDays = 1 100 200 366;\n"
    "  Albedo = 0.2 0.25 0.25 0.2; rsc = 80 60 50 80; LAI = 1 4 5 1;\n"
    "  Z0 = 0.02 0.1 0.15 0.02; VCF = 0.5 0.9 0.95 0.5; RootDepth = 0.2 0.4 0.4 0.2;\n"
    "  AltDep = 0.025 0.025 -0.025 -0.025;\n"
    "  SoilTillage = 90 250; SR_cultivation = nonconserving; SR_K_ST = 12;\n"
    "  SR_rough_coeff1 = 0.1 0.2 0.3; n-factor = 0.5 0.6 0.7 0.8; nf_freezing = 0.4;\n"
    "}\n";

const char* kGrasslandDump =
    "1 grassland method=2 n=4 mask=179 flags=10110011 start=0 tstart=-1\n"
    "RootDist=1 TReduWet=0.95 LimitReduWet=0.5 HReduDry=3.45 IntercepCap=0.3 Stress=0\n"
    "balance=2 3 0 300\n"
    "JulDays 0 1 100 200 366\n"
    "actual 0 1 100 200 366\n"
    "Albedo 0.2 0.2 0.25 0.25 0.2\n"
    "rsc 80 80 60 50 80\n"
    "LAI 1 1 4 5 1\n"
    "Z0 0.02 0.02 0.1 0.15 0.02\n"
    "VCF 0.5 0.5 0.9 0.95 0.5\n"
    "RootDepth 0.2 0.2 0.4 0.4 0.2\n"
    "AltDep -0.025 0.025 0.025 -0.025 -0.025\n"
    "rs_interception 20 20 20 20 20\n"
    "rs_evaporation 200 200 200 200 200\n"
    "tillage 2: -116 90 250\n"
    "SR 2 0.3 0.3 12 1.5 0.3 0.1 0.2 0.3 | 0 0.0198 0.712 0.142\n"
    "stem 0.01 0.01 0.01 0.01 0.01\n"
    "resid 0.01 0.01 0.01 0.01 0.01\n"
    "nfactor 0.8 0.5 0.6 0.7 0.8\n"
    "nf 0.4 -1\n";

// Old fixed format: code, name, albedo, 12 monthly resistances, 4 days, 4 x (LAI, Z0, VCF,
// root depth), root distribution and dry reduction.
const char* kOldLine =
    "10 maize 0.23 90 90 85 80 70 60 50 50 60 80 90 95 110 170 250 280 0.5 2 4 0.5 0.01 0.1 0.2 0.01 "
    "0.2 0.6 0.9 0.2 0.1 0.5 0.9 0.1 1.5 3.45\n";

const char* kOldDump =
    "10 maize method=1 n=4 mask=255 flags=11111111 start=0 tstart=0\n"
    "RootDist=1.5 TReduWet=0.95 LimitReduWet=0 HReduDry=3.45 IntercepCap=-1 Stress=0\n"
    "balance=0 1000 1 0\n"
    "JulDays -86 110 170 250 280\n"
    "actual -86 110 170 250 280\n"
    "Albedo 0.23 0.23 0.23 0.23 0.23\n"
    "rsc 95 90 90 85 80 70 60 50 50 60 80 90 95 90\n"
    "LAI 0.5 0.5 2 4 0.5\n"
    "Z0 0.01 0.01 0.1 0.2 0.01\n"
    "VCF 0.2 0.2 0.6 0.9 0.2\n"
    "RootDepth 0.1 0.1 0.5 0.9 0.1\n"
    "AltDep -0.025 0.025 0.025 -0.025 -0.025\n"
    "rs_interception 20 20 20 20 20 20 20 20 20 20 20 20 20 20\n"
    "rs_evaporation 95 90 90 85 80 70 60 50 50 60 80 90 95 90\n"
    "tillage 0: -9999\n"
    "SR 0 0 0 0 0 0 0.0198 0.712 0.142 | 0 0.0198 0.712 0.142\n"
    "stem 0.01 0.01 0.01 0.01 0.01\n"
    "resid 0.01 0.01 0.01 0.01 0.01\n"
    "nfactor -1 -1 -1 -1 -1\n"
    "nf -1 -1\n";  // not given: the soil's heat section gives them

// A minimal block entry of a method with optional extra keys.
std::string Block(int code, const std::string& method, const std::string& extra,
                  const std::string& days = "1 100 200 366") {
    const std::string four = "1 2 3 4", fractions = "0.1 0.2 0.3 0.4";
    return std::to_string(code) + " lu" + std::to_string(code) + " method = " + method +
           " {\n RootDist = 1; TReduWet = 0.9; HReduDry = 3; JulDays = " + days + ";\n Albedo = " + fractions +
           "; rsc = " + four + "; LAI = " + four + "; Z0 = " + four + "; VCF = " + fractions + "; RootDepth = " + four +
           "; AltDep = " + four + ";\n" + extra + "}\n";
}

class LanduseTableTest : public TableTest {
protected:
    std::vector<landuse_entry> Read(const std::string& entries, int count, int variant = 2) {
        modelobject& r = Reader("[other]\n1\n[landuse_table]\n" + std::to_string(count) + " entries\n" + entries +
                                "[end]\n");
        return ReadLanduseTableSection(r, variant);
    }
    int Fails(const std::string& entries, int count, int variant = 2) {
        return ErrorCode([&] { Read(entries, count, variant); });
    }
};

TEST_F(LanduseTableTest, BlockAndFixedFormatEntriesReadAsGolden) {
    const auto t = Read(std::string(kGrassland) + kOldLine, 2);
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t[0].code, 2);
    EXPECT_EQ(Dump(t[1]), kGrasslandDump);
    EXPECT_EQ(Dump(t[2]), kOldDump);
    // The balance period: reset 0 of entry 1 is passed over, the old entry has the record's 1.
    EXPECT_EQ(t[0].JDVegetationResetForBalance, 1);
    EXPECT_EQ(t[0].JDVegetationWriteForBalance, 300);
}

TEST_F(LanduseTableTest, BalancePeriodComesFromFirstEntryWithPositiveDay) {
    const auto empty = Read("", 0);
    ASSERT_EQ(empty.size(), 1u);
    EXPECT_EQ(empty[0].code, 0);
    EXPECT_EQ(empty[0].JDVegetationResetForBalance, 1);
    EXPECT_EQ(empty[0].JDVegetationWriteForBalance, 365);
    const auto t = Read(Block(1, "VariableDayCount", "JDVegetationResetForBalance = -1;\n") +
                            Block(2, "VariableDayCount", "JDVegetationResetForBalance = 40; JDVegetationWriteForBalance = 200;\n") +
                            Block(3, "VariableDayCount", "JDVegetationResetForBalance = 50;\n"),
                        3);
    EXPECT_EQ(t[0].JDVegetationResetForBalance, 40);
    EXPECT_EQ(t[0].JDVegetationWriteForBalance, 200);
}

TEST_F(LanduseTableTest, MethodChoiceFollowsTheHeadLine) {
    // VariableDayCount is tested before DynamicPhenology_2; a one-line block ends on its head line.
    const auto t = Read("5 a method = DynamicPhenology_2 VariableDayCount { RootDist = 1; TReduWet = 1; "
                        "HReduDry = 1; JulDays = 1 366; Albedo = 0.1 0.2; rsc = 1 2; LAI = 1 2; Z0 = 1 2; VCF = 0.1 0.2; "
                        "RootDepth = 1 2; AltDep = 0 0; }\n" +
                            std::string(kOldLine),
                        2);
    EXPECT_EQ(t[1].method, 2);
    EXPECT_EQ(t[1].fixPointCount, 2);
    EXPECT_EQ(t[2].code, 10);
    // A head line without "{" is an old fixed-format line, whose third field is no number.
    EXPECT_EQ(Fails("7 b method = VariableDayCount\n", 1), 29);
    EXPECT_TRUE(Logged("landuse table code 7: some values could not be read\n7 b method = VariableDayCount\n"));
}

TEST_F(LanduseTableTest, KeysMatchOnlyWhereFollowedByEquals) {
    const auto t = Read("1 a method = VariableDayCount {\n rsc values follow; RootDistX = 7; HReduDryness = 5;\n"
                        " RootDist = 1; TReduWet = 0.9; HReduDry = 3; JulDays = 1 366; Albedo = 0.1 0.2; rsc = 3 4;\n"
                        " LAI = 1 2; Z0 = 1 2; VCF = 0.1 0.2; RootDepth = 1 2; AltDep = 0 0;}\n",
                        1);
    EXPECT_DOUBLE_EQ(t[1].RootDist, 1.0);
    EXPECT_DOUBLE_EQ(t[1].HReduDry, 3.0);
    EXPECT_DOUBLE_EQ(t[1].rsc[1], 3.0);
    // A key given twice is taken from its first occurrence.
    const auto u = Read(Block(1, "VariableDayCount", " IntercepCap = 0.7; IntercepCap = 0.9;\n"), 1);
    EXPECT_DOUBLE_EQ(u[1].IntercepCap, 0.7);
}

TEST_F(LanduseTableTest, UseInternalParametersSetsTheMask) {
    EXPECT_EQ(Read(Block(1, "VariableDayCount", "useInternalParameters = 00000001;\n"), 1)[1].internalParameterMask, 1);
    EXPECT_EQ(Read(Block(1, "VariableDayCount", "useInternalParameters = x 1;\n"), 1)[1].internalParameterMask, 128);
    EXPECT_EQ(Fails(Block(1, "VariableDayCount", "useInternalParameters = none;\n"), 1), 29);
}

TEST_F(LanduseTableTest, JulDaysRules) {
    EXPECT_EQ(Fails(Block(1, "VariableDayCount", "", ""), 1), 29);         // no days
    EXPECT_EQ(Fails(Block(1, "VariableDayCount", "", "1,100,200,366"), 1), 29);  // commas
    EXPECT_EQ(Fails(Block(1, "VariableDayCount", "", "1 100 200"), 1), 0);
    // Fewer values than fix points in a per-fix-point list.
    EXPECT_EQ(Fails(Block(1, "VariableDayCount", "", "1 100 200 300 366"), 1), 29);
    EXPECT_TRUE(Logged("landuse table code 1: some values could not be read\n{"));
    // The tillage days are an integer list too: a word in it refuses the entry; negative days are kept.
    EXPECT_EQ(Fails(Block(2, "VariableDayCount", "SoilTillage = 90 x;\n"), 1), 29);
    EXPECT_TRUE(Logged("landuse table code 2: some values could not be read\n{"));
    EXPECT_EQ(Fails(Block(4, "VariableDayCount", "SoilTillage = -90 250;\n"), 1), 0);
}

TEST_F(LanduseTableTest, DynamicPhenology3NeedsFullYear) {
    const std::string keys = "DP1_t1_dorm = 1; DP1_T_Bf = 5; JDReset_TStart = 1; maxStartJDforDP1 = 150; "
                             "ForcingThreshold = -1 100 200 -1;\n";
    EXPECT_EQ(Fails(Block(4, "DynamicPhenology_3", keys, "15 100 200 366"), 1), 29);
    EXPECT_TRUE(Logged("Error in Landuse Table (Code: 4): for Method DynamicPhenology_3 the first sample day "
                       "(JulDay) must be 1 and not 15"));
    EXPECT_EQ(Fails(Block(4, "DynamicPhenology_3", keys, "1 100 200 365"), 1), 29);
    EXPECT_TRUE(Logged("the last sample day (JulDay) must be 366 and not 365"));
    // The thresholds are required, one per fix point.
    const std::string noThresholds = keys.substr(0, keys.find("ForcingThreshold"));
    EXPECT_EQ(Fails(Block(6, "DynamicPhenology_3", noThresholds + "\n"), 1), 29);
    EXPECT_TRUE(Logged("landuse table code 6: some values could not be read\n{"));
    EXPECT_EQ(Fails(Block(7, "DynamicPhenology_3", noThresholds + "ForcingThreshold = -1 100 200;\n"), 1), 29);
    EXPECT_TRUE(Logged("landuse table code 7: some values could not be read\n{"));
    const auto t = Read(Block(4, "DynamicPhenology_3", keys), 1);
    EXPECT_EQ(t[1].method, 5);
    EXPECT_EQ(t[1].startFixPoint, 0);
    EXPECT_DOUBLE_EQ(t[1].ForcingThreshold[2], 100.0);
    EXPECT_DOUBLE_EQ(t[1].ForcingThreshold[0], -1.0);
}

TEST_F(LanduseTableTest, DynamicPhenologyKeys) {
    const std::string dp1 = "F* = 300; DP1_t1_dorm = 40; DP1_T_Bf = 5.5; JDReset_TStart = 330; maxStartJDforDP1 = 160;\n";
    const auto t = Read(Block(3, "DynamicPhenology_1", dp1, "1 -1 60 366"), 1);
    EXPECT_EQ(t[1].method, 3);
    EXPECT_EQ(t[1].startFixPoint, 2);
    EXPECT_EQ(t[1].TStart, -1);
    EXPECT_DOUBLE_EQ(t[1].FStar, 300.0);
    EXPECT_EQ(t[1].DP1_t1_dorm, 40);
    EXPECT_EQ(t[1].JDReset_TStart, 330);

    EXPECT_EQ(Fails(Block(3, "DynamicPhenology_1", "DP1_t1_dorm = 40;\n"), 1), 29);
    EXPECT_TRUE(Logged("parameter \"F*\" not found for land use 3\n"));

    const std::string dp2 = dp1 + "DP2_t0_dorm = 300; DP2_t1_dorm = 30; DP2_T_Bf = 5; DP2_T_Bc = 4; "
                                  "DP2_Par_a = 100; DP2_Par_b = -0.01;\n";
    const auto u = Read(Block(6, "DynamicPhenology_2", dp2), 1);
    EXPECT_DOUBLE_EQ(u[1].DP2_Offset_1, -3.4);
    EXPECT_DOUBLE_EQ(u[1].DP2_Offset_2, 12.0);
    const std::string info1 = "parameter \"DP2_Offset_1\" not found for land use 6; Using default of -3.4\n";
    const std::string info2 = "parameter \"DP2_Offset_2\" not found for land use 6; Using default of 12\n";
    ASSERT_TRUE(Logged(info1 + info2));

    const std::string dp4 = dp1 + "DP4_t0_dorm = 280; DP4_t1_dorm = 1; DP4_T0 = 5; DP4_T1 = 0; DP4_Par_a = 50; "
                                  "DP4_Par_b = 2; DP4_T_xylstop = 8; DP4_t_xs1 = 200;\n";
    EXPECT_EQ(Fails(Block(8, "DynamicPhenology_4", dp4), 1), 29);
    EXPECT_TRUE(Logged("parameter \"DP4_SPSLF\" not found for land use 8\n"));
}

TEST_F(LanduseTableTest, SurfaceRoutingCultivation) {
    EXPECT_EQ(Read(Block(1, "VariableDayCount", "SR_cultivation = conserving;\n"), 1)[1].SR_cultivation, 1);
    EXPECT_EQ(Read(Block(1, "VariableDayCount", "SR_cultivation = other;\n"), 1)[1].SR_cultivation, 3);
    EXPECT_EQ(Fails(Block(2, "VariableDayCount", "SR_cultivation = plough;\n"), 1), 29);
    EXPECT_TRUE(Logged("no valid value for parameter \"SR_cultivation\" for land use 2\n"));
}

TEST_F(LanduseTableTest, MalformedSectionsFailWithCode29) {
    EXPECT_EQ(Fails("", -1), 29);
    EXPECT_EQ(ErrorCode([&] { ReadLanduseTableSection(Reader("[landuse_table]\nmany\n"), 2); }), 29);
    // Fewer entries than announced, and a block without "}".
    EXPECT_EQ(ErrorCode([&] { ReadLanduseTableSection(Reader("[landuse_table]\n2\n" + std::string(kOldLine)), 2); }),
              29);
    EXPECT_TRUE(Logged("landuse table code 2: some values could not be read\n(end of file)"));
    const std::string open = Block(1, "VariableDayCount", "");
    EXPECT_EQ(ErrorCode([&] {
                  ReadLanduseTableSection(Reader("[landuse_table]\n1\n" + open.substr(0, open.size() - 2)), 2);
              }),
              29);
    EXPECT_EQ(ErrorCode([&] { ReadLanduseTableSection(Reader("[soil_table]\n0\n"), 2); }), 17);
    // Over-long names, and an old line that lacks its last fields.
    EXPECT_EQ(Fails("1 " + std::string(200, 'n') + " method = VariableDayCount { }\n", 1), 29);
    EXPECT_EQ(Fails(std::string(kOldLine).substr(0, 60) + "\n", 1), 29);
    // Without the soil-model variant 2 the line ends after the root depths.
    EXPECT_EQ(Fails(std::string(kOldLine).substr(0, std::string(kOldLine).size() - 10) + "\n", 1, 1), 0);
    landuse_entry e(1);
    EXPECT_EQ(ErrorCode([&] { e.ParseLanduseBlock(Log(), "1 x method = Other {}", "Other"); }), 29);
    EXPECT_TRUE(Logged("landuse table method unknown Other\n"));
}

TEST_F(LanduseTableTest, AnAlbedoOutsideItsRangeIsRefusedOtherValuesAreReadAsTheyStand) {
    const std::string block = Block(1, "VariableDayCount", "");
    auto with = [&](const std::string& from, const std::string& to) {
        std::string b = block;
        return b.replace(b.find(from), from.size(), to);
    };
    EXPECT_EQ(Fails(with("Albedo = 0.1 0.2 0.3 0.4", "Albedo = 10 20 30 40"), 1), 17);
    EXPECT_TRUE(Logged("Albedo, fix point 1; land use 1 (lu1): the value 10 in section [landuse_table] must be in "
                       "[0, 1]!"));
    // Leaf area, cover and roughness beyond their ranges are read: the grids hold them within.
    const auto t = Read(with("LAI = 1 2 3 4", "LAI = 1 -2 3 4").replace(block.find("VCF"), 21, "VCF = 0 1.5 0.3 0.4"), 1);
    EXPECT_DOUBLE_EQ(t[1].LAI[2], -2.0);
    EXPECT_DOUBLE_EQ(t[1].VCF[2], 1.5);
    const auto z = Read(with("Z0 = 1 2 3 4", "Z0 = 1 2 0 4"), 1);
    EXPECT_DOUBLE_EQ(z[1].Z0[3], 0.0);
    // The old format: an albedo in percent.
    std::string old = kOldLine;
    EXPECT_EQ(Fails(old.replace(0, 13, "10 maize 23 "), 1), 17);
    EXPECT_TRUE(Logged("error in landuse table, Albedo, fix point 1; land use 10 (maize): the value 23 in section "
                       "[landuse_table] must be in [0, 1]!"));
}

}  // namespace
