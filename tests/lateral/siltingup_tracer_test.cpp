// Tracers of the silting-up model: they enter the surface store with the water input and leave
// it with the direct runoff; an evaporating tracer leaves at its storage concentration.
#include <gtest/gtest.h>

#include <mpi.h>
#include <vector>

#include "setup/tracer_ini.hpp"
#include "siltingup_test_domain.hpp"

namespace {

class SiltingTracers : public silting_test::SiltingDomain {
protected:
    void SetUp() override {
        SiltingDomain::SetUp();
        descriptors_.resize(3);
        descriptors_[1].name = "chl";
        descriptors_[1].max_conc = 1e6;
        descriptors_[2].name = "oxy";
        descriptors_[2].evaporating = 1;
        descriptors_[2].statcode = 2001;  // the tracer's table, a row a step
        descriptors_[2].path = "out_";
    }
    std::vector<TracerDescriptor> descriptors_;
};

TEST_F(SiltingTracers, TracersLeaveWithTheDirectRunoff) {
    Add("concflux_tracer_1_input", 2.0);
    Add("concflux_tracer_2_input", 3.0);
    auto s = Ready(silting_test::SectionOptions{});
    unsigned error = 9;
    s->LinkTracerGrids(error, 2, descriptors_.data(), nullptr, 0);
    ASSERT_EQ(error, 0u) << console_.str();
    EXPECT_GT(EntryOf("concflux_tracer_1_SiltingUpModel"), 0);
    Fill("precipitation", 70);
    s->run(24, 20, 4, 2020);
    std::vector<double> zoneRunoff(4, 0.0);
    ForOwn([&](int r, int c) {
        const double P = 70, Q = s->directRunoff.data[r][c];
        ASSERT_GT(Q, 1.0);
        const double m = P * 2 * P / (Q + P);
        EXPECT_NEAR(s->Tracer(1).storage[r][c], 2 * P - m, 1e-9);
        EXPECT_NEAR(s->Tracer(1).flux[r][c], m / Q, 1e-12);
        EXPECT_NEAR(s->Tracer(2).storage[r][c], 3.0, 1e-12);
        EXPECT_NEAR(s->Tracer(2).flux[r][c], 3.0, 1e-12);
        zoneRunoff[static_cast<std::size_t>((*settings_.zoneIndex)[static_cast<std::size_t>(zone_[r][c])])] += Q;
    });
    // Process 0's zone records of the step's row hold the runoff of every process's cells.
    MPI_Allreduce(MPI_IN_PLACE, zoneRunoff.data(), 4, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
    int rank = 0;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    if (rank == 0) {
        for (std::size_t z = 1; z <= 3; ++z) EXPECT_NEAR(s->Tracer(2).zones[z].n, zoneRunoff[z], 1e-9);
        // The concentration weighed with the runoff is the store's.
        EXPECT_NEAR(s->Tracer(2).statistics->lastValues()[1], 3.0, 1e-12);
    }
    s->FreeTracerGrids();
    EXPECT_EQ(EntryOf("concflux_tracer_1_SiltingUpModel"), 0);
}

TEST_F(SiltingTracers, MissingIncomingFluxIsFatal) {
    auto s = Ready(silting_test::SectionOptions{});
    unsigned error = 0;
    s->LinkTracerGrids(error, 1, descriptors_.data(), nullptr, 0);
    EXPECT_EQ(error, 33u);
    EXPECT_TRUE(Logged("concflux_tracer_1_irrigation or concflux_tracer_1_input"));
}

}  // namespace
