// Numbers that are no numbers: NaN, infinite and negative-count values of the control file and
// NaN, infinite or surplus cell values of grid files stop the reading with the reader's code.
// Values no basin can have: the shared range check, the unknown method check, the row reader
// that takes one line with exactly the values of a table row, and the writers that refuse to
// put a NaN or infinite value into a grid or stack.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>

#include "grid_scenario.hpp"
#include "kernel/valuebound.hpp"
#include "kernel_fixture.hpp"

using talvo_test::Binary;
using talvo_test::ErrorCode;
using talvo_test::Rank;
using talvo_test::Share;

namespace {

class NonFiniteInputTest : public talvo_test::KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        obj_->SetModuleName("snow_model");
    }
    void Control(const std::string& text) {
        const std::string name = "ctl_" + std::to_string(Rank()) + ".txt";
        talvo_test::WriteFile(name, text);
        obj_->controlFile = OpenFile(name, "r");
        ASSERT_TRUE(obj_->controlFile);
    }
    bool Logged(const std::string& text) const { return Console().find(text) != std::string::npos; }
};

TEST_F(NonFiniteInputTest, EveryReaderOfControlFileNumbersRefusesNonFiniteValues) {
    struct Case {
        const char* value;
        int code;  // of ReadValue with "%lf"
    };
    const Case cases[] = {{"12.5 comment", 0}, {"nan", 17}, {"-inf", 17}, {"INFINITY", 17}, {"1e999", 17},
                          {"-1e-320", 0}};
    for (const Case& c : cases) {
        ClearConsole();
        Control(std::string("[snow_model]\n") + c.value + "\n");
        obj_->SeekSection("[snow_model]", true);
        double d = 0;
        EXPECT_EQ(ErrorCode([&] { obj_->ReadValue(obj_->ControlStream(), "%lf", &d, "C0 in "); }), c.code) << c.value;
        if (c.code != 0) {
            EXPECT_TRUE(Logged("error in control file, C0 in ; snow_model: the value ")) << c.value;
            EXPECT_TRUE(Logged(" in section [snow_model] is not a finite number!")) << Console();
        }
        // The single-precision reader and the optional reader apply the same check.
        Control(std::string("[snow_model]\n") + c.value + "\n");
        obj_->SeekSection("[snow_model]", true);
        float f = 0;
        const int floatCode = ErrorCode([&] { obj_->ReadValue(obj_->ControlStream(), "%f", &f, "C0 in "); });
        if (c.code != 0) {
            EXPECT_EQ(floatCode, 17) << c.value;
        }
        Control(std::string("[snow_model]\n") + c.value + "\n");
        obj_->SeekSection("[snow_model]", true);
        EXPECT_EQ(ErrorCode([&] { obj_->ReadOptionalValue(obj_->ControlStream(), "%lf", &d, "minutes"); }), c.code)
            << c.value;
    }
}

TEST_F(NonFiniteInputTest, PairsOptionalValuesAndCountsAreCheckedInTheSharedReader) {
    Control("[coordinates]\n1.5 nan pair\nabc\n\n[standard_grids]\n-1 grids\n0 none\n");
    obj_->SeekSection("[coordinates]", true);
    double a = 0, b = 0;
    EXPECT_EQ(ErrorCode([&] { obj_->ReadTwoValues(obj_->ControlStream(), "%lf%lf", &a, &b, "pair"); }), 17);
    EXPECT_TRUE(Logged("the value nan in section [coordinates] is not a finite number"));
    // A value that is absent leaves the target alone and is no error.
    double optional = 7;
    EXPECT_EQ(obj_->ReadOptionalValue(obj_->ControlStream(), "%lf", &optional, "optional"), 0);
    EXPECT_EQ(optional, 7);
    EXPECT_EQ(obj_->CurrentSection(), "[coordinates]");

    obj_->SeekSection("[standard_grids]", true);
    int count = 0;
    // Where a count of 0 or less means that nothing follows, -1 reads as 0.
    const long at = std::ftell(obj_->ControlStream());
    obj_->ReadCountOrNone(obj_->ControlStream(), &count, "number of grids");
    EXPECT_EQ(count, 0);
    std::fseek(obj_->ControlStream(), at, SEEK_SET);
    count = 5;
    EXPECT_EQ(ErrorCode([&] { obj_->ReadCount(obj_->ControlStream(), &count, "number of grids"); }), 17);
    EXPECT_TRUE(Logged("error in control file, number of grids; snow_model: the count -1 in section "
                       "[standard_grids] is below 0!"));
    EXPECT_EQ(obj_->ReadCount(obj_->ControlStream(), &count, "number of grids"), 1);
    EXPECT_EQ(count, 0);
}

TEST_F(NonFiniteInputTest, SoughtSectionsAreRemembered) {
    ClearSectionsSought();
    Control("[a]\n1\n");
    obj_->SeekSection("[a]", true);
    obj_->SeekSection("[missing]", false);
    obj_->SeekSection("[a]", true);
    EXPECT_EQ(SectionsSought(), (std::vector<std::string>{"[a]", "[missing]"}));
    EXPECT_TRUE(SectionWasSought("[missing]"));
    EXPECT_FALSE(SectionWasSought("[b]"));
    ClearSectionsSought();
    EXPECT_TRUE(SectionsSought().empty());
}

const char* const kHeader = "ncols 5\nnrows 4\nxllcorner 100\nyllcorner 200\ncellsize 50\nnodata_value -9999\n";

TEST_F(NonFiniteInputTest, TextGridsWithNonFiniteOrSurplusValuesAreReadErrors) {
    struct Case {
        const char* name;
        const char* values;
        int code;
        const char* message;
    };
    const Case cases[] = {
        {"nan.asc", "1 2 3 4 5\n6 7 nan 9 10\n11 12 13 14 15\n16 17 18 19 20\n", 22,
         "error reading ascii grid nan.asc: value nan in row 2, col 3 is not a finite number"},
        {"inf.asc", "1 2 3 4 5\n6 7 8 9 10\n11 12 13 14 15\n16 17 18 19 -inf\n", 22,
         "error reading ascii grid inf.asc: value -inf in row 4, col 5 is not a finite number"},
        {"extra.asc", "1 2 3 4 5 5.5\n6 7 8 9 10\n11 12 13 14 15\n16 17 18 19 20\n", 22,
         "error reading ascii grid extra.asc: it holds more than ncols x nrows = 5 x 4 values (next: 20)"},
        {"tail.asc", "1 2 3 4 5\n6 7 8 9 10\n11 12 13 14 15\n16 17 18 19 20\nend\n", 22,
         "it holds more than ncols x nrows = 5 x 4 values (next: end)"},
        {"junk.asc", "1 2 3 4 5\n6 7 8abc 9 10\n11 12 13 14 15\n16 17 18 19 20\n", 22,
         "error reading ascii grid junk.asc in ASCII-Format in row 2, col 4"},
        {"short.asc", "1 2 3 4 5\n6 7 8 9 10\n11 12 13 14 15\n16 17 18 19\n", 22,
         "error reading ascii grid short.asc in ASCII-Format in row 4, col 5"},
        {"wrapped.asc", "1 2 3\n4 5\n6\n7 8 9 10 11 12\n13 14 15 16 17 18 19\n20\n\n  \n", 0, ""},
    };
    for (const Case& c : cases) {
        ClearConsole();
        Share(c.name, std::string(kHeader) + c.values);
        Matrix g;
        EXPECT_EQ(ErrorCode([&] { obj_->ReadGrid(c.name, &g); }), c.code) << c.name;
        if (Rank() == 0 && c.code != 0) {
            EXPECT_TRUE(Logged(c.message)) << Console();
        }
        if (Rank() == 0 && c.code == 0) {
            EXPECT_EQ(g[2][1], 6);
            EXPECT_EQ(g[4][5], 20);
        }
    }
}

TEST_F(NonFiniteInputTest, BinaryGridsWithNonFiniteValuesAreReadErrors) {
    std::vector<double> header{5, 4, 100, 200, 50, -9999, 0, 0, 0, 0, 0, 0}, values(20, 1.0);
    values[7] = std::numeric_limits<double>::quiet_NaN();  // row 2, column 3
    for (bool doubles : {true, false}) {
        Share("nan.bin", doubles ? Binary<double>(header) + Binary<double>(values)
                                 : Binary<float>(header) + Binary<float>(values));
        for (bool keepWhole : {true, false}) {
            ClearConsole();
            Matrix g;
            EXPECT_EQ(ErrorCode([&] { obj_->ReadGrid("nan.bin", &g, 0, true, false, 0, false, keepWhole); }), 22)
                << doubles << keepWhole;
            if (Rank() == 0) {
                EXPECT_TRUE(Logged(std::string("error reading ") + (doubles ? "double" : "float") +
                                   " grid nan.bin: value nan in row 2, col 3 is not a finite number"))
                    << Console();
            }
        }
    }
}

TEST_F(NonFiniteInputTest, StacksWithNonFiniteValuesAreReadErrors) {
    const std::string textHeader = "stack_ncols 5\nnrows 4\nxll 100\nyll 200\ncs 50\nnodata -9999\ncnt 0\nmin 0\n"
                                   "max 0\nsum 0\naverage 0\nnumlevels 1\n";
    std::string values;
    for (int i = 1; i <= 40; ++i) values += (i == 14 ? std::string("nan") : std::to_string(i)) + "\n";
    Share("nan.stk", textHeader + values);
    Stack st;
    EXPECT_EQ(ErrorCode([&] { obj_->ReadStack("nan.stk", &st); }), 22);
    if (Rank() == 0) {
        EXPECT_TRUE(Logged("error reading ascii stack nan.stk: value nan at row 2, column 2, level 1 is not a finite "
                           "number"))
            << Console();
    }
    std::vector<double> header{5, 4, 100, 200, 50, -9999, 0, 0, 0, 0, 0, 1}, cells(40, 1.0);
    cells[33] = std::numeric_limits<double>::infinity();  // row 4, column 2, level 1
    Share("inf.stk", Binary<double>(header) + Binary<double>(cells));
    for (bool whole : {true, false}) {
        ClearConsole();
        EXPECT_EQ(ErrorCode([&] { obj_->ReadStack("inf.stk", &st, whole); }), 22) << whole;
        if (Rank() == 0) {
            EXPECT_TRUE(Logged("error reading double stack inf.stk: value inf at row 4, column 2, level 1")) << Console();
        }
    }
}

TEST_F(NonFiniteInputTest, RangesHoldTheirEndsAsDeclaredAndRefuseNaN) {
    EXPECT_FALSE(bound::Positive.Holds(0));
    EXPECT_TRUE(bound::Positive.Holds(1e-300));
    EXPECT_TRUE(bound::NonNegative.Holds(0));
    EXPECT_FALSE(bound::NonNegative.Holds(-1e-300));
    EXPECT_TRUE(bound::Fraction.Holds(1));
    EXPECT_FALSE(bound::Fraction.Holds(1.0000001));
    EXPECT_TRUE(bound::Below(2).Holds(1.999));
    EXPECT_FALSE(bound::Below(2).Holds(2));
    EXPECT_FALSE(bound::Fraction.Holds(std::numeric_limits<double>::quiet_NaN()));
    EXPECT_EQ(bound::Positive.Text(), "> 0");
    EXPECT_EQ(bound::AtLeast(1).Text(), ">= 1");
    EXPECT_EQ(bound::Below(2).Text(), "< 2");
    EXPECT_EQ(bound::Within(0, 1).Text(), "in [0, 1]");
}

TEST_F(NonFiniteInputTest, ABoundedValueOutsideIsFatalNamingSectionKeyValueAndRange) {
    Control("[snow_model]\n-2.5  C0\n0.35 CWH\n35 CWH\n");
    obj_->SeekSection("[snow_model]", true);
    double v = 0;
    EXPECT_EQ(ErrorCode([&] { obj_->ReadBoundedValue(obj_->ControlStream(), "%lf", &v, "C0 for ", bound::NonNegative); }),
              17);
    EXPECT_TRUE(Logged("error in control file, C0 for ; snow_model: the value -2.5 in section [snow_model] "
                       "must be >= 0!"));
    // The reader stands on the next line after a value it refused as after one it took.
    EXPECT_EQ(obj_->ReadBoundedValue(obj_->ControlStream(), "%lf", &v, "CWH for ", bound::Fraction), 1);
    EXPECT_DOUBLE_EQ(v, 0.35);
    EXPECT_EQ(ErrorCode([&] { obj_->ReadBoundedValue(obj_->ControlStream(), "%lf", &v, "CWH for ", bound::Fraction); }),
              17);
    EXPECT_TRUE(Logged("the value 35 in section [snow_model] must be in [0, 1]!"));
}

TEST_F(NonFiniteInputTest, UnknownMethodsListTheKnownOnes) {
    Control("[snow_model]\n");
    obj_->SeekSection("[snow_model]", true);
    EXPECT_EQ(ErrorCode([&] { obj_->RequireKnownMethod(7, " method for ", {1, 2, 11, 12}); }), 17);
    EXPECT_TRUE(Logged("the method 7 in section [snow_model] is unknown; known methods are 1, 2, 11, 12!"));
    EXPECT_EQ(ErrorCode([&] { obj_->RequireKnownMethod(11, " method for ", {1, 2, 11, 12}); }), 0);
}

TEST_F(NonFiniteInputTest, RowsAreReadOneLineAtATimeUpToTheirComment) {
    Control("[snow_model]\n1 2 3   kelsqd, 4 in the comment\n\n   \n0.5 -1e3 x7 9\n2 3.5x\n");
    obj_->SeekSection("[snow_model]", true);
    std::vector<double> numbers;
    std::string line;
    ASSERT_TRUE(ReadNumberRow(obj_->ControlStream(), &numbers, &line));
    EXPECT_EQ(numbers, (std::vector<double>{1, 2, 3}));
    EXPECT_EQ(line, "1 2 3   kelsqd, 4 in the comment");
    // Blank lines are passed over; a token that is not a whole number ends the values.
    ASSERT_TRUE(ReadNumberRow(obj_->ControlStream(), &numbers, &line));
    EXPECT_EQ(numbers, (std::vector<double>{0.5, -1000}));
    ASSERT_TRUE(ReadNumberRow(obj_->ControlStream(), &numbers, &line));
    EXPECT_EQ(numbers, (std::vector<double>{2}));
    EXPECT_FALSE(ReadNumberRow(obj_->ControlStream(), &numbers, &line));
    EXPECT_TRUE(numbers.empty());
}

TEST_F(NonFiniteInputTest, NonFiniteValuesAreNeverWrittenToAGridOrStack) {
    obj_->year = 2020, obj_->month = 1, obj_->day = 2, obj_->hour = 5;
    Matrix g = obj_->matrix(1, 4, 1, 5, 4);
    g.fill(1.0);
    g[3][4] = std::nan("");
    const std::string name = "nan" + std::to_string(Rank()) + ".asc";
    for (bool text : {true, false}) {
        ClearConsole();
        EXPECT_EQ(ErrorCode([&] { obj_->WriteGrid(name, g, text, true); }), 17);
        EXPECT_TRUE(Logged("the value nan for row 3, column 4 of " + name + " on 2.1.2020 5 h is not a finite number"))
            << Console();
    }
    EXPECT_FALSE(talvo_test::ReadFile(name).size() > 0) << "nothing is written";

    auto small = MakeObject(3, 2);
    small->year = 2020, small->month = 1, small->day = 3, small->hour = 24;
    Stack s = small->matrix3d(1, 2, 1, 3, 1, 2);
    for (int r = 1; r <= 2; ++r)
        for (int c = 1; c <= 3; ++c) s[r][c][0] = s[r][c][1] = 0.5;
    s[2][1][1] = -std::numeric_limits<double>::infinity();
    ClearConsole();
    EXPECT_EQ(ErrorCode([&] { small->WriteStack("inf.stk", s, 1, true, false); }), Rank() == 0 ? 17 : 0);
    if (Rank() == 0) {
        EXPECT_TRUE(Logged("the value -inf for row 2, column 1, level 1 of inf.stk on 3.1.2020 24 h is not a finite"));
    }
    EXPECT_EQ(ErrorCode([&] { small->WriteStack("inf.stk", s, 1, false, true); }), 17);
}

}  // namespace
