// Every sub-model that this build does not have: switched off it is inert, switched on it stops
// the construction loudly with a code of its own.
#include <gtest/gtest.h>

#include <functional>
#include <set>

#include "driver_fixtures.hpp"
#include "meteo/meteoint.hpp"
#include "setup/tracer_ini.hpp"

using namespace driver_test;

namespace {

struct Module {
    std::string section;
    int code;
    // Builds the module; returns the constructor's error code.
    std::function<unsigned(DiagLog*, const SubmodelSettings&)> build;
};

template <class T, class... Extra>
std::function<unsigned(DiagLog*, const SubmodelSettings&)> Builder(Extra... extra) {
    return [=](DiagLog* log, const SubmodelSettings& s) {
        unsigned error = 0;
        T module(error, log, s, extra...);
        if (error == 0) {
            module.run(24, 1, 1, 2020);
            EXPECT_EQ(module.GetFlowControl(), 0);
        }
        return error;
    };
}

std::vector<Module> Modules() {
    return {
    };
}

using UnavailableModulesTest = DomainTest;

}  // namespace

TEST_F(UnavailableModulesTest, SwitchedOffTheyAreInert) {
    WriteShared("test.ctl", ControlFile());
    for (const Module& m : Modules()) EXPECT_EQ(m.build(log_.get(), settings_), 0u) << m.section;
    // Without their sections they are off as well.
    WriteShared("test.ctl", "[precipitation_correction]\n0\n");
    for (const Module& m : Modules()) EXPECT_EQ(m.build(log_.get(), settings_), 0u) << m.section;
}

TEST_F(UnavailableModulesTest, SwitchedOnTheyRefuseWithTheirOwnCode) {
    std::set<int> codes;
    for (const Module& m : Modules()) {
        WriteShared("test.ctl", ControlFile("[" + m.section + "]\n1 flow control\n60 time step\n\n"));
        console_.str("");
        EXPECT_EQ(m.build(log_.get(), settings_), static_cast<unsigned>(m.code)) << m.section;
        EXPECT_TRUE(Logged("module " + m.section + " is not implemented"));
        codes.insert(m.code);
    }
    EXPECT_EQ(codes.size(), Modules().size());
}

TEST_F(UnavailableModulesTest, TracerDescriptionsAreRead) {
    int count = -1;
    const TracerDescriptor* d = nullptr;
    unsigned error = 0;
    WriteShared("test.ctl", ControlFile());
    tracer_ini_class none(error, log_.get(), "test.ctl", false, false, ObjectRecord{}, count, d);
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(count, 0);
    WriteShared("test.ctl", ControlFile("[substance_transport]\n10 number of tracers\n\n"));
    tracer_ini_class tooMany(error, log_.get(), "test.ctl", false, false, ObjectRecord{}, count, d);
    EXPECT_EQ(error, 58u);
    WriteShared("test.ctl", ControlFile("[substance_transport]\n1 number of tracers\ncl_ radioactive\n\n"));
    tracer_ini_class one(error, log_.get(), "test.ctl", false, false, ObjectRecord{}, count, d);
    EXPECT_EQ(error, 56u);
    EXPECT_TRUE(Logged("need a \"half_time = xxxx d\" sequence!"));
}
