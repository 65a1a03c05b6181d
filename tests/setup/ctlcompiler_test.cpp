// The control-file preprocessor: symbols, comments, "//", the compiled copy per process and its
// failures.
#include <gtest/gtest.h>

#include "setup/defltuzr.hpp"
#include "setup_fixture.hpp"

using setup_test::Count;
using talvo_test::ReadFile;
using talvo_test::Rank;

namespace {
class CompileTest : public setup_test::SetupTest {
protected:
    // Writes run.ctl, compiles it and returns the text of the copy.
    std::string Compile(const std::string& text) {
        setup_test::WriteShared("run.ctl", text);
        unsigned error = 1;
        defaultini setup(error, log_.get(), "run.ctl", 2, store_.get());
        EXPECT_EQ(error, 0u);
        compiledName_ = setup.CompileControlFile("run.ctl");
        return ReadFile(compiledName_);
    }
    int CompileError(const std::string& text) {
        return ErrorCode([&] { Compile(text); });
    }
    std::string compiledName_;
};

TEST_F(CompileTest, CopyWithoutSymbolsCutsCommentsAndSlashes) {
    const std::string copy = Compile(
        "[zone_grid]\n"
        "zones.grd  # the subbasins\n"
        "# a whole comment line\n"
        "10#note\n"
        "a//b ///\n"
        "last line");
    EXPECT_EQ(copy, "[zone_grid]\nzones.grd  \n10\nab /\nlast line");
    EXPECT_EQ(compiledName_, "run.ctl_" + std::to_string(Rank()) + ".$$$");
    EXPECT_NE(Console().find("compiling symbols in control file run.ctl"), std::string::npos);
}

TEST_F(CompileTest, SymbolsAreReplacedAndDefinitionsLeftOut) {
    const std::string copy = Compile(
        "$dir//zones.grd $n\n"
        "$set $dir = /data/basin/\n"
        "$set $n = 10#count\n"
        "$set $a = 1\n"
        "$set $ab = 2\n"
        "$ab $a $a;\n"
        " $set $x = 5\n"
        "$set $path = $dir//x.grd\n"
        "$path\n");
    EXPECT_EQ(copy,
              "/data/basin/zones.grd 10\n"
              "2 1 1;\n"
              " $set $x = 5\n"
              "/data/basin/x.grd\n");
}

TEST_F(CompileTest, DuplicateTextValuesAreReportedOnce) {
    Compile(
        "$set $a = 5\n"
        "$set $b = 5\n"
        "$set $n = nan\n"
        "$set $m = nan\n"
        "$set $p = x.grd\n"
        "$set $q = x.grd\n"
        "$q $p\n");
    const std::string console = Console();
    EXPECT_EQ(Count(console, "possible error in control file!"), 1);
    EXPECT_NE(console.find("content of symbol $p is the same as symbol $q, \n (which is: x.grd).\n"),
              std::string::npos);
    EXPECT_EQ(ReadFile(compiledName_), "x.grd x.grd\n");
}

TEST_F(CompileTest, UndefinedSymbolsStopWithTheLineNumber) {
    EXPECT_EQ(CompileError("a\nb\nprice in $\n"), 17);
    EXPECT_NE(Console().find("undefined symbol at line 3:\n price in $"), std::string::npos);

    console_.str("");
    EXPECT_EQ(CompileError("$set $dir = /data\n$dir/zones.grd\n"), 17);
    EXPECT_NE(Console().find("undefined symbol at line 2:"), std::string::npos);

    // A value may only use symbols of earlier lines.
    console_.str("");
    EXPECT_EQ(CompileError("x\n$set $a = $b\n$set $b = 1\n"), 17);
    EXPECT_NE(Console().find("undefined symbol at line 2:"), std::string::npos);
}

TEST_F(CompileTest, SelfReferringSymbolsFailInsteadOfHanging) {
    EXPECT_EQ(CompileError("$set $a = x$a\n$a\n"), 17);
    EXPECT_NE(Console().find("symbol refers to itself at line 1:"), std::string::npos);

    // A symbol named "$set" whose value is "$set" would be replaced by itself forever.
    console_.str("");
    EXPECT_EQ(CompileError("$set $set = $set\n$set $q = $set\nvalue $q\n"), 17);
    EXPECT_NE(Console().find("symbol refers to itself at line 3:"), std::string::npos);
}

TEST_F(CompileTest, LongLinesAreSplitButMustNotGrowPastTheLimit) {
    const std::string longLine(3000, 'x');
    EXPECT_EQ(Compile(longLine + "\nend\n"), longLine + "\nend\n");
    // The pieces of a long comment stay comment.
    EXPECT_EQ(Compile("#" + longLine + "\nx # " + longLine + "$undefined\nend\n"), "x \nend\n");

    const std::string value(700, 'v');
    EXPECT_EQ(CompileError("$set $v = " + value + "\nok $v\n$v $v\n"), 17);
    EXPECT_NE(Console().find("line longer than 1200 characters after substitution at line 3:"),
              std::string::npos);
}

TEST_F(CompileTest, MissingSourceIsAnOpenError) {
    unsigned error = 1;
    defaultini setup(error, log_.get(), "absent.ctl", 2, store_.get());
    EXPECT_EQ(ErrorCode([&] { setup.CompileControlFile("absent.ctl"); }), 28);
    EXPECT_NE(Console().find("error opening absent.ctl"), std::string::npos);
}
}  // namespace
