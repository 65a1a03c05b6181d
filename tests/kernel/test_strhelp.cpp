// String tokenizer and substring helpers.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "kernel/strhelp.hpp"

namespace {

using Tokens = std::vector<std::string>;

Tokens Split(const std::string& text, const std::string& delimiters, bool keepEmpty = false) {
    Tokens t;
    const std::size_t n = SplitString(text, delimiters, t, keepEmpty);
    EXPECT_EQ(n, t.size());
    return t;
}

TEST(SplitString, TokensAndDelimiterRuns) {
    EXPECT_EQ(Split("a b", " "), (Tokens{"a", "b"}));
    EXPECT_EQ(Split("  1.5\t2;3,,4 ;", " \t;,"), (Tokens{"1.5", "2", "3", "4"}));
    EXPECT_EQ(Split("", " "), Tokens{});
    EXPECT_EQ(Split("   ", " "), Tokens{});
    // The list is appended to and its whole size returned.
    Tokens t{"x"};
    EXPECT_EQ(SplitString("a b", " ", t), 3u);
}

TEST(SplitString, QuotedTokensStayWhole) {
    EXPECT_EQ(Split("a \"b c\" d", " "), (Tokens{"a", "\"b c\"", "d"}));
    // An escaped quote does not close the token, an escaped backslash before it does.
    EXPECT_EQ(Split(R"(x "say \"hi\" now" y)", " "), (Tokens{"x", R"("say \"hi\" now")", "y"}));
    EXPECT_EQ(Split(R"("a\\" b)", " "), (Tokens{R"("a\\")", "b"}));
    EXPECT_EQ(Split("\"open to the end", " "), (Tokens{"\"open to the end"}));
    EXPECT_EQ(Split("\"b c\"d e", " "), (Tokens{"\"b c\"", "d", "e"}));
    // With the quote among the delimiters quotes only separate.
    EXPECT_EQ(Split("a\"b c\"", "\" "), (Tokens{"a", "b", "c"}));
}

TEST(SplitString, KeepEmptyOnlyAddsATrailingToken) {
    EXPECT_EQ(Split("a,", ",", true), (Tokens{"a", ""}));
    EXPECT_EQ(Split("a,,b", ",", true), (Tokens{"a", "b"}));
    EXPECT_EQ(Split("a,b", ",", true), (Tokens{"a", "b"}));
    EXPECT_EQ(Split(",,", ",", true), (Tokens{"", ""}));
    EXPECT_EQ(Split("", ",", true), Tokens{});
}

TEST(StringPosition, ZeroMeansNotFoundOrAtTheStart) {
    EXPECT_EQ(StringPosition("abc", "c"), 2u);
    EXPECT_EQ(StringPosition("abc", "a"), 0u);
    EXPECT_EQ(StringPosition("abc", "x"), 0u);
    EXPECT_EQ(StringPosition("abcabc", "ca"), 2u);
    EXPECT_EQ(StringPosition("ab", "abc"), 0u);
}

TEST(SubStringInPlace, KeepsTheRangeClampedToTheText) {
    std::string s = "abcdef";
    EXPECT_EQ(SubStringInPlace(s, 1, 2), "bcd");
    EXPECT_EQ(&SubStringInPlace(s, 0, 0), &s);
    EXPECT_EQ(s, "b");

    std::string t = "abcdef";
    EXPECT_EQ(SubStringInPlace(t, -1, 2), "abcdef");
    EXPECT_EQ(SubStringInPlace(t, 1, -2), "abcdef");
    EXPECT_EQ(SubStringInPlace(t, 4, 10), "ef");
    EXPECT_EQ(SubStringInPlace(t, 1, LONG_MAX), "f");
    EXPECT_EQ(SubStringInPlace(t, 5, 0), "");

    // Longer than any fixed scratch buffer would hold.
    std::string longText(5000, 'x');
    longText += "end";
    EXPECT_EQ(SubStringInPlace(longText, 1, 4000).size(), 4001u);

    char c[] = "abcdef";
    EXPECT_STREQ(SubStringInPlace(c, 2, 1), "cd");
    char d[] = "abcdef";
    EXPECT_STREQ(SubStringInPlace(d, 3, LONG_MAX), "def");
    EXPECT_STREQ(SubStringInPlace(d, LONG_MAX, 1), "");
    EXPECT_EQ(SubStringInPlace(static_cast<char*>(nullptr), 0, 1), nullptr);
}

// Grid files are compared byte for byte: every double must come out as "%g" writes it.
TEST(AppendG, WritesTheBytesOfPrintfG) {
    auto expectSame = [](double v) {
        char want[64];
        std::snprintf(want, sizeof want, "%g", v);
        std::string got = "x";
        AppendG(got, v);
        ASSERT_EQ(got, std::string("x") + want) << "bits " << std::hexfloat << v;
    };
    using L = std::numeric_limits<double>;
    for (double v : {0.0, -0.0, 1.0, -1.0, 0.1, 1e-5, 1e-4, 9.99995e-5, 0.0001, 123456.0, 999999.0, 999999.5, 1e6, 9.999995,
                     -9999.0, 3.4e+06, 0.5, 2.5e-7, L::min(), L::denorm_min(), L::max(), L::lowest(), L::infinity(),
                     -L::infinity(), L::quiet_NaN(), -L::quiet_NaN()})
        expectSame(v);
    std::mt19937_64 rng(49);
    std::uniform_real_distribution<double> exponent(-12, 12), digits(-1e7, 1e7);
    for (int i = 0; i < 200000; ++i) {
        std::uint64_t bits = rng();
        double any;
        std::memcpy(&any, &bits, sizeof any);
        expectSame(any);
        expectSame(std::pow(10.0, exponent(rng)) * (i % 2 ? 1 : -1));
        expectSame(std::round(digits(rng)) / 1000);  // values near the rounding of the sixth digit
    }
}

}  // namespace
