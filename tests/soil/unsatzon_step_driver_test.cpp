// The soil model's cell pass takes what a column derives from its soil type alone (field
// capacities, equal tables) from values prepared once per pass: the column it sets up is the one
// ColumnState::SetSoil sets up, for any soil in any order, and a soil table changed between steps
// is read afresh by the column pass and the drainable pore volume.
#include <gtest/gtest.h>
#include <mpi.h>

#include <cstring>
#include <string>
#include <vector>

#include "soil/unsatzon_river.hpp"
#include "soilcolumn_fixture.hpp"
#include "unsatzon_fixture.hpp"

namespace {

using soilcolumn_test::MakeSoil;
using soilcolumn_test::SoilLayout;

// Every array of the two columns holds the same bits (the sizes too).
void ExpectSameColumn(const soilcolumn::ColumnState& a, const soilcolumn::ColumnState& b, const std::string& what) {
    ASSERT_EQ(a.n, b.n) << what;
    const std::vector<double> soilcolumn::ColumnState::* arrays[] = {
        &soilcolumn::ColumnState::thetaOld, &soilcolumn::ColumnState::theta,  &soilcolumn::ColumnState::thetaMean,
        &soilcolumn::ColumnState::thetaStar, &soilcolumn::ColumnState::psiOld, &soilcolumn::ColumnState::H,
        &soilcolumn::ColumnState::z,        &soilcolumn::ColumnState::q,      &soilcolumn::ColumnState::e,
        &soilcolumn::ColumnState::rIn,      &soilcolumn::ColumnState::rOut,   &soilcolumn::ColumnState::frozen,
        &soilcolumn::ColumnState::K,        &soilcolumn::ColumnState::fieldCapacity};
    for (std::size_t k = 0; k < std::size(arrays); ++k) {
        const std::vector<double>& x = a.*arrays[k];
        const std::vector<double>& y = b.*arrays[k];
        ASSERT_EQ(x.size(), y.size()) << what << " array " << k;
        EXPECT_EQ(std::memcmp(x.data(), y.data(), x.size() * sizeof(double)), 0) << what << " array " << k;
    }
    EXPECT_EQ(a.sameTableAsAbove, b.sameTableAsAbove) << what;
    EXPECT_EQ(a.suctionBracket, b.suctionBracket) << what;
}

// Soil types 1..4: one horizon of ten layers, two horizons (the upper of other tables), three
// horizons of four layers, and twelve layers of sand.
std::vector<soil_entry> Table() {
    std::vector<soil_entry> t(5);
    t[0].code = 4;
    t[1] = MakeSoil(SoilLayout{});
    SoilLayout two{.layers = 6, .thickness = 0.2};
    t[2] = MakeSoil(two);
    soil_entry& s = t[2];
    for (std::size_t l = 1; l <= 2; ++l) {
        s.alpha[l] = 1.2;
        s.Par_n[l] = 1.3;
        s.Par_m[l] = 1.0 - 1.0 / 1.3;
        s.thickness[l] = 0.05;
        s.AllocateLayerTables(static_cast<int>(l));
    }
    t[3] = MakeSoil(SoilLayout{.layers = 4, .thickness = 0.25});
    for (std::size_t l = 2; l <= 4; ++l) {
        t[3].theta_sat[l] = l == 2 ? 0.38 : 0.36;
        t[3].AllocateLayerTables(static_cast<int>(l));
    }
    t[4] = MakeSoil(SoilLayout{.layers = 12, .thickness = 0.08, .ksat = 8e-5, .thetaSat = 0.38, .thetaRes = 0.05,
                               .alpha = 14.5, .n = 2.68});
    return t;
}

}  // namespace

TEST(SoilTypeColumns, SetTheColumnSetSoilSetsForAnySoilInAnyOrder) {
    const std::vector<soil_entry> table = Table();
    soilstep::SoilTypeColumns prepared;
    prepared.Prepare(table.data());
    // One column re-used from cell to cell, as a thread's work column is; layer counts grow and
    // shrink, the same soil follows itself, and the heat steps leave frozen factors behind.
    soilcolumn::ColumnState mine(3), plain(3);
    const int order[] = {1, 1, 2, 4, 3, 3, 1, 4, 2, 2};
    double elevation = 512.25;
    int cell = 0;
    for (int type : order) {
        const soil_entry& soil = table[static_cast<std::size_t>(type)];
        elevation += 0.37 * (cell % 3) - 0.5;
        prepared.SetColumn(mine, soil, elevation);
        plain.SetSoil(soil, elevation);
        ExpectSameColumn(mine, plain, "cell " + std::to_string(cell) + " of type " + std::to_string(type));
        for (soilcolumn::ColumnState* c : {&mine, &plain})
            for (int i = 1; i <= c->n; ++i) c->frozen[static_cast<std::size_t>(i)] = 0.25;
        ++cell;
    }
    // Equal tables were seen where they are: the upper horizon of type 2 and its lower one.
    prepared.SetColumn(mine, table[2], 0.0);
    EXPECT_EQ(mine.sameTableAsAbove[2], 1);
    EXPECT_EQ(mine.sameTableAsAbove[3], 0);
    EXPECT_EQ(mine.sameTableAsAbove[4], 1);
    EXPECT_NE(mine.fieldCapacity[2], mine.fieldCapacity[3]);
    // A soil that is not an entry of the prepared table gets SetSoil itself.
    const soil_entry copy = table[3];
    EXPECT_EQ(prepared.FieldCapacity(copy), nullptr);
    prepared.SetColumn(mine, copy, 7.5);
    plain.SetSoil(copy, 7.5);
    ExpectSameColumn(mine, plain, "a soil outside the table");
    // The field capacities handed out are SetSoil's.
    for (int type = 1; type <= 4; ++type) {
        const soil_entry& soil = table[static_cast<std::size_t>(type)];
        plain.SetSoil(soil, 0.0);
        const double* fc = prepared.FieldCapacity(soil);
        ASSERT_NE(fc, nullptr) << type;
        for (int i = 1; i <= soil.layerCount; ++i)
            EXPECT_EQ(fc[i], plain.fieldCapacity[static_cast<std::size_t>(i)]) << type << " layer " << i;
    }
}

namespace {

class SoilDriverTest : public soil_test::SoilModelTest {
protected:
    void Step(int h) {
        model_->BeginTimeStep(h, 1, 6, 2020);
        model_->run(h, 1, 6, 2020);
        model_->ComputeSubbasinRunoff();
    }
    // Water of the cell's column, mm.
    double Stored(int r, int c) const {
        const soil_entry& soil = model_->SoilOf(r, c);
        double s = 0;
        for (int k = 1; k <= soil.layerCount; ++k)
            s += Level("theta", r, c, k) * soil.thickness[static_cast<std::size_t>(k)] * 1000.0;
        return s;
    }
    // A second soil of code 2 and six layers beside the fixture's soil 1.
    void ParseSecondSoil(const std::string& thickness, const std::string& alpha) {
        soils_.resize(3);
        soils_[0].code = 2;
        soils_[2] = soil_entry(2);
        soils_[2].ParseSoilBlock(*log_,
                                 "2 second { method = MultipleHorizons; layers = 2 4; thickness = " + thickness +
                                     "; ksat = 4e-5; theta_sat = 0.42 0.38; theta_res = 0.04 0.03; alpha = " + alpha +
                                     "; Par_n = 1.6 1.9; }",
                                 "MultipleHorizons");
    }
    // The basin's cells of soil `typeOf(r, c)`, one irrigation code everywhere, built on hourly steps.
    void BuildWithSoilTypes(double (*typeOf)(int, int)) {
        settings_.soilTable = soils_.data();
        Matrix& types = *store_[FindGridIndex("soil_types")].grid;
        for (int r = 1; r <= 4; ++r)
            for (int c = 1; c <= 5; ++c)
                if (types[r][c] != -9999.0) types[r][c] = typeOf(r, c);
        irrigation_.assign(2, irrigation_entry{});
        irrigation_[0].code = 1;
        irrigation_[1].code = 1;
        settings_.irrigationTable = irrigation_.data();
        AddGrid("irrigation_codes", 1.0);
        ASSERT_NO_FATAL_FAILURE(BuildHourly());
    }
};

}  // namespace

TEST_F(SoilDriverTest, SoilTypesOfTheCellsAndTablesChangedBetweenStepsAreTheColumnsOwn) {
    // Two soil types side by side; the second, of six layers, gets other tables after two steps.
    auto parseSecond = [&](const char* alpha) { ParseSecondSoil("0.05 0.2", alpha); };
    parseSecond("3.0 4.0");
    ASSERT_NO_FATAL_FAILURE(BuildWithSoilTypes([](int r, int c) { return (r + c) % 2 == 0 ? 1.0 : 2.0; }));

    std::vector<double> pores[2];
    for (int h = 0; h < 4; ++h) {
        if (h == 2) parseSecond("1.0 0.8");
        double in = 0, out = 0, change = 0, size = 0;
        for (int r = 1; r <= 4; ++r)
            for (int c = 1; c <= 5; ++c) {
                if (!Own(r, c)) continue;
                (*model_->in.waterInput)[r][c] = h < 2 ? 2.0 + c : 0.0;
                change -= Stored(r, c);
            }
        Step(h);
        model_->DrainablePoreVolume();
        for (int r = 1; r <= 4; ++r)
            for (int c = 1; c <= 5; ++c) {
                if (!Own(r, c)) continue;
                const soil_entry& soil = model_->SoilOf(r, c);
                // The pores above field capacity from the table layer down to the last-but-one
                // layer, with the field capacities of the soil's tables as they are now.
                soilcolumn::ColumnState col;
                col.SetSoil(soil, 0.0);
                const int g = static_cast<int>(Value("groundwater_level", r, c));
                EXPECT_EQ(Value("Max_Pumping", r, c),
                          soilriver::DrainablePoreVolume(soil, col.fieldCapacity.data(), g, soil.layerCount))
                    << r << "," << c << " step " << h;
                if (&soil == &soils_[2] && (h == 1 || h == 2))
                    pores[h - 1].push_back(soilriver::DrainablePoreVolume(soil, col.fieldCapacity.data(), 1, 6));
                const double given = Value("real_transpiration0", r, c) + Value("real_transpiration1", r, c) +
                                     Value("real_evaporation", r, c) + Value("directflow", r, c) +
                                     Value("interflow", r, c) + Value("baseflow", r, c);
                in += (*model_->in.waterInput)[r][c];
                out += given;
                change += Stored(r, c);
                size += (*model_->in.waterInput)[r][c] + std::fabs(given) + Stored(r, c);
            }
        // The water of the basin's cells of both soils balances in every step.
        double sums[4] = {in, out, change, size};
        MPI_Allreduce(MPI_IN_PLACE, sums, 4, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
        EXPECT_LE(std::fabs(sums[0] - sums[1] - sums[2]), 1e-11 * sums[3]) << "step " << h;
    }
    // The changed tables moved the field capacities of the second soil.
    for (std::size_t i = 0; i < pores[0].size(); ++i) EXPECT_NE(pores[0][i], pores[1][i]);
}

TEST_F(SoilDriverTest, OnlyTheCellsTheDecompositionGivesThisProcessAreComputedAndCounted) {
    // Cells of this process's rows that the decomposition gives to no process here, scattered
    // through the rows: they keep what they hold, and the zones count the others once.
    const int foreign = talvo_test::Size();
    auto mine = [&](int r, int c) { return Own(r, c) && (r + 2 * c) % 3 != 0; };
    for (int r = 1; r <= 4; ++r)
        for (int c = 1; c <= 5; ++c)
            if (Own(r, c) && !mine(r, c)) regions_[r][c] = foreign;
    ASSERT_NO_FATAL_FAILURE(BuildHourly());
    constexpr double kMark = 12345.0;
    const int S = model_->soilZones.zoneCount;
    for (int h = 0; h < 3; ++h) {
        std::vector<double> counted(static_cast<std::size_t>(S) + 1, 0.0);
        double balance[2] = {0, 0};  // in - out - change, and the size of the amounts
        std::vector<double> before(20, 0.0);
        for (int r = 1; r <= 4; ++r)
            for (int c = 1; c <= 5; ++c) {
                if (!Own(r, c)) continue;
                (*model_->in.waterInput)[r][c] = 3.0 + r;
                before[static_cast<std::size_t>(r * 5 + c - 6)] = Stored(r, c);
                if (!mine(r, c)) model_->own.directflow[r][c] = kMark;
                else counted[static_cast<std::size_t>(model_->SubbasinOf(r, c))] += 1;
            }
        Step(h);
        for (int r = 1; r <= 4; ++r)
            for (int c = 1; c <= 5; ++c) {
                if (!Own(r, c)) continue;
                const double dS = Stored(r, c) - before[static_cast<std::size_t>(r * 5 + c - 6)];
                if (!mine(r, c)) {
                    EXPECT_EQ(Value("directflow", r, c), kMark) << r << "," << c;
                    EXPECT_EQ(dS, 0.0) << r << "," << c;
                    continue;
                }
                const double out = Value("real_transpiration0", r, c) + Value("real_transpiration1", r, c) +
                                   Value("real_evaporation", r, c) + Value("directflow", r, c) +
                                   Value("interflow", r, c) + Value("baseflow", r, c);
                EXPECT_NE(Value("directflow", r, c), kMark) << r << "," << c;
                balance[0] += 3.0 + r - out - dS;
                balance[1] += 3.0 + r + std::fabs(out) + std::fabs(dS);
            }
        MPI_Allreduce(MPI_IN_PLACE, counted.data(), S + 1, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
        MPI_Allreduce(MPI_IN_PLACE, balance, 2, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
        EXPECT_LE(std::fabs(balance[0]), 1e-11 * balance[1]) << "step " << h;
        if (talvo_test::Rank() != 0) continue;
        for (int s = 1; s <= S; ++s)
            EXPECT_EQ(model_->zoneFZT_QD[0][static_cast<std::size_t>(s)][1].n, counted[static_cast<std::size_t>(s)])
                << "subbasin " << s << " step " << h;
    }
}

TEST_F(SoilDriverTest, DrainablePoresFillTheOwnCellsAndLeaveTheOthersNodata) {
    // Two soils in blocks of columns, so that a row's own cells run through one soil and then the
    // other: each own cell holds its column's pores above field capacity from the table layer
    // down, every other cell of the process's rows nodata, after wet and dry steps.
    ParseSecondSoil("0.1 0.2", "3.0 4.0");
    ASSERT_NO_FATAL_FAILURE(BuildWithSoilTypes([](int, int c) { return c <= 3 ? 1.0 : 2.0; }));
    int own = 0, other = 0;
    for (int h = 0; h < 3; ++h) {
        for (int r = 1; r <= 4; ++r)
            for (int c = 1; c <= 5; ++c)
                if (Own(r, c)) (*model_->in.waterInput)[r][c] = h == 0 ? 20.0 * c : 0.0;
        Step(h);
        model_->DrainablePoreVolume();
        for (int r = model_->firstRow; r <= model_->lastRow; ++r)
            for (int c = 1; c <= model_->ncols; ++c) {
                if (!Own(r, c)) {
                    EXPECT_EQ(Value("Max_Pumping", r, c), -9999.0) << r << "," << c << " step " << h;
                    ++other;
                    continue;
                }
                const soil_entry& soil = model_->SoilOf(r, c);
                soilcolumn::ColumnState col;
                col.SetSoil(soil, 0.0);
                const int g = static_cast<int>(Value("groundwater_level", r, c));
                const double expected = soilriver::DrainablePoreVolume(soil, col.fieldCapacity.data(), g, soil.layerCount);
                EXPECT_EQ(Value("Max_Pumping", r, c), expected) << r << "," << c << " step " << h;
                EXPECT_GT(expected, 0.0) << r << "," << c;
                ++own;
            }
    }
    // Over the processes: the 14 basin cells in every step, and cells outside the basin.
    int counts[2] = {own, other};
    MPI_Allreduce(MPI_IN_PLACE, counts, 2, MPI_INT, MPI_SUM, MPI_COMM_WORLD);
    EXPECT_EQ(counts[0], 3 * 14);
    EXPECT_GT(counts[1], 0);
}
