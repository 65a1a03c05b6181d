#pragma once
// Helpers shared by the tests: a fresh working directory per test (the system writes into the
// current directory), the same on every MPI process, and small file utilities.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace talvo_test {

int Rank();
int Size();

// Reads a whole file (empty when it does not exist).
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& text);

// Every test that touches files derives from this fixture: it creates one directory for all
// processes (made by process 0, name broadcast), changes into it and goes back afterwards.
class TempDirTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::filesystem::path dir_;
    std::filesystem::path oldDir_;
};

}  // namespace talvo_test
