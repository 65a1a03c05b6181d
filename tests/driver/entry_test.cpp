#include <gtest/gtest.h>

#include "driver/entry.hpp"

TEST(ProgramOptions, DiagLevelWordsAreComparedUpperCasedAndUnknownOnesMeanDebug) {
    const std::pair<const char*, int> cases[] = {{"fatal", 0}, {"Error", 1}, {"WARNING", 2}, {"info", 3},
                                                 {"DEBUG", 4}, {"", 4},      {"verbose", 4}};
    for (const auto& [word, level] : cases) EXPECT_EQ(DiagLevelFromWord(word), level) << word;
    std::string s = "mIxEd-1ä";
    EXPECT_EQ(ToUpperCopy(s), "MIXED-1ä");
    EXPECT_EQ(s, "MIXED-1ä");
}
