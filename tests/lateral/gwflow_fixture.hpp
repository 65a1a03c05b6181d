#pragma once
// A rectangular groundwater domain for the tests: zone 1 everywhere (or as the test sets),
// rows in bands over the processes with their halo lists, every input grid held whole on
// every process, a one-entry soil table and a writer for the "[groundwater_flow]" section.
#include <mpi.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "lateral/gwflow.hpp"
#include "submodel/submodel_fixtures.hpp"
#include "tables/soil_entry.hpp"

namespace gwtest {

// The values of the section, one per line as the model reads them.
struct Section {
    int flow = 1, method = 1, maxiter = 10000;
    double maxerr = 1e-9, alpha = 1, sor = 1.0;
    int read = 0, layers = 1, row = 0, col = 0;
    std::string file = "cp.txt";
    std::string pondLine;  // the optional flag line ("" for none)
    std::vector<long> codes{0, 0, 0, 0};

    std::string Text() const {
        std::string t = "[groundwater_flow]\n" + std::to_string(flow) + " flow control\n60 time step\n";
        t += std::to_string(method) + " method\n" + std::to_string(maxiter) + " maxiter\n";
        t += Num(maxerr) + " maxerror\n" + Num(alpha) + " alpha\n" + Num(sor) + " sor\n";
        t += std::to_string(read) + " grid read\n" + std::to_string(layers) + " layers\n";
        t += std::to_string(row) + " " + std::to_string(col) + " control point\n" + file + " cp file\n";
        if (!pondLine.empty()) t += pondLine + "\n";
        for (int l = 1; l <= layers; ++l) {
            const std::string n = std::to_string(l);
            t += "head_" + n + ".asc name\n" + std::to_string(codes[0]) + " code\n";
            t += "qx_" + n + ".asc name\n" + std::to_string(codes[1]) + " code\n";
            t += "qy_" + n + ".asc name\n" + std::to_string(codes[2]) + " code\n";
            t += "bal_" + n + ".asc name\n" + std::to_string(codes[3]) + " code\n";
        }
        return t + "\n";
    }
    static std::string Num(double v) {
        char b[64];
        std::snprintf(b, sizeof b, "%.17g", v);
        return b;
    }
};

class GwDomain : public submodel_test::LoggedTest {
protected:
    // A grid of rows x cols cells of the given size; layer 1 is soilDepth thick.
    void Init(int rows, int cols, double cell = 100.0, double soilDepth = 10.0) {
        nrows_ = rows;
        ncols_ = cols;
        memory_handling mh;
        zone_ = mh.matrix(1, rows, 1, cols, rows);
        zone_.fill(1.0);
        for (int r = 1; r <= rows; ++r) zone_[r][0] = 0;
        store_[1].grid = &zone_;
        store_[1].fileName = "zones.asc";
        store_[1].hasFileName = true;
        store_[1].internalName = "[zone_grid]";
        store_[1].hasInternalName = true;
        index_.assign(10, 0);
        index_[1] = 1;
        records_ = {{0, 0, 1, 1.0, 0}, {0, 0, 1, 1.0, 0}};
        soils_.assign(2, soil_entry{});
        soils_[0].code = 1;
        soils_[1].totalDepth = soilDepth;

        const int size = talvo_test::Size(), rank = talvo_test::Rank();
        auto first = [&](int p) { return p * rows / size + 1; };
        auto last = [&](int p) { return (p + 1) * rows / size; };
        const int f = first(rank), l = last(rank);
        send_.clear();
        recv_.clear();
        if (f <= l) {
            for (int p = rank - 1; p >= 0; --p)
                if (first(p) <= last(p)) {
                    if (f > 1) {
                        send_.push_back({f, 1, cols, p});
                        recv_.push_back({f - 1, 1, cols, p});
                    }
                    break;
                }
            for (int p = rank + 1; p < size; ++p)
                if (first(p) <= last(p)) {
                    if (l < rows) {
                        send_.push_back({l, 1, cols, p});
                        recv_.push_back({l + 1, 1, cols, p});
                    }
                    break;
                }
        }
        s_ = SubmodelSettings{};
        s_.controlFileName = "test.ctl";
        s_.zoneIndex = &index_;
        s_.zoneRecords = &records_;
        s_.zoneCount = 1;
        s_.maxZoneCode = 1;
        s_.ncols = cols;
        s_.nrows = rows;
        s_.firstRow = f;
        s_.lastRow = l;
        s_.cellsize = cell;
        s_.nodata = -9999.0;
        s_.endHour = 24;
        s_.endDay = 31;
        s_.endMonth = 12;
        s_.endYear = 2030;
        s_.gridStore = &store_;
        s_.soilTable = soils_.data();
        s_.record.sendHalo = &send_;
        s_.record.recvHalo = &recv_;
    }

    // A grid named name, value everywhere, registered at the next free entry.
    Matrix& Grid(const std::string& name, double value) {
        memory_handling mh;
        grids_.push_back(mh.matrix(1, nrows_, 1, ncols_, nrows_));
        Matrix& m = grids_.back();
        m.fill(value);
        int i = 1;
        while (store_[i].hasInternalName) ++i;
        store_[i].grid = &m;
        store_[i].fileName = name;
        store_[i].hasFileName = true;
        store_[i].internalName = name;
        store_[i].hasInternalName = true;
        return m;
    }
    Matrix& Find(const std::string& name) {
        for (int i = 1; i < 1000; ++i)
            if (store_[i].internalName == name) return *store_[i].grid;
        throw std::runtime_error("no grid " + name);
    }

    // A storage coefficient so small that one step reaches the steady state (0 is no aquifer).
    static constexpr double kSteady = 1e-12;
    // A conductivity so small that no lateral flow shows in a test's digits (0 is refused).
    static constexpr double kNoFlow = 1e-20;

    // Every grid of L layers: elevation, distance (start head elev + dist), conductivity k,
    // storage st, no fixed heads or inflows, leakage coefficient 0, deeper layers thick.
    void StandardGrids(int L, double elev, double dist, double k, double st, double thickness = 10.0) {
        Grid("[elevation_model]", elev);
        Grid("groundwater_recharge", 0);
        Grid("groundwater_distance", dist);
        Grid("soil_types", 1);
        Grid("baseflow", 0);
        for (int l = 1; l <= L; ++l) {
            const std::string n = std::to_string(l);
            Grid("aquifer_thickness_" + n, thickness);
            Grid("gw_k_x_" + n, k);
            Grid("gw_k_y_" + n, k);
            Grid("gw_storage_coeff_" + n, st);
            Grid("gw_boundary_fix_h_" + n, -9999.0);
            Grid("gw_boundary_fix_q_" + n, -9999.0);
            if (l < L) Grid("gw_kolmation_" + n, 0);
        }
    }

    std::unique_ptr<gwflowclass> Make(const Section& sec, unsigned& error, const std::string& after = "") {
        submodel_test::WriteShared("test.ctl", submodel_test::ControlFile(sec.Text(), after));
        return std::make_unique<gwflowclass>(error, log_.get(), s_, 1);
    }
    std::unique_ptr<gwflowclass> MakeOk(const Section& sec, const std::string& after = "") {
        unsigned error = 0;
        auto g = Make(sec, error, after);
        EXPECT_EQ(error, 0u) << console_.str();
        return g;
    }
    static void Step(gwflowclass& g, int day = 1) {
        g.BeginTimeStep(24, day, 1, 2020);
        g.run(24, day, 1, 2020);
    }
    bool Owns(int r) const { return r >= s_.firstRow && r <= s_.lastRow; }
    static double Max(double v) {
        double o = v;
        MPI_Allreduce(&v, &o, 1, MPI_DOUBLE, MPI_MAX, MPI_COMM_WORLD);
        return o;
    }
    static double Sum(double v) {
        double o = v;
        MPI_Allreduce(&v, &o, 1, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
        return o;
    }

    int nrows_ = 0, ncols_ = 0;
    GridStore store_;
    Matrix zone_;
    std::deque<Matrix> grids_;
    std::vector<int> index_;
    std::vector<zoneFZT> records_;
    std::vector<soil_entry> soils_;
    std::vector<HaloRecord> send_, recv_;
    SubmodelSettings s_;
};

}  // namespace gwtest
