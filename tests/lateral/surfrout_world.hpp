#pragma once
// A small basin for surface routing tests: zone, terrain, land-use, soil and river grids in a
// grid store, a land-use table, the sub-model settings and a control-file section. The soil
// model's grids ("directflow", "interflow") are plain grids the tests fill themselves.
#include <functional>
#include <sstream>
#include <memory>
#include <string>
#include <vector>

#include "kernel/diaglog.hpp"
#include "kernel/gridstore.hpp"
#include "kernel/matrix.hpp"
#include "lateral/surfrout.hpp"
#include "submodel/submodel_fixtures.hpp"
#include "test_decomposition.hpp"
#include "tables/landuse_entry.hpp"

namespace surfrout_test {

struct WorldLayout {
    int nrows = 3, ncols = 10;
    double cellsize = 10;
    std::function<double(int, int)> zone = [](int, int) { return 1.0; };
    std::function<double(int, int)> elevation = [](int, int) { return 100.0; };
    std::function<bool(int, int)> river = [](int, int) { return false; };
    std::function<double(int, int)> flowTimes;  // none: no "flow_times" grid
    bool banded = false;  // rows in bands over the processes; else every process holds all
    bool decomposed = false;  // cells divided among the processes as the set-up does it
};

// The section "[SurfaceRoutingModel]" with the given values.
struct SectionSpec {
    int method = 5;
    double timeStep = 60;
    std::string anl = "0.001";
    int anlSteps = 20;
    int velocitySteps = 50;
    double minStep = 0, maxStep = 3600;
    double concentration = 1.0;
    int readGrids = 0;
    int velocityCode = 0;  // write code of the velocity stack
    std::string statCodes[5] = {"0", "0", "0", "0", "0"};
    std::string storageLines = "storage_stat.txt 0\nstate.txt\n";
    std::string Text() const;
};

class World {
public:
    explicit World(const WorldLayout& def);
    // Writes the control file "surfrout.ctl" (all processes read it).
    void WriteControl(const SectionSpec& section, const std::string& extra = "");
    std::unique_ptr<surfaceroutingclass> Build(unsigned* error, unsigned numSubSteps = 1);
    // Builds and sets up the tracer grids and arrays (of the tracers 1.. of the list, none without).
    std::unique_ptr<surfaceroutingclass> BuildReady(unsigned numSubSteps = 1,
                                                    const std::vector<TracerDescriptor>* tracers = nullptr);
    // Registers a grid of the given name with a constant value (all rows).
    Matrix* AddGrid(const std::string& name, double value);
    bool Own(int r, int c) const {
        if (r < settings.firstRow || r > settings.lastRow || zone[r][c] == -9999) return false;
        return !def.decomposed || division.owner[static_cast<std::size_t>(r)][static_cast<std::size_t>(c)] ==
                                       talvo_test::Rank();
    }

    WorldLayout def;
    GridStore store;
    std::vector<std::unique_ptr<Matrix>> grids;
    Matrix zone;
    Matrix* directflow = nullptr;
    Matrix* interflow = nullptr;
    Matrix* storage = nullptr;
    std::vector<int> index;
    std::vector<zoneFZT> records;
    std::vector<landuse_entry> landuse;
    SubmodelSettings settings;
    std::ostringstream console;  // outlives the log that writes to it
    std::unique_ptr<DiagLog> log;
    talvo_test::TestDecomposition division;
    std::unique_ptr<modelobject> probe;
};

}  // namespace surfrout_test
