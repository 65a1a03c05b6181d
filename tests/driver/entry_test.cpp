#include <gtest/gtest.h>

#include "driver/entry.hpp"

namespace {

TEST(ProgramOptions, DiagLevelWordsAreComparedUpperCased) {
    EXPECT_EQ(DiagLevelFromWord("fatal"), 0);
    EXPECT_EQ(DiagLevelFromWord("Error"), 1);
    EXPECT_EQ(DiagLevelFromWord("WARNING"), 2);
    EXPECT_EQ(DiagLevelFromWord("info"), 3);
    EXPECT_EQ(DiagLevelFromWord("DEBUG"), 4);
    EXPECT_EQ(DiagLevelFromWord(""), 4);
    EXPECT_EQ(DiagLevelFromWord("verbose"), 4);
    std::string s = "mIxEd-1ä";
    EXPECT_EQ(ToUpperCopy(s), "MIXED-1ä");
    EXPECT_EQ(s, "MIXED-1ä");
}

TEST(ProgramOptions, ThreadReportCountsTheThreads) {
    ThreadReport record;
    record.rank = 0;
    PrintOpenMPThreads(&record);
    EXPECT_GE(record.threads, 1);
}

}  // namespace
