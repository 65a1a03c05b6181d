// One layer of one cell: capacity, cover split and overflow, the two ways of evaporating, the
// water balance and the tracer mass that an overflow releases.
#include <gtest/gtest.h>

#include <cmath>

#include "surface/interception_physics.hpp"

using namespace interception;

TEST(InterceptionPhysics, CapacityFromTheTableOrTheMaximumThickness) {
    EXPECT_NEAR(Capacity(-1.0, 4.0, 0.2), 0.8, 1e-15);
    EXPECT_NEAR(Capacity(0.5, 4.0, 0.2), 2.0, 1e-15);
    EXPECT_EQ(Capacity(0.0, 4.0, 0.2), 0.0);
    EXPECT_EQ(EvaporationOfMethod(1), Evaporation::FromTranspiration);
    EXPECT_EQ(EvaporationOfMethod(11), Evaporation::FromTranspiration);
    EXPECT_EQ(EvaporationOfMethod(2), Evaporation::FromInterceptionDemand);
    EXPECT_EQ(EvaporationOfMethod(12), Evaporation::FromInterceptionDemand);
    EXPECT_EQ(EvaporationOfMethod(3), Evaporation::None);
    EXPECT_TRUE(RunsBeforeSnow(12));
    EXPECT_FALSE(RunsBeforeSnow(2));
}

TEST(InterceptionPhysics, CoverSplitOverflowAndEvaporation) {
    struct Case {
        const char* what;
        double P, cover, cap, storage, etp, ei;
        int method;
        double throughfall, storageAfter, evaporation, etpAfter;
    };
    const Case cases[] = {
        {"capacity 0.8, method 1", 5, 0.8, 0.8, 0.3, 0.5, 0, 1, 4.5, 0.3, 0.5, 0.0},
        {"cover 0 passes all", 3, 0.0, 0.8, 0.2, 0, 0, 1, 3.0, 0.2, 0.0, 0.0},
        {"cover 1 at capacity overflows all", 3, 1.0, 0.8, 0.8, 0, 0, 1, 3.0, 0.8, 0.0, 0.0},
        {"method 1, demand above storage", 0, 0.5, 1.0, 0.4, 1.0, 0, 1, 0.0, 0.0, 0.4, 0.6},
        {"method 1, demand below storage", 0, 0.5, 1.0, 0.4, 0.1, 0, 11, 0.0, 0.3, 0.1, 0.0},
        {"method 2, EI above storage", 0, 0.5, 1.0, 0.4, 1.0, 2.0, 2, 0.0, 0.0, 0.4, 0.6},
        {"method 2, ETP lowered by at most ETP", 0, 0.5, 1.0, 0.4, 0.1, 2.0, 12, 0.0, 0.0, 0.4, 0.0},
        {"method 2, EI below storage", 1, 0.5, 1.0, 0.4, 1.0, 0.2, 2, 0.5, 0.7, 0.2, 0.8},
        {"other methods evaporate nothing", 1, 0.5, 1.0, 0.4, 1.0, 0.2, 5, 0.5, 0.9, 0.0, 1.0},
    };
    for (const Case& k : cases) {
        double storage = k.storage, etp = k.etp;
        const LayerFluxes f = InterceptLayer(k.P, k.cover, k.cap, EvaporationOfMethod(k.method), storage, etp, k.ei);
        EXPECT_NEAR(f.throughfall, k.throughfall, 1e-12) << k.what;
        EXPECT_NEAR(storage, k.storageAfter, 1e-12) << k.what;
        EXPECT_NEAR(f.evaporation, k.evaporation, 1e-12) << k.what;
        EXPECT_NEAR(etp, k.etpAfter, 1e-12) << k.what;
        EXPECT_NEAR(f.demandTaken, k.etp - k.etpAfter, 1e-12) << k.what;
        EXPECT_NEAR(f.direct + f.overflow, f.throughfall, 1e-12) << k.what;
    }
}

TEST(InterceptionPhysics, InputEqualsThroughfallPlusStorageChangePlusEvaporation) {
    for (int method : {0, 1, 2}) {
        double storage = 0.1, etp = 0.3;
        for (int i = 0; i < 200; ++i) {
            const double P = std::fmod(i * 0.37, 2.3) * (i % 3 == 0 ? 0 : 1);
            const double cover = std::fmod(i * 0.13, 1.0);
            const double cap = 0.2 + std::fmod(i * 0.07, 1.5);
            const double ei = std::fmod(i * 0.011, 0.4);
            etp = std::fmod(i * 0.017, 0.5);
            const double before = storage;
            const LayerFluxes f = InterceptLayer(P, cover, cap, EvaporationOfMethod(method), storage, etp, ei);
            EXPECT_NEAR(P, f.throughfall + (storage - before) + f.evaporation, 1e-12) << method << " " << i;
            EXPECT_GE(storage, 0.0);
            EXPECT_LE(storage, std::max(cap, before) + 1e-15);
            EXPECT_GE(f.throughfall, 0.0);
            EXPECT_GE(etp, 0.0);
        }
    }
}

TEST(InterceptionPhysics, OverflowReleasesItsShareOfTheTracerUpToTheHighestConcentration) {
    // 2 mm held 1 mm over a capacity of 1: half the mass leaves, unless that exceeds 1 mm x max.
    EXPECT_NEAR(ReleasedTracerMass(10, 2, 1, 100), 5, 1e-12);
    EXPECT_NEAR(ReleasedTracerMass(10, 2, 1, 3), 3, 1e-12);
    EXPECT_EQ(ReleasedTracerMass(10, 0.5, 1, 100), 0.0);
    EXPECT_EQ(ReleasedTracerMass(10, 0, 0, 100), 0.0);
}
