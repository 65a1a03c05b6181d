// Text and binary grid files: byte-exact writing, format detection, the measure check, open
// retries, hole filling and reading own and halo rows, at any number of processes.
#include <gtest/gtest.h>
#include <mpi.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cstdio>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include <omp.h>
#include <sys/stat.h>
#include <unistd.h>

#include "gif_encoder.hpp"
#include "grid_scenario.hpp"
#include "kernel/gifreader.hpp"
#include "kernel/gridio.hpp"
#include "kernel/signals.hpp"

using talvo_test::Binary;
using talvo_test::ErrorCode;
using talvo_test::Share;
using talvo_test::SigintHandler;
using talvo_test::Rank;
using talvo_test::ReadFile;
using talvo_test::Size;
using talvo_test::WriteFile;

namespace {

class GridFileTest : public talvo_test::KernelTest {};

// Writes each grid alone with WriteGrid to "<alone><k>" and returns the files' contents.
std::vector<std::string> WrittenAlone(modelobject& o, const std::vector<Matrix>& grids, const std::string& alone,
                                      bool doubles) {
    std::vector<std::string> contents;
    for (std::size_t k = 0; k < grids.size(); ++k) {
        o.WriteGrid(alone + std::to_string(k), grids[k], false, doubles);
        contents.push_back(ReadFile(alone + std::to_string(k)));
    }
    return contents;
}

// Writes the grids in one pass to "<together><k>": every grid is written and each file equals
// the one written alone.
void ExpectWrittenTogetherAsAlone(modelobject& o, const std::vector<Matrix>& grids, const std::string& together,
                                  const std::vector<std::string>& alone, bool doubles) {
    std::vector<std::pair<std::string, const Matrix*>> files;
    for (std::size_t k = 0; k < grids.size(); ++k) files.emplace_back(together + std::to_string(k), &grids[k]);
    EXPECT_EQ(o.WriteBinaryGrids(files, doubles), static_cast<int>(grids.size()));
    for (std::size_t k = 0; k < grids.size(); ++k) EXPECT_EQ(ReadFile(files[k].first), alone[k]) << k << " " << doubles;
}

TEST_F(GridFileTest, TextGridIsWrittenByteExact) {
    Matrix g = obj_->matrix(2, 3, 1, 5, 4);
    const double row2[] = {1.5, 2, 1e-7, 123456789, -3.25}, row3[] = {0, -9999, 7, 0.1, 1e20};
    for (int c = 1; c <= 5; ++c) g[2][c] = row2[c - 1], g[3][c] = row3[c - 1];
    const std::string name = "t" + std::to_string(Rank()) + ".asc";
    obj_->WriteGrid(name, g, true, false);
    const std::string unheld = "-9999\t-9999\t-9999\t-9999\t-9999\n";
    EXPECT_EQ(ReadFile(name),
              "ncols\t5\nnrows\t4\nxllcorner\t100.5\nyllcorner\t200.25\ncellsize\t50\nnodata_value\t-9999\n" + unheld +
                  "1.5\t2\t1e-07\t1.23457e+08\t-3.25\n0\t-9999\t7\t0.1\t1e+20\n" + unheld);
    EXPECT_EQ(SigintHandler(), &OnCtrlC) << "writers install the handler again";

    // The own-cells writer clears the cells outside the basin columns in the grid itself.
    std::vector<ColumnRange> basin{{0, 0}, {1, 5}, {2, 3}, {0, 0}, {1, 5}};
    obj_->basinColumns = &basin;
    obj_->nodata = -1;
    obj_->WriteGridOwnCells(name, g, true, false);
    EXPECT_EQ(g[2][1], -1);
    EXPECT_EQ(g[2][2], 2);
    EXPECT_EQ(g[2][4], -1);
    EXPECT_EQ(g[3][1], -1) << "a row without basin column is cleared";
    EXPECT_NE(ReadFile(name).find("nodata_value\t-1\n-1\t-1\t-1\t-1\t-1\n-1\t2\t1e-07\t-1\t-1\n"), std::string::npos);
}

TEST_F(GridFileTest, TextGridIsReadWithAnyKeywordsAndTheMeasuresChecked) {
    Share("a.asc", "ncolumns 5\nrows 4\nxll 100.9\nyll 200\ncs 50\nnodata -9999\n"
                   "1 2 3 4 5\n6 7 8 9 10\n11\t12 13 14 15\n16 17 18 19 20.5\n");
    Matrix g;
    obj_->ReadGrid("a.asc", &g);
    EXPECT_EQ(SigintHandler(), SIG_DFL) << "readers restore the default action";
    if (Rank() == 0) {
        EXPECT_EQ(g[1][1], 1);
        EXPECT_EQ(g[3][1], 11);
        EXPECT_EQ(g[4][5], 20.5);
    }
    EXPECT_EQ(obj_->header[2], 100.0) << "xllcorner of the file is taken as its floor";

    Share("b.asc", "ncols 5\nnrows 4\nxllcorner 100\nyllcorner 200\ncellsize 50.0000001\nnodata_value -9999\n");
    EXPECT_EQ(ErrorCode([&] { obj_->ReadGrid("b.asc", &g); }), 24);
    if (Rank() == 0) {
        const std::string text = Console();
        EXPECT_NE(text.find("b.asc has not the specified grid measures (in testmodule)!\n"), std::string::npos);
        EXPECT_NE(text.find("\n5 5\n4 4\n100.5 100\n200.25 200\n50 50\n-9999 -9999"), std::string::npos) << text;
    }
    Share("c.asc", "ncols 5\nnrows 4\nxllcorner 100\nyllcorner 200\ncellsize 50\nnodata_value -9998\n");
    EXPECT_EQ(ErrorCode([&] { obj_->ReadGrid("c.asc", &g); }), 24) << "a nodata value above the model's";
    EXPECT_EQ(SigintHandler(), SIG_DFL);
}

// Every spelling of a number means what the C library's strtod makes of it, to the last bit:
// signs, hexadecimal, subnormal and underflowing values, halfway cases and long mantissas.
TEST_F(GridFileTest, TextGridNumbersAreReadAsStrtodReadsThem) {
    const char* values[20] = {"+7.5", "0x1.8p1", "-0x10", "1e-400", "4.9406564584124654e-324",
                              "2.2250738585072011e-308", "9007199254740993", "2.4703282292062327e-324",
                              "0.1000000000000000055511151231257827021181583404541015625",
                              "123456789012345678901234567890", "1.", "-.5", "5e+2", "-0", "1E3", "00012.5000",
                              "1.7976931348623157e308", "-9999", "0.30000000000000004", "7.0e-10"};
    std::string text = "ncols 5\nnrows 4\nxllcorner 100\nyllcorner 200\ncellsize 50\nnodata_value -9999\n";
    for (int i = 0; i < 20; ++i) text += std::string(values[i]) + (i % 5 == 4 ? "\n" : " ");
    Share("spellings.asc", text);
    Matrix g;
    obj_->ReadGrid("spellings.asc", &g);
    if (Rank() != 0) return;
    for (int i = 0; i < 20; ++i) {
        const double expected = std::strtod(values[i], nullptr);
        const double got = g[1 + i / 5][1 + i % 5];
        EXPECT_EQ(std::memcmp(&got, &expected, sizeof got), 0) << values[i] << ": " << got << " vs " << expected;
    }
}

// Plain decimals, the usual spelling of grid values, also mean what strtod makes of them to the
// last bit: both signs, up to 18 digits with the point anywhere, values no double holds.
TEST_F(GridFileTest, PlainDecimalsAreReadAsStrtodReadsThem) {
    std::uint64_t state = 12345;
    auto next = [&](int n) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<int>(state >> 33) % n;
    };
    for (int file = 0; file < 40; ++file) {
        std::string text = "ncols 5\nnrows 4\nxllcorner 100\nyllcorner 200\ncellsize 50\nnodata_value -9999\n";
        std::vector<std::string> values;
        for (int i = 0; i < 20; ++i) {
            std::string v = next(2) ? "-" : "";
            const int digits = 1 + next(18), point = next(digits + 1);
            for (int d = 0; d < digits; ++d) {
                if (d == point && d > 0) v += '.';
                v += static_cast<char>('0' + next(10));
            }
            values.push_back(v);
            text += v + (i % 5 == 4 ? "\n" : "\t");
        }
        Share("plain.asc", text);
        Matrix g;
        obj_->ReadGrid("plain.asc", &g);
        for (int i = 0; i < 20 && Rank() == 0; ++i) {
            const double expected = std::strtod(values[static_cast<std::size_t>(i)].c_str(), nullptr);
            const double got = g[1 + i / 5][1 + i % 5];
            ASSERT_EQ(std::memcmp(&got, &expected, sizeof got), 0) << values[static_cast<std::size_t>(i)];
        }
    }
}

TEST_F(GridFileTest, ReadErrorsEndEveryProcessAlike) {
    Matrix g;
    Share("short.asc", "ncols 5\nnrows 4\nxllcorner 100\nyllcorner 200\ncellsize 50\nnodata_value -9999\n"
                       "1 2 3 4 5\n6 7 8 9 10\n11 x\n");
    EXPECT_EQ(ErrorCode([&] { obj_->ReadGrid("short.asc", &g); }), 22);
    if (Rank() == 0) {
        EXPECT_NE(Console().find("error reading ascii grid short.asc in ASCII-Format in row 3, col 2"), std::string::npos);
    }
    Share("head.asc", "ncols 5\nnrows x\n");
    EXPECT_EQ(ErrorCode([&] { obj_->ReadGrid("head.asc", &g); }), 22);

    std::vector<double> h{5, 4, 100, 200, 50, -9998, 0, 0, 0, 0, 0, 0};
    Share("odd.bin", Binary<double>(h) + std::string(160, '\0'));
    EXPECT_EQ(ErrorCode([&] { obj_->ReadGrid("odd.bin", &g); }), 22);
    if (Rank() == 0) {
        EXPECT_NE(Console().find("could not recognise file format (ascii, double or double) for odd.bin"),
                  std::string::npos);
    }
    Share("pic.gif", "GIF89a....");
    EXPECT_EQ(ErrorCode([&] { obj_->ReadGrid("pic.gif", &g); }), 22);
    if (Rank() == 0) {
        EXPECT_NE(Console().find("error reading GIF pic.gif ("), std::string::npos);
    }
    h[5] = -9999;
    Share("cut.bin", Binary<double>(h) + Binary<double>(std::vector<double>(7, 1.0)));
    EXPECT_EQ(ErrorCode([&] { obj_->ReadGrid("cut.bin", &g, 0, true, false, 0, false, true); }), 22);
    EXPECT_EQ(ErrorCode([&] { obj_->ReadGrid("cut.bin", &g); }), 22) << "through MPI-IO too";
    if (Rank() == 0) {
        EXPECT_NE(Console().find("error reading double grid cut.bin"), std::string::npos);
    }

    EXPECT_EQ(ErrorCode([&] { obj_->ReadGrid("a.asc", nullptr); }), 22);
    Matrix none;
    EXPECT_EQ(ErrorCode([&] { obj_->ReadGrid("a.asc", &none, 0, false); }), 22);
    EXPECT_NE(Console().find("error reading grid a.asc no memory allocated (pointer given to function is NULL)"),
              std::string::npos);
    EXPECT_EQ(SigintHandler(), SIG_DFL);
}

std::string g_lateFile;
void CreateOnSecondRetry(int retriesLeft) {
    if (retriesLeft == 4)
        WriteFile(g_lateFile, "ncols 5\nnrows 4\nxllcorner 100\nyllcorner 200\ncellsize 50\nnodata_value -9999\n"
                              "1 2 3 4 5\n6 7 8 9 1\n2 3 4 5 6\n7 8 9 1 2\n");
}
void NoWait(int) {}

TEST_F(GridFileTest, OpeningIsRetriedFiveTimes) {
    g_lateFile = "late.asc";
    gridio::SetRetryWait(CreateOnSecondRetry);
    Matrix g;
    const int code = ErrorCode([&] { obj_->ReadGrid("late.asc", &g); });
    gridio::SetRetryWait(nullptr);
    EXPECT_EQ(code, 0);
    if (Rank() == 0) {
        const std::string text = Console();
        EXPECT_NE(text.find("error opening late.asc. Will try again in 200 ms... (retriesleft = 5)"), std::string::npos);
        EXPECT_NE(text.find("(retriesleft = 4)"), std::string::npos);
        EXPECT_EQ(text.find("(retriesleft = 3)"), std::string::npos);
        EXPECT_EQ(g[1][1], 1);
        EXPECT_EQ(g[4][5], 2);
    }
    ClearConsole();
    gridio::SetRetryWait(NoWait);
    EXPECT_EQ(ErrorCode([&] { obj_->ReadGrid("missing.asc", &g); }), 21);
    gridio::SetRetryWait(nullptr);
    if (Rank() == 0) {
        EXPECT_NE(Console().find("(retriesleft = 1)"), std::string::npos);
        EXPECT_NE(Console().find("still error opening missing.asc - no retry."), std::string::npos);
    }
}

TEST_F(GridFileTest, OverlongFileNamesAreRefusedNotCut) {
    const std::string longName(1201, 'x');
    Matrix g = obj_->matrix(1, 4, 1, 5, 4);
    EXPECT_EQ(ErrorCode([&] { obj_->ReadGrid(longName, &g); }), 21);
    EXPECT_EQ(ErrorCode([&] { obj_->WriteGrid(longName, g, true, false); }), 26);
    EXPECT_EQ(ErrorCode([&] { obj_->WriteGrid(longName, g, false, true); }), 26);
    EXPECT_EQ(ErrorCode([&] { obj_->WriteGrid("no/such/dir/g.asc", g, true, false); }), 26);
    EXPECT_NE(Console().find("error creating no/such/dir/g.asc for writing in text mode."), std::string::npos);
    // The prefix counts: a relative name gets it, an absolute one does not.
    EXPECT_EQ(modelobject::ExpandPath("in/", "a.asc"), "in/a.asc");
    EXPECT_EQ(modelobject::ExpandPath("in/", "/data/a.asc"), "/data/a.asc");
    EXPECT_EQ(modelobject::ExpandPath("in/", "~/a.asc"), "~/a.asc");
}

TEST_F(GridFileTest, BinaryGridsCarryWeightedStatistics) {
    Matrix g = obj_->matrix(1, 4, 1, 5, 4);
    Matrix area = obj_->matrix(1, 4, 1, 5, 4);
    area.fill(1.0);
    std::vector<double> values;
    for (int r = 1; r <= 4; ++r)
        for (int c = 1; c <= 5; ++c) values.push_back(g[r][c] = r * 10 + c);
    g[2][2] = -9999;
    values[6] = -9999;
    area[3][3] = 2.0;
    std::vector<ColumnRange> basin{{0, 0}, {1, 5}, {1, 5}, {1, 5}, {2, 4}};
    obj_->basinColumns = &basin;
    obj_->relCellArea = &area;
    const std::string name = "s" + std::to_string(Rank()) + ".bin";
    obj_->WriteGrid(name, g, false, true);
    const std::string bytes = ReadFile(name);
    ASSERT_EQ(bytes.size(), (12u + 20u) * 8u);
    double head[12];
    std::memcpy(head, bytes.data(), sizeof head);
    // Counted: every value but the nodata cell and columns 1 and 5 of row 4; 33 twice.
    double n = 0, sum = 0, squares = 0;
    for (int r = 1; r <= 4; ++r)
        for (int c = 1; c <= 5; ++c) {
            if ((r == 2 && c == 2) || (r == 4 && (c == 1 || c == 5))) continue;
            const double w = (r == 3 && c == 3) ? 2.0 : 1.0, v = r * 10 + c;
            n += w, sum += v * w, squares += v * v * w;
        }
    EXPECT_EQ(head[0], 5);
    EXPECT_EQ(head[5], -9999);
    EXPECT_EQ(head[6], n);
    EXPECT_EQ(head[7], 11);
    EXPECT_EQ(head[8], 44);
    EXPECT_EQ(head[9], sum);
    EXPECT_EQ(head[10], sum / n);
    EXPECT_NEAR(head[11], std::sqrt((squares - sum * sum / n) / (n - 1)), 1e-9);
    EXPECT_EQ(bytes.substr(96), Binary<double>(values));

    obj_->WriteGrid(name, g, false, false);
    const std::string floats = ReadFile(name);
    ASSERT_EQ(floats.size(), 32u * 4u);
    EXPECT_EQ(floats.substr(48), Binary<float>(values));
    float fhead[12];
    std::memcpy(fhead, floats.data(), sizeof fhead);
    EXPECT_EQ(fhead[6], static_cast<float>(n));
    EXPECT_EQ(SigintHandler(), &OnCtrlC);
}

TEST_F(GridFileTest, WideBinaryGridsKeepEveryValueAndANonFiniteCellComesFirst) {
    // Rows of 30001 values: every row ends in a different place of the blocks written at once.
    auto o = MakeObject(30001, 5);
    Matrix g = o->matrix(1, 5, 1, 30001, 5);
    std::vector<double> values;
    for (int r = 1; r <= 5; ++r)
        for (int c = 1; c <= 30001; ++c) values.push_back(g[r][c] = r * 1.0e5 + c + 0.125);
    const std::string name = "w" + std::to_string(Rank()) + ".bin";
    o->WriteGrid(name, g, false, true);
    std::string bytes = ReadFile(name);
    ASSERT_EQ(bytes.size(), (12u + values.size()) * 8u);
    EXPECT_EQ(bytes.substr(96), Binary<double>(values));
    double head[12];
    std::memcpy(head, bytes.data(), sizeof head);
    EXPECT_EQ(head[6], 150005);
    EXPECT_EQ(head[7], 100001.125);
    EXPECT_EQ(head[8], 530001.125);
    o->WriteGrid(name, g, false, false);
    bytes = ReadFile(name);
    EXPECT_EQ(bytes.substr(48), Binary<float>(values));

    // A NaN in the last row stops the write with its place before any other fault is told,
    // and the file written before stays as it was.
    g[5][29999] = std::nan("");
    EXPECT_EQ(ErrorCode([&] { o->WriteGrid(name, g, false, false); }), 17);
    EXPECT_NE(Console().find("row 5, column 29999 of " + name), std::string::npos);
    EXPECT_EQ(ReadFile(name), bytes);
    EXPECT_NE(access((name + ".part").c_str(), F_OK), 0);
    EXPECT_EQ(ErrorCode([&] { o->WriteGrid("no/such/dir/w.bin", g, false, true); }), 17);
    EXPECT_EQ(ErrorCode([&] { o->WriteGrid(std::string(1201, 'x'), g, false, true); }), 17);
    Matrix narrow = o->matrix(1, 5, 1, 3, 5);
    narrow[4][2] = -std::numeric_limits<double>::infinity();
    EXPECT_EQ(ErrorCode([&] { o->WriteGrid(name, narrow, false, true); }), 17);
}

// Every column of a row is looked at, whatever the row's width (1 to 9 columns: every
// remainder of a block of four): an infinite or NaN value anywhere stops both writers with the
// cell's place, while the largest, smallest and negative-zero finite values go through.
TEST_F(GridFileTest, ANonFiniteValueInAnyColumnStopsTheWrite) {
    const double inf = std::numeric_limits<double>::infinity();
    const double bad[] = {inf, -inf, std::nan("")};
    const double edge[] = {std::numeric_limits<double>::max(), -std::numeric_limits<double>::max(),
                           std::numeric_limits<double>::denorm_min(), -0.0, 3.5};
    const std::string tag = std::to_string(Rank());
    for (int cols = 1; cols <= 9; ++cols) {
        auto o = MakeObject(cols, 2);
        Matrix g = o->matrix(1, 2, 1, cols, 2), h = o->matrix(1, 2, 1, cols, 2);
        for (int r = 1; r <= 2; ++r)
            for (int c = 1; c <= cols; ++c) g[r][c] = edge[(r * cols + c) % 5], h[r][c] = 1;
        const std::string name = "f" + tag + "_" + std::to_string(cols);
        const std::vector<std::pair<std::string, const Matrix*>> files{{name + "a", &h}, {name + "b", &g}};
        EXPECT_EQ(o->WriteBinaryGrids(files, true), 2) << cols;
        EXPECT_EQ(ErrorCode([&] { o->WriteGrid(name, g, false, true); }), 0) << cols;
        for (int c = 1; c <= cols; ++c)
            for (const double v : bad) {
                const double kept = g[2][c];
                g[2][c] = v;
                ClearConsole();
                EXPECT_EQ(o->WriteBinaryGrids(files, false), 0) << cols << " " << c << " " << v;
                EXPECT_EQ(ErrorCode([&] { o->WriteGrid(name, g, false, false); }), 17) << cols << " " << c << " " << v;
                EXPECT_NE(Console().find("row 2, column " + std::to_string(c) + " of " + name), std::string::npos)
                    << cols << " " << c << " " << v;
                g[2][c] = kept;
            }
    }
}

// Several grids written in one pass: each file is the one WriteGrid writes (statistics weighted
// by cell areas that are no whole numbers, so any other order of additions shows), also for a
// grid holding only some rows. A fault leaves the files not finished to the caller.
TEST_F(GridFileTest, GridsWrittenTogetherAreTheSingleWrites) {
    auto o = MakeObject(7, 6);
    Matrix area = o->matrix(1, 6, 1, 7, 6);
    std::vector<Matrix> grids;
    for (int k = 0; k < 5; ++k) grids.push_back(o->matrix(1, 6, 1, 7, 6));
    grids.push_back(o->matrix(2, 4, 1, 7, 6));
    for (int r = 1; r <= 6; ++r)
        for (int c = 1; c <= 7; ++c) {
            area[r][c] = 0.3 + 0.07 * ((r * 7 + c) % 5);
            for (std::size_t k = 0; k < grids.size(); ++k)
                if (grids[k].holds(r)) grids[k][r][c] = (r * c + k) % 4 == 0 ? -9999 : 1.0 / (r + c + k) + 0.1 * k * c;
        }
    std::vector<ColumnRange> basin{{0, 0}, {1, 7}, {2, 6}, {0, -1}, {3, 7}, {1, 7}, {2, 2}};
    o->basinColumns = &basin;
    o->relCellArea = &area;
    const std::string tag = std::to_string(Rank());
    for (const bool doubles : {true, false}) {
        const std::vector<std::string> single = WrittenAlone(*o, grids, "one" + tag + "_", doubles);
        const std::array<double, 12> lastHeader = o->header;
        const double lastCount = o->statCount, lastSum = o->statSum;
        o->ResetStatistics(0);
        ExpectWrittenTogetherAsAlone(*o, grids, "all" + tag + "_", single, doubles);
        EXPECT_EQ(o->header, lastHeader);
        EXPECT_EQ(o->statCount, lastCount);
        EXPECT_EQ(o->statSum, lastSum);
    }

    // A NaN finishes no file (the old ones stay); a folder in place of the third file finishes two.
    std::vector<std::pair<std::string, const Matrix*>> files{{"n" + tag + "_0", &grids[0]}, {"n" + tag + "_1", &grids[1]},
                                                             {"n" + tag + "_2", &grids[2]}, {"n" + tag + "_3", &grids[3]}};
    grids[3][6][7] = std::nan("");
    EXPECT_EQ(o->WriteBinaryGrids(files, true), 0);
    for (const auto& file : files) {
        EXPECT_NE(access(file.first.c_str(), F_OK), 0);
        EXPECT_NE(access((file.first + ".part").c_str(), F_OK), 0);
    }
    grids[3][6][7] = 1;
    ASSERT_EQ(mkdir(files[2].first.c_str(), 0755), 0);
    EXPECT_EQ(o->WriteBinaryGrids(files, true), 2);
    EXPECT_EQ(access(files[1].first.c_str(), F_OK), 0);
    EXPECT_NE(access(files[3].first.c_str(), F_OK), 0);
    EXPECT_NE(access((files[3].first + ".part").c_str(), F_OK), 0);
}

// The grids written together keep the single writes' statistics whatever the cell weights: a
// negative weight bringing a count back to zero (the next value is a first one again and sets
// both extremes), a NaN weight, and values equal to an extreme (-0 against 0) that leave it.
TEST_F(GridFileTest, GridsWrittenTogetherCountAsSingleWritesWhateverTheWeights) {
    constexpr double N = -9999, Z = -0.0;
    const double weights[5][6] = {
        {1, 1, 1, 1, 1, 1}, {-1, 1, 1, 1, 1, 1}, {1, 1, 0.5, 1, 2, 1}, {1, 1, 1, 1, 1, 1}, {1, NAN, 1, 1, 1, 1}};
    // Zeros of both signs met by an extreme; a count back to zero in row 2; plain values.
    const double values[3][5][6] = {
        {{0.0, N, N, N, N, N}, {N, N, N, N, N, N}, {Z, 0.0, Z, N, N, N}, {N, Z, N, N, N, N}, {N, N, N, N, N, N}},
        {{5, N, N, N, N, N}, {3, 9, 4, N, N, N}, {N, 8, N, 6, N, N}, {N, N, N, N, N, N}, {N, N, N, N, N, N}},
        {{0.1, 0.7, N, 3, -2, 1}, {2, N, 4, 4, 0.3, 9}, {1, 1, 1, -5, 6, 7}, {N, 2, 2, 8, -8, 0.9}, {4, 4, 4, 4, N, 1}}};
    auto o = MakeObject(6, 5);
    Matrix area = o->matrix(1, 5, 1, 6, 5);
    std::vector<Matrix> grids;
    for (int k = 0; k < 6; ++k) grids.push_back(o->matrix(1, 5, 1, 6, 5));
    for (int r = 1; r <= 5; ++r)
        for (int c = 1; c <= 6; ++c) {
            area[r][c] = weights[r - 1][c - 1];
            // Each kind of values both alone and beside the others (counted three at a time).
            for (std::size_t k = 0; k < grids.size(); ++k) grids[k][r][c] = values[k % 3][r - 1][c - 1];
        }
    o->relCellArea = &area;
    const std::string tag = std::to_string(Rank());
    for (const bool doubles : {true, false})
        ExpectWrittenTogetherAsAlone(*o, grids, "z" + tag + "_", WrittenAlone(*o, grids, "zs" + tag + "_", doubles),
                                     doubles);
}

// Rows whose weights are all exactly one after a first row of one value whose weight leaves a
// count that is no whole number (1/3: each one added rounds anew as the count grows), that
// reaches 2^53 (where adding one no longer changes a count) or with a weight just above one:
// the headers are those of the single writes.
TEST_F(GridFileTest, RowsOfUnitWeightsCountAsSingleWritesAfterAnyCount) {
    constexpr int kCols = 40, kRows = 4;
    for (const double first : {1.0 / 3.0, 9007199254740992.0, 9007199254740990.0, 1.0000000000000002}) {
        auto o = MakeObject(kCols, kRows);
        Matrix area = o->matrix(1, kRows, 1, kCols, kRows);
        std::vector<Matrix> grids;
        for (int k = 0; k < 4; ++k) grids.push_back(o->matrix(1, kRows, 1, kCols, kRows));
        for (int r = 1; r <= kRows; ++r)
            for (int c = 1; c <= kCols; ++c) {
                area[r][c] = r == 1 && c == 1 ? first : r == 3 && c == 7 ? 1.0000000000000002 : 1.0;
                for (std::size_t k = 0; k < grids.size(); ++k)
                    grids[k][r][c] = (r == 1 && c > 1) || (r + c + static_cast<int>(k)) % 9 == 0
                                         ? -9999
                                         : 0.37 * c - 1.3 * r + 0.01 * static_cast<double>(k);
            }
        o->relCellArea = &area;
        const std::string tag = std::to_string(Rank());
        for (const bool doubles : {true, false})
            ExpectWrittenTogetherAsAlone(*o, grids, "u" + tag + "_", WrittenAlone(*o, grids, "us" + tag + "_", doubles),
                                         doubles);
    }
}

// A single write's header statistics are those of one count per value in row order, whatever
// the weights: unit rows after a count that is no whole number or reaches 2^53, a weight of two
// or just above one, a negative weight bringing the count back to zero, a NaN weight, zeros of both signs.
TEST_F(GridFileTest, SingleWritesCountTheirValuesOneByOne) {
    constexpr int kCols = 9, kRows = 4;
    for (const double first : {1.0, 1.0 / 3.0, 9007199254740992.0, 1.0000000000000002, -1.0, std::nan("")}) {
        auto o = MakeObject(kCols, kRows);
        Matrix area = o->matrix(1, kRows, 1, kCols, kRows), g = o->matrix(1, kRows, 1, kCols, kRows);
        for (int r = 1; r <= kRows; ++r)
            for (int c = 1; c <= kCols; ++c) {
                area[r][c] = r == 1 && c == 1   ? first
                             : r == 4 && c == 3 ? 1.0000000000000002
                             : r == 3 && c == 5 ? 2.0
                                                : 1.0;
                g[r][c] = (r == 1 && c > 1) || (r + c) % 7 == 0 ? -9999 : (c % 3 == 0 ? (r % 2 ? -0.0 : 0.0) : 0.37 * c - 1.3 * r);
            }
        o->relCellArea = &area;
        const std::string name = "single" + std::to_string(Rank()) + ".bin";
        o->WriteGrid(name, g, false, true);
        const std::string bytes = ReadFile(name);
        o->ResetStatistics(-9999);
        for (int r = 1; r <= kRows; ++r)
            for (int c = 1; c <= kCols; ++c) o->AddToStatistics(g[r][c], area[r][c]);
        double want[6];
        o->GetStatistics(&want[0], &want[1], &want[2], &want[3], &want[4], &want[5]);
        ASSERT_GE(bytes.size(), 12 * sizeof(double));
        EXPECT_EQ(std::memcmp(bytes.data() + 6 * sizeof(double), want, sizeof want), 0) << first;
    }
}

// Rows of unit weights whose basin values are all counted, of every length up to 29, with values
// of no short binary form and of either sign (all counted), so that any other order of additions
// moves the sums: the header's sum and sum of squares are one addition per value in row and
// column order.
TEST_F(GridFileTest, CountedRowsAddTheirValuesInColumnOrder) {
    constexpr int kCols = 29, kRows = 30;
    auto o = MakeObject(kCols, kRows);
    Matrix area = o->matrix(1, kRows, 1, kCols, kRows), g = o->matrix(1, kRows, 1, kCols, kRows);
    area.fill(1.0);
    std::vector<ColumnRange> basin(static_cast<std::size_t>(kRows) + 1, ColumnRange{0, 0});
    for (int r = 1; r <= kRows; ++r) {
        const int first = 1 + r % 3;
        basin[static_cast<std::size_t>(r)] = {first, std::min(kCols, first + r - 1)};
        for (int c = 1; c <= kCols; ++c)
            g[r][c] = 1.0e3 / (3 + (r * 37 + c * 11) % 101) + (c % 5 == 0 ? 12345.678 : 0.0) -
                      (c % 4 == 0 ? 9.0e3 / 11.0 : 0.0);
    }
    o->basinColumns = &basin;
    o->relCellArea = &area;
    const std::string name = "order" + std::to_string(Rank()) + ".bin";
    o->WriteGrid(name, g, false, true);
    const std::string bytes = ReadFile(name);
    o->ResetStatistics(-9999);
    for (int r = 1; r <= kRows; ++r) {
        const ColumnRange& range = basin[static_cast<std::size_t>(r)];
        for (int c = range.first; c <= range.last; ++c) o->AddToStatistics(g[r][c], 1.0);
    }
    double want[6];
    o->GetStatistics(&want[0], &want[1], &want[2], &want[3], &want[4], &want[5]);
    ASSERT_GE(bytes.size(), 12 * sizeof(double));
    EXPECT_EQ(std::memcmp(bytes.data() + 6 * sizeof(double), want, sizeof want), 0);
}

// Rows of unit weights of every length up to past a block of 32 values, whole or with one value
// that is not counted (nodata, or the value just at the threshold) at any place: in a group of
// four side by side, in a later block or in the values after the last group. The header is one
// count per value in row order, the other values of such a row counted alone.
TEST_F(GridFileTest, AValueNotCountedAnywhereInARowLeavesItOut) {
    constexpr int kCols = 40;
    constexpr double N = -9999;
    std::vector<std::pair<int, int>> places;  // (length, place of the value left out; 0: none)
    for (int length = 1; length <= kCols; ++length)
        for (int at = 0; at <= length; ++at) places.emplace_back(length, at);
    const int rows = 1 + static_cast<int>(places.size());
    auto o = MakeObject(kCols, rows);
    Matrix area = o->matrix(1, rows, 1, kCols, rows), g = o->matrix(1, rows, 1, kCols, rows);
    area.fill(1.0);
    g.fill(1.0e3);  // beside the basin columns a value would be counted if it were looked at
    // The first row settles the count on one value; each row after it leaves one value out.
    std::vector<ColumnRange> basin(static_cast<std::size_t>(rows) + 1, ColumnRange{0, 0});
    basin[1] = {1, 1};
    g[1][1] = 0.5;
    for (int r = 2; r <= rows; ++r) {
        const auto [length, at] = places[static_cast<std::size_t>(r - 2)];
        basin[static_cast<std::size_t>(r)] = {1, length};
        for (int c = 1; c <= length; ++c) g[r][c] = c == at ? (r % 2 ? N : N + 1) : 0.37 * c + 1.0 / (r + 2);
    }
    o->basinColumns = &basin;
    o->relCellArea = &area;
    const std::string name = "left" + std::to_string(Rank()) + ".bin";
    o->WriteGrid(name, g, false, true);
    const std::string bytes = ReadFile(name);
    o->ResetStatistics(N);
    for (int r = 1; r <= rows; ++r)
        for (int c = 1; c <= basin[static_cast<std::size_t>(r)].last; ++c) o->AddToStatistics(g[r][c], 1.0);
    double want[6];
    o->GetStatistics(&want[0], &want[1], &want[2], &want[3], &want[4], &want[5]);
    ASSERT_GE(bytes.size(), 12 * sizeof(double));
    EXPECT_EQ(std::memcmp(bytes.data() + 6 * sizeof(double), want, sizeof want), 0);
    // The first value and, for each length L <= 40, L values and L rows of L - 1: 1 + sum of L^2.
    EXPECT_EQ(want[0], 22141.0);
}

// Rows of unit weights whose basin values are all counted, of every length up to past two
// lanes of four, with extremes of zero of both signs (the first met is kept) reached after a
// running extreme of either sign or a nonzero one, zeros that are not extremes, and extremes
// met twice, the first zero of a row away from the first of four values side by side: the
// headers of single writes are one count per value in row order, and the grids written
// together are the single writes. The rows come in several orders; the first grid's
// values are never below zero, the second's never above, so a zero is one of their extremes.
TEST_F(GridFileTest, RowsOfCountedValuesKeepTheOneByOneStatistics) {
    constexpr double Z = -0.0, N = -9999;
    constexpr int kCols = 11, kRows = 12;
    const std::vector<std::vector<double>> kinds = {
        {Z, 0.0, 3, 3, Z, 0.0, 5, 2, 0.0, Z, 1},      {7, 2, -2, 7, -2, 7, 0.0, Z, 4, 4, 4},
        {2, 3, Z, 5, 0.0, 6, 7, 8, 9, 10, 0.0},       {-1, -4, -4, -3, 0.0, Z, -1, -2, Z, -5, -3},
        {0.5, 0.25, 0.125, 8, 0.25, 8, 1, 2, 3, 4, 5}, {Z, Z, Z, Z, Z, 0.0, 0.0, 0.0, Z, 0.0, Z},
        {3, Z, 5, 5, 0.0, 6, 1, 2, Z, 0.0, 9},        {4, 4, 0.0, 7, Z, 1, 1, 0.0, 2, Z, 3},
    };
    const auto signed_ = [](std::size_t k, double v) { return k == 0 ? (v < 0 ? -v : v) : k == 1 ? (v > 0 ? -v : v) : v; };
    auto o = MakeObject(kCols, kRows);
    Matrix area = o->matrix(1, kRows, 1, kCols, kRows);
    area.fill(1.0);
    std::vector<ColumnRange> basin(static_cast<std::size_t>(kRows) + 1, ColumnRange{0, 0});
    for (int r = 1; r <= kRows; ++r) {
        // The first row counts one value (a first one); the others 1..11 values from column 1 or 2.
        const int first = 1 + r % 2;
        basin[static_cast<std::size_t>(r)] = {first, r == 1 ? first : std::min(kCols, first + r - 2)};
    }
    o->basinColumns = &basin;
    o->relCellArea = &area;
    const std::string tag = std::to_string(Rank());
    for (std::size_t shift = 0; shift < kinds.size(); ++shift) {
        std::vector<Matrix> grids;
        for (std::size_t k = 0; k < 3; ++k) {
            grids.push_back(o->matrix(1, kRows, 1, kCols, kRows));
            for (int r = 1; r <= kRows; ++r) {
                const ColumnRange range = basin[static_cast<std::size_t>(r)];
                const auto& kind = kinds[(static_cast<std::size_t>(r) + 2 * k + shift) % kinds.size()];
                // Outside the basin columns a value would move the extremes if it were counted.
                for (int c = 1; c <= kCols; ++c)
                    grids[k][r][c] = c >= range.first && c <= range.last ? signed_(k, kind[static_cast<std::size_t>(c - 1)])
                                                                         : (c % 2 ? N : -100.0 * (r + 1));
            }
        }
        for (std::size_t k = 0; k < grids.size(); ++k) {
            const std::string name = "c" + tag + "_" + std::to_string(k);
            o->WriteGrid(name, grids[k], false, true);
            const std::string bytes = ReadFile(name);
            o->ResetStatistics(N);
            for (int r = 1; r <= kRows; ++r)
                for (int c = basin[static_cast<std::size_t>(r)].first; c <= basin[static_cast<std::size_t>(r)].last; ++c)
                    o->AddToStatistics(grids[k][r][c], 1.0);
            double want[6];
            o->GetStatistics(&want[0], &want[1], &want[2], &want[3], &want[4], &want[5]);
            ASSERT_GE(bytes.size(), 12 * sizeof(double));
            EXPECT_EQ(std::memcmp(bytes.data() + 6 * sizeof(double), want, sizeof want), 0) << shift << " " << k;
        }
        for (const bool doubles : {true, false})
            ExpectWrittenTogetherAsAlone(*o, grids, "ct" + tag + "_", WrittenAlone(*o, grids, "cs" + tag + "_", doubles),
                                         doubles);
    }

    // After a first value of 5 (or -5), a whole row whose first zero is not the one the first
    // of four side-by-side values meets first sets the extreme to that first zero.
    auto two = MakeObject(kCols, 2);
    std::vector<ColumnRange> whole{{0, 0}, {1, 1}, {1, kCols}};
    two->basinColumns = &whole;
    for (const std::size_t kind : {std::size_t{6}, std::size_t{7}})
        for (const double first : {5.0, -5.0}) {
            Matrix g = two->matrix(1, 2, 1, kCols, 2);
            g.fill(N);
            g[1][1] = first;
            for (int c = 1; c <= kCols; ++c) g[2][c] = signed_(first > 0 ? 0 : 1, kinds[kind][static_cast<std::size_t>(c - 1)]);
            const std::string name = "z" + tag;
            two->WriteGrid(name, g, false, true);
            const std::string bytes = ReadFile(name);
            ASSERT_GE(bytes.size(), 12 * sizeof(double));
            double extremes[2];
            std::memcpy(extremes, bytes.data() + 7 * sizeof(double), sizeof extremes);
            const double zero = extremes[first > 0 ? 0 : 1];
            EXPECT_EQ(zero, 0.0) << kind << " " << first;
            EXPECT_EQ(std::signbit(zero), kind == 6) << kind << " " << first;
        }

    // A value that is not finite in a row of counted values, inside its basin columns or beside
    // them, stops a write of grids together.
    std::vector<ColumnRange> middle{{0, 0}, {1, 1}, {3, 8}};
    two->basinColumns = &middle;
    Matrix a = two->matrix(1, 2, 1, kCols, 2), b = two->matrix(1, 2, 1, kCols, 2);
    a.fill(1.5);
    b.fill(2.5);
    const std::vector<std::pair<std::string, const Matrix*>> files{{"fa" + tag, &a}, {"fb" + tag, &b}};
    EXPECT_EQ(two->WriteBinaryGrids(files, true), 2);
    for (const int c : {1, 2, 3, 5, 8, 9, kCols})
        for (const double v : {std::numeric_limits<double>::infinity(), std::nan("")}) {
            b[2][c] = v;
            EXPECT_EQ(two->WriteBinaryGrids(files, true), 0) << c << " " << v;
            b[2][c] = 2.5;
        }
}

// Long rows of five grids written together (counted three and two side by side), each row of
// one grid holding a value that is not counted (nodata or just at the floor) in the first block
// of 32 columns, a later block or the last columns, or none; the extremes of 0 of both signs, of
// an infinity and of equal values: the files are the single writes.
TEST_F(GridFileTest, LongRowsWrittenTogetherWithAValueLeftOutAreTheSingleWrites) {
    constexpr int kCols = 75, kGrids = 5;
    constexpr double N = -9999;
    const int places[] = {0, 1, 17, 32, 33, 64, 70, kCols};
    const int rows = 1 + kGrids * static_cast<int>(std::size(places));
    auto o = MakeObject(kCols, rows);
    std::vector<Matrix> grids;
    for (int k = 0; k < kGrids; ++k) grids.push_back(o->matrix(1, rows, 1, kCols, rows));
    for (int r = 1; r <= rows; ++r) {
        // Row 1 settles every count; then each grid in turn leaves one value out of its rows.
        const int holder = (r - 2) / static_cast<int>(std::size(places));
        const int at = r == 1 ? 0 : places[(r - 2) % static_cast<int>(std::size(places))];
        for (int k = 0; k < kGrids; ++k)
            for (int c = 1; c <= kCols; ++c) {
                double v = 0.37 * ((c * 7 + r * 3 + k) % 23) - 2.0;
                if (c == 5 + k) v = (r + k) % 2 ? 0.0 : -0.0;
                if (c == 40 && r % 7 == 3) v = 11.5;
                if (k == holder && c == at) v = (r % 2 ? N : N + 1);
                grids[static_cast<std::size_t>(k)][r][c] = v;
            }
    }
    const std::string tag = std::to_string(Rank());
    for (const bool doubles : {true, false})
        ExpectWrittenTogetherAsAlone(*o, grids, "lt" + tag + "_", WrittenAlone(*o, grids, "ls" + tag + "_", doubles),
                                     doubles);
    // An infinity in a long row counted side by side stops the write.
    grids[1][3][50] = std::numeric_limits<double>::infinity();
    std::vector<std::pair<std::string, const Matrix*>> files;
    for (int k = 0; k < kGrids; ++k) files.emplace_back("li" + tag + "_" + std::to_string(k), &grids[static_cast<std::size_t>(k)]);
    EXPECT_EQ(o->WriteBinaryGrids(files, true), 0);
}

// Every process but 0 writes its rows 2p..2p+1 into the files process 0 creates: the files are
// process 0's one-pass writes of its whole copies. A NaN in another process's row, a process
// lacking a row it is to write, or rows given to two processes finish no file.
TEST_F(GridFileTest, GridsWrittenByEveryProcessAreProcessZerosWrites) {
    auto o = MakeObject(7, 9);
    Matrix area = o->matrix(1, 9, 1, 7, 9);
    std::vector<Matrix> grids;
    for (int k = 0; k < 3; ++k) grids.push_back(o->matrix(1, 9, 1, 7, 9));
    for (int r = 1; r <= 9; ++r)
        for (int c = 1; c <= 7; ++c) {
            area[r][c] = 0.3 + 0.07 * ((r * 7 + c) % 5);
            for (std::size_t k = 0; k < grids.size(); ++k)
                grids[k][r][c] = (r * c + k) % 4 == 0 ? -9999 : 1.0 / (r + c + k) + 0.1 * k * c;
        }
    std::vector<ColumnRange> basin{{0, 0}, {1, 7}, {2, 6}, {0, -1}, {3, 7}, {1, 7}, {2, 2}, {1, 7}, {4, 5}, {1, 7}};
    o->basinColumns = &basin;
    o->relCellArea = &area;
    std::vector<int> rows{1, 0};
    for (int p = 1; p < Size(); ++p) rows.insert(rows.end(), {2 * p, 2 * p + 1});
    for (const bool doubles : {true, false}) {
        std::vector<std::pair<std::string, const Matrix*>> files{{"s0", &grids[0]}, {"s1", &grids[1]}, {"s2", &grids[2]}};
        const int written = o->WriteBinaryGridsShared(files, doubles, rows);
        std::vector<std::pair<std::string, const Matrix*>> alone{{"a0", &grids[0]}, {"a1", &grids[1]}, {"a2", &grids[2]}};
        if (Rank() == 0) {
            const std::array<double, 12> header = o->header;
            EXPECT_EQ(written, 3);
            EXPECT_EQ(o->WriteBinaryGrids(alone, doubles), 3);
            EXPECT_EQ(o->header, header);
            for (int k = 0; k < 3; ++k)
                EXPECT_EQ(ReadFile(files[k].first), ReadFile(alone[k].first)) << k << doubles;
        } else {
            EXPECT_EQ(written, 0);
        }
        MPI_Barrier(MPI_COMM_WORLD);
    }

    std::vector<std::pair<std::string, const Matrix*>> files{{"n0", &grids[0]}, {"n1", &grids[1]}};
    if (Rank() == 0) grids[1][3][4] = std::nan("");
    EXPECT_EQ(o->WriteBinaryGridsShared(files, false, rows), 0);
    grids[1][3][4] = 1;
    if (Size() >= 3) {
        // Process 2 lacks row 5 of the second grid.
        Matrix part = o->matrix(1, 4, 1, 7, 9);
        std::vector<std::pair<std::string, const Matrix*>> lacking{files[0], {"n1", Rank() == 2 ? &part : &grids[1]}};
        EXPECT_EQ(o->WriteBinaryGridsShared(lacking, false, rows), 0);
        // Rows 2..3 given to process 2 as well.
        std::vector<int> twice = rows;
        twice[4] = 2;
        EXPECT_EQ(o->WriteBinaryGridsShared(files, false, twice), 0);
    }
    MPI_Barrier(MPI_COMM_WORLD);
    for (const auto& file : files) {
        EXPECT_NE(access(file.first.c_str(), F_OK), 0);
        EXPECT_NE(access((file.first + ".part").c_str(), F_OK), 0);
    }
}

// Text files whose rows every process formats a share of are what process 0 writes alone:
// rows it does not hold, values of every spelling, more processes than some blocks have rows
// (a grid of 3 rows). Lines formatted for a grid go only into that grid's file, once, and the
// own-cells writer formats its own.
TEST_F(GridFileTest, TextRowsFormattedTogetherGiveProcessZerosFile) {
    for (const int nrows : {9, 3}) {
        auto o = MakeObject(7, nrows);
        o->rank = Rank();
        o->size = Size();
        Matrix g = o->matrix(2, nrows, 1, 7, nrows);
        Matrix other = o->matrix(1, nrows, 1, 7, nrows);
        const double spellings[] = {1.5, -0.0, 1e-7, 123456789, -3.25, 1e20, -9999, 0.1, 2.0 / 3, -1e-300, 42};
        for (int r = 2; r <= nrows; ++r)
            for (int c = 1; c <= 7; ++c) {
                g[r][c] = spellings[(r * 7 + c) % 11] * (Rank() == 0 ? 1 : -3);  // only process 0's count
                other[r][c] = r + c * 0.5;
            }
        for (int c = 1; c <= 7; ++c) other[1][c] = -c;
        o->FormatTextRowsTogether({Rank() == 0 ? &g : nullptr, nullptr, Rank() == 0 ? &other : nullptr});
        if (Rank() == 0) {
            o->WriteGrid("together.asc", g, true, false);
            o->WriteGrid("again.asc", g, true, false);
            o->WriteGridOwnCells("own.asc", other, true, false);
            o->WriteGrid("other.asc", other, true, false);
            o->DropFormattedTextRows();
            o->WriteGrid("alone.asc", g, true, false);
            o->WriteGrid("otherAlone.asc", other, true, false);
            EXPECT_EQ(ReadFile("together.asc"), ReadFile("alone.asc")) << nrows;
            EXPECT_EQ(ReadFile("again.asc"), ReadFile("alone.asc")) << nrows;
            EXPECT_EQ(ReadFile("other.asc"), ReadFile("otherAlone.asc")) << nrows;
            EXPECT_NE(ReadFile("alone.asc").find("nodata_value\t-9999\n-9999\t-9999\t-9999"), std::string::npos);
        }
        MPI_Barrier(MPI_COMM_WORLD);
    }
}

TEST_F(GridFileTest, ReadingIntoAGivenGridFillsTheRowsItHolds) {
    Share("d.asc", "ncols 5\nnrows 4\nxllcorner 100\nyllcorner 200\ncellsize 50\nnodata_value -9999\n"
                   "1 2 3 4 5\n6 7 8 9 10\n11 12 13 14 15\n16 17 18 19 20\n");
    Matrix g = obj_->matrix(2, 3, 1, 5, 4);
    // The local flag makes every process read the file itself.
    obj_->ReadGrid("d.asc", &g, 0, false, false, 0, false, false, true);
    EXPECT_EQ(g[2][3], 8);
    EXPECT_EQ(g[3][5], 15);
    EXPECT_FALSE(g.holds(1));
    EXPECT_FALSE(g.holds(4));
}

class DistributedGridTest : public talvo_test::ScenarioTest {
protected:
    // Reads file whole (process 0) and in own rows: every cell the basin's value or nodata.
    void ExpectEveryValueRead(const std::string& file) {
        Matrix whole, own;
        obj_->ReadGrid(file, &whole, 0, true, false, 0, false, true);
        obj_->ReadGridOwnRows(file, &own, 0, false, 0, false);
        for (int r = 1; r <= kRows; ++r)
            for (int c = 1; c <= kCols; ++c) {
                const double expected = Valid(r, c) ? Value(r, c) : -9999.0;
                if (Rank() == 0) { ASSERT_EQ(whole[r][c], expected) << r << "," << c; }
                if (Mine(r, c)) { ASSERT_EQ(own[r][c], expected) << r << "," << c; }
            }
    }
};

TEST_F(DistributedGridTest, TextGridIsScatteredToTheOwners) {
    Share("basin.asc", BasinText());
    Matrix g;
    obj_->ReadGrid("basin.asc", &g, 0, true, true, 0, false, false, false, true);
    EXPECT_EQ(g.firstRow(), d_.lo);
    EXPECT_EQ(g.lastRow(), d_.hi);
    for (int r = d_.lo; r <= d_.hi; ++r)
        for (int c = 1; c <= kCols; ++c) {
            bool halo = false;
            for (const HaloRecord& h : d_.recvHalo) halo = halo || (h.row == r && c >= h.firstCol && c < h.firstCol + h.count);
            if (Mine(r, c) || (halo && Valid(r, c))) {
                ASSERT_EQ(g[r][c], Value(r, c)) << r << "," << c;
            }
        }
    if (Rank() == 0) {
        EXPECT_NE(Console().find("reading basin.asc for testmodule..."), std::string::npos);
    }

    Matrix whole;
    obj_->ReadGrid("basin.asc", &whole, 0, true, false, 0, false, true);
    if (Rank() == 0) {
        EXPECT_EQ(whole.firstRow(), 1);
        EXPECT_EQ(whole.lastRow(), kRows);
        EXPECT_EQ(whole[9][12], -9999);
        EXPECT_EQ(whole[8][10], Value(8, 10));
    }
}

TEST_F(DistributedGridTest, BinaryGridsAreReadRowByRowByEveryProcess) {
    std::vector<double> header{kCols, kRows, 100, 200, 50, -9999, 0, 0, 0, 0, 0, 0}, values;
    for (int r = 1; r <= kRows; ++r)
        for (int c = 1; c <= kCols; ++c) values.push_back(Valid(r, c) ? Value(r, c) : -9999);
    for (bool doubles : {true, false}) {
        Share("basin.bin", doubles ? Binary<double>(header) + Binary<double>(values)
                                   : Binary<float>(header) + Binary<float>(values));
        for (bool halo : {false, true}) {
            Matrix g;
            obj_->ReadGrid("basin.bin", &g, 0, true, false, 0, false, false, false, halo);
            const int from = halo ? d_.lo : obj_->firstRow, to = halo ? d_.hi : obj_->lastRow;
            EXPECT_EQ(g.firstRow(), from);
            EXPECT_EQ(g.lastRow(), to);
            for (int r = from; r <= to; ++r)
                for (int c = 1; c <= kCols; ++c) ASSERT_EQ(g[r][c], Valid(r, c) ? Value(r, c) : -9999) << r << "," << c;
        }
        // Process 0 alone keeps the whole grid (the snow model's slides ask so in a warm start):
        // the others still get their own cells, nobody waits in a read the others left.
        Matrix part;
        obj_->ReadGrid("basin.bin", &part, 0, true, false, 0, false, Rank() == 0);
        const int from = Rank() == 0 ? 1 : obj_->firstRow, to = Rank() == 0 ? kRows : obj_->lastRow;
        ASSERT_EQ(part.firstRow(), from);
        ASSERT_EQ(part.lastRow(), to);
        for (int r = from; r <= to; ++r)
            for (int c = 1; c <= kCols; ++c) {
                if (Rank() == 0 || Mine(r, c)) {
                    EXPECT_EQ(part[r][c], Valid(r, c) ? Value(r, c) : -9999) << r << "," << c;
                }
            }
    }
}

// The rows of a text grid need not be its lines: values wrapped anywhere, with tabs and CRLF,
// spelt with 880 trailing zeros so that values straddle the refills of the reader's buffer, are
// read alike whatever the number of processes, on process 0 whole and on the owners.
TEST_F(DistributedGridTest, TextValuesWrappedAcrossLinesAreReadAlikeAtAnySplit) {
    const std::string lines = BasinText();
    std::size_t body = 0;
    for (int i = 0; i < 6; ++i) body = lines.find('\n', body) + 1;
    std::string text = lines.substr(0, body);
    std::size_t k = 0, pos = body;
    while (pos < lines.size()) {
        const std::size_t stop = lines.find_first_of("\t\n", pos);
        std::string value = lines.substr(pos, stop - pos);
        if (value.find('.') == std::string::npos) value += '.';
        text += value + std::string(880, '0') + (++k % 7 == 0 ? "\r\n" : k % 3 == 0 ? "\t " : " ");
        pos = stop + 1;
    }
    Share("wrapped.asc", text);
    Matrix g;
    obj_->ReadGrid("wrapped.asc", &g, 0, true, false, 0, false, true);
    for (int r = g.firstRow(); r <= g.lastRow(); ++r)
        for (int c = 1; c <= kCols; ++c)
            if (Rank() == 0 || Mine(r, c)) {
                ASSERT_EQ(g[r][c], Valid(r, c) ? Value(r, c) : -9999.0) << r << "," << c;
            }
    if (Rank() == 0) {
        EXPECT_EQ(g.firstRow(), 1);
        EXPECT_EQ(g.lastRow(), kRows);
    }
}

// A text grid of several hundred kilobytes (values spelt with hundreds of digits, runs of
// thousands of blanks between them) is parsed in byte shares by a team of threads, on one
// process from its whole file and on several within each process's share: one thread and four
// read the same numbers. A faulty value, one value too many or too few anywhere make the reading
// fall back to the value-by-value reading, whose message names the same row and column.
TEST_F(DistributedGridTest, TextGridsParsedByThreadsHoldTheNumbersOfOneReading) {
    const int saved = omp_get_max_threads();
    const auto text = [&](int badRow, int badCol, int extra) {
        std::string t = StrFormat("ncols %d\nnrows %d\nxllcorner 100\nyllcorner 200\ncellsize 50\nnodata_value -9999\n",
                                  kCols, kRows);
        for (int r = 1; r <= kRows; ++r)
            for (int c = 1; c <= kCols; ++c) {
                if (r == kRows && c == kCols && extra < 0) break;
                std::string v = Valid(r, c) ? StrFormat("%.1f", Value(r, c)) + std::string(600 + 7 * c, '0') : "-9999";
                if (r == badRow && c == badCol) v += "x";
                t += v + std::string(2000 + 13 * r + c, (r + c) % 3 == 0 ? ' ' : (r + c) % 3 == 1 ? '\t' : '\n');
            }
        if (extra > 0) t += " 1.5\n";
        return t;
    };
    Share("spread.asc", text(0, 0, 0));
    Share("bad.asc", text(8, 9, 0));
    Share("more.asc", text(0, 0, 1));
    Share("fewer.asc", text(0, 0, -1));
    for (int threads : {1, 4}) {
        SCOPED_TRACE(threads);
        omp_set_num_threads(threads);
        ClearConsole();
        ExpectEveryValueRead("spread.asc");
        Matrix g;
        EXPECT_EQ(ErrorCode([&] { obj_->ReadGrid("bad.asc", &g, 0, true, false, 0, false, true); }), 22);
        EXPECT_EQ(ErrorCode([&] { obj_->ReadGrid("more.asc", &g, 0, true, false, 0, false, true); }), 22);
        EXPECT_EQ(ErrorCode([&] { obj_->ReadGrid("fewer.asc", &g, 0, true, false, 0, false, true); }), 22);
        if (Rank() == 0) {
            const std::string console = Console();
            EXPECT_NE(console.find("error reading ascii grid bad.asc in ASCII-Format in row 8, col 10"), std::string::npos);
            EXPECT_NE(console.find("error reading ascii grid more.asc: it holds more than ncols x nrows = 12 x 9 values "
                                   "(next: 1.5)"),
                      std::string::npos);
            EXPECT_NE(console.find("error reading ascii grid fewer.asc in ASCII-Format in row 9, col 12"), std::string::npos);
        }
    }
    omp_set_num_threads(saved);
}

// Half the rows spelt with thousands of blanks after each value, the others with one: the
// processes' shares, placed where the sampled values (not the bytes) divide evenly, cut far
// from the equal byte shares, and every process still gets each value of its rows, whole or own.
TEST_F(DistributedGridTest, TextValuesCrowdedIntoTheLastRowsReachTheirKeepers) {
    std::string t = StrFormat("ncols %d\nnrows %d\nxllcorner 100\nyllcorner 200\ncellsize 50\nnodata_value -9999\n",
                              kCols, kRows);
    for (int r = 1; r <= kRows; ++r)
        for (int c = 1; c <= kCols; ++c)
            t += (Valid(r, c) ? StrFormat("%.17g", Value(r, c)) : std::string("-9999")) +
                 std::string(r <= kRows / 2 ? 3000 + 7 * c : 1, r % 2 == 0 ? ' ' : '\n');
    Share("crowded.asc", t);
    ExpectEveryValueRead("crowded.asc");
}

// The density samples: tokens spread evenly, each region's first eighth holds an eighth of its
// tokens, so the estimates are the exact counts (the first token counts at the values' start);
// a missing file is refused.
TEST(ByteShareTest, SampledTokenCountsScaleToEveryRegion) {
    std::string values;
    for (int i = 0; i < 640; ++i) values += i % 2 ? "12 " : "7\t\t";
    const std::string text = "ncols 7\n" + values;
    const long long start = 8;
    char name[] = "/tmp/bytesampleXXXXXX";
    const int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    std::vector<double> estimates;
    ASSERT_TRUE(gridio::SampleTokenStarts(name, start, start, static_cast<long long>(text.size()), 8, &estimates));
    ASSERT_EQ(estimates.size(), 8u);
    for (const double e : estimates) EXPECT_EQ(e, 80.0);
    // A sample of one byte: the first of "12" is a token's start, the second belongs to it.
    ASSERT_TRUE(gridio::SampleTokenStarts(name, start, start + 3, start + 11, 1, &estimates));
    EXPECT_EQ(estimates[0], 8.0);
    ASSERT_TRUE(gridio::SampleTokenStarts(name, start, start + 4, start + 12, 1, &estimates));
    EXPECT_EQ(estimates[0], 0.0);
    std::remove(name);
    EXPECT_FALSE(gridio::SampleTokenStarts(name, start, start, start + 240, 2, &estimates));
}

// Every process parses the numbers that begin in its share of the bytes: cut the values at
// any two bytes (inside a number, on a blank, at a run of blanks or a line end), the three
// shares hold each number once, in order, and a share cut inside a too-long token says so.
TEST(ByteShareTest, SharesCutAtAnyBytesHoldEveryNumberOnce) {
    const std::string values = "  12.5 -3\t\t7e2\r\n0.125   -0 44\n9 ";
    const std::vector<double> expected = {12.5, -3, 700, 0.125, -0.0, 44, 9};
    const std::string text = "ncols 7\n" + values;
    const long long start = 8, size = static_cast<long long>(text.size());
    char name[] = "/tmp/byteshareXXXXXX";
    const int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    std::FILE* f = std::fopen(name, "rb");
    ASSERT_NE(f, nullptr);
    for (long long a = start; a <= size; ++a)
        for (long long b = a; b <= size; ++b) {
            std::vector<double> all;
            ASSERT_TRUE(gridio::ParseByteShare(f, start, start, a, &all));
            ASSERT_TRUE(gridio::ParseByteShare(f, start, a, b, &all));
            ASSERT_TRUE(gridio::ParseByteShare(f, start, b, size, &all));
            ASSERT_EQ(all.size(), expected.size()) << a << " " << b;
            for (std::size_t i = 0; i < all.size(); ++i) {
                EXPECT_EQ(all[i], expected[i]) << a << " " << b;
                EXPECT_EQ(std::signbit(all[i]), std::signbit(expected[i])) << a << " " << b;
            }
        }
    std::fclose(f);
    std::remove(name);
}

// Shares many times the reader's window long: plain decimals taken in place, other spellings,
// long blank runs and shares cut anywhere give every token once, as strtod reads it.
TEST(ByteShareTest, LongSharesOfMixedSpellingsHoldEveryNumberAsStrtodReadsIt) {
    std::uint64_t state = 99;
    auto next = [&](int n) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<int>(state >> 33) % n;
    };
    const char* odd[] = {"1e3", "+5", "-.5", "7.", "1234567890123456", "0.1234567890123456789", "-0", "-9999"};
    std::string text = "ncols 9\n";
    std::vector<std::string> tokens;
    for (int i = 0; i < 6000; ++i) {
        std::string t = std::to_string(next(100000) - 50000);
        if (next(3) == 0) {
            t += '.';
            t += std::to_string(next(1000));
        }
        if (next(9) == 0) t = odd[next(8)];
        tokens.push_back(t);
        text += t;
        text += next(50) == 0 ? std::string(5000, ' ') : next(10) == 0 ? "\r\n" : "\t";
    }
    char name[] = "/tmp/bytesharelongXXXXXX";
    const int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    std::FILE* f = std::fopen(name, "rb");
    const long long start = 8, size = static_cast<long long>(text.size());
    for (int cut = 0; cut < 20; ++cut) {
        const long long a = start + next(static_cast<int>(size - start)), b = a + next(static_cast<int>(size - a + 1));
        std::vector<double> all;
        ASSERT_TRUE(gridio::ParseByteShare(f, start, start, a, &all) && gridio::ParseByteShare(f, start, a, b, &all) &&
                    gridio::ParseByteShare(f, start, b, size, &all));
        ASSERT_EQ(all.size(), tokens.size()) << a << " " << b;
        for (std::size_t i = 0; i < all.size(); ++i) {
            const double expected = std::strtod(tokens[i].c_str(), nullptr);
            ASSERT_EQ(std::memcmp(&all[i], &expected, sizeof expected), 0) << tokens[i] << " at " << a << " " << b;
        }
    }
    std::fclose(f);
    std::remove(name);
}

TEST_F(DistributedGridTest, GifImagesAreReadOnProcessZeroAndScattered) {
    gif_test::Bytes pixels;
    for (int r = 1; r <= kRows; ++r)
        for (int c = 1; c <= kCols; ++c) pixels.push_back(static_cast<std::uint8_t>(r * 20 + c));
    if (Rank() == 0) gif_test::WriteBytes("basin.gif", gif_test::Encode(kCols, kRows, pixels));
    MPI_Barrier(MPI_COMM_WORLD);
    obj_->SetReferenceValues(100.5 - 25, 200.25 - 25, 50, nullptr);
    obj_->SetGifConversion(100, 1.0, 0.01, 2.0, 0.001);
    Matrix expected = obj_->matrix(1, kRows, 1, kCols, kRows);
    ReadGifGrid(*obj_, "basin.gif", expected);
    Matrix g;
    obj_->ReadGrid("basin.gif", &g);
    for (int r = g.firstRow(); r <= g.lastRow(); ++r)
        for (int c = 1; c <= kCols; ++c) {
            if (Rank() == 0 || Mine(r, c)) {
                ASSERT_EQ(g[r][c], expected[r][c]) << r << "," << c;
            }
        }
    EXPECT_NE(expected[2][2], expected[2][3]);
}

TEST_F(DistributedGridTest, HolesAreFilledFromTheValuesAsRead) {
    std::string text = BasinText();
    // Holes at (3,3) and (4,4); the second must not take the filled value of the first.
    auto hole = [&](int r, int c) {
        char v[32];
        std::snprintf(v, sizeof v, "%g", Value(r, c));
        std::size_t pos = 0;
        for (int i = 0; i < 6 + r - 1; ++i) pos = text.find('\n', pos) + 1;
        pos = text.find(v, pos);
        text.replace(pos, std::strlen(v), "-9999");
    };
    hole(3, 3);
    hole(4, 4);
    Share("holes.asc", text);
    Matrix g;
    obj_->ReadGrid("holes.asc", &g, 1, true, true, -1.0, true, true);
    if (Rank() == 0) {
        EXPECT_EQ(g[3][3], Value(2, 2));
        EXPECT_EQ(g[4][4], Value(3, 4));
        EXPECT_EQ(g[1][1], -9999) << "cells outside the basin are no holes";
        const std::string log = ReadFile("modell_0.log");
        EXPECT_NE(log.find("y: 3 x: 3  in holes.asc -9999.000000 replaced by 202.500000!\n"), std::string::npos) << log;
        EXPECT_NE(log.find("y: 4 x: 4  in holes.asc -9999.000000 replaced by 304.500000!\n"), std::string::npos);
        EXPECT_NE(log.find("in holes.asc: 2 nodata values replaced!\n\n"), std::string::npos);
        EXPECT_NE(Console().find("y: 3 x: 3in holes.asc: -9999 replaced by 202.5"), std::string::npos);
    } else if (Mine(4, 4)) {
        EXPECT_EQ(g[4][4], Value(3, 4)) << "filled values are scattered";
    }
    obj_->ReadGrid("holes.asc", &g, 2, true, false, 42.0, false, true);
    if (Rank() == 0) {
        EXPECT_EQ(g[4][4], 42.0);
    }

    std::string empty = BasinText();
    for (int r = 1; r <= kRows; ++r)
        for (int c = 1; c <= kCols; ++c) {
            char v[32];
            std::snprintf(v, sizeof v, "%g", Value(r, c));
            const std::size_t pos = empty.find(v);
            if (Valid(r, c) && pos != std::string::npos) empty.replace(pos, std::strlen(v), "-9999");
        }
    Share("empty.asc", empty);
    EXPECT_EQ(ErrorCode([&] { obj_->ReadGrid("empty.asc", &g, 1, true, false, -1.0, true); }), 25);
    if (Rank() == 0) {
        EXPECT_NE(Console().find("In empty.asc is a too big hole at x/y = 2/2!"), std::string::npos);
        EXPECT_NE(ReadFile("modell_0.log").find("In empty.asc is a too big hole at x/y = 2/2\n!\n"), std::string::npos);
    }
    obj_->ReadGrid("empty.asc", &g, 1, true, false, 5.0, false, true);
    if (Rank() == 0) {
        EXPECT_EQ(g[2][2], 5.0) << "without the report flag a too big hole takes the fill value";
    }
}

TEST_F(DistributedGridTest, GatheredGridIsWrittenAsWithOneProcess) {
    Matrix own = OwnGrid();
    Matrix copy = obj_->MPIGatherGridCopy(0, &own);
    const Matrix& whole = copy.empty() ? own : copy;
    if (Rank() == 0) {
        WriteFile("old.asc", std::string(5000, 'x'));
        obj_->WriteGrid("old.asc", whole, true, false);
        EXPECT_EQ(ReadFile("old.asc"), BasinText());
        obj_->WriteGrid("basin.bin", whole, false, true);
        std::string want;
        std::vector<double> values;
        obj_->ResetStatistics(-9999);
        for (int r = 1; r <= kRows; ++r)
            for (int c = 1; c <= kCols; ++c) {
                values.push_back(Valid(r, c) ? Value(r, c) : -9999);
                if (Valid(r, c)) obj_->AddToStatistics(Value(r, c), 1.0);
            }
        std::vector<double> header{kCols, kRows, 100.5, 200.25, 50, -9999, 0, 0, 0, 0, 0, 0};
        obj_->GetStatistics(&header[6], &header[7], &header[8], &header[9], &header[10], &header[11]);
        EXPECT_EQ(header[6], 77);
        EXPECT_EQ(ReadFile("basin.bin"), Binary<double>(header) + Binary<double>(values));
    }
}

}  // namespace
