// Formula parser: operator levels, variables, functions and its error answers.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "kernel/exprparser.hpp"

namespace {

std::string Eval(const std::string& expression) {
    ExprParser p;
    return p.Evaluate(expression);
}

using Cases = std::vector<std::pair<std::string, std::string>>;
void ExpectAnswers(const Cases& cases) {
    for (const auto& [expression, answer] : cases) EXPECT_EQ(Eval(expression), answer) << expression;
}

TEST(ExprParser, OperatorLevelsAndAssociativity) {
    ExpectAnswers({
        {"1+2*3", "Ans = 7"}, {"(1+2)*3", "Ans = 9"}, {"2^3^2", "Ans = 64"}, {"10-4-3", "Ans = 3"}, {"-2^2", "Ans = 4"},
        {"2*-3", "Ans = -6"}, {"1 - -2", "Ans = 3"}, {"1+2 = 3", "Ans = 1"}, {"3 <= 3 & 2 >= 3", "Ans = 0"},
        {"1 < 2 | 0", "Ans = 1"}, {"1 << 2 + 2", "Ans = 16"}, {"-16 >> 2", "Ans = -4"}, {"7 % 3", "Ans = 1"},
        {"7.9 % 3.2", "Ans = 1"}, {"5 || 3", "Ans = 6"}, {"1/0", "Ans = inf"}, {"1.5e3 + .5", "Ans = 1500.5"},
        {"2.5E-1 + 1e+2", "Ans = 100.25"}, {"1 <> 2", "Ans = 1"}, {"2 <> 2", "Ans = 0"}, {"1 + 1 <> 2", "Ans = 0"}
    });
}

TEST(ExprParser, FactorialAndFunctions) {
    ExpectAnswers({
        {"3!", "Ans = 6"}, {"0!", "Ans = 1"}, {"3! !", "Ans = 720"}, {"3!!", "Error: Unknown operator !! (col 2)"},
        {"-3!", "Ans = -3"}, {"3! + 1", "Ans = 7"},
        {"2.5!", "Error: Integer value expected in function factorial (col 4)"},
        {"3!+1", "Error: Unknown operator !+ (col 2)"}, {"factorial(5)", "Ans = 120"},
        {"FACTORIAL(0.5)", "Error: Integer value expected in function factorial (col 1)"}
    });
    // Huge arguments end as soon as the product is infinite.
    ExpectAnswers({
        {"171!", "Ans = inf"}, {"1e300!", "Ans = inf"}, {"factorial(1e308*10)", "Ans = inf"}
    });

    ExpectAnswers({
        {"abs(-2) + Sign(-5) + sign(0) + SIGN(3)", "Ans = 2"}, {"sqrt(16) + exp(0) + log(1) + log10(1000)", "Ans = 8"},
        {"sin(0) + cos(0) + tan(0) + asin(0) + acos(1) + atan(0)", "Ans = 1"}, {"pi", "Ans = 3.14159"},
        {"Euler", "Ans = 2.71828"}
    });
}

TEST(ExprParser, VariablesAndAssignments) {
    ExprVariables vars;
    vars.Add("A", 2.0);
    ExprParser p(&vars);
    EXPECT_EQ(p.Evaluate("x = 4"), "Ans = 4");
    EXPECT_EQ(p.Evaluate("x*2"), "Ans = 8");
    EXPECT_EQ(p.Evaluate("X*2"), "Ans = 8");
    EXPECT_EQ(p.Evaluate("Z = a + ans"), "Ans = 10");
    EXPECT_EQ(p.Answer(), 10.0);
    double z = 0;
    ASSERT_TRUE(vars.Get("z", z));
    EXPECT_EQ(z, 10.0);
    // An entry keeps the spelling of its first definition.
    EXPECT_EQ(vars.Name(vars.GetIndex("ANS")), "Ans");
    EXPECT_EQ(vars.Name(vars.GetIndex("x")), "x");
    // A failed evaluation keeps the assignments made before it and leaves Ans.
    EXPECT_EQ(p.Evaluate("y = 3 4"), "Error: Unexpected part: 4 (col 7)");
    ASSERT_TRUE(vars.Get("y", z));
    EXPECT_EQ(z, 3.0);
    EXPECT_TRUE(vars.Get("ans", z));
    EXPECT_EQ(z, 10.0);
    // Constants win over variables of the same name.
    EXPECT_EQ(p.Evaluate("pi = 3"), "Ans = 3");
    EXPECT_EQ(p.Evaluate("PI"), "Ans = 3.14159");

    // A parser without a list works on its own.
    ExprParser own;
    EXPECT_EQ(own.Evaluate("q = 1"), "Ans = 1");
    EXPECT_EQ(own.Evaluate("q + 1"), "Ans = 2");
    EXPECT_FALSE(vars.Get("q", z));
}

TEST(ExprVariables, CaseInsensitiveNamesCutToThirtyCharacters) {
    ExprVariables v;
    EXPECT_TRUE(v.Add("Rain", 1.0));
    EXPECT_TRUE(v.Set("RAIN", 2.0));
    EXPECT_EQ(v.Size(), 1u);
    double x = -1;
    EXPECT_FALSE(v.Get("snow", x));
    EXPECT_EQ(x, -1.0);
    EXPECT_FALSE(v.Add("", 1.0));
    const std::string longName(40, 'n');
    EXPECT_TRUE(v.Add(longName, 5.0));
    EXPECT_EQ(v.Name(1).size(), 30u);
    EXPECT_TRUE(v.Get(longName.substr(0, 30), x));
    EXPECT_EQ(x, 5.0);
    EXPECT_FALSE(v.IsValid(2));
}

TEST(ExprParser, ErrorAnswersCarryMessageAndColumn) {
    ExpectAnswers({
        {"(1+2", "Error: Parentesis ) missing (col 5)"}, {"", "Error: Empty expression (col 1)"},
        {"1 +", "Error: Unexpected end of expression (col 4)"}, {"foo(2)", "Error: Unknown function foo (col 1)"},
        {"2 * bar", "Error: Unknown variable bar (col 5)"}, {"1 + )", "Error: Value expected (col 5)"},
        {"1)", "Error: Unknown operator ) (col 2)"}, {"1 == 1", "Error: Unknown operator == (col 3)"},
        {"2 sin(1)", "Error: Unexpected part: sin (col 3)"}, {"1 + 2 # 3", "Error: Syntax error in part: # 3 (col 7)"}
    });
    EXPECT_EQ(Eval(std::string(255, '1')).rfind("Ans = ", 0), 0u);
    EXPECT_EQ(Eval(std::string(256, '1')),
              "Error: Too long expression, maximum number of characters exceeded (col -1)");
    EXPECT_EQ(ExprParser::ErrorText(42), "Unknown error");
}

TEST(ExprParser, IntegerOperationsNeverTrap) {
    ExpectAnswers({
        {"5 % 0", "Error: Syntax error (col 3)"}, {"-2147483648 % -1", "Ans = 0"},
        {"1 << 32", "Error: Syntax error (col 3)"}, {"1 << 31", "Ans = -2.14748e+09"}, {"-1 << 4", "Ans = -16"},
        {"2147483648 & 1", "Error: Syntax error (col 12)"}, {"2147483647.9 & 1", "Ans = 1"},
        {"(1 | -2147483648.5) + 2147483647", "Ans = 0"}, {"(0/0) || 1", "Error: Syntax error (col 7)"},
        {"1e300*1e300 % 2", "Error: Syntax error (col 13)"}
    });
}

TEST(ExprParser, AnswerAndMessageTextsStayBounded) {
    const std::string name(250, 'v');
    const std::string answer = Eval(name);
    EXPECT_EQ(answer.size(), 255u);
    EXPECT_EQ(answer.rfind("Error: Unknown variable vvv", 0), 0u);
    const std::string garbage = "1+" + std::string(253, '#');
    EXPECT_LE(Eval(garbage).size(), 255u);
    // An embedded zero character ends the expression.
    EXPECT_EQ(Eval(std::string("1+2\0garbage", 11)), "Ans = 3");
}

}  // namespace
