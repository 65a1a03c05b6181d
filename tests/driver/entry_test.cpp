#include <gtest/gtest.h>

#include "driver/entry.hpp"
#include "driver/mpi_start.hpp"

#include <cstdlib>
#include <optional>
#include <string>

TEST(ProgramOptions, DiagLevelWordsAreComparedUpperCasedAndUnknownOnesMeanDebug) {
    const std::pair<const char*, int> cases[] = {{"fatal", 0}, {"Error", 1}, {"WARNING", 2}, {"info", 3},
                                                 {"DEBUG", 4}, {"", 4},      {"verbose", 4}};
    for (const auto& [word, level] : cases) EXPECT_EQ(DiagLevelFromWord(word), level) << word;
    std::string s = "mIxEd-1ä";
    EXPECT_EQ(ToUpperCopy(s), "MIXED-1ä");
    EXPECT_EQ(s, "MIXED-1ä");
}

// The device scan of the MPI library's topology is skipped unless the user chose components.
TEST(ProgramStart, DeviceDiscoveryIsSkippedOnlyWhereTheUserLeftTheComponentsOpen) {
    const char* before = std::getenv("HWLOC_COMPONENTS");
    const std::optional<std::string> saved = before ? std::optional<std::string>(before) : std::nullopt;
    unsetenv("HWLOC_COMPONENTS");
    SkipDeviceDiscovery();
    ASSERT_NE(std::getenv("HWLOC_COMPONENTS"), nullptr);
    EXPECT_STREQ(std::getenv("HWLOC_COMPONENTS"), "-pci,-linuxio");
    for (const char* mine : {"no_os,stop", ""}) {
        setenv("HWLOC_COMPONENTS", mine, 1);
        SkipDeviceDiscovery();
        EXPECT_STREQ(std::getenv("HWLOC_COMPONENTS"), mine);
    }
    if (saved)
        setenv("HWLOC_COMPONENTS", saved->c_str(), 1);
    else
        unsetenv("HWLOC_COMPONENTS");
}
