// Values no basin can have: the shared range check of the control-file readers, the unknown
// method check and the row reader that takes one line with exactly the values of a table row.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "kernel/valuebound.hpp"
#include "kernel_fixture.hpp"

using talvo_test::ErrorCode;
using talvo_test::Rank;

namespace {

class ValueBoundsTest : public talvo_test::KernelTest {
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
        obj_->SeekSection("[snow_model]", true);
    }
    bool Logged(const std::string& text) const { return Console().find(text) != std::string::npos; }
};

TEST_F(ValueBoundsTest, RangesHoldTheirEndsAsDeclaredAndRefuseNaN) {
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

TEST_F(ValueBoundsTest, ABoundedValueOutsideIsFatalNamingSectionKeyValueAndRange) {
    Control("[snow_model]\n-2.5  C0\n0.35 CWH\n35 CWH\n");
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

TEST_F(ValueBoundsTest, UnknownMethodsListTheKnownOnes) {
    Control("[snow_model]\n");
    EXPECT_EQ(ErrorCode([&] { obj_->RequireKnownMethod(7, " method for ", {1, 2, 11, 12}); }), 17);
    EXPECT_TRUE(Logged("the method 7 in section [snow_model] is unknown; known methods are 1, 2, 11, 12!"));
    EXPECT_EQ(ErrorCode([&] { obj_->RequireKnownMethod(11, " method for ", {1, 2, 11, 12}); }), 0);
}

TEST_F(ValueBoundsTest, RowsAreReadOneLineAtATimeUpToTheirComment) {
    Control("[snow_model]\n1 2 3   kelsqd, 4 in the comment\n\n   \n0.5 -1e3 x7 9\n2 3.5x\n");
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

TEST_F(ValueBoundsTest, NonFiniteValuesAreNeverWrittenToAGridOrStack) {
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
