#pragma once
// The snow model on the shared 4 x 5 test domain: a "[snow_model]" section for any method and
// the input grids the methods look up, held by the test in the grid store.
#include <deque>
#include <map>
#include <memory>
#include <string>

#include "../submodel/submodel_fixtures.hpp"
#include "setup/spinup.hpp"
#include "surface/snowmod.hpp"

namespace snow_test {

struct SectionOptions {
    int flow = 1;
    int method = 1;
    double timeStep = 60;
    double T0R = 0, T0 = 0, CWH = 0.1;
    int readStorage = 0;
    std::string stats = "0";  // statistics code of every output
    std::string extendedFirst = "stemp.asc";
    double maxDepositionSlope = 55, maxDepositionFactor = 1, minSlideSlope = 30, slideMassFrac = 0.01;
    double LWINcorr = 1, LWOUTcorr = 1;
};

inline std::string SnowSection(const SectionOptions& o) {
    auto grid = [&](const char* name) { return std::string(name) + "\n0 write code\n"; };
    auto stat = [&](const char* name) { return std::string(name) + " " + o.stats + " statistics\n"; };
    std::string s = "[snow_model]\n" + std::to_string(o.flow) + " flow control\n" + std::to_string(o.timeStep) +
                    " time step\n" + std::to_string(o.method) + " method\n1 transzone\n" + std::to_string(o.T0R) +
                    " T0R\n" + std::to_string(o.T0) + " T0\n" + std::to_string(o.CWH) +
                    " CWH\n2 CRFR\n3 C0\n2 C1\n0.5 C2\n0.1 z0\n1 RMFMIN\n3 RMFMAX\n0.4 ALBsnow_min\n0.9 ALBsnow_max\n";
    s += grid("rain.asc") + stat("p_rain.sta") + grid("snow.asc") + stat("p_snow.sta") + grid("days.asc") +
         stat("days.sta") + grid("age.asc") + stat("age.sta") + stat("albedo.sta") + grid("outflow.asc") +
         stat("outflow.sta") + grid("meltonly.asc") + stat("meltonly.sta") + grid("solid.asc") +
         grid("liquid.asc") + stat("storage.sta") + grid("total.asc") + std::to_string(o.readStorage) +
         " readgrid\n";
    if (o.method > 4) {
        s += o.extendedFirst + "\n0 write code\n" + stat("stemp.sta") + grid("surftemp.asc") + stat("surftemp.sta") +
             grid("input.asc") + stat("input.sta") + grid("mobile.asc") + stat("mobile.sta") + grid("depo.asc") +
             stat("depo.sta");
        s += std::to_string(o.maxDepositionSlope) + " maxDepositionSlope\n" + std::to_string(o.maxDepositionFactor) +
             " maxDepositionFactor\n" + std::to_string(o.minSlideSlope) + " minSlideSlope\n" +
             std::to_string(o.slideMassFrac) + " slideMassFrac\n" + std::to_string(o.LWINcorr) + " LWINcorr\n" +
             std::to_string(o.LWOUTcorr) + " LWOUTcorr\n";
    }
    return s + "\n";
}

// The domain with its input grids. Every grid holds the own rows of the process.
class SnowDomain : public submodel_test::DomainTest {
protected:
    void SetUp() override {
        DomainTest::SetUp();
        store_[2].grid = &Grid("[elevation]", 1500);
        store_[2].internalName = "[elevation_model]";
        store_[2].fileName = "dem.asc";
        store_[2].hasFileName = true;
        store_[2].hasInternalName = true;
        Share("zonegrid_soilmodel", 1);
        for (const char* name : {"albedo", "landuse1", "temperature", "temperature_night", "precipitation",
                                 "wind_speed", "cloudiness", "air_humidity", "AspectCorrectedGlobalRadiation",
                                 "vapor_pressure", "deposition_index", "slidefraction1", "slidefraction2",
                                 "slidefraction3", "slidefraction4", "slope_angle", "snow_evaporation"})
            Add(name, 0);
        Fill("albedo", 0.2);
        Fill("air_humidity", 0.7);
        Fill("cloudiness", 0.4);
        Fill("wind_speed", 2);
        Fill("AspectCorrectedGlobalRadiation", 100);
        Fill("deposition_index", 0.2);
        Fill("vapor_pressure", 6);
        Fill("slope_angle", 20);
        Fill("slidefraction1", 0.25);
    }

    // A whole grid on every process (the model reads its own rows), basin cells set to value.
    Matrix& Grid(const std::string& key, double value) {
        memory_handling mh;
        const int first = 1, last = 4;
        grids_.emplace_back(mh.matrix(first, last, 1, 5, 4));
        Matrix& m = grids_.back();
        for (int r = first; r <= last; ++r)
            for (int c = 1; c <= 5; ++c) m[r][c] = zone_[r][c] == -9999 ? -9999 : value;
        byName_[key] = &m;
        return m;
    }
    // Registers a new grid under name in the next free entry.
    int Add(const std::string& name, double value) {
        Matrix& m = Grid(name, value);
        return Register(name, &m);
    }
    int Register(const std::string& name, Matrix* m) {
        const int i = FirstFreeGridEntry(store_);
        store_[i].grid = m;
        store_[i].fileName = name + ".asc";
        store_[i].hasFileName = true;
        store_[i].internalName = name;
        store_[i].hasInternalName = true;
        return i;
    }
    // Response units, one per row 1..rows over the row's basin cells that member takes, the
    // master the first of them: registers the unit and master grids and hands the units (one
    // entry per row and entry 0) to the settings. Returns the master grid.
    template <class Member>
    Matrix& PutRowResponseUnits(std::vector<HydrologicResponseUnit>& units, int rows, Member member) {
        units.assign(static_cast<std::size_t>(rows) + 1, HydrologicResponseUnit{});
        Matrix& unit = Grid("HydrologicResponseUnits", 0);
        Matrix& master = Grid("MasterHydrologicResponseUnits", -9999);
        for (int r = 1; r <= rows; ++r) {
            int first = 0;
            for (int c = 1; c <= 5; ++c) {
                if (zone_[r][c] == -9999 || !member(r, c)) continue;
                if (first == 0) first = c;
                unit[r][c] = r;
                master[r][c] = first == c ? r : -9999;
            }
            units[static_cast<std::size_t>(r)].row = r;
            units[static_cast<std::size_t>(r)].column = first;
        }
        Register("HydrologicResponseUnits", &unit);
        Register("MasterHydrologicResponseUnits", &master);
        settings_.spinUpSwitch = 1;
        settings_.responseUnits = &units;
        return master;
    }
    // The zone grid under a second name.
    void Share(const std::string& name, int entry) { Register(name, store_[entry].grid); }
    void Fill(const std::string& name, double v) {
        Matrix& m = *byName_.at(name);
        for (int r = m.firstRow(); r <= m.lastRow(); ++r)
            if (m.holds(r))
                for (int c = 1; c <= 5; ++c)
                    if (zone_[r][c] != -9999) m[r][c] = v;
    }
    Matrix& G(const std::string& name) { return *byName_.at(name); }
    // Removes a grid from the store.
    void Drop(const std::string& name) {
        for (int i = 1; i < 1000; ++i)
            if (store_[i].internalName == name) store_[i] = GridStoreEntry{};
    }

    std::unique_ptr<schneemodellklasse> Make(const SectionOptions& o, unsigned* code = nullptr,
                                             const std::string& after = "") {
        submodel_test::WriteShared("test.ctl", submodel_test::ControlFile(SnowSection(o), after));
        unsigned error = 0;
        auto snow = std::make_unique<schneemodellklasse>(error, log_.get(), settings_);
        if (code != nullptr) *code = error;
        return snow;
    }

    // The console shows an entry without its level prefix.
    ::testing::AssertionResult Entry(const std::string& text) const {
        for (const char* prefix : {"FATAL: ", "ERROR: ", "WARNING: ", "INFO: ", "DEBUG: "})
            if (text.rfind(prefix, 0) == 0) return Logged(text.substr(std::string(prefix).size()));
        return Logged(text);
    }

    // Own basin cells of this process.
    template <class F>
    void ForOwn(F&& f) {
        for (int r = settings_.firstRow; r <= settings_.lastRow; ++r)
            for (int c = 1; c <= 5; ++c)
                if (zone_[r][c] != -9999) f(r, c);
    }

    std::deque<Matrix> grids_;
    std::map<std::string, Matrix*> byName_;
};

}  // namespace snow_test
