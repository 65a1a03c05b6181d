// Text and binary stack files: the formats, reading own rows, and the collective binary
// write that gives the same file at every number of processes.
#include <gtest/gtest.h>
#include <mpi.h>

#include <cmath>
#include <csignal>
#include <limits>

#include "grid_scenario.hpp"
#include "kernel/signals.hpp"

using talvo_test::ErrorCode;
using talvo_test::Share;
using talvo_test::SigintHandler;
using talvo_test::Rank;
using talvo_test::ReadFile;
using talvo_test::Size;
using talvo_test::WriteFile;

namespace {

class StackFileTest : public talvo_test::KernelTest {};

TEST_F(StackFileTest, TextStackHasTwelveHeaderLinesAndOneValuePerLine) {
    auto small = MakeObject(3, 2);
    Stack s = small->matrix3d(1, 2, 1, 3, 2, 2);
    for (int r = 1; r <= 2; ++r)
        for (int c = 1; c <= 3; ++c)
            for (int l = 0; l <= 2; ++l) s[r][c][l] = r * 100 + c * 10 + l + 0.5;
    small->WriteStack("s.stk", s, 2, true, false);
    EXPECT_EQ(SigintHandler(), &OnCtrlC);
    std::string want = "stack_ncols\t3\nnrows\t2\nxll\t100.5\nyll\t200.25\ncs\t50\nnodata\t-9999\ncnt\t0\nmin\t0\n"
                       "max\t0\nsum\t0\naverage\t0\nnumlevels\t2\n";
    for (int r = 1; r <= 2; ++r)
        for (int c = 1; c <= 3; ++c)
            for (int l = 0; l <= 2; ++l) want += std::to_string(r * 100 + c * 10 + l) + ".5\n";
    MPI_Barrier(MPI_COMM_WORLD);
    EXPECT_EQ(ReadFile("s.stk"), want) << "process 0 alone writes text stacks";

    Stack back;
    EXPECT_EQ(small->ReadStack("s.stk", &back, true), 2);
    EXPECT_EQ(SigintHandler(), SIG_DFL);
    if (Rank() == 0) {
        EXPECT_EQ(back[2][3][2], 232.5);
        EXPECT_EQ(back[1][1][0], 110.5);
    }
    EXPECT_EQ(small->header[11], 2);
}

TEST_F(StackFileTest, BrokenStacksAreRefusedOnEveryProcess) {
    Stack s;
    EXPECT_EQ(ErrorCode([&] { obj_->ReadStack("none.stk", &s); }), 21);
    if (Rank() == 0) {
        EXPECT_NE(Console().find("error opening none.stk"), std::string::npos);
    }
    EXPECT_EQ(Console().find("retriesleft"), std::string::npos) << "stacks are opened once";

    std::vector<double> header{5, 4, 100, 200, 50, -9998, 0, 0, 0, 0, 0, 1};
    Share("odd.stk", talvo_test::Binary<double>(header) + std::string(400, '\0'));
    EXPECT_EQ(ErrorCode([&] { obj_->ReadStack("odd.stk", &s); }), 22);
    if (Rank() == 0) {
        EXPECT_NE(Console().find("could not recognise file format (ascii, double or double) for stack odd.stk"),
                  std::string::npos);
    }

    const std::string textHeader = "stack_ncols 5\nnrows 4\nxll 100\nyll 200\ncs 50\nnodata -9999\ncnt 0\nmin 0\n"
                                   "max 0\nsum 0\naverage 0\nnumlevels 1\n";
    // Row 1 holds 5 cells of 2 levels; the file ends after level 0 of cell (2, 2).
    std::string thirteen;
    for (int i = 1; i <= 13; ++i) thirteen += std::to_string(i) + "\n";
    Share("cut.stk", textHeader + thirteen);
    EXPECT_EQ(ErrorCode([&] { obj_->ReadStack("cut.stk", &s); }), 22);
    if (Rank() == 0) {
        EXPECT_NE(Console().find("error reading ascii stack cut.stkat row 2, column 2, level 1"), std::string::npos)
            << Console();
    }

    header[5] = -9999;
    Share("cut.bin", talvo_test::Binary<float>(header) + talvo_test::Binary<float>(std::vector<double>(15, 1.0)));
    for (bool whole : {true, false}) {
        EXPECT_EQ(ErrorCode([&] { obj_->ReadStack("cut.bin", &s, whole); }), 22);
        if (Rank() == 0) {
            EXPECT_NE(Console().find("error reading float stack cut.binat row 2, column 3"), std::string::npos);
        }
    }

    Share("huge.stk", textHeader.substr(0, textHeader.size() - 2) + "1e12\n1 2 3\n");
    EXPECT_EQ(ErrorCode([&] { obj_->ReadStack("huge.stk", &s); }), 22);
    // A header with a word for a number, and one whose level count the file cannot hold (refused
    // before the stack is allocated).
    Share("word.stk", "stack_ncols 5\nnrows four\n");
    EXPECT_EQ(ErrorCode([&] { obj_->ReadStack("word.stk", &s); }), 22);
    if (Rank() == 0) {
        EXPECT_NE(Console().find("error reading header of ascii stack word.stk"), std::string::npos);
    }
    Share("deep.stk", textHeader.substr(0, textHeader.size() - 2) + "1000000\n1 2 3\n");
    EXPECT_EQ(ErrorCode([&] { obj_->ReadStack("deep.stk", &s); }), 22);
    if (Rank() == 0) {
        // The value the file runs out at is named, as a plain read would name it.
        EXPECT_NE(Console().find("error reading ascii stack deep.stkat row 1, column 1, level 3"), std::string::npos)
            << Console();
    }
    Share("wide.stk", "stack_ncols 6" + textHeader.substr(13));
    EXPECT_EQ(ErrorCode([&] { obj_->ReadStack("wide.stk", &s); }), 24);
    EXPECT_EQ(ErrorCode([&] { obj_->ReadStack(std::string(1300, 'n'), &s); }), 21);
    EXPECT_EQ(SigintHandler(), SIG_DFL);
}

TEST_F(StackFileTest, WritingAStackWithTooFewLevelsIsRefused) {
    Stack s = obj_->matrix3d(1, 4, 1, 5, 1, 4);
    EXPECT_EQ(ErrorCode([&] { obj_->WriteStack("w.stk", s, 3, false, true); }), 26);
    EXPECT_EQ(ErrorCode([&] { obj_->WriteStack(std::string(1300, 'n'), s, 1, false, true); }), 26);
    // A folder that does not exist: process 0 alone writes (and fails on) a text stack, all
    // processes together a binary one.
    Stack full = obj_->matrix3d(1, 4, 1, 5, 1, 4);
    EXPECT_EQ(ErrorCode([&] { obj_->WriteStack("missing/t.stk", full, 1, true, false); }), Rank() == 0 ? 26 : 0);
    if (Rank() == 0) {
        EXPECT_NE(Console().find("error opening missing/t.stk"), std::string::npos);
    }
    EXPECT_EQ(ErrorCode([&] { obj_->WriteStack("missing/b.stk", full, 1, false, true); }), 26);
}

class DistributedStackTest : public talvo_test::ScenarioTest {};

TEST_F(DistributedStackTest, BinaryStackIsTheSameAtEveryProcessCount) {
    const int levels = 2;
    Stack s = OwnStack(levels);
    // Cells outside the basin are written as nodata whatever the stack holds there.
    for (int r = d_.lo; r <= d_.hi; ++r)
        for (int c = 1; c <= kCols; ++c)
            if (!Valid(r, c))
                for (int l = 0; l <= levels; ++l) s[r][c][l] = 777;
    for (bool doubles : {true, false}) {
        const std::string want = doubles ? BasinStackBytes<double>(levels) : BasinStackBytes<float>(levels);
        // An older, larger file must be cut to the new length.
        Share("s.bin", std::string(want.size() + 1000, 'x'));
        obj_->WriteStack("s.bin", s, levels, false, doubles);
        EXPECT_EQ(SigintHandler(), &OnCtrlC);
        MPI_Barrier(MPI_COMM_WORLD);
        const std::string got = ReadFile("s.bin");
        ASSERT_EQ(got.size(), want.size());
        EXPECT_TRUE(got == want) << "binary stack differs";
        MPI_Barrier(MPI_COMM_WORLD);
    }
}

TEST_F(DistributedStackTest, AStackWrittenInPiecesIsTheSameAtEveryProcessCount) {
    // 1024 values a cell: a process writes its range in pieces of 64 cells, the last piece of a
    // range shorter than the others.
    const int levels = 1023;
    Stack s = OwnStack(levels);
    for (bool doubles : {false, true}) {
        obj_->WriteStack("many.bin", s, levels, false, doubles);
        MPI_Barrier(MPI_COMM_WORLD);
        const std::string want = doubles ? BasinStackBytes<double>(levels) : BasinStackBytes<float>(levels);
        const std::string got = ReadFile("many.bin");
        ASSERT_EQ(got.size(), want.size());
        EXPECT_TRUE(got == want) << "binary stack differs";
        MPI_Barrier(MPI_COMM_WORLD);
    }
}

TEST_F(DistributedStackTest, OnlyTheWrittenLevelsAreWrittenAndCheckedForNumbers) {
    // A stack of three levels written with one: the levels above hold NaN, which is neither
    // written nor looked at; the file is that of a one-level stack at every process count.
    const int levels = 1, held = 3;
    Stack s = obj_->matrix3d(d_.lo, d_.hi, 1, kCols, held, kRows);
    for (int r = d_.lo; r <= d_.hi; ++r)
        for (int c = 1; c <= kCols; ++c)
            for (int l = 0; l <= held; ++l)
                s[r][c][l] = l > levels ? std::nan("") : Mine(r, c) ? LevelValue(r, c, l) : -9999.0;
    for (bool doubles : {true, false}) {
        obj_->WriteStack("s.bin", s, levels, false, doubles);
        MPI_Barrier(MPI_COMM_WORLD);
        EXPECT_TRUE(ReadFile("s.bin") == (doubles ? BasinStackBytes<double>(levels) : BasinStackBytes<float>(levels)))
            << "binary stack differs";
        MPI_Barrier(MPI_COMM_WORLD);
    }

    // A value that is not a number in a written level of any held cell, own or not, stops every
    // process; each names the first one of its rows: the last value of a row, then a cell
    // before it in the same row, at a partial and at the full number of levels.
    obj_->year = 2020, obj_->month = 1, obj_->day = 3, obj_->hour = 24;
    Stack full = OwnStack(held);
    for (Stack* st : {&s, &full}) {
        const int written = st == &s ? levels : held;
        for (int c : {kCols, 2}) {
            (*st)[d_.hi][c][written] = -std::numeric_limits<double>::infinity();
            ClearConsole();
            EXPECT_EQ(ErrorCode([&] { obj_->WriteStack("s.bin", *st, written, false, true); }), 17);
            EXPECT_NE(Console().find("the value -inf for row " + std::to_string(d_.hi) + ", column " +
                                     std::to_string(c) + ", level " + std::to_string(written) + " of s.bin"),
                      std::string::npos)
                << Console();
        }
    }
}

TEST_F(DistributedStackTest, AStackLackingAnOwnRowOnOneProcessStopsEveryProcess) {
    if (Size() == 1) return;  // the plan needs the decomposition
    // The last process's stack ends before the last row it has cells in: every process stops
    // with the code before the file is touched, and only that process names the row.
    const int levels = 1;
    const bool lacking = Rank() == Size() - 1;
    int lastOwn = d_.lo;
    for (int r = d_.lo; r <= d_.hi; ++r)
        for (int c = 1; c <= kCols; ++c)
            if (Mine(r, c)) lastOwn = r;
    ASSERT_GT(lastOwn, d_.lo);
    Stack s = lacking ? obj_->matrix3d(d_.lo, lastOwn - 1, 1, kCols, levels, kRows) : OwnStack(levels);
    Share("s.bin", "the older file");
    ClearConsole();
    EXPECT_EQ(ErrorCode([&] { obj_->WriteStack("s.bin", s, levels, false, true); }), 26);
    const std::string named = "s.bin: the stack holds no row " + std::to_string(lastOwn);
    EXPECT_EQ(Console().find(named) != std::string::npos, lacking) << Console();
    MPI_Barrier(MPI_COMM_WORLD);
    EXPECT_EQ(ReadFile("s.bin"), "the older file");
    MPI_Barrier(MPI_COMM_WORLD);
    // The next write of a whole stack finds every process in step.
    Stack whole = OwnStack(levels);
    obj_->WriteStack("s.bin", whole, levels, false, true);
    MPI_Barrier(MPI_COMM_WORLD);
    EXPECT_EQ(ReadFile("s.bin"), BasinStackBytes<double>(levels));
    MPI_Barrier(MPI_COMM_WORLD);
}

TEST_F(DistributedStackTest, BinaryStackIsReadByEveryProcessForItsRows) {
    const int levels = 2;
    for (bool doubles : {true, false}) {
        Share("s.bin", doubles ? BasinStackBytes<double>(levels) : BasinStackBytes<float>(levels));
        for (bool whole : {false, true}) {
            Stack s;
            EXPECT_EQ(obj_->ReadStack("s.bin", &s, whole), levels);
            const bool all = whole && Rank() == 0;
            EXPECT_EQ(s.firstRow(), all ? 1 : obj_->firstRow);
            EXPECT_EQ(s.lastRow(), all ? kRows : obj_->lastRow);
            for (int r = s.firstRow(); r <= s.lastRow(); ++r)
                for (int c = 1; c <= kCols; ++c)
                    for (int l = 0; l <= levels; ++l) {
                        // Process 0 keeps what the file says; the others clear foreign cells.
                        const bool known = Rank() == 0 ? Valid(r, c) : Mine(r, c);
                        ASSERT_EQ(s[r][c][l], known ? LevelValue(r, c, l) : -9999.0) << r << "," << c << "," << l;
                    }
        }
    }
}

TEST_F(DistributedStackTest, TextStackIsScatteredFromProcessZero) {
    const int levels = 1;
    Stack own = OwnStack(levels);
    Stack copy = obj_->MPISynchroniseStackCopy(0, &own);
    if (Rank() == 0) obj_->WriteStack("s.stk", copy.empty() ? own : copy, levels, true, true);
    MPI_Barrier(MPI_COMM_WORLD);
    Stack s;
    EXPECT_EQ(obj_->ReadStack("s.stk", &s), levels);
    EXPECT_EQ(s.firstRow(), obj_->firstRow);
    for (int r = s.firstRow(); r <= s.lastRow(); ++r)
        for (int c = 1; c <= kCols; ++c) {
            const bool known = Rank() == 0 ? Valid(r, c) : Mine(r, c);
            ASSERT_EQ(s[r][c][1], known ? LevelValue(r, c, 1) : -9999.0) << r << "," << c;
        }
}

}  // namespace
