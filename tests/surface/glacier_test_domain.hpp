#pragma once
// The snow model with glaciers on the shared 4 x 5 test domain: the "[ice_firn]" and
// "[permafrost]" sections, the glacier grids and the row decomposition of the processes.
#include <string>

#include "snow_test_domain.hpp"
#include "support/test_support.hpp"

namespace glacier_test {

struct GlacierOptions {
    int method = 11;
    std::string qglac = "qglac.txt";
    std::string line24 = "3 2000 0.5";
    std::string line25 = "2 1";
    std::string line26 = "28.5 1.36 2 1";
    int readGrids = 0;
    double kice = 10, kfirn = 20, ksnow = 5;
    double DDFice = 6, DDFfirn = 5, DDFsnow = 4;
    std::string stats = "0";
};

inline std::string IceFirnSection(const GlacierOptions& o) {
    auto num = [](double v) { return std::to_string(v); };
    std::string s = "[ice_firn]\n" + std::to_string(o.method) + " Glacier-Method\n" + num(o.DDFice) + " DDFice\n" +
                    num(o.DDFfirn) + " DDFfirn\n" + num(o.DDFsnow) + " DDFsnow\n2 MF\n0.01 Aice_min\n0.02 Aice_max\n"
                    "0.005 Asnow_min\n0.01 Asnow_max\n" +
                    num(o.kice) + " kice_els\n" + num(o.kfirn) + " kfirn_els\n" + num(o.ksnow) +
                    " ksnow_els\n0 Qice0\n0 Qfirn0\n0 Qsnow0\n"
                    "firnmelt.asc\n0 code\nqfirn.txt " +
                    o.stats + " stat\nicemelt.asc\n0 code\nqice.txt " + o.stats + " stat\n" + o.qglac + " " + o.stats +
                    " stat\n";
    if (o.method < 11) return s + "\n";
    s += "qsnowglac.txt " + o.stats + " stat\n" + std::to_string(o.readGrids) + " read grids\n" + o.line24 +
         " firn\n" + o.line25 + " eval\n" + o.line26 + " VA\n";
    s += "firn.stk\n0 code\nfirn.txt " + o.stats + " stat\ngmb.asc\n0 code\ngmbold.asc\n0 code\ngmb1.txt " + o.stats +
         " stat\ngmb2.txt " + o.stats + " stat\n1 debris\nsnowng.txt " + o.stats + " stat\n";
    for (const char* g : {"sg.asc", "lg.asc", "tg.asc", "mg.asc", "stg.asc", "ttg.asc", "eg.asc"})
        s += std::string(g) + "\n0 code\n";
    return s + "\n";
}

inline std::string PermafrostSection(int method) {
    return "[permafrost]\n" + std::to_string(method) +
           " method\n3 Min_Snow_Age_Refreeze\n5 Max_SWE_SnowFree\nthaw.txt 0 stat\n1e-7 reduced k_sat\n\n";
}

// Glacier 1 in zone 5 over rows 1..3 (it crosses the process boundary at 2 processes).
inline const double kFraction[4][5] = {{0, 0, 0, 1, 0}, {0, 0, 0.5, 1, 0.3}, {0, 0, 1, 0.6, 0}, {0, 0, 0, 0, 0}};

class GlacierDomain : public snow_test::SnowDomain {
protected:
    void SetUp() override {
        SnowDomain::SetUp();
        memory_handling mh;
        regions_ = mh.matrix(1, 4, 1, 5, 4);
        const int size = talvo_test::Size();
        for (int r = 1; r <= 4; ++r)
            for (int c = 1; c <= 5; ++c) {
                int owner = 0;
                for (int p = 0; p < size; ++p)
                    if (r >= p * 4 / size + 1 && r <= (p + 1) * 4 / size) owner = p;
                regions_[r][c] = owner;
            }
        helper_ = mh.matrix(1, 4, 1, 5, 4);
        for (int r = 1; r <= 4; ++r) {
            helper_[r][1] = talvo_test::Rank() == 0 ? regions_[r][1] : 1;
            helper_[r][2] = 5;
        }
        Register("MPIRegions", &regions_);
        Register("MPIHelper", &helper_);
        Add("GlacierizedCells", 0);
        Add("GlacierCodes", -9999);
        Add("global_radiation", 100);
        Matrix& z = *store_[2].grid;
        for (int r = 1; r <= 4; ++r)
            for (int c = 1; c <= 5; ++c) {
                if (zone_[r][c] == -9999) continue;
                z[r][c] = 2600 - 100 * r;
                G("GlacierizedCells")[r][c] = kFraction[r - 1][c - 1];
                if (kFraction[r - 1][c - 1] > 0) G("GlacierCodes")[r][c] = 1;
            }
    }
    std::unique_ptr<schneemodellklasse> MakeGlacier(const snow_test::SectionOptions& o, const GlacierOptions& g,
                                                    unsigned* code, const std::string& more = "") {
        return Make(o, code, IceFirnSection(g) + more);
    }
    double SumOwn(const std::function<double(int, int)>& f) {
        double s = 0;
        ForOwn([&](int r, int c) { s += f(r, c); });
        double all = 0;
        MPI_Allreduce(&s, &all, 1, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
        return all;
    }
    Matrix regions_, helper_;
};

}  // namespace glacier_test
