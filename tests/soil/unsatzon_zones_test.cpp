// The soil model's travel-time zones at a cold start: a zone's records start with the cells of
// that zone and of every later one, so that after each shift the outlet zone weighs the whole
// subbasin and a pulse of runoff leaves with its volume, whatever the division of the cells.
#include <gtest/gtest.h>
#include <mpi.h>

#include <vector>

#include "unsatzon_fixture.hpp"

using namespace soil_test;

namespace {

class SoilZonesTest : public SoilModelTest {};

// Every subbasin of the test domain has cells in zone 1: columns 1-2 and row 3.
int ZoneOf(int r, int c) { return c <= 2 || r == 3 ? 1 : (c == 3 ? 2 : 3); }

}  // namespace

TEST_F(SoilZonesTest, ColdStartZonesHoldTheCellsOfTheirZoneAndBeyond) {
    // Hourly steps: zone z from 3600 z seconds.
    Matrix& times = AddGrid("flow_times", 0.0);
    for (int r = 1; r <= 4; ++r)
        for (int c = 1; c <= 5; ++c)
            if (times[r][c] != -9999.0) times[r][c] = 3600.0 * ZoneOf(r, c);
    ASSERT_NO_FATAL_FAILURE(BuildHourly());

    const int S = model_->soilZones.zoneCount;
    // cells[s * 4 + z]: basin cells of subbasin s in zone z, over all processes.
    std::vector<double> cells(static_cast<std::size_t>(S + 1) * 4, 0.0);
    for (int r = 1; r <= 4; ++r)
        for (int c = 1; c <= 5; ++c)
            if (Own(r, c))
                cells[static_cast<std::size_t>(model_->SubbasinOf(r, c) * 4 + ZoneOf(r, c))] += 1;
    MPI_Allreduce(MPI_IN_PLACE, cells.data(), static_cast<int>(cells.size()), MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
    for (int s = 1; s <= S; ++s) {
        const std::size_t si = static_cast<std::size_t>(s);
        const int Z = model_->zonesPerSubbasin[si];
        for (int z = 1; z <= Z; ++z) {
            double expected = 0;
            for (int j = z; j <= 3; ++j) expected += cells[si * 4 + static_cast<std::size_t>(j)];
            double held[2] = {model_->zoneFZT_QD[0][si][static_cast<std::size_t>(z)].RelCellSum,
                              model_->zoneFZT_QI[0][si][static_cast<std::size_t>(z)].RelCellSum};
            MPI_Allreduce(MPI_IN_PLACE, held, 2, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
            EXPECT_EQ(held[0], expected) << "subbasin " << s << " zone " << z;
            EXPECT_EQ(held[1], expected) << "subbasin " << s << " zone " << z;
        }
    }
    // Each step the outlet zone weighs every cell of the subbasin once.
    for (int h = 1; h <= 4; ++h) {
        model_->BeginTimeStep(h, 1, 6, 2020);
        model_->run(h, 1, 6, 2020);
        model_->ComputeSubbasinRunoff();
        if (talvo_test::Rank() != 0) continue;
        for (int s = 1; s <= S; ++s) {
            const std::size_t si = static_cast<std::size_t>(s);
            EXPECT_EQ(model_->zoneFZT_QD[0][si][1].RelCellSum, cells[si * 4 + 1] + cells[si * 4 + 2] + cells[si * 4 + 3])
                << "subbasin " << s << " step " << h;
        }
    }
}
