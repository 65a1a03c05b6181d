// Zone statistics tables: header, rows, intervals, kinds, buffering, the table of statistics
// outputs and the reduction over processes (every test runs at 1, 2 and 4 processes and
// compares whole files, so the tables must not depend on the process count).
#include <gtest/gtest.h>

#include <mpi.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <sstream>
#include <vector>

#include "kernel/zonestat.hpp"
#include "kernel_fixture.hpp"

namespace {

using talvo_test::Rank;
using talvo_test::ReadFile;
using talvo_test::Size;

std::string Golden(const std::string& name) {
    return ReadFile((std::filesystem::path(TALVO_KERNEL_GOLDEN_DIR) / name).string());
}

// A 4 x 4 basin of three zones (codes 10, 20, 30) with one cell outside; grid row r belongs
// to process (r - 1) mod size.
constexpr int kRows = 4, kCols = 4;
constexpr int kZoneGrid[kRows][kCols] = {{10, 10, 20, 20}, {10, 10, 20, 20}, {30, 30, 30, -9999}, {30, 30, 20, 20}};

int ZonePosition(int code) { return code / 10; }
bool OwnRow(int r) { return (r - 1) % Size() == Rank(); }

class ZoneStatTest : public talvo_test::KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        records_.assign(4, zoneFZT{});
        const double rel[] = {0, 0.25, 0.375, 0.375};
        for (int i = 1; i <= 3; ++i) {
            records_[static_cast<std::size_t>(i)].zonenwert = 10.0 * i;
            records_[static_cast<std::size_t>(i)].rel = rel[i];
        }
        weights_ = memory_.matrix(1, kRows, 1, kCols, kRows);
        weights_.fill(1.0);
        weights_[1][1] = 0.5;
        weights_[4][4] = -9999.0;  // no weight: the plain weight counts
    }
    std::unique_ptr<zonalstatistic> Make(long code, int decimals = 3, std::vector<int> selected = {},
                                         int* error = nullptr) {
        int err = -1;
        auto s = std::make_unique<zonalstatistic>(&err, log_.get(), &weights_, kRows, kCols, records_.data(), 3, code,
                                                  decimals, "stat.txt", "", static_cast<int>(selected.size()),
                                                  selected);
        if (error) {
            *error = err;
        } else {
            EXPECT_EQ(err, 0);
        }
        return s;
    }

    // One model step: every process adds the cells of its own rows, value r + c/2 + t/4.
    void AddStep(zonalstatistic& s, int t, int hour) {
        s.Reset();
        for (int r = 1; r <= kRows; ++r) {
            if (!OwnRow(r)) continue;
            for (int c = 1; c <= kCols; ++c) {
                if (kZoneGrid[r - 1][c - 1] < 0) continue;
                s.AddValue(r, c, ZonePosition(kZoneGrid[r - 1][c - 1]), r + 0.5 * c + 0.25 * t, 1.0);
            }
        }
        s.Step(2016, 9, 25, hour, 1);
    }

    // Weighted mean of zone position zone (0: the basin) over the given steps, in cell order.
    double Reference(int zone, std::vector<int> steps) const {
        double sum = 0, weight = 0;
        for (int t : steps)
            for (int r = 1; r <= kRows; ++r)
                for (int c = 1; c <= kCols; ++c) {
                    const int code = kZoneGrid[r - 1][c - 1];
                    if (code < 0 || (zone != 0 && ZonePosition(code) != zone)) continue;
                    const double g = weights_[r][c] > -9999.0 ? weights_[r][c] : 1.0;
                    sum += (r + 0.5 * c + 0.25 * t) * g;
                    weight += g;
                }
        return sum / weight;
    }

    static std::string ReadTable() { return talvo_test::ReadShared("stat.txt"); }

    memory_handling memory_;
    Matrix weights_;
    std::vector<zoneFZT> records_;
    std::vector<OutputCodeEntry> table_ = std::vector<OutputCodeEntry>(kOutputCodeTableSize + 1);
};

TEST_F(ZoneStatTest, ANonFiniteMeanStopsTheTableNamingColumnAndDate) {
    auto s = Make(2001);
    s->WriteHeader("soil_moisture", "unsatzon_model", table_.data(), kOutputCodeTableSize);
    s->Reset();
    for (int r = 1; r <= kRows; ++r) {
        if (!OwnRow(r)) continue;
        for (int c = 1; c <= kCols; ++c)
            if (kZoneGrid[r - 1][c - 1] == 20) s->AddValue(r, c, 2, std::nan(""), 1.0);
    }
    const int code = talvo_test::ErrorCode([&] { s->Step(2016, 9, 25, 6, 1); });
    if (Rank() != 0) return;
    EXPECT_EQ(code, 17);
    EXPECT_NE(Console().find("the value nan for column 2 of stat.txt on 25.9.2016 6 h is not a finite number"),
              std::string::npos)
        << Console();
}

TEST_F(ZoneStatTest, EveryZoneMeanOverTwoStepsMatchesGolden) {
    auto s = Make(2002);
    EXPECT_EQ(s->kind(), 2);
    EXPECT_EQ(s->interval(), 2);
    const int entry = s->WriteHeader("soil_moisture", "unsatzon_model", table_.data(), kOutputCodeTableSize);
    for (int t = 1; t <= 4; ++t) AddStep(*s, t, 6 * t);
    s->FlushBuffer();
    EXPECT_EQ(ReadTable(), Golden("zonestat_kind2.txt"));

    if (Rank() == 0) {
        ASSERT_EQ(entry, 0);
        const OutputCodeEntry& e = table_[0];
        EXPECT_EQ(e.valueCount, 5);  // three zones and the total, 1-based
        EXPECT_EQ(*e.title, "soil_moisture_submodel:unsatzon_model");
        EXPECT_EQ(e.codes[1], 10);
        EXPECT_EQ(e.codes[3], 30);
        EXPECT_EQ(e.codes[4], 0);
        EXPECT_DOUBLE_EQ(e.areas[2], 0.375);
        EXPECT_DOUBLE_EQ(e.areas[4], 1.0);
        // The live arrays show the last row: the means over steps 3 and 4.
        EXPECT_EQ(e.lastValues[1], Reference(1, {3, 4}));
        EXPECT_EQ(e.lastValues[3], Reference(3, {3, 4}));
        EXPECT_EQ(e.lastValues[4], Reference(0, {3, 4}));
    } else {
        EXPECT_EQ(entry, -1);
        EXPECT_TRUE(table_[0].isFree());
    }
    s->Release();
    EXPECT_TRUE(table_[0].isFree());  // a released output leaves the table
}

TEST_F(ZoneStatTest, BasinTotalEveryStepAndSumsOverTheInterval) {
    // Kind 1, interval 1: one row per step with the basin total only.
    auto mean = Make(1001, 4);
    mean->WriteHeader("t", "m", table_.data(), kOutputCodeTableSize);
    for (int t = 1; t <= 2; ++t) AddStep(*mean, t, t);
    mean->Release();
    std::string expected = "YY\tMM\tDD\tHH\ttot_average\nt_submodel:m\n--\t--\t--\t--\t1.0000\n";
    expected += StrFormat("2016\t 9\t25\t 1\t%.4f\n", Reference(0, {1}));
    expected += StrFormat("2016\t 9\t25\t 2\t%.4f\n", Reference(0, {2}));
    EXPECT_EQ(ReadTable(), expected);
}

TEST_F(ZoneStatTest, SumKindsAddTheSpatialMeansOfTheInterval) {
    // Kinds 3 and 4 give the sum over the steps of the spatial means, kind 2 their mean; zones
    // without values show 0.
    auto check = [&](long code, double factor) {
        auto s = Make(code, 6);
        s->WriteHeader("g", "m", nullptr, 0);
        for (int t = 1; t <= 3; ++t) {
            s->Reset();
            if (OwnRow(1)) s->AddValue(1, 3, 2, 2.0, 1.0);  // zone 20 only
            if (OwnRow(2)) s->AddValue(2, 3, 2, 4.0, 1.0);
            s->Step(2001, 1, t, 0, 1);
        }
        s->Release();
        const std::string text = ReadTable();
        const std::string row = text.substr(text.rfind("2001"));
        if (code / 1000 != 2 && code / 1000 != 4) {
            EXPECT_EQ(row, StrFormat("2001\t 1\t 3\t 0\t%.6f\n", 3.0 * factor));
        } else {
            EXPECT_EQ(row, StrFormat("2001\t 1\t 3\t 0\t%.6f\t%.6f\t%.6f\t%.6f\n", 0.0, 3.0 * factor, 0.0,
                                     3.0 * factor));
        }
    };
    check(2003, 1.0);
    check(3003, 3.0);
    check(4003, 3.0);
    check(7003, 3.0);  // a kind above 6 writes the basin total like kind 3
}

TEST_F(ZoneStatTest, SelectedZonesAndBadSelection) {
    auto s = Make(5002, 2, {10, 30});
    s->WriteHeader("g", "m", table_.data(), kOutputCodeTableSize);
    for (int t = 1; t <= 2; ++t) AddStep(*s, t, t);
    s->Release();
    const std::string text = ReadTable();
    EXPECT_EQ(text.substr(0, text.find('\n')), "YY\tMM\tDD\tHH\t\"10\"\t\"30\"\ttot_average");
    EXPECT_NE(text.find("--\t--\t--\t--\t0.2500000\t0.3750000\t1.0000\n"), std::string::npos);
    const std::string row = text.substr(text.rfind("2016"));
    EXPECT_EQ(row, StrFormat("2016\t 9\t25\t 2\t%.2f\t%.2f\t%.2f\n", Reference(1, {1, 2}), Reference(3, {1, 2}),
                             Reference(0, {1, 2})));

    // Codes that do not follow the order of the zone records cannot be mapped.
    int error = 0;
    auto bad = Make(5001, 2, {30, 10}, &error);
    EXPECT_EQ(error, 1);
    EXPECT_FALSE(bad->ok());
    EXPECT_FALSE(bad->active());
    EXPECT_NE(Console().find("there is a code in the output list which no zone exists for (10)"),
              std::string::npos);
}

TEST_F(ZoneStatTest, InactiveAndIntervalZeroWriteNoRows) {
    auto off = Make(1000);
    EXPECT_TRUE(off->ok());
    EXPECT_FALSE(off->active());
    EXPECT_EQ(off->WriteHeader("g", "m", table_.data(), kOutputCodeTableSize), -1);
    AddStep(*off, 1, 1);
    off->Release();
    EXPECT_TRUE(table_[0].isFree());
    MPI_Barrier(MPI_COMM_WORLD);
    EXPECT_FALSE(std::filesystem::exists("stat.txt"));
    MPI_Barrier(MPI_COMM_WORLD);

    auto never = Make(2000);
    never->WriteHeader("g", "m", nullptr, 0);
    for (int t = 1; t <= 5; ++t) AddStep(*never, t, t);
    EXPECT_EQ(never->bufferedRows(), 0u);
    never->Release();
    EXPECT_EQ(ReadTable().find("2016"), std::string::npos);
}

TEST_F(ZoneStatTest, BufferFlushesWhenFullAndLogsItsSize) {
    auto s = Make(1001, 0);
    EXPECT_EQ(s->capacity(), 43690u);
    s->WriteHeader("g", "m", nullptr, 0);
    for (int t = 1; t < 43690; ++t) {
        s->Reset();
        s->Step(2000, 1, 1, t, 0);
    }
    EXPECT_EQ(s->bufferedRows(), Rank() == 0 ? 43689u : 0u);
    s->Reset();
    s->Step(2000, 1, 1, 0, 0);
    EXPECT_EQ(s->bufferedRows(), 0u);
    if (Rank() == 0) {
        EXPECT_NE(Console().find("write stat.txt(2097120 of 2097152 buffer-bytes)\n"), std::string::npos);
    }
    const std::string text = ReadTable();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3 + 43690);
    s->Release();
}

TEST_F(ZoneStatTest, FullTableWarnsAndSkipsTheRegistration) {
    for (auto& e : table_) e.lastValues = &records_[0].n;  // every entry taken
    auto s = Make(2001);
    EXPECT_EQ(s->WriteHeader("g", "m", table_.data(), kOutputCodeTableSize), -1);
    if (Rank() == 0) {
        EXPECT_NE(Console().find("the table of statistics outputs is full (200 entries)"), std::string::npos);
    }
    EXPECT_EQ(table_[kOutputCodeTableSize].lastValues, &records_[0].n);  // nothing written past the end
    s->Release();
    EXPECT_EQ(table_[0].lastValues, &records_[0].n);
}

TEST_F(ZoneStatTest, WeightsOfRowsNotHeldAndZonesOutOfRangeAreSafe) {
    // A weight grid holding only row 1: other rows count with their plain weight.
    Matrix partial = memory_.matrix(1, 1, 1, kCols, kRows);
    partial.fill(2.0);
    int err = -1;
    zonalstatistic s(&err, log_.get(), &partial, kRows, kCols, records_.data(), 3, 2001, 2, "stat.txt", "", 0, {});
    s.Reset();
    s.AddValue(1, 1, 1, 3.0, 1.0);
    s.AddValue(3, 1, 1, 6.0, 1.0);
    s.AddValue(3, 1, 7, 100.0, 1.0);   // no zone 7: ignored
    s.AddValue(3, 1, -1, 100.0, 1.0);
    EXPECT_DOUBLE_EQ(records_[1].sx, 3.0 * 2.0 + 6.0);
    EXPECT_DOUBLE_EQ(records_[1].RelCellSum, 3.0);
    EXPECT_DOUBLE_EQ(records_[1].n, 2.0);
}

TEST_F(ZoneStatTest, LongNamesAreBoundedAndPathPrefixed) {
    const std::string longName(1500, 'x');
    int err = -1;
    zonalstatistic s(&err, log_.get(), nullptr, kRows, kCols, records_.data(), 3, 1001, 2, "t.txt", "out_", 0, {});
    EXPECT_EQ(s.fileName(), "out_t.txt");
    zonalstatistic abs(&err, log_.get(), nullptr, kRows, kCols, records_.data(), 3, 1001, 2, "/tmp/t.txt", "out_",
                       0, {});
    EXPECT_EQ(abs.fileName(), "/tmp/t.txt");
    zonalstatistic cut(&err, log_.get(), nullptr, kRows, kCols, records_.data(), 3, 1001, 2, longName, "", 0, {});
    EXPECT_EQ(cut.fileName().size(), 1200u);

    auto t = Make(1001);
    t->WriteHeader(longName, "m", table_.data(), kOutputCodeTableSize);
    if (Rank() == 0) {
        EXPECT_EQ(t->title().size(), 1199u);
        EXPECT_EQ(*table_[0].title, t->title());
    }
    t->Release();  // the header alone is put in place at the normal end
    const std::string text = ReadTable();
    EXPECT_NE(text.find(longName + "_submodel:m\n"), std::string::npos);  // the file keeps the whole line
}

TEST_F(ZoneStatTest, OpenFailureIsFatal) {
    int err = -1;
    zonalstatistic s(&err, log_.get(), nullptr, kRows, kCols, records_.data(), 3, 1001, 2, "no/such/dir/t.txt", "",
                     0, {});
    if (Rank() == 0) {
        EXPECT_EQ(talvo_test::ErrorCode([&] { s.WriteHeader("g", "m", nullptr, 0); }), 15);
        EXPECT_NE(Console().find("error opening \nno/such/dir/t.txt"), std::string::npos);
    } else {
        EXPECT_EQ(s.WriteHeader("g", "m", nullptr, 0), -1);
    }
}

TEST_F(ZoneStatTest, ReductionSumsOnProcessZeroOnly) {
    std::vector<zoneFZT> r(3);
    r[1] = {1.0, 0.5 * (Rank() + 1), 10.0, 0.25, 2.0};
    r[2] = {-0.0, -0.0, 20.0, 0.75, 0.0};
    ReduceZoneRecords(r.data(), 2, true);
    const int n = Size();
    if (Rank() == 0) {
        EXPECT_DOUBLE_EQ(r[1].n, n);
        EXPECT_DOUBLE_EQ(r[1].sx, 0.25 * n * (n + 1));
        EXPECT_DOUBLE_EQ(r[1].RelCellSum, 2.0 * n);
        EXPECT_FALSE(std::signbit(r[2].sx));  // a sum of negative zeros prints as 0 everywhere
    } else {
        EXPECT_EQ(r[1].n, 0.0);
        EXPECT_EQ(r[1].sx, 0.0);
    }
    EXPECT_EQ(r[1].zonenwert, 10.0);
    EXPECT_EQ(r[2].rel, 0.75);
}

// Values per zone that process 0 alone sets (the others keep zeros) give the table without the
// exchange that the reduction gives with it, a negative zero turned into 0 as the sum turns it.
TEST_F(ZoneStatTest, RecordsFilledOnProcessZeroNeedNoReduction) {
    std::vector<zoneFZT> reduced = records_, filled = records_;
    std::vector<std::unique_ptr<zonalstatistic>> tables;
    for (auto [records, name] : {std::pair{&reduced, "reduced.txt"}, std::pair{&filled, "filled.txt"}}) {
        int err = -1;
        tables.push_back(std::make_unique<zonalstatistic>(&err, log_.get(), &weights_, kRows, kCols,
                                                          records->data(), 3, 2001, 3, name, "", 0,
                                                          std::vector<int>{}));
        ASSERT_EQ(err, 0);
        tables.back()->WriteHeader("runoff", "m", nullptr, 0);
    }
    for (int t = 1; t <= 4; ++t) {
        for (auto& table : tables) table->Reset();
        if (Rank() == 0)
            for (std::vector<zoneFZT>* records : {&reduced, &filled})
                for (int i = 1; i <= 3; ++i) {
                    zoneFZT& z = (*records)[static_cast<std::size_t>(i)];
                    z.n = z.RelCellSum = z.rel;
                    z.sx = i == 2 ? -0.0 : z.rel * (0.1 * t - 0.3 * i);
                }
        tables[0]->Step(2016, 9, 25, t, 1);
        tables[1]->StepFilledOnRoot(2016, 9, 25, t);
    }
    for (auto& table : tables) table->Release();
    const std::string a = talvo_test::ReadShared("reduced.txt"), b = talvo_test::ReadShared("filled.txt");
    EXPECT_EQ(a, b);
    EXPECT_NE(b.find("\t0.000\t"), std::string::npos) << b;
    EXPECT_EQ(b.find("-0.000"), std::string::npos) << b;
    for (int i = 0; i <= 3; ++i) {
        EXPECT_EQ(filled[static_cast<std::size_t>(i)].sx, reduced[static_cast<std::size_t>(i)].sx);
        EXPECT_EQ(filled[static_cast<std::size_t>(i)].RelCellSum, reduced[static_cast<std::size_t>(i)].RelCellSum);
    }
}

}  // namespace

namespace {

// Statistics of a grid with missing cells, which the caller leaves out: sums add each step's
// mean over the valid cells, and a zone without any valid cell in a row is nodata, not 0.
class MissingValueStatTest : public ZoneStatTest {
protected:
    // Adds the cells of the own rows that skip() does not leave out, value r + c/2 + t/4.
    template <class Skip>
    void AddPartialStep(zonalstatistic& s, int t, Skip skip) {
        s.Reset();
        for (int r = 1; r <= kRows; ++r) {
            if (!OwnRow(r)) continue;
            for (int c = 1; c <= kCols; ++c) {
                if (kZoneGrid[r - 1][c - 1] < 0 || skip(r, c)) continue;
                s.AddValue(r, c, ZonePosition(kZoneGrid[r - 1][c - 1]), r + 0.5 * c + 0.25 * t, 1.0);
            }
        }
        s.Step(2016, 9, 25, t, 1);
    }
    // Weighted mean of zone position zone over the cells skip() does not leave out at step t.
    template <class Skip>
    double StepMean(int zone, int t, Skip skip) const {
        double sum = 0, weight = 0;
        for (int r = 1; r <= kRows; ++r)
            for (int c = 1; c <= kCols; ++c) {
                const int code = kZoneGrid[r - 1][c - 1];
                if (code < 0 || ZonePosition(code) != zone || skip(r, c)) continue;
                const double g = weights_[r][c] > -9999.0 ? weights_[r][c] : 1.0;
                sum += (r + 0.5 * c + 0.25 * t) * g;
                weight += g;
            }
        return sum / weight;
    }
};

TEST_F(MissingValueStatTest, ZonesAreFormedOverValidValuesOnly) {
    auto zone10Missing = [](int r, int c) { return kZoneGrid[r - 1][c - 1] == 10; };
    auto halfOf20Missing = [](int r, int c) { return kZoneGrid[r - 1][c - 1] == 10 || (r == 1 && c == 3); };
    auto none = [](int, int) { return false; };
    for (long code : {4002L, 2002L}) {
        auto s = Make(code);
        s->SetMissingAsNodata(true);
        s->WriteHeader("p", "m", table_.data(), kOutputCodeTableSize);
        AddPartialStep(*s, 1, halfOf20Missing);
        AddPartialStep(*s, 2, zone10Missing);
        if (Rank() == 0) {
            const std::vector<double>& v = s->lastValues();
            EXPECT_EQ(v[1], -9999.0) << code << ": a zone without any value";
            if (code == 4002) {
                EXPECT_NEAR(v[2], StepMean(2, 1, halfOf20Missing) + StepMean(2, 2, none), 1e-12);
                EXPECT_NEAR(v[3], StepMean(3, 1, none) + StepMean(3, 2, none), 1e-12);
            }
            EXPECT_GT(v[4], 0.0) << "the basin total holds the zones with values";
        }
        // Zone 10 has values in one step of the next row only.
        AddPartialStep(*s, 3, none);
        AddPartialStep(*s, 4, zone10Missing);
        if (Rank() == 0 && code == 4002) {
            EXPECT_NEAR(s->lastValues()[1], StepMean(1, 3, none), 1e-12);
        }
        if (Rank() == 0 && code == 2002) {
            EXPECT_NEAR(s->lastValues()[1], StepMean(1, 3, none), 1e-12);
        }
        s->Release();
    }
    // With nothing valid in a row the basin total is nodata too.
    auto all = [](int, int) { return true; };
    auto s = Make(3001);
    s->SetMissingAsNodata(true);
    s->WriteHeader("q", "m", table_.data(), kOutputCodeTableSize);
    AddPartialStep(*s, 1, all);
    if (Rank() == 0) {
        EXPECT_EQ(s->lastValues()[1], -9999.0);
    }
    s->Release();
}

}  // namespace
