// Sections of the control file that nothing reads are named with the nearest known section.
#include <gtest/gtest.h>

#include <sstream>

#include "driver/unread_sections.hpp"
#include "kernel/controlfile.hpp"
#include "kernel/diaglog.hpp"
#include "support/test_support.hpp"

namespace {

TEST(UnreadSections, SectionLinesAreFirstTokensInBrackets) {
    std::istringstream text(
        "Comment [not_a_section]\n[snow_model]\n1 flow [x]\n  [indented]   comment\n[snow_model]\n[]\n"
        "[a[b]]\n[open\nclosed]\n[last]");
    EXPECT_EQ(SectionsOfControlText(text),
              (std::vector<std::string>{"[snow_model]", "[indented]", "[last]"}));
}

TEST(UnreadSections, NearestSectionByEditDistance) {
    const std::vector<std::string> known{"[snow_model]", "[special_output]", "[routing_model]", "[SpinUp]"};
    struct Case {
        const char* name;
        const char* nearest;
    };
    const Case cases[] = {{"[snow_modell]", "[snow_model]"},
                          {"[special_outputs]", "[special_output]"},
                          {"[routingmodel]", "[routing_model]"},
                          {"[spinup]", "[SpinUp]"}};
    for (const Case& c : cases) EXPECT_EQ(NearestSection(c.name, known), c.nearest) << c.name;
    EXPECT_EQ(NearestSection("[x]", {}), "");
}

class UnreadSectionsLog : public talvo_test::TempDirTest {};

TEST_F(UnreadSectionsLog, OneWarningPerSectionNothingLookedFor) {
    const std::string name = "run_" + std::to_string(talvo_test::Rank()) + ".ctl";
    talvo_test::WriteFile(name, "[snow_model]\n1\n[snow_modell]\n1\n[snow_modell]\n[lake_model]\n0\n");
    ClearSectionsSought();
    NoteSectionSought("[snow_model]");
    NoteSectionSought("[lake_model]");
    std::ostringstream console;
    DiagLog log("diag.xml", 4);
    log.SetConsole(console);
    WarnUnreadSections(log, name, "run.ctl");
    const std::string text = console.str();
    const std::string want =
        "section [snow_modell] of run.ctl is read by no module; the nearest known section is [snow_model]";
    ASSERT_NE(text.find(want), std::string::npos) << text;
    EXPECT_EQ(text.find(want), text.rfind(want)) << "one entry per section";
    EXPECT_EQ(text.find("[lake_model] of"), std::string::npos);
    ClearSectionsSought();
}

}  // namespace
