// Tracer descriptions of "[substance_transport]".
#include <gtest/gtest.h>

#include "setup/tracer_ini.hpp"
#include "setup_fixture.hpp"

namespace {
// A complete tracer line; parts can be replaced to break one key.
std::string Line(const std::string& name, const std::string& decay = "non_radioactive",
                 const std::string& maxConc = "max_conc = 2.5 mg/l", const std::string& tail = "") {
    return name + " " + decay + " evaporating min_conc = 0.1 " + maxConc +
           " soilini = 0.3 gwini = 0.4 statcode = 2001 gridcode = 11 path = out/ statext = .sta gridext = .grd" +
           tail + "\n";
}

class TracerTest : public setup_test::SetupTest {
protected:
    // Writes the section with the given count line and tracer lines; returns the error code.
    int Read(const std::string& countLine, const std::string& lines) {
        setup_test::WriteShared("run.ctl", "[other]\n1\n\n[substance_transport]\n" + countLine + "\n" + lines +
                                               "[after]\n");
        unsigned error = 1;
        count_ = -1;
        const TracerDescriptor* descriptors = nullptr;
        tracer_ini_class reader(error, log_.get(), "run.ctl", false, false, ObjectRecord{}, count_, descriptors);
        tracers_.clear();
        if (error == 0) {
            EXPECT_EQ(descriptors, count_ > 0 ? reader.Descriptors() : nullptr);
            tracers_.assign(reader.Descriptors(), reader.Descriptors() + count_ + 1);
        }
        return static_cast<int>(error);
    }

    int count_ = 0;
    std::vector<TracerDescriptor> tracers_;
};

TEST_F(TracerTest, ReadsEveryKeyOfEveryTracer) {
    ASSERT_EQ(Read("2 number of tracers",
                   Line("Cl", "non_radioactive") +
                       Line("Tritium", "radioactive half_time = 4500.5 d non_evaporating", "", " max_conc = 5")),
              0);
    ASSERT_EQ(count_, 2);
    ASSERT_EQ(tracers_.size(), 3u);
    const TracerDescriptor& cl = tracers_[1];
    EXPECT_EQ(cl.name, "cl_");
    EXPECT_EQ(cl.radioactive, 0);
    EXPECT_EQ(cl.half_time, -9999.0);
    EXPECT_EQ(cl.evaporating, 1);
    EXPECT_EQ(cl.min_conc, 0.1);
    EXPECT_EQ(cl.max_conc, 2.5);
    EXPECT_EQ(cl.soilini, 0.3);
    EXPECT_EQ(cl.gwini, 0.4);
    EXPECT_EQ(cl.statcode, 2001);
    EXPECT_EQ(cl.gridcode, 11);
    EXPECT_EQ(cl.path, "out/");
    EXPECT_EQ(cl.statext, ".sta");
    EXPECT_EQ(cl.gridext, ".grd");

    // A max_conc without a unit (only possible at the end of the line, as the next word would be
    // taken for the unit) counts as kg/kg; "non_evaporating" contains "evaporating".
    const TracerDescriptor& tri = tracers_[2];
    EXPECT_EQ(tri.name, "tri");
    EXPECT_EQ(tri.radioactive, 1);
    EXPECT_EQ(tri.half_time, 4500.5);
    EXPECT_EQ(tri.evaporating, 0);
    EXPECT_TRUE(Logged("reading parameters for tracer 2 ..."));
    EXPECT_TRUE(Logged("done."));
}

TEST_F(TracerTest, CountLimits) {
    EXPECT_EQ(Read("0", ""), 0);
    EXPECT_EQ(count_, 0);

    std::string nine;
    for (char c = 'a'; c < 'a' + 9; ++c) nine += Line(std::string(1, c));
    EXPECT_EQ(Read("9", nine), 0);
    EXPECT_EQ(tracers_[9].name, "i__");

    EXPECT_EQ(Read("10", nine + Line("j")), 58);
    EXPECT_TRUE(Logged("not more than 9 tracer species are allowed at one time"));

    // The section is required: without it the control file is in error.
    setup_test::WriteShared("run.ctl", "[other]\n1\n");
    unsigned error = 1;
    int count = -1;
    const TracerDescriptor* descriptors = nullptr;
    tracer_ini_class reader(error, log_.get(), "run.ctl", false, false, ObjectRecord{}, count, descriptors);
    EXPECT_EQ(error, 17u);
    EXPECT_TRUE(Logged("[substance_transport]"));

    // A count of 0 or less: no tracers.
    EXPECT_EQ(Read("0", ""), 0);
    EXPECT_EQ(count_, 0);
    EXPECT_EQ(Read("-2", ""), 0);
    EXPECT_EQ(count_, 0);

    EXPECT_EQ(Read("many", ""), 17);
    EXPECT_TRUE(Logged("error in control file,  number of tracers in ; tracer_ininot found!"));
}

TEST_F(TracerTest, BadLinesNameTheTracerAndTheKey) {
    std::string noGrid = Line("A");
    noGrid.replace(noGrid.find("gridext"), 7, "gridEXT");
    struct Case {
        const char* count;
        std::string lines;
        int code;
        const char* message;
    };
    const Case cases[] = {
        {"2", Line("Nitrate") + Line("NITrogen"), 59,
         "substance #2 and substance #1 have the same\nfirst 3 chars (lowercase) in its name (nit <-> nit)"},
        {"1", Line("Rn", "radioactive half_time = 0 d"), 56, "error in half_time for tracer 1: must be greater than 0!"},
        {"1", Line("Rn", "radioactive half_time = 30 days"), 56,
         "error reading half_time for tracer 1: no \"d\" for measure found!"},
        {"1", Line("Rn", "radioactive"), 56, "error in tracer_info_table tracer 1: need a \"half_time = xxxx d\" sequence!"},
        // Without its own '=' the value is looked for after the '=' of the next key.
        {"1", Line("Rn", "radioactive half_time 5 d"), 56,
         "error reading half_time for tracer 1: no \"d\" for measure found!"},
        {"1", Line("X", "non_radioactive", "max_conc = 5 ppm"), 56,
         "wrong measure (only mg/l, g/l or kg/kg resp. no measure are allowed!)\nread here: ppm"},
        {"1", Line("X", "non_radioactive", "max_conc = high"), 56, "error reading max_conc for tracer 1"},
        {"2", Line("A") + "B evaporating min_conc = 1\n", 56,
         "error reading parameters for tracer 2:\n need a key word \"radioactive\" or \"non_radioactive\"\n(may be, the "
         "number of tracers (2) is wrong?"},
        {"1", "A non_radioactive evaporating max_conc = 1\n", 56,
         "error reading parameters for tracer 1:\nneed a key word \"min_conc = xxxx\""},
        {"1", "A non_radioactive evaporating min_conc x max_conc\n", 56, "error reading min_conc for tracer 1"},
        {"1", "A non_radioactive evaporating min_conc = 1 soilini = 1 gwini = x max_conc = 1 g/l\n", 56,
         "error reading gwini for tracer 1!"},
        {"1", noGrid, 56, "error reading gridext for tracer 1:\nneed a key word \"gridext = xxxx\""},
        {"1", "Rn radioactive evaporating half_time 5 d\n", 56,
         "error reading half_time for tracer 1: no \"half_time =\" found!"},
        {"1", "Rn radioactive evaporating half_time = 5\n", 56, "error reading half_time for tracer 1\n"},
        {"1", "A non_radioactive min_conc = 1\n", 56,
         "error reading parameters for tracer 1:\n need a key word \"evaporating\" or \"non_evaporating\"\n(may be, "
         "the number of tracers (1) is wrong?"},
        {"1", "A non_radioactive evaporating min_conc\n", 56, "error reading min_conc for tracer 1: no \"min_conc =\" found!"},
        {"1", "A non_radioactive evaporating min_conc = 1 max_conc = 1 g/l soilini = x gwini = 1\n", 56,
         "error reading soilini for tracer 1!"},
        // Fewer tracer lines than the count: the next section header is no tracer.
        {"3", Line("A") + Line("B"), 56, "(may be, the number of tracers (3) is wrong?"},
    };
    for (const Case& c : cases) {
        console_.str("");
        EXPECT_EQ(Read(c.count, c.lines), c.code) << c.lines;
        EXPECT_TRUE(Logged(c.message)) << c.message;
    }
    EXPECT_EQ(Read("1", Line("X", "non_radioactive", "max_conc = 7 Kg/Kg")), 0);
    EXPECT_EQ(tracers_[1].max_conc, 7.0);
}

}  // namespace
