// Heat transfer settings that would stall the sub-step count are refused when the model is built.
#include <gtest/gtest.h>

#include "unsatzon_fixture.hpp"

using namespace soil_test;

TEST_F(SoilModelTest, HeatSubstepLengthsMustBePositive) {
    AddGrid("temperature", 0.0);
    struct Case {
        const char* from;
        const char* to;
        unsigned code;
    };
    const Case cases[] = {{"60 dTModShortestStep ", "0 dTModShortestStep ", 17},
                          {"1800 dTModLongestStep ", "-5 dTModLongestStep ", 17},
                          {"60 dTModShortestStep ", "30 dTModShortestStep ", 0},
                          // Capacities, densities and conductivities no soil or water can have.
                          {"800 dTModCDrySoil ", "-800 dTModCDrySoil ", 17},
                          {"0.5562 dTModLamWat ", "0 dTModLamWat ", 17},
                          {"1 dTModNFactorThawing ", "-1 dTModNFactorThawing ", 17}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.to);
        std::string heat = HeatSection();
        const std::size_t at = heat.find(c.from);
        ASSERT_NE(at, std::string::npos) << heat;
        heat.replace(at, std::string(c.from).size(), c.to);
        console_.str("");
        model_.reset();
        EXPECT_EQ(Build(SoilSection{}.Text() + heat), c.code) << console_.str();
        if (c.code != 0) {
            EXPECT_TRUE(Logged(std::string(c.to).substr(std::string(c.to).find(' ')) + "unsatzon_model"));
        }
    }
}
