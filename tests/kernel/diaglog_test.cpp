#include <gtest/gtest.h>

#include <sstream>

#include "kernel/diaglog.hpp"
#include "support/test_support.hpp"

using talvo_test::ReadFile;

namespace {

class DiagLogTest : public talvo_test::TempDirTest {
protected:
    // Lines of the diagnostics file between the start and the finish line.
    static std::string Body(const std::string& file) {
        const std::string text = ReadFile(file);
        const auto start = text.find("\n", text.find("Talvo start at")) + 1;
        const auto finish = text.rfind("\t<line level=\"3\" description= \"Talvo finished at");
        return text.substr(start, finish - start);
    }
};

TEST(DiagLogNames, ProcessNumberGoesBeforeTheLastDotOfTheLastComponent) {
    EXPECT_EQ(DiagLog::ProcessFileName("Talvo_Diag.xml", 3), "Talvo_Diag_3.xml");
    EXPECT_EQ(DiagLog::ProcessFileName("out/run.diag.xml", 0), "out/run.diag_0.xml");
    EXPECT_EQ(DiagLog::ProcessFileName("run.d/diag", 0), "run.d/diag_0.xml");
    EXPECT_EQ(DiagLog::ProcessFileName("diag", 12), "diag_12.xml");
}

TEST(DiagLogNames, EscapingFollowsTheFileRules) {
    EXPECT_EQ(DiagLog::Escape("a<b & 'c'"), "a&lt;b &amp; &apos;c&apos;");
    EXPECT_EQ(DiagLog::Escape("x\"y\"\nz>"), "x&quot;y&quot;;z&gt;");
    EXPECT_EQ(DiagLog::Escape("----"), "--");
    EXPECT_EQ(DiagLog::Escape("a---b-----c"), "a--b--c");
    EXPECT_EQ(DiagLog::Escape("&amp;"), "&amp;amp;");
}

TEST_F(DiagLogTest, WritesHeaderEntriesAndFinish) {
    std::ostringstream console;
    {
        DiagLog log("", 4);
        log.SetConsole(console);
        EXPECT_EQ(log.FileName(), "Talvo_Diag_" + std::to_string(talvo_test::Rank()) + ".xml");
        log << "FATAL: error in control file, " << "mykey" << "; " << "snow_model" << "not found!" << "[end-entry]";
        log << "WARNING: value " << 12 << " and " << 2.5 << "[end-entry]";
    }
    EXPECT_EQ(console.str(), "error in control file, mykey; snow_modelnot found!\nvalue 12 and 2.5\n");
    const std::string file = ReadFile("Talvo_Diag_" + std::to_string(talvo_test::Rank()) + ".xml");
    EXPECT_EQ(file.rfind("<?xml version='1.0' encoding='UTF-8'?>\n<Diag version=\"1.2\" xmlns=", 0), 0u);
    EXPECT_NE(file.find("\t<line level=\"3\" description= \"Talvo start at "), std::string::npos);
    EXPECT_EQ(Body("Talvo_Diag_" + std::to_string(talvo_test::Rank()) + ".xml"),
              "\t<line level=\"0\" description= \"error in control file, mykey; snow_modelnot found!\"/>\n"
              "\t<line level=\"2\" description= \"value 12 and 2.5\"/>\n");
    EXPECT_EQ(file.substr(file.size() - 8), "</Diag>\n");
}

TEST_F(DiagLogTest, LevelFilterKeepsLowEntriesOnTheConsoleOnly) {
    std::ostringstream console;
    const std::string name = "levels.xml";
    {
        DiagLog log(name, 2);
        log.SetConsole(console);
        log << "INFO: info " << 7 << " text" << "[end-entry]";
        log << "DEBUG: debug" << std::string(" more") << "[end-entry]";
        log << "SKIP: menu" << "[end-entry]";
        log << "ERROR: kept" << "[end-entry]";
        log << 5 << "[end-entry]";  // a number opens a level-4 entry: filtered
    }
    EXPECT_EQ(console.str(), "info 7 text\ndebug more\nmenu\nkept\n5\n");
    EXPECT_EQ(Body(DiagLog::ProcessFileName(name, talvo_test::Rank())),
              "\t<line level=\"1\" description= \"kept\"/>\n");
}

TEST_F(DiagLogTest, EntriesEndOnlyAtTheMarkAsSuffixAndPrefixesCloseOpenEntries) {
    std::ostringstream console;
    const std::string name = "entries.xml";
    {
        DiagLog log(name, 4);
        log.SetConsole(console);
        log << "INFO: a [end-entry] in the middle";  // no end: the mark is not a suffix
        log << "INFO: second" << "[end-entry]";       // a new prefix closes the open entry
        log << 42 << "[end-entry]";
        log << "WARNING: a<b & 'c' ----" << "[end-entry]";
        log << "INFO: left open";
    }
    EXPECT_EQ(Body(DiagLog::ProcessFileName(name, talvo_test::Rank())),
              "\t<line level=\"3\" description= \"a [end-entry] in the middle\"/>\n"
              "\t<line level=\"3\" description= \"second\"/>\n"
              "\t<line level=\"4\" description= \"42\"/>\n"
              "\t<line level=\"2\" description= \"a&lt;b &amp; &apos;c&apos; --\"/>\n"
              "\t<line level=\"3\" description= \"left open\"/>\n");
}

TEST_F(DiagLogTest, UnopenableFileFallsBackToThePerProcessDefault) {
    std::ostringstream console;
    {
        DiagLog log("no/such/dir/diag.xml", 4);
        EXPECT_EQ(log.FileName(), "Talvo_Diag_" + std::to_string(talvo_test::Rank()) + ".xml");
        log.SetConsole(console);
        log << "INFO: here" << "[end-entry]";
    }
    EXPECT_NE(ReadFile("Talvo_Diag_" + std::to_string(talvo_test::Rank()) + ".xml").find("here"), std::string::npos);
}

}  // namespace
