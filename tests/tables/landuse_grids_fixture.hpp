#pragma once
// A small basin for the land-use parameter grids: a land-use table read from control-file
// text, zone, elevation, land-use layer and albedo grids held whole by every process, and the
// test division of the basin among however many processes the test runs with.
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "../kernel/test_decomposition.hpp"
#include "../kernel/kernel_fixture.hpp"
#include "tables/landuse_grids.hpp"
#include "tables/landuse_table.hpp"
#include "table_test_support.hpp"

class LanduseGridFixture : public TableTest {
protected:
    static constexpr int kCols = 6, kRows = 5;
    static constexpr double kNodata = -9999.0;
    using CellValue = std::function<double(int, int)>;

    static bool ValidZone(int r, int c) { return !(r == 1 && c == 1) && !(r == kRows && c == kCols); }

    void SetUp() override {
        TableTest::SetUp();
        store_ = std::make_unique<GridStore>();
    }
    void TearDown() override {
        grids_.reset();
        TableTest::TearDown();
        store_.reset();
    }

    // Reads the table and registers the grids; layer2 (when given) fills "landuse2".
    void Build(const std::string& table, const CellValue& layer1, const CellValue& layer2 = nullptr, int layers = 1,
               bool albedo = true) {
        // A second build in one test starts from an empty store.
        grids_.reset();
        store_ = std::make_unique<GridStore>();
        owned_.clear();
        modelobject& o = Reader("[landuse_table]\n" + table);
        o_ = &o;
        o.gridStore = store_.get();
        o.ncols = kCols;
        o.nrows = kRows;
        o.nodata = kNodata;
        o.hourOffset = 24;
        o.SetRunInterval(1);
        table_ = ReadLanduseTableSection(o, 1);

        zoneRows_.assign(kRows + 1, std::vector<double>(kCols + 1, kNodata));
        for (int r = 1; r <= kRows; ++r)
            for (int c = 1; c <= kCols; ++c)
                if (ValidZone(r, c)) zoneRows_[r][c] = 1;
        zone_ = &AddWholeGrid("[zone_grid]", [&](int r, int c) { return zoneRows_[r][c]; });
        elevation_ = &AddWholeGrid("[elevation_model]", [](int r, int) { return 400.0 + 100.0 * (r - 1); });
        talvo_test::Decompose(o, zoneRows_, &d_);
        AddWholeGrid("landuse1", layer1);
        if (layers >= 2) AddWholeGrid("landuse2", layer2);
        if (albedo) AddWholeGrid("albedo", 0.5);
    }

    // A grid of all rows on every process, registered at the next free entry.
    Matrix& AddWholeGrid(const std::string& name, const CellValue& value) {
        owned_.push_back(o_->matrix(1, kRows, 1, kCols, kRows));
        Matrix& m = owned_.back();
        for (int r = 1; r <= kRows; ++r)
            for (int c = 1; c <= kCols; ++c) m[r][c] = value(r, c);
        o_->RegisterGrid(o_->FirstFreeGridIndex(), name + ".asc", &m, nullptr, 0, name, 0, 1, kRows);
        return m;
    }
    Matrix& AddWholeGrid(const std::string& name, double value) {
        return AddWholeGrid(name, [value](int, int) { return value; });
    }

    void Create(int layers, const LanduseParameterGrids::Date& start, bool continued = false) {
        grids_ = std::make_unique<LanduseParameterGrids>(*o_, table_, layers, start, continued);
    }
    int CreateFails(int layers, const LanduseParameterGrids::Date& start) {
        return talvo_test::ErrorCode([&] { Create(layers, start); });
    }
    void Step(std::int64_t h, std::int64_t d, std::int64_t m, std::int64_t y, int minutes) {
        grids_->UpdateDynamicLanduseParameters(h, d, m, y, minutes);
    }

    // Value of a store grid at a cell this process holds.
    double At(const std::string& name, int r, int c) {
        const int index = o_->FindGrid(name, true);
        EXPECT_GT(index, 0) << name;
        if (index <= 0) return 0;
        return (*(*store_)[index].grid)[r][c];
    }
    Matrix& Of(const std::string& name) { return *(*store_)[o_->FindGrid(name, true)].grid; }

    int OwnerOf(int r, int c) const { return d_.owner[r][c]; }
    template <class F>
    void ForOwnCells(F f) {
        for (int r = 1; r <= kRows; ++r)
            for (int c = 1; c <= kCols; ++c)
                if (d_.owner[r][c] == talvo_test::Rank()) f(r, c);
    }
    template <class F>
    void ForHaloCells(F f) {
        for (const HaloRecord& h : d_.recvHalo)
            for (int c = h.firstCol; c < h.firstCol + h.count; ++c) f(h.row, c);
    }
    std::size_t Count(const std::string& text) const {
        const std::string all = Console();
        std::size_t n = 0;
        for (std::size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++n;
        return n;
    }

    modelobject& Object() { return *o_; }
    GridStore& Store() { return *store_; }
    Matrix& Elevation() { return *elevation_; }
    LanduseParameterGrids& Grids() { return *grids_; }
    std::vector<landuse_entry>& Table() { return table_; }

private:
    std::unique_ptr<GridStore> store_;
    modelobject* o_ = nullptr;
    std::vector<landuse_entry> table_;
    std::vector<std::vector<double>> zoneRows_;
    std::deque<Matrix> owned_;
    Matrix* zone_ = nullptr;
    Matrix* elevation_ = nullptr;
    talvo_test::TestDecomposition d_;
    std::unique_ptr<LanduseParameterGrids> grids_;
};
