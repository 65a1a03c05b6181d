#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "kernel_fixture.hpp"

using talvo_test::ErrorCode;

namespace {

// A model object whose control file is opened from text.
class ModelObjectTest : public talvo_test::KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        obj_->SetModuleName("snow_model");
    }
    void Control(const std::string& text) {
        const std::string name = "ctl_" + std::to_string(talvo_test::Rank()) + ".txt";
        talvo_test::WriteFile(name, text);
        obj_->controlFile = OpenFile(name, "r");
        ASSERT_TRUE(obj_->controlFile);
    }
};

TEST(Matrices, OwnRowsAllocatedOthersNull) {
    memory_handling mh;
    Matrix m = mh.matrix(5, 8, 1, 7, 20);
    ASSERT_EQ(m.rowCount(), 20);
    for (int r = 0; r <= 20; ++r) EXPECT_EQ(m.holds(r), r >= 5 && r <= 8) << r;
    for (int r = 5; r <= 8; ++r)
        for (int c = 0; c <= 7; ++c) EXPECT_EQ(m[r][c], 0.0);
    m[8][7] = 3.0;  // the last cell of the last row is inside the allocation
    EXPECT_EQ(m[8][7], 3.0);
    // Rows carved from shared blocks must not overlap.
    Matrix big = mh.matrix(1, 3000, 1, 999, 3000);
    for (int r = 1; r <= 3000; ++r) big[r][999] = r;
    for (int r = 1; r <= 3000; ++r) ASSERT_EQ(big[r][999], r);
    EXPECT_EQ(big[1][0], 0.0);
    Matrix tail = mh.matrix(2, 4, 1, 3, 0);
    EXPECT_EQ(tail.rowCount(), 4);
}

TEST(Matrices, StacksHoldContiguousLevelsPerRow) {
    memory_handling mh;
    Stack s = mh.matrix3d(2, 3, 1, 4, 0, 5);
    ASSERT_TRUE(s.holds(2));
    EXPECT_FALSE(s.holds(1));
    EXPECT_EQ(s[2][1] + 1, s[2][2]);  // zero levels: one value per cell
    Stack t = mh.matrix3d(1, 1, 1, 3, 2, 1);
    EXPECT_EQ(t[1][2], t.rowBlock(1) + 2 * 3);
    t[1][3][2] = 9;
    EXPECT_EQ(t.rowBlock(1)[3 * 3 + 2], 9);
}

TEST_F(ModelObjectTest, TooLongMatrixRowsFail) {
    EXPECT_EQ(ErrorCode([&] { obj_->matrix(1, 1, 1, 300000000, 1); }), 1);
    EXPECT_NE(Console().find("too long matrix rows"), std::string::npos);
}

TEST(Numbers, HalvingCount) {
    for (auto [x, n] : {std::pair{1.0, 0}, {0.5, 0}, {5.0, 3}, {1024.0, 10}})
        EXPECT_EQ(memory_handling::HalvingCount(x), n) << x;
}

TEST_F(ModelObjectTest, RunningStatistics) {
    double n, mn, mx, sum, mean, sd;
    obj_->ResetStatistics(-9999);
    obj_->GetStatistics(&n, &mn, &mx, &sum, &mean, &sd);
    EXPECT_EQ(mean, -9999);
    obj_->AddToStatistics(-9998.5, 1);  // not above threshold + 1
    obj_->AddToStatistics(4, 0.5);      // the first value sets both extremes whatever its weight
    obj_->AddToStatistics(2, 1.5);
    obj_->GetStatistics(&n, &mn, &mx, &sum, &mean, &sd);
    EXPECT_EQ(std::vector<double>({n, mn, mx, sum, mean, sd}), std::vector<double>({2, 2, 4, 5, 2.5, -9999}));
    obj_->ResetStatistics(-9999);
    for (double x : {1.0, 2.0, 3.0, 4.0}) obj_->AddToStatistics(x, 1);
    obj_->GetStatistics(&n, &mn, &mx, &sum, &mean, &sd);
    EXPECT_NEAR(sd, std::sqrt(5.0 / 3.0), 1e-12);
    obj_->ResetStatistics(-9999);
    for (int i = 0; i < 3; ++i) obj_->AddToStatistics(0.1, 1);  // variance rounds to <= 0
    obj_->GetStatistics(&n, &mn, &mx, &sum, &mean, &sd);
    EXPECT_EQ(sd, 0.0);
    EXPECT_EQ(obj_->Interpolate(1, 7, 1, 9, 5), 7);
    EXPECT_EQ(obj_->Interpolate(0, 0, 2, 4, 3), 6);  // extrapolates
}

TEST_F(ModelObjectTest, SeekSectionFindsFirstTokensOnly) {
    Control("x [snow_model]\n   [snow_model] comment\n 12.5   the value\n abc\n");
    EXPECT_EQ(obj_->SeekSection("[snow_model]", true), 1);
    double v = 0;
    std::string rest;
    EXPECT_EQ(obj_->ReadValue(obj_->ControlStream(), "%lf", &v, "value", &rest), 1);
    EXPECT_EQ(v, 12.5);
    EXPECT_EQ(rest, "   the value\n");
    EXPECT_EQ(ErrorCode([&] { obj_->ReadValue(obj_->ControlStream(), "%lf", &v, "second", &rest); }), 17);
    EXPECT_NE(Console().find("Next line in Talvo control file: \nabc\n"), std::string::npos);
    EXPECT_NE(Console().find("error in control file, second; snow_modelnot found!"), std::string::npos);
}

TEST_F(ModelObjectTest, AWordMissingAtTheEndOfTheFileIsFatal) {
    Control("[names]\nfirst.asc name of the first grid\n");
    ASSERT_EQ(obj_->SeekSection("[names]", true), 1);
    std::string word;
    EXPECT_EQ(obj_->ReadValue(obj_->ControlStream(), "%s", &word, "first grid"), 1);
    EXPECT_EQ(word, "first.asc");
    EXPECT_EQ(ErrorCode([&] { obj_->ReadValue(obj_->ControlStream(), "%s", &word, "second grid"); }), 17);
    EXPECT_NE(Console().find("Next line in Talvo control file: \n"), std::string::npos);
    EXPECT_NE(Console().find("error in control file, second grid;"), std::string::npos) << Console();
}

TEST_F(ModelObjectTest, MissingSectionIsFatalOnlyWhenAsked) {
    Control("[a]\n1\n[last_line_without_end]");
    EXPECT_EQ(obj_->SeekSection("[b]", false), 0);
    EXPECT_EQ(obj_->SeekSection("[last_line_without_end]", false), 0);
    EXPECT_EQ(ErrorCode([&] { obj_->SeekSection("[snow_model]", true); }), 17);
    EXPECT_NE(Console().find("error in control file, [snow_model]; (EOF)not found!"), std::string::npos);
}

// A control file too large to keep an index of its sections is searched line by line, with
// the same results.
TEST_F(ModelObjectTest, LargeControlFileIsSearchedLikeASmallOne) {
    std::string filler;
    for (int i = 0; i < 300000; ++i) filler += "  filler line\n";  // 4.2 MB
    Control("x [snow_model]\n   [snow_model] comment\n 12.5   the value\n" + filler +
            "[a]\n1\n[last_line_without_end]");
    double v = 0;
    EXPECT_EQ(obj_->SeekSection("[snow_model]", true), 1);
    EXPECT_EQ(obj_->ReadValue(obj_->ControlStream(), "%lf", &v, "value"), 1);
    EXPECT_EQ(v, 12.5);
    EXPECT_EQ(obj_->SeekSection("[a]", true), 1);
    EXPECT_EQ(obj_->ReadValue(obj_->ControlStream(), "%lf", &v, "value"), 1);
    EXPECT_EQ(v, 1);
    EXPECT_EQ(obj_->SeekSection("[b]", false), 0);
    EXPECT_EQ(obj_->SeekSection("[last_line_without_end]", false), 0);
    EXPECT_EQ(ErrorCode([&] { obj_->SeekSection("[c]", true); }), 17);
    EXPECT_NE(Console().find("error in control file, [c]; (EOF)not found!"), std::string::npos);
}

// Searches that follow one another on a file that changes, on a second stream of the same file
// and behind a token too long to read: each, found or not, leaves the stream where a search from
// the file's start leaves it.
TEST_F(ModelObjectTest, SeekSectionFollowsTheFileAsItIsNow) {
    double v = 0;
    auto valueAfter = [&](const std::string& section) {
        v = 0;
        if (obj_->SeekSection(section, false) != 1) return -1.0;
        obj_->ReadValue(obj_->ControlStream(), "%lf", &v, "value");
        return v;
    };
    Control("[a]\n1\n[b]\n2\n[a]\n3\n");
    EXPECT_EQ(valueAfter("[b]"), 2);
    EXPECT_EQ(valueAfter("[a]"), 1);
    // The same name and length with other lines: the places of the old text no longer hold.
    Control("[b]\n5\n[a]\n6\n[c]\n7\n");
    EXPECT_EQ(valueAfter("[a]"), 6);
    EXPECT_EQ(valueAfter("[b]"), 5);
    EXPECT_EQ(valueAfter("[d]"), -1);
    EXPECT_TRUE(std::feof(obj_->ControlStream()));
    // A second stream of the same file and the first one again.
    FileHandle first = std::move(obj_->controlFile);
    obj_->controlFile = OpenFile("ctl_" + std::to_string(talvo_test::Rank()) + ".txt", "r");
    EXPECT_EQ(valueAfter("[c]"), 7);
    obj_->controlFile = std::move(first);
    EXPECT_EQ(valueAfter("[c]"), 7);
    // A token longer than a line ends every search behind it, also for sections found before.
    Control("[a]\n8\n" + std::string(1300, 'y') + "\n[b]\n9\n");
    EXPECT_EQ(valueAfter("[a]"), 8);
    EXPECT_EQ(valueAfter("[b]"), -1);
    std::string next;
    EXPECT_EQ(obj_->ReadValue(obj_->ControlStream(), "%s", &next, "next"), 1);
    EXPECT_EQ(next, "[b]");
    EXPECT_EQ(valueAfter("[a]"), 8);
    // A header line longer than a line leaves the stream inside it, as the reading of lines does.
    Control("[a] " + std::string(1300, ' ') + "10\n11\n");
    EXPECT_EQ(valueAfter("[a]"), 10);
}

TEST_F(ModelObjectTest, PairsAndTokensAreReadBounded) {
    Control("[s]\n3 4 pair\n" + std::string(1300, 'x') + "\n");
    ASSERT_EQ(obj_->SeekSection("[s]", true), 1);
    long a = 0, b = 0;
    EXPECT_EQ(obj_->ReadTwoValues(obj_->ControlStream(), "%ld %ld", &a, &b, "pair"), 2);
    EXPECT_EQ(a + b, 7);
    std::string token;
    EXPECT_EQ(ErrorCode([&] { obj_->ReadValue(obj_->ControlStream(), "%s", &token, "name"); }), 17);
}

TEST_F(ModelObjectTest, ReadAndWriteErrorsCarryTheirCodesAndDeletionIsLogged) {
    EXPECT_EQ(ErrorCode([&] { obj_->ReadError("f.txt", 3); }), 19);
    EXPECT_EQ(ErrorCode([&] { obj_->WriteError("g.txt", 4); }), 18);
    EXPECT_NE(Console().find("read error f.txt ! (3)"), std::string::npos);
    EXPECT_NE(Console().find("write error g.txt ! (4)"), std::string::npos);
    obj_.reset();
    EXPECT_NE(Console().find("deleting module snow_model"), std::string::npos);
}

TEST_F(ModelObjectTest, TextLogOnProcessZeroOnly) {
    obj_->WriteLog("first");
    obj_->WriteLog("second");
    MPI_Barrier(MPI_COMM_WORLD);
    const std::string text = talvo_test::ReadFile("modell_0.log");
    // Two records of two lines each: the ctime line, then ": " and the message.
    ASSERT_EQ(std::count(text.begin(), text.end(), '\n'), 4);
    EXPECT_NE(text.find("\n: first\n"), std::string::npos);
    EXPECT_NE(text.find("\n: second\n"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists("modell_1.log"));
}

}  // namespace
