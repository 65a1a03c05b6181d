#pragma once
// A small basin divided among however many processes run the test: 12 columns, 9 rows, the
// first and last row outside the basin, a few more cells outside at the edges and one hole.
// Cell values are exact in float, so float and double files hold the same numbers.
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "kernel_fixture.hpp"
#include "test_decomposition.hpp"

namespace talvo_test {

// Appends the bytes of a value as the binary files hold it.
template <class T>
void Append(std::string* bytes, T v) {
    char b[sizeof(T)];
    std::memcpy(b, &v, sizeof(T));
    bytes->append(b, sizeof(T));
}
template <class T>
std::string Binary(const std::vector<double>& values) {
    std::string b;
    for (double v : values) Append<T>(&b, static_cast<T>(v));
    return b;
}

class ScenarioTest : public KernelTest {
protected:
    static constexpr int kCols = 12, kRows = 9;

    static bool Valid(int r, int c) {
        if (r == 1 || r == kRows) return false;
        if (c == 1 && r <= 3) return false;
        if (c >= 11 && r >= 7) return false;
        return !(r == 5 && c == 6);
    }
    static double Value(int r, int c) { return r * 100 + c + 0.5; }
    static double LevelValue(int r, int c, int l) { return Value(r, c) + 0.25 * l; }

    void SetUp() override {
        KernelTest::SetUp();
        obj_ = MakeObject(kCols, kRows);
        zone_.assign(kRows + 1, std::vector<double>(kCols + 1, -9999.0));
        for (int r = 1; r <= kRows; ++r)
            for (int c = 1; c <= kCols; ++c)
                if (Valid(r, c)) zone_[r][c] = 1 + (c > 6 ? 1 : 0);
        zoneGrid_ = obj_->matrix(1, kRows, 1, kCols, kRows);
        for (int r = 1; r <= kRows; ++r)
            for (int c = 1; c <= kCols; ++c) zoneGrid_[r][c] = zone_[r][c];
        obj_->RegisterGrid(1, "zone.asc", &zoneGrid_, nullptr, 0, "[zone_grid]", 0, 1, kRows);
        Decompose(*obj_, zone_, &d_);
    }

    int Owner(int r, int c) const { return d_.owner[r][c]; }
    bool Mine(int r, int c) const { return d_.owner[r][c] == Rank(); }

    // A grid over this process's stored rows (all rows on process 0 when whole) holding the
    // values of its own cells and nodata elsewhere.
    Matrix OwnGrid(bool whole = false) {
        const int from = whole ? 1 : d_.lo, to = whole ? kRows : d_.hi;
        Matrix m = obj_->matrix(from, to, 1, kCols, kRows);
        m.fill(-9999.0);
        for (int r = from; r <= to; ++r)
            for (int c = 1; c <= kCols; ++c)
                if (Mine(r, c)) m[r][c] = Value(r, c);
        return m;
    }
    Stack OwnStack(int levels, bool whole = false) {
        const int from = whole ? 1 : d_.lo, to = whole ? kRows : d_.hi;
        Stack s = obj_->matrix3d(from, to, 1, kCols, levels, kRows);
        for (int r = from; r <= to; ++r)
            for (int c = 1; c <= kCols; ++c)
                for (int l = 0; l <= levels; ++l) s[r][c][l] = Mine(r, c) ? LevelValue(r, c, l) : -9999.0;
        return s;
    }

    // The text grid of the whole basin: basin cells with f (their values by default; nodata where
    // f gives none), the others -9999.
    static std::string BasinText(const std::function<std::optional<double>(int, int)>& f = Value) {
        std::string t = "ncols\t12\nnrows\t9\nxllcorner\t100.5\nyllcorner\t200.25\ncellsize\t50\nnodata_value\t-9999\n";
        for (int r = 1; r <= kRows; ++r) {
            for (int c = 1; c <= kCols; ++c) {
                const std::optional<double> v = Valid(r, c) ? f(r, c) : std::nullopt;
                t += StrFormat(c > 1 ? "\t%g" : "%g", v ? *v : -9999.0);
            }
            t += '\n';
        }
        return t;
    }

    // The binary stack of the whole basin, basin cells with their level values.
    template <class T>
    static std::string BasinStackBytes(int levels) {
        std::string b;
        const double header[12] = {kCols, kRows, 100.5, 200.25, 50, -9999, 0, 0, 0, 0, 0, static_cast<double>(levels)};
        for (double h : header) Append<T>(&b, static_cast<T>(h));
        for (int r = 1; r <= kRows; ++r)
            for (int c = 1; c <= kCols; ++c)
                for (int l = 0; l <= levels; ++l)
                    Append<T>(&b, static_cast<T>(Valid(r, c) ? LevelValue(r, c, l) : -9999.0));
        return b;
    }

    std::vector<std::vector<double>> zone_;
    Matrix zoneGrid_;
    TestDecomposition d_;
};

}  // namespace talvo_test
