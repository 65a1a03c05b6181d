// The domain of a run through the set-up's steps: the zone grid and its header, the standard
// and variable grids, the division of the cells among the processes, the zone ranking handed
// to every process, and a grid that travels scatter, halo exchange and gather unchanged.
#include <gtest/gtest.h>
#include <mpi.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "setup/defltuzr.hpp"
#include "setup/mpiregions.hpp"
#include "setup_fixture.hpp"

using talvo_test::Rank;
using talvo_test::Size;

namespace {

constexpr double ND = -9999;
constexpr int kRows = 6, kCols = 10;
// Three subbasins, 38 valid cells; no row needs more strips than ten columns hold.
const double kZone[kRows][kCols] = {
    {ND, 1, 1, 1, 1, ND, ND, ND, ND, ND}, {1, 1, 1, 1, 2, 2, 2, ND, ND, ND}, {1, 1, 1, 2, 2, 2, 2, 2, ND, ND},
    {3, 3, 3, 2, 2, 2, 2, 2, 2, ND},      {ND, 3, 3, 3, 3, 2, 2, 2, ND, ND}, {ND, ND, 3, 3, 3, ND, ND, ND, ND, ND}};

std::string Header() {
    return StrFormat("ncols %d\nnrows %d\nxllcorner 1000.5\nyllcorner 2000\ncellsize 100\nnodata_value -9999\n",
                     kCols, kRows);
}

// A text grid of the domain's measures with value(r, c) in every cell.
template <class F>
std::string TextGrid(F value) {
    std::string text = Header();
    for (int r = 1; r <= kRows; ++r) {
        for (int c = 1; c <= kCols; ++c) text += StrFormat("%g ", value(r, c));
        text += "\n";
    }
    return text;
}

// Writes a zone grid of rows x cols cells of 10 m: code(r, c) where valid(r, c), nodata elsewhere.
// Returns the count of valid cells.
template <class Valid, class Code>
std::int64_t WriteZoneGrid(const char* name, int rows, int cols, Valid valid, Code code) {
    std::int64_t n = 0;
    std::string text =
        StrFormat("ncols %d\nnrows %d\nxllcorner 0\nyllcorner 0\ncellsize 10\nnodata_value -9999\n", cols, rows);
    for (int r = 1; r <= rows; ++r) {
        for (int c = 1; c <= cols; ++c) {
            text += valid(r, c) ? StrFormat("%d ", code(r, c)) : std::string("-9999 ");
            n += valid(r, c) ? 1 : 0;
        }
        text += "\n";
    }
    setup_test::WriteShared(name, text);
    return n;
}

// The owner of every valid cell when n cells are shared among `size` processes of equal speed,
// from the highest process down in row order; `none` outside (a frame of one cell around the grid).
template <class T, class Valid>
std::vector<std::vector<T>> OwnersCellByCell(int rows, int cols, std::int64_t n, int size, Valid valid, T none) {
    std::vector<std::int64_t> share = CellShares(n, PerformanceWeights(std::vector<double>(size, 1.0)));
    std::vector<std::vector<T>> owner(rows + 2, std::vector<T>(cols + 2, none));
    int p = size - 1;
    for (int r = 1; r <= rows; ++r)
        for (int c = 1; c <= cols; ++c) {
            if (!valid(r, c)) continue;
            owner[static_cast<std::size_t>(r)][static_cast<std::size_t>(c)] = static_cast<T>(p);
            if (--share[static_cast<std::size_t>(p)] == 0 && p > 0) --p;
        }
    return owner;
}

std::string ZoneText() { return TextGrid([](int r, int c) { return kZone[r - 1][c - 1]; }); }

// A binary grid: twelve header values (nodata -9999 at the sixth), then the values row by row.
template <class T>
std::string BinaryGrid(double sixth = -9999.0) {
    const double head[12] = {kCols, kRows, 1000.5, 2000, 100, sixth, 0, 0, 0, 0, 0, 0};
    std::string bytes;
    auto put = [&](double v) {
        const T x = static_cast<T>(v);
        bytes.append(reinterpret_cast<const char*>(&x), sizeof x);
    };
    for (double v : head) put(v);
    for (int r = 0; r < kRows; ++r)
        for (int c = 0; c < kCols; ++c) put(kZone[r][c]);
    return bytes;
}

double FileValue(int r, int c) { return r * 100.0 + c; }

// The owners the rules give with equal speeds: shares floor(n / p + 0.4999), the last process
// taking the rest, assigned in row-major order from the highest process down.
std::vector<std::vector<int>> ExpectedOwners(int processes) {
    int n = 0;
    for (const auto& row : kZone)
        for (double v : row) n += v > ND ? 1 : 0;
    std::vector<long> share(static_cast<std::size_t>(processes));
    long sum = 0;
    for (auto& s : share) sum += s = static_cast<long>(std::floor(static_cast<double>(n) / processes + 0.4999));
    share.back() += n - sum;
    std::vector<std::vector<int>> owner(kRows + 1, std::vector<int>(kCols + 1, -1));
    int p = processes - 1;
    for (int r = 1; r <= kRows; ++r)
        for (int c = 1; c <= kCols; ++c) {
            if (kZone[r - 1][c - 1] == ND) continue;
            owner[static_cast<std::size_t>(r)][static_cast<std::size_t>(c)] = p;
            if (--share[static_cast<std::size_t>(p)] == 0 && p > 0) --p;
        }
    return owner;
}

class DomainTest : public setup_test::SetupTest {
protected:
    void SetUp() override {
        SetupTest::SetUp();
        setup_test::WriteShared("MpiSpeedFactor.dat", "1.0\n");
        setup_test::WriteShared("zones.asc", ZoneText());
        setup_test::WriteShared("dem.asc", TextGrid([](int r, int c) { return kZone[r - 1][c - 1] == ND ? ND : 500.0 - r * 10 + c; }));
        setup_test::WriteShared("values.asc", TextGrid(FileValue));
    }

    std::unique_ptr<defaultini> Make(const std::string& grids, const std::string& variable = "0\n") {
        setup_test::WriteShared(
            "run.ctl", "[output_interval]\n1\n0\n0\n0\n\n[output_list]\n0\n[coordinates]\n47\n8\n15\n0\n"
                       "[meteo_data_count]\n0\n[meteo_names]\n[model_time]\n1\n1\n1\n2020\n24\n2\n1\n2020\n" +
                           grids + "[variable_grids]\n" + variable + "[radiation_correction]\n0\n");
        unsigned error = 1;
        auto setup = std::make_unique<defaultini>(error, log_.get(), "run.ctl", 2, store_.get());
        EXPECT_EQ(error, 0u);
        return setup;
    }
    static std::string Grids(const std::string& standard, const std::string& zone = "zones.asc") {
        return "[zone_grid]\n" + zone + "\n[elevation_model]\ndem.asc\n[standard_grids]\n" + standard;
    }
    static void RunTo(defaultini& setup, int last) {
        bool done = false;
        while (setup.CurrentStep() <= last) setup.InitStep(done);
    }
    int FailingRun(defaultini& setup, int last) {
        return ErrorCode([&] { RunTo(setup, last); });
    }
};

TEST_F(DomainTest, HeaderGridDefinitionsAndStoreIndices) {
    auto setup = Make(Grids("2\nvalues.asc measured 0\nlai.grd leaf_area fillcode = 1 readcode = 0 defaultValue = "
                            "2.5 writecode = 0\n"),
                      "2\nvalues.asc var_read 0 0\n1\n1\nnone.asc var_made 0 7.5\n0\n2\n");
    RunTo(*setup, 8);
    EXPECT_EQ(setup->ncols, kCols);
    EXPECT_EQ(setup->nrows, kRows);
    EXPECT_EQ(setup->xllcorner, 1000.5);
    EXPECT_EQ(setup->cellsize, 100.0);
    EXPECT_EQ(setup->nodata, ND);

    const GridStore& store = *store_;
    EXPECT_EQ(store[1].fileName, "zones.asc");
    // Variable grids follow the decomposition grids instead of overwriting their entries.
    const char* names[] = {"[zone_grid]", "[elevation_model]", "measured", "leaf_area", "MPIRegions",
                           "MPIHelper",   "MPIHalo",           "var_read", "var_made"};
    for (int i = 1; i <= 9; ++i) EXPECT_EQ(store[i].internalName, names[i - 1]) << i;
    EXPECT_EQ(store[8].units, 1);
    EXPECT_EQ(setup->StandardGridCount(), 4);
    EXPECT_EQ(setup->VariableGridCount(), 2);
    ASSERT_EQ(setup->GridDefinitions().size(), 6u);
    EXPECT_TRUE(setup->DefinitionAt(9)->variable);

    // Created grids: the default value on the valid zone cells of the held rows, nodata elsewhere;
    // a variable grid with read code 2 is created too.
    for (int index : {4, 9}) {
        const Matrix& g = *store[index].grid;
        const double expected = index == 4 ? 2.5 : 7.5;
        for (int r = g.firstRow(); r <= g.lastRow(); ++r)
            for (int c = 1; c <= kCols; ++c) {
                const double z = (*store[1].grid)[r][c];
                EXPECT_EQ(g[r][c], z != ND ? expected : ND) << index << " " << r << "/" << c;
            }
    }
    // Rows: all on process 0, the own rows with one halo row each side elsewhere; standard grids
    // no consumer reads whole on process 0 hold the own rows with their halo there too.
    int first = 0, last = 0;
    setup->SharedGridRows(&first, &last);
    for (int index : {1, 2, 8, 9}) {
        EXPECT_EQ(store[index].firstRow, first) << index;
        EXPECT_EQ(store[index].lastRow, last) << index;
    }
    if (Rank() == 0) {
        EXPECT_EQ(first, 1);
        EXPECT_EQ(last, kRows);
    }
    for (int index : {3, 4}) {
        EXPECT_EQ(store[index].firstRow, std::max(1, setup->firstRow - 1)) << index;
        EXPECT_EQ(store[index].lastRow, std::min(kRows, setup->lastRow + 1)) << index;
    }
}

// Process 0 keeps whole only the standard grids a consumer reads whole there (here the zones
// of the soil model, whose glacier table counts them there; not the slide fractions, as no
// snow model with slides runs); a text
// grid read in shares reaches the processes keeping its rows straight from the parsers at any
// wrap of its lines, and a gathered copy of it is whole again. Process 0 holds every cell of its
// rows, the others the cells they own and their halo, as a scatter from a whole grid leaves them.
TEST_F(DomainTest, StandardGridsNobodyReadsWholeKeepOnlyTheirRowsOnProcessZero) {
    std::string wrapped = Header();
    int k = 0;
    for (int r = 1; r <= kRows; ++r)
        for (int c = 1; c <= kCols; ++c)
            wrapped += StrFormat("%g", FileValue(r, c)) + (++k % 7 == 0 ? "\r\n" : k % 3 == 0 ? "\t " : "  ");
    setup_test::WriteShared("wrapped.asc", wrapped);
    auto setup = Make(Grids("5\nvalues.asc measured 0\nwrapped.asc zonegrid_soilmodel 0\nvalues.asc max_ponding_storage 0\n"
                            "wrapped.asc slidefraction1 0\nmade.asc made fillcode = 0 readcode = 0 defaultValue = 4\n"));
    RunTo(*setup, 8);
    const GridStore& store = *store_;
    const Matrix& regions = *setup->mpiRegions;
    const Matrix& zone = *store[1].grid;
    const int first = std::max(1, setup->firstRow - 1), last = std::min(kRows, setup->lastRow + 1);
    std::vector<std::vector<bool>> halo(kRows + 1, std::vector<bool>(kCols + 1, false));
    for (const HaloRecord& h : *setup->recvHalo)
        for (int c = h.firstCol; c < h.firstCol + h.count; ++c) halo[static_cast<std::size_t>(h.row)][static_cast<std::size_t>(c)] = true;
    for (const char* name : {"measured", "zonegrid_soilmodel", "max_ponding_storage", "slidefraction1", "made"}) {
        const int index = setup->FindGrid(name, true);
        ASSERT_GT(index, 0) << name;
        const Matrix& g = *store[index].grid;
        // The soil converts its own ponding limits; the snow slides gather their whole copies.
        const bool whole = Rank() == 0 && std::string(name) == "zonegrid_soilmodel";
        EXPECT_EQ(g.firstRow(), whole ? 1 : first) << name;
        EXPECT_EQ(g.lastRow(), whole ? kRows : last) << name;
        EXPECT_EQ(store[index].firstRow, g.firstRow()) << name;
        EXPECT_EQ(store[index].lastRow, g.lastRow()) << name;
        for (int r = g.firstRow(); r <= g.lastRow(); ++r)
            for (int c = 1; c <= kCols; ++c) {
                const bool owned = regions.holds(r) && regions[r][c] == Rank();
                const bool file = Rank() == 0 || owned || halo[static_cast<std::size_t>(r)][static_cast<std::size_t>(c)];
                if (std::string(name) == "made") {
                    EXPECT_EQ(g[r][c], zone.holds(r) && zone[r][c] != ND ? 4.0 : ND) << r << "/" << c;
                    // Made without a halo exchange: the halo cells are still the owners' values.
                    if (file) { EXPECT_EQ(g[r][c], kZone[r - 1][c - 1] != ND ? 4.0 : ND) << r << "/" << c; }
                    continue;
                }
                EXPECT_EQ(g[r][c], file ? FileValue(r, c) : ND) << name << " " << r << "/" << c;
            }
        Matrix gathered = setup->MPIGatherGridCopy(index, nullptr, true);
        if (Rank() == 0 && std::string(name) != "made") {
            const Matrix& all = Size() > 1 ? gathered : g;
            for (int r = 1; r <= kRows; ++r)
                for (int c = 1; c <= kCols; ++c)
                    if (kZone[r - 1][c - 1] != ND) { EXPECT_EQ(all[r][c], FileValue(r, c)) << name << " " << r << "/" << c; }
        }
    }

    // Process 0 keeps the slide fractions whole only when the snow model runs a slide method
    // (flow control on the first line of its section, the method on the third), read or made.
    struct SnowCase {
        const char* section;
        bool whole;
    };
    for (const SnowCase& k : {SnowCase{"1\n60 minutes\n8 slides\n", true}, SnowCase{"0\n60\n8\n", false},
                              SnowCase{"1 on\n60 minutes\n3 no slides\n", false}, SnowCase{"1\n60\nx\n", true}}) {
        auto snow = Make(Grids("2\nwrapped.asc slidefraction2 0\nmade.asc slidefraction4 fillcode = 0 readcode = 0 "
                               "defaultValue = 0.25\n"),
                         std::string("0\n[snow_model]\n") + k.section);
        RunTo(*snow, 8);
        const Matrix& owners = *snow->mpiRegions;
        for (const char* name : {"slidefraction2", "slidefraction4"}) {
            const Matrix& g = *store[snow->FindGrid(name, true)].grid;
            const bool whole = Rank() == 0 && (k.whole || Size() == 1);
            EXPECT_EQ(g.firstRow(), whole ? 1 : first) << k.section << name;
            EXPECT_EQ(g.lastRow(), whole ? kRows : last) << k.section << name;
            for (int r = g.firstRow(); r <= g.lastRow(); ++r)
                for (int c = 1; c <= kCols; ++c)
                    if (owners.holds(r) && owners[r][c] == Rank()) {
                        EXPECT_EQ(g[r][c], name[13] == '2' ? FileValue(r, c) : 0.25) << name << " " << r << "/" << c;
                    }
        }
    }

    // One value too many: the shares do not add up, process 0 reads the grid itself and names it.
    setup_test::WriteShared("long.asc", wrapped + " 7\n");
    auto bad = Make(Grids("1\nlong.asc measured 0\n"));
    EXPECT_EQ(FailingRun(*bad, 8), 22);
    if (Rank() == 0) { EXPECT_TRUE(Logged("long.asc: it holds more than ncols x nrows")); }
    // The last row cut off (the counts of the shares fall short), or a word in the last share
    // (that share alone cannot be read): process 0's own reading names the place, all end alike.
    std::string cut = Header();
    for (int r = 1; r < kRows; ++r)
        for (int c = 1; c <= kCols; ++c) cut += StrFormat("%g ", FileValue(r, c));
    setup_test::WriteShared("short.asc", cut);
    const std::size_t lastToken = wrapped.find_last_of(" \t\n", wrapped.find_last_of("0123456789")) + 1;
    setup_test::WriteShared("junk.asc", wrapped.substr(0, lastToken) + "x " + wrapped.substr(lastToken));
    for (const char* file : {"short.asc", "junk.asc"}) {
        auto failing = Make(Grids(StrFormat("1\n%s zonegrid_soilmodel 0\n", file)));
        EXPECT_EQ(FailingRun(*failing, 8), 22) << file;
        if (Rank() == 0) {
            EXPECT_TRUE(Logged(StrFormat("error reading ascii grid %s in ASCII-Format in row %d", file, kRows))) << file;
        }
    }
}

// A standard grid named by the zone grid's file (unfilled) is the zone grid again: on every row
// it holds, each of its cells is that of the same grid read from a copy of the file, whole on
// process 0 or over the own rows with their halo, at any number of processes.
TEST_F(DomainTest, StandardGridsOfTheZoneGridFileHoldWhatReadingItGives) {
    setup_test::WriteShared("zones_copy.asc", ZoneText());
    auto setup = Make(Grids("4\nzones.asc zonegrid_soilmodel 0\nzones_copy.asc GlacierCodes 0\n"
                            "zones.asc measured 0\nzones_copy.asc measured_copy 0\n"));
    RunTo(*setup, 8);
    const GridStore& store = *store_;
    for (const auto& [name, reference] : {std::pair{"zonegrid_soilmodel", "GlacierCodes"}, {"measured", "measured_copy"}}) {
        const Matrix& g = *store[setup->FindGrid(name, true)].grid;
        const Matrix& read = *store[setup->FindGrid(reference, true)].grid;
        ASSERT_EQ(g.firstRow(), read.firstRow()) << name;
        ASSERT_EQ(g.lastRow(), read.lastRow()) << name;
        for (int r = g.firstRow(); r <= g.lastRow(); ++r)
            EXPECT_EQ(std::memcmp(g[r], read[r], sizeof(double) * (kCols + 1)), 0) << name << " row " << r;
    }
    EXPECT_EQ(store[setup->FindGrid("zonegrid_soilmodel", true)].grid->lastRow(), Rank() == 0 ? kRows : std::min(kRows, setup->lastRow + 1));
    // Process 0 logs each of the two grids of the zone grid's file as read, copied or not.
    const std::string console = Console(), line = "reading zones.asc for ";
    int reads = 0;
    for (std::size_t at = console.find(line); at != std::string::npos; at = console.find(line, at + 1)) ++reads;
    EXPECT_EQ(reads, Rank() == 0 ? 2 : 0);
}

// A standard grid and a variable grid made from their default values (not read) hold them on
// every cell of every row they hold where the process's zone grid has a cell, nodata elsewhere,
// at any number of processes; every own cell holds the value.
TEST_F(DomainTest, GridsMadeFromTheirDefaultValuesHoldThemOnTheZoneCells) {
    auto setup = Make(Grids("1\nmade.asc made fillcode = 0 readcode = 0 defaultValue = 4\n"),
                      "1\nvar.asc varmade 0 2.5\n0\n0\n");
    RunTo(*setup, 8);
    const Matrix& zone = *(*store_)[1].grid;
    const Matrix& owners = *setup->mpiRegions;
    for (const auto& [name, value] : {std::pair{"made", 4.0}, {"varmade", 2.5}}) {
        const int index = setup->FindGrid(name, true);
        ASSERT_GT(index, 0) << name;
        const Matrix& g = *(*store_)[index].grid;
        EXPECT_LE(g.firstRow(), std::max(1, setup->firstRow - 1)) << name;
        EXPECT_GE(g.lastRow(), std::min(kRows, setup->lastRow + 1)) << name;
        for (int r = g.firstRow(); r <= g.lastRow(); ++r)
            for (int c = 1; c <= kCols; ++c) {
                EXPECT_EQ(g[r][c], zone.holds(r) && zone[r][c] != ND ? value : ND) << name << " " << r << "/" << c;
                if (owners.holds(r) && owners[r][c] == Rank()) { EXPECT_EQ(g[r][c], value) << name << " " << r << "/" << c; }
            }
    }
}

TEST_F(DomainTest, EveryProcessOwnsTheCellsTheRulesGive) {
    auto setup = Make(Grids("0\n"));
    RunTo(*setup, 8);
    const auto owners = ExpectedOwners(Size());
    const Matrix& regions = *setup->mpiRegions;
    int own = 0, firstOwn = 0, lastOwn = 0;
    for (int r = 1; r <= kRows; ++r)
        for (int c = 1; c <= kCols; ++c) {
            const int expected = owners[static_cast<std::size_t>(r)][static_cast<std::size_t>(c)];
            if (regions.holds(r)) { EXPECT_EQ(regions[r][c], expected < 0 ? ND : expected) << r << "/" << c; }
            if (expected != Rank()) continue;
            ++own;
            if (firstOwn == 0) firstOwn = r;
            lastOwn = r;
        }
    EXPECT_EQ(setup->firstRow, firstOwn);
    EXPECT_EQ(setup->lastRow, lastOwn);
    const GlobalSettings g = setup->GetGlobalSettings();
    ASSERT_GE(g.cellsPerProcess.size(), static_cast<std::size_t>(Size()));
    EXPECT_EQ(g.cellsPerProcess[static_cast<std::size_t>(Rank())], own);
    EXPECT_EQ(g.firstRow, firstOwn);

    // Process 0 writes the owner grid, every process its strip table and halo grid.
    const std::string r = std::to_string(Rank());
    EXPECT_EQ(std::filesystem::exists("MPIRegions_" + r), Rank() == 0);
    EXPECT_TRUE(std::filesystem::exists("MPIHelper_" + r));
    EXPECT_TRUE(std::filesystem::exists("MPIHalo_" + r));
    EXPECT_TRUE(std::filesystem::exists("halo" + r + ".txt"));
}

// Binary decomposition files written in one pass (process 0's owner grid, every process's strip
// table and halo grid) are the files one WriteGrid of each grid gives. With two processes the
// other one has a row strictly inside its own rows, which it puts into the owner grid's file.
TEST_F(DomainTest, BinaryDecompositionFilesAreTheGridsWrittenAlone) {
    // The zone grid as given and moved one column to the right (its last column is nodata): the
    // basin's rows then begin after the first column, so that process 0's strip table (every
    // owner's runs, written in shares) differs from the other processes' own.
    std::string shifted = Header();
    for (int r = 1; r <= kRows; ++r) {
        shifted += "-9999 ";
        for (int c = 1; c < kCols; ++c) shifted += StrFormat("%g ", kZone[r - 1][c - 1]);
        shifted += "\n";
    }
    setup_test::WriteShared("zones_shifted.asc", shifted);
    for (const char* zone : {"zones.asc", "zones_shifted.asc"}) {
        auto setup = Make(Grids("0\n", zone));
        RunTo(*setup, 6);
        setup->textOutput = false;
        RunTo(*setup, 7);
        int innerRows = Rank() != 0 ? std::max(setup->lastRow - setup->firstRow - 1, 0) : 0;
        if (Size() > 1) MPI_Allreduce(MPI_IN_PLACE, &innerRows, 1, MPI_INT, MPI_SUM, MPI_COMM_WORLD);
        if (Size() == 2) {
            EXPECT_GT(innerRows, 0) << zone;
        }
        const std::string r = std::to_string(Rank());
        for (const std::string name : {"MPIRegions", "MPIHelper", "MPIHalo"}) {
            if (name == "MPIRegions" && Rank() != 0) continue;
            const Matrix& grid = *(*store_)[setup->FindGrid(name, true)].grid;
            setup->WriteGrid("alone_" + name + r, grid, false, setup->doublePrecision);
            EXPECT_EQ(talvo_test::ReadFile(name + "_" + r), talvo_test::ReadFile("alone_" + name + r)) << zone << " " << name;
        }
    }
}

TEST_F(DomainTest, AGridComesBackFromScatterHaloAndGatherUnchanged) {
    auto setup = Make(Grids("1\nvalues.asc measured 0\n"));
    RunTo(*setup, 8);
    const int index = 3;
    const Matrix& grid = *(*store_)[index].grid;
    const Matrix& regions = *setup->mpiRegions;
    // Own cells and the halo cells of the neighbours hold the file's values.
    for (int r = setup->firstRow; r <= setup->lastRow; ++r)
        for (int c = 1; c <= kCols; ++c)
            if (regions[r][c] == Rank()) { EXPECT_EQ(grid[r][c], FileValue(r, c)) << r << "/" << c; }
    for (const HaloRecord& h : *setup->recvHalo)
        for (int c = h.firstCol; c < h.firstCol + h.count; ++c)
            if ((*(*store_)[1].grid)[h.row][c] != ND) { EXPECT_EQ(grid[h.row][c], FileValue(h.row, c)); }

    // Each process scribbles on the cells it does not own; the gather takes the owners' cells.
    Matrix& mine = *(*store_)[index].grid;
    for (int r = mine.firstRow(); r <= mine.lastRow(); ++r)
        for (int c = 1; c <= kCols; ++c)
            if (regions.holds(r) && regions[r][c] != Rank()) mine[r][c] = -1;
    Matrix gathered = setup->MPIGatherGridCopy(index);
    if (Rank() == 0) {
        const Matrix& whole = Size() > 1 ? gathered : mine;
        for (int r = 1; r <= kRows; ++r)
            for (int c = 1; c <= kCols; ++c)
                if (kZone[r - 1][c - 1] != ND) { EXPECT_EQ(whole[r][c], FileValue(r, c)) << r << "/" << c; }
    }
}

// A tall basin with ragged edges, holes and a row without cells, divided among the processes
// of the run: every process holds the owners, strip-table rows and halo lists that dividing the
// whole grid in one piece gives, and writes the halo grid of the one-piece division.
TEST_F(DomainTest, TallRaggedBasinIsDividedAsInOnePiece) {
    constexpr int rows = 41, cols = 12;
    memory_handling mh;
    Matrix zone = mh.matrix(1, rows, 1, cols, rows);
    std::int64_t n = 0;
    std::string text = StrFormat("ncols %d\nnrows %d\nxllcorner 0\nyllcorner 0\ncellsize 10\nnodata_value -9999\n", cols, rows);
    for (int r = 1; r <= rows; ++r) {
        for (int c = 1; c <= cols; ++c) {
            const bool valid = r != 20 && c >= 1 + r * 5 % 4 && c <= cols - r * 3 % 5 && !(r % 7 == 3 && c == 6);
            zone[r][c] = valid ? 1 + r / 10 : ND;
            n += valid ? 1 : 0;
            text += StrFormat("%g ", zone[r][c]);
        }
        text += "\n";
    }
    setup_test::WriteShared("tall.asc", text);
    auto setup = Make(Grids("0\n", "tall.asc"));
    RunTo(*setup, 7);

    // The division in one piece, and each process's halo grid over the whole grid.
    const int size = Size(), rank = Rank();
    Matrix owners = mh.matrix(1, rows, 1, cols, rows);
    owners.fill(ND);
    std::vector<int> firstRows, lastRows;
    AssignOwners(zone, owners, rows, cols, ND, CellShares(n, PerformanceWeights(std::vector<double>(size, 1.0))),
                 firstRows, lastRows);
    std::vector<Matrix> halos;
    for (int p = 0; p < size; ++p) {
        halos.push_back(mh.matrix(1, rows, 1, cols, rows));
        halos.back().fill(ND);
        for (int r = 1; r <= rows; ++r)
            for (int c = 1; c <= cols; ++c)
                for (int rr = std::max(r - 1, 1); rr <= std::min(r + 1, rows) && owners[r][c] == p; ++rr)
                    for (int cc = std::max(c - 1, 1); cc <= std::min(c + 1, cols); ++cc)
                        if (owners[rr][cc] != p && owners[rr][cc] != ND) halos.back()[rr][cc] = owners[rr][cc];
    }

    EXPECT_EQ(setup->firstRow, firstRows[static_cast<std::size_t>(rank)]);
    EXPECT_EQ(setup->lastRow, lastRows[static_cast<std::size_t>(rank)]);
    const Matrix& regions = *setup->mpiRegions;
    const Matrix& helper = *setup->mpiHelper;
    std::vector<double> strips(cols + 1);
    for (int r = 1; r <= rows; ++r) {
        ASSERT_EQ(regions.holds(r), rank == 0 || (r >= setup->firstRow - 1 && r <= setup->lastRow + 1)) << r;
        for (int c = 1; c <= cols && regions.holds(r); ++c) ASSERT_EQ(regions[r][c], owners[r][c]) << r << "/" << c;
        // Process 0's strip table lists every owner's runs of every row, another's its own runs.
        if (rank != 0 && (r < setup->firstRow || r > setup->lastRow)) continue;
        ASSERT_TRUE(rank == 0 ? BuildHelperRowAll(owners[r], strips.data(), cols, ND)
                              : BuildHelperRowOwn(owners[r], strips.data(), cols, rank));
        for (int c = 0; c <= cols; ++c) ASSERT_EQ(helper[r][c], strips[static_cast<std::size_t>(c)]) << r << "/" << c;
    }
    // The halo runs this process receives, and those the others receive from it, in their order.
    auto fields = [](const std::vector<HaloRecord>& v) {
        std::vector<std::vector<int>> out;
        for (const HaloRecord& h : v) out.push_back({h.row, h.firstCol, h.count, h.rank});
        return out;
    };
    std::vector<HaloRecord> sends;
    for (int p = 0; p < size; ++p)
        for (HaloRecord h : ReceiveHaloRuns(halos[static_cast<std::size_t>(p)], 1, rows, cols))
            if (p != rank && h.rank == rank) sends.push_back({h.row, h.firstCol, h.count, p});
    EXPECT_EQ(fields(*setup->recvHalo), fields(ReceiveHaloRuns(halos[static_cast<std::size_t>(rank)], 1, rows, cols)));
    EXPECT_EQ(fields(*setup->sendHalo), fields(sends));
    const GlobalSettings g = setup->GetGlobalSettings();
    for (int p = 0; p < size; ++p) {
        std::int64_t cells = 0;
        for (int r = 1; r <= rows; ++r)
            for (int c = 1; c <= cols; ++c) cells += owners[r][c] == p ? 1 : 0;
        EXPECT_EQ(g.cellsPerProcess[static_cast<std::size_t>(p)], cells) << p;
    }
    const std::string name = "MPIHalo_" + std::to_string(rank);
    setup->WriteGrid("whole_" + name, halos[static_cast<std::size_t>(rank)], setup->textOutput, setup->doublePrecision);
    EXPECT_EQ(talvo_test::ReadFile(name), talvo_test::ReadFile("whole_" + name));
}

// Rows whose stretches of valid cells, holes and leading and trailing nodata take every length
// and start at every column modulo four: the owners and process 0's strip table are those a
// walk of the grid cell by cell gives (with and without the AVX2 scans, see CMakeLists).
TEST_F(DomainTest, StretchesOfEveryLengthAreDividedAsCellByCell) {
    constexpr int rows = 23, cols = 37;
    auto valid = [](int r, int c) {
        return r != 12 && c > r % 6 && c <= cols - r * 5 % 7 && (c + r) % 9 >= r % 4 && !(r == 5 && c % 2 == 0 && c < 12);
    };
    const std::int64_t n = WriteZoneGrid("stretches.asc", rows, cols, valid, [](int, int c) { return 1 + c / 20; });
    auto setup = Make(Grids("0\n", "stretches.asc"));
    RunTo(*setup, 7);

    // Owners cell by cell: shares of equal speeds, from the highest process down.
    const auto owner = OwnersCellByCell<double>(rows, cols, n, Size(), valid, ND);
    const Matrix& regions = *setup->mpiRegions;
    for (int r = 1; r <= rows; ++r)
        for (int c = 1; c <= cols && regions.holds(r); ++c)
            ASSERT_EQ(regions[r][c], owner[static_cast<std::size_t>(r)][static_cast<std::size_t>(c)]) << r << "/" << c;
    if (Rank() != 0) return;
    // Process 0's strip table: the leading nodata cells, then value and length of each stretch
    // of equal cells up to the last valid one, zeros after them.
    const Matrix& helper = *setup->mpiHelper;
    for (int r = 1; r <= rows; ++r) {
        const std::vector<double>& o = owner[static_cast<std::size_t>(r)];
        std::vector<double> strips(cols + 1, 0.0);
        int first = 1, last = cols;
        while (first <= cols && o[static_cast<std::size_t>(first)] == ND) ++first;
        while (last >= first && o[static_cast<std::size_t>(last)] == ND) --last;
        strips[0] = first - 1;
        std::size_t slot = 1;
        for (int c = first; c <= last; ++c) {
            if (c > first && o[static_cast<std::size_t>(c)] == o[static_cast<std::size_t>(c - 1)]) {
                strips[slot - 1] += 1;
                continue;
            }
            strips[slot] = o[static_cast<std::size_t>(c)];
            strips[slot + 1] = 1;
            slot += 2;
        }
        for (int c = 0; c <= cols; ++c) ASSERT_EQ(helper[r][c], strips[static_cast<std::size_t>(c)]) << r << "/" << c;
    }
}

// The halo cells each process receives (foreign cells next to its own, holes of every length
// between them) come as the runs a walk cell by cell gives: a run of one owner in a row goes on
// over cells of no owner up to that owner's next halo cell.
TEST_F(DomainTest, HaloRunsAreThoseOfAWalkCellByCell) {
    constexpr int rows = 17, cols = 41;
    auto valid = [](int r, int c) {
        return r != 8 && c > r % 5 && c <= cols - r * 3 % 7 && (c + 2 * r) % 10 >= r % 4;
    };
    const std::int64_t n = WriteZoneGrid("holes.asc", rows, cols, valid, [](int, int) { return 1; });
    auto setup = Make(Grids("0\n", "holes.asc"));
    RunTo(*setup, 7);

    const auto owner = OwnersCellByCell<int>(rows, cols, n, Size(), valid, -1);
    const auto own = [&](int r, int c) { return owner[static_cast<std::size_t>(r)][static_cast<std::size_t>(c)]; };
    std::vector<HaloRecord> expected;
    for (int r = 1; r <= rows; ++r) {
        for (int c = 1; c <= cols; ++c) {
            const int q = own(r, c);
            bool next = false;
            for (int dr = -1; dr <= 1; ++dr)
                for (int dc = -1; dc <= 1; ++dc) next = next || own(r + dr, c + dc) == Rank();
            if (q < 0 || q == Rank() || !next) continue;
            if (!expected.empty() && expected.back().row == r && expected.back().rank == q)
                expected.back().count = c - expected.back().firstCol + 1;
            else
                expected.push_back(HaloRecord{r, c, 1, q});
        }
    }
    ASSERT_NE(setup->recvHalo, nullptr);
    const std::vector<HaloRecord>& got = *setup->recvHalo;
    ASSERT_EQ(got.size(), expected.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].row, expected[i].row) << i;
        EXPECT_EQ(got[i].firstCol, expected[i].firstCol) << i;
        EXPECT_EQ(got[i].count, expected[i].count) << i;
        EXPECT_EQ(got[i].rank, expected[i].rank) << i;
    }
    if (Size() > 1) { EXPECT_FALSE(got.empty()); }
}

TEST_F(DomainTest, ZoneTablesReachEveryProcess) {
    auto setup = Make(Grids("0\n"));
    RunTo(*setup, 8);
    const ZoneTables& z = setup->Zones();
    EXPECT_EQ(z.zoneCount, 3);
    EXPECT_EQ(z.maxCode, 3);
    EXPECT_EQ(z.codeToZone.size(), 32768u);
    EXPECT_EQ(z.records[2].cellCount, 17);
    EXPECT_EQ(z.records[3].cellCount, 10);
    EXPECT_DOUBLE_EQ(z.records[0].share, 38 * 100.0 * 100.0 / 1e6);
    ASSERT_EQ(z.columns.size(), static_cast<std::size_t>(kRows) + 1);
    for (int r = 1; r <= kRows; ++r) {
        const ColumnRange cr = z.columns[static_cast<std::size_t>(r)];
        const bool kept = Rank() == 0 || (r >= setup->firstRow && r <= setup->lastRow);
        if (!kept) {
            EXPECT_EQ(cr.first, 0);
            EXPECT_EQ(cr.last, -1);
        } else if (r == 4) {
            EXPECT_EQ(cr.first, 1);
            EXPECT_EQ(cr.last, 9);
        }
    }
    // Step 12: the highest elevation of the valid cells, the same on every process.
    RunTo(*setup, 12);
    EXPECT_EQ(setup->GetMaxElevation(), 500.0 - 10 + 5);
}

TEST_F(DomainTest, BinaryZoneGridsAreRecognisedByTheirNodataValue) {
    setup_test::WriteShared("zones.dbl", BinaryGrid<double>());
    setup_test::WriteShared("zones.flt", BinaryGrid<float>());
    for (const char* name : {"zones.dbl", "zones.flt"}) {
        auto setup = Make(Grids("0\n", name));
        RunTo(*setup, 7);
        EXPECT_EQ(setup->ncols, kCols) << name;
        EXPECT_EQ(setup->yllcorner, 2000.0) << name;
        EXPECT_EQ(setup->Zones().zoneCount, 3) << name;
    }
    // A binary grid with another nodata value is no grid the system knows.
    setup_test::WriteShared("zones.bad", BinaryGrid<double>(-1.0));
    auto bad = Make(Grids("0\n", "zones.bad"));
    EXPECT_EQ(FailingRun(*bad, 7), 22);
    if (Rank() == 0) {
        EXPECT_TRUE(Logged("could not recognise file format (ascii, double or double) for zones.bad"));
    }
    if (Rank() != 0) { EXPECT_TRUE(Logged("reading the header of the zone grid failed on process 0")); }

    // Too short a header and a size that is no grid.
    setup_test::WriteShared("zones.short", BinaryGrid<double>().substr(0, 60));
    auto truncated = Make(Grids("0\n", "zones.short"));
    EXPECT_EQ(FailingRun(*truncated, 7), 22);
    if (Rank() == 0) { EXPECT_TRUE(Logged("error reading double value from the header of zones.short")); }
    setup_test::WriteShared("zones.fshort", BinaryGrid<float>().substr(0, 7 * sizeof(float)));
    auto floatTruncated = Make(Grids("0\n", "zones.fshort"));
    EXPECT_EQ(FailingRun(*floatTruncated, 7), 22);
    if (Rank() == 0) { EXPECT_TRUE(Logged("error reading double value #8 from the header of zones.fshort")); }
    setup_test::WriteShared("zones.txtshort", "ncols 4\nnrows 2\nxllcorner 0\nyllcorner\n");
    auto textTruncated = Make(Grids("0\n", "zones.txtshort"));
    EXPECT_EQ(FailingRun(*textTruncated, 7), 22);
    if (Rank() == 0) { EXPECT_TRUE(Logged("error reading zones.txtshort\n")); }
    setup_test::WriteShared("zones.neg", "ncols -3\nnrows 2\nxllcorner 0\nyllcorner 0\ncellsize 1\nnodata -9999\n");
    auto negative = Make(Grids("0\n", "zones.neg"));
    EXPECT_EQ(FailingRun(*negative, 7), 22);
    auto missing = Make(Grids("0\n", "nowhere.asc"));
    EXPECT_EQ(FailingRun(*missing, 7), 21);
}

// The zone grid is parsed in shares by every process before the rows are divided: values
// wrapped across lines at any place (long spellings, tabs, CRLF) give the cells of the plain
// grid to every owner; a token that is no number is reported by process 0 as with one process.
// Runs of equal values are the common case of a grid; a token repeating the bytes of the one
// before is its number, but one that only begins like it (longer, or cut by a blank further on)
// is read anew: every cell holds the number strtod reads, on process 0 whole and on the owners.
// Long blank runs make the grid far longer than the reader's window, so that the shares of two
// and four processes are read in place.
TEST_F(DomainTest, RepeatedAndAlmostRepeatedTokensAreReadAsTheirNumbers) {
    const char* const spellings[] = {"1",       "1",        "12",        "12",  "1.5", "1.50", "1.5", "-0", "-0",
                                     "0",       "1234567",  "1234567",   "123456", "12345678", "12345678",
                                     "1.234567", "1.2345678", "123456789", "1e3", "1e3",  "7",   "7",  "70"};
    std::string text = Header();
    std::vector<std::string> tokens;
    for (int k = 0; k < kRows * kCols; ++k) {
        tokens.emplace_back(spellings[static_cast<std::size_t>(k) % std::size(spellings)]);
        text += tokens.back() + (k % 4 == 3 ? std::string(700, ' ') : k % 5 == 4 ? "\r\n" : "\t");
    }
    setup_test::WriteShared("runs.asc", text);
    auto setup = Make(Grids("2\nruns.asc zonegrid_soilmodel 0\nruns.asc measured 0\n"));
    RunTo(*setup, 8);
    const Matrix& owners = *setup->mpiRegions;
    for (const char* name : {"zonegrid_soilmodel", "measured"}) {
        const Matrix& g = *(*store_)[setup->FindGrid(name, true)].grid;
        for (int r = g.firstRow(); r <= g.lastRow(); ++r)
            for (int c = 1; c <= kCols; ++c) {
                if (Rank() != 0 && !(owners.holds(r) && owners[r][c] == Rank())) continue;
                const std::string& token = tokens[static_cast<std::size_t>((r - 1) * kCols + c - 1)];
                const double expected = std::strtod(token.c_str(), nullptr);
                EXPECT_EQ(std::memcmp(&g[r][c], &expected, sizeof expected), 0) << name << " " << r << "/" << c << " "
                                                                                << token << " read as " << g[r][c];
            }
    }
}

TEST_F(DomainTest, ZoneGridTextIsReadAlikeAtAnyWrapAndItsFaultsStopEveryProcess) {
    std::string wrapped = Header();
    int k = 0;
    for (int r = 1; r <= kRows; ++r)
        for (int c = 1; c <= kCols; ++c) {
            const bool valid = kZone[r - 1][c - 1] != ND;
            wrapped += StrFormat("%g", kZone[r - 1][c - 1]);
            if (valid) wrapped.append(1, '.').append(static_cast<std::size_t>(k % 5) * 40, '0');
            wrapped += ++k % 7 == 0 ? "\r\n" : k % 3 == 0 ? "\t " : " ";
        }
    setup_test::WriteShared("wrapped.asc", wrapped);
    auto plain = Make(Grids("0\n"));
    RunTo(*plain, 8);
    auto setup = Make(Grids("0\n", "wrapped.asc"));
    RunTo(*setup, 8);
    EXPECT_EQ(setup->Zones().zoneCount, plain->Zones().zoneCount);
    const Matrix& a = *(*store_)[1].grid;
    const Matrix& owners = setup->Decomposition().regions;
    const auto expected = ExpectedOwners(Size());
    for (int r = 1; r <= kRows; ++r)
        for (int c = 1; c <= kCols; ++c) {
            if (expected[static_cast<std::size_t>(r)][static_cast<std::size_t>(c)] != Rank()) continue;
            ASSERT_TRUE(a.holds(r) && owners.holds(r));
            EXPECT_EQ(a[r][c], kZone[r - 1][c - 1]) << r << "/" << c;
        }

    std::string junk = ZoneText();
    junk.replace(junk.rfind(" 1 "), 3, " 1x ");
    setup_test::WriteShared("junk.asc", junk);
    auto bad = Make(Grids("0\n", "junk.asc"));
    EXPECT_EQ(FailingRun(*bad, 7), 22);
    if (Rank() == 0) { EXPECT_TRUE(Logged("error reading ascii grid junk.asc in ASCII-Format in row")); }
    if (Rank() != 0) { EXPECT_TRUE(Logged("reading the zone grid failed on process 0")); }
}

TEST_F(DomainTest, ControlFileErrorsOfTheGridSections) {
    auto noFill = Make(Grids("1\nx.grd xname readcode = 1\n"));
    EXPECT_EQ(FailingRun(*noFill, 1), 17);
    EXPECT_TRUE(Logged("error reading the fillcode for standard grid 1 (found neither in old nor in new style"));
    auto noName = Make(Grids("2\nvalues.asc measured 0\nlonely\n"));
    EXPECT_EQ(FailingRun(*noName, 1), 17);
    EXPECT_TRUE(Logged("error reading a grid name or identifier 2 in"));
    auto noZone = Make("[elevation_model]\ndem.asc\n[standard_grids]\n0\n");
    EXPECT_EQ(FailingRun(*noZone, 1), 17);
    auto badVariable = Make(Grids("0\n"), "1\nvalues.asc var 0\n1\n1\n");
    EXPECT_EQ(FailingRun(*badVariable, 8), 17);
    EXPECT_TRUE(Logged("file for vargrid 1 or the identifier or the fillcode or the defaultvalue"));
}

TEST_F(DomainTest, ZoneCodesOutsideTheRangeStopEveryProcess) {
    setup_test::WriteShared("big.asc", TextGrid([](int r, int c) {
                                return kZone[r - 1][c - 1] == ND ? ND : (r == 6 ? 32768.0 : 32767.0);
                            }));
    auto setup = Make(Grids("0\n", "big.asc"));
    EXPECT_EQ(FailingRun(*setup, 7), 3);
    if (Rank() == 0) { EXPECT_TRUE(Logged("invalid zone code in big.asc!")); }

    setup_test::WriteShared("top.asc", TextGrid([](int r, int c) { return kZone[r - 1][c - 1] == ND ? ND : 32767.0; }));
    auto top = Make(Grids("0\n", "top.asc"));
    RunTo(*top, 7);
    EXPECT_EQ(top->Zones().codeToZone[32767], 1);
}

// Rows of runs of equal codes and nodata holes of every length from 1 to 11 cells, starting at
// every column modulo four, and an empty row: the zone tables are those of counting the grid
// cell by cell, on every process; a bad code right after a long hole still stops every process.
TEST_F(DomainTest, RunsAndHolesOfEveryLengthAreRankedAsCellByCell) {
    constexpr int rows = 19, cols = 43;
    std::vector<std::vector<double>> code(rows + 1, std::vector<double>(cols + 1, ND));
    for (int r = 1; r <= rows; ++r)
        for (int c = 1, k = 0; c <= cols && r != 9; ++k) {
            const int length = 1 + (k * 7 + r) % 11;
            const double value = k % 3 == 2 ? ND : 1 + (k + r) % 6 + 10 * (r % 2);
            for (int e = std::min(cols, c + length - 1); c <= e; ++c)
                code[static_cast<std::size_t>(r)][static_cast<std::size_t>(c)] = value;
        }
    code[rows].assign(cols + 1, ND);
    // The grid's cell (r, c), with the given value in the last cell.
    const auto cell = [&](int r, int c, double last) {
        return r == rows && c == cols ? last : code[static_cast<std::size_t>(r)][static_cast<std::size_t>(c)];
    };
    auto text = [&](double last) {
        std::string t = StrFormat("ncols %d\nnrows %d\nxllcorner 0\nyllcorner 0\ncellsize 10\nnodata_value -9999\n",
                                  cols, rows);
        for (int r = 1; r <= rows; ++r) {
            for (int c = 1; c <= cols; ++c) t += StrFormat("%g ", cell(r, c, last));
            t += "\n";
        }
        return t;
    };
    setup_test::WriteShared("runs.asc", text(4));
    auto setup = Make(Grids("0\n", "runs.asc"));
    RunTo(*setup, 7);

    std::vector<double> count(32, 0.0);
    double total = 0;
    for (int r = 1; r <= rows; ++r)
        for (int c = 1; c <= cols; ++c) {
            const double v = cell(r, c, 4);
            if (v != ND) count[static_cast<std::size_t>(v)] += 1, total += 1;
        }
    const ZoneTables& z = setup->Zones();
    int zone = 0, maxCode = 0;
    for (int k = 0; k < 32; ++k) {
        if (count[static_cast<std::size_t>(k)] == 0) {
            EXPECT_EQ(z.codeToZone[static_cast<std::size_t>(k)], 0) << k;
            continue;
        }
        ++zone;
        ASSERT_EQ(z.codeToZone[static_cast<std::size_t>(k)], zone) << k;
        const ZoneRecord& rec = z.records[static_cast<std::size_t>(zone)];
        EXPECT_EQ(rec.code, k);
        EXPECT_EQ(rec.cellCount, count[static_cast<std::size_t>(k)]) << k;
        EXPECT_EQ(rec.weightedCount, count[static_cast<std::size_t>(k)]) << k;
        EXPECT_EQ(rec.share, count[static_cast<std::size_t>(k)] / total) << k;
        maxCode = k;
    }
    EXPECT_EQ(z.zoneCount, zone);
    EXPECT_EQ(z.maxCode, maxCode);
    EXPECT_EQ(z.records[0].cellCount, total);
    for (int r = 1; r <= rows; ++r) {
        const std::vector<double>& row = code[static_cast<std::size_t>(r)];
        int first = 0, last = -1;
        for (int c = 1; c <= cols; ++c)
            if (row[static_cast<std::size_t>(c)] != ND || (r == rows && c == cols)) first = first ? first : c, last = c;
        const bool kept = Rank() == 0 || (r >= setup->firstRow && r <= setup->lastRow);
        const ColumnRange cr = z.columns[static_cast<std::size_t>(r)];
        EXPECT_EQ(cr.first, kept ? first : 0) << r;
        EXPECT_EQ(cr.last, kept ? last : -1) << r;
    }

    // The last row: a hole of cols - 1 cells, then a code out of range.
    setup_test::WriteShared("runs-bad.asc", text(40000));
    auto bad = Make(Grids("0\n", "runs-bad.asc"));
    EXPECT_EQ(FailingRun(*bad, 7), 3);
    if (Rank() == 0) { EXPECT_TRUE(Logged("invalid zone code in runs-bad.asc!")); }
}

// Multilayer land use: one grid per layer with the layer codes of each cell's table entry.
class TwoLayerTables : public ParameterTables {
public:
    int MultilayerLayerCount() const override { return 2; }
    double MultilayerLanduseCode(int position, int layer) const override {
        return position == 1 && layer == 2 ? -9999.0 : position * 10.0 + layer;
    }
};

TEST_F(DomainTest, LanduseLayerGridsFollowTheMultilayerTable) {
    setup_test::WriteShared("landuse.asc", TextGrid([](int r, int) { return r <= 2 ? 1.0 : 2.0; }));
    auto setup = Make(Grids("1\nlanduse.asc landuse 0\n"));
    setup->SetParameterTables(std::make_shared<TwoLayerTables>());
    RunTo(*setup, 13);
    EXPECT_EQ(setup->LanduseLayerCount(), 2);
    const int layer1 = setup->FindGrid("landuse1", true), layer2 = setup->FindGrid("landuse2", true);
    ASSERT_GT(layer1, 0);
    ASSERT_EQ(layer2, layer1 + 1);
    // The land-use grid and its two layers, after the cell-size and coordinate grids.
    EXPECT_EQ(setup->StandardGridCount(), 8);
    const Matrix& regions = *setup->mpiRegions;
    for (int r = setup->firstRow; r <= setup->lastRow; ++r)
        for (int c = 1; c <= kCols; ++c) {
            if (regions[r][c] != Rank()) continue;
            const double position = r <= 2 ? 1 : 2;
            EXPECT_EQ((*(*store_)[layer1].grid)[r][c], position * 10 + 1);
            EXPECT_EQ((*(*store_)[layer2].grid)[r][c], position == 1 ? -9999.0 : position * 10 + 2);
        }
    EXPECT_EQ(setup->LanduseLayers()[0], (*store_)[setup->FindGrid("landuse", true)].grid);
}

// The rows of a layer grid beyond the own rows and their neighbours hold no code (process 0
// holds every row), nor do the cells outside the basin.
TEST_F(DomainTest, LanduseLayerGridsHoldNodataBeyondTheOwnCells) {
    setup_test::WriteShared("landuse.asc", TextGrid([](int r, int) { return r <= 2 ? 1.0 : 2.0; }));
    auto setup = Make(Grids("1\nlanduse.asc landuse 0\n"));
    setup->SetParameterTables(std::make_shared<TwoLayerTables>());
    RunTo(*setup, 13);
    const Matrix& zone = *(*store_)[1].grid;
    for (const char* name : {"landuse1", "landuse2"}) {
        const Matrix& layer = *(*store_)[setup->FindGrid(name, true)].grid;
        int checked = 0;
        for (int r = layer.firstRow(); r <= layer.lastRow(); ++r) {
            if (!layer.holds(r)) continue;
            const bool nearOwn = r >= setup->firstRow - 1 && r <= setup->lastRow + 1;
            for (int c = 1; c <= kCols; ++c) {
                if (nearOwn && zone.holds(r) && zone[r][c] != ND) continue;  // an own or a halo cell
                EXPECT_EQ(layer[r][c], ND) << name << " row " << r << " column " << c;
                ++checked;
            }
        }
        if (Rank() == 0) { EXPECT_GT(checked, 0) << name; }
    }
}

TEST_F(DomainTest, GridMaximumOfAnEmptyGridIsNodata) {
    setup_test::WriteShared("empty.asc", TextGrid([](int, int) { return ND; }));
    auto setup = Make(Grids("1\nempty.asc nothing 0\n"));
    RunTo(*setup, 8);
    EXPECT_EQ(setup->GridMaximum(3), ND);
    EXPECT_EQ(setup->GridMaximum(2), 495.0);
}

}  // namespace
