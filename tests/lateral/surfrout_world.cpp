#include "surfrout_world.hpp"

#include <map>

#include "setup/tracer_ini.hpp"
#include "support/test_support.hpp"

namespace surfrout_test {

std::string SectionSpec::Text() const {
    char buf[2048];
    std::snprintf(buf, sizeof buf,
                  "[SurfaceRoutingModel]\n1 flow control\n%g time step\n%d method for flowpath-calculation\n"
                  "qd_sr.txt %s\nqi_sr.txt %s\nqb_sr.txt %s\nqg_sr.txt %s\nvelocity.stk\n%d\nfluxes.stk\n0\n"
                  "%s A_NL tolerance\n%d A_NL steps\n1e-9 velocity tolerance\n%d velocity steps\n"
                  "%g minimum sub step\n%g maximum sub step\n0.01 crop depth\n%g concentration\n%d readgrid\n",
                  timeStep, method, statCodes[0].c_str(), statCodes[1].c_str(), statCodes[2].c_str(),
                  statCodes[3].c_str(), velocityCode, anl.c_str(), anlSteps, velocitySteps, minStep, maxStep, concentration, readGrids);
    return std::string(buf) + storageLines + "\n";
}

World::World(const WorldLayout& s) : def(s) {
    log = std::make_unique<DiagLog>("", 4);
    log->SetConsole(console);
    memory_handling mh;
    auto make = [&](double v) {
        auto m = std::make_unique<Matrix>(mh.matrix(1, def.nrows, 1, def.ncols, def.nrows));
        m->fill(v);
        grids.push_back(std::move(m));
        return grids.back().get();
    };
    zone = mh.matrix(1, def.nrows, 1, def.ncols, def.nrows);
    std::map<int, int> codes;
    for (int r = 1; r <= def.nrows; ++r)
        for (int c = 1; c <= def.ncols; ++c) {
            zone[r][c] = def.zone(r, c);
            if (zone[r][c] != -9999) codes[static_cast<int>(zone[r][c])] += 1;
        }
    store[1].grid = &zone;
    store[1].fileName = "zones.asc";
    store[1].hasFileName = true;
    store[1].internalName = "[zone_grid]";
    store[1].hasInternalName = true;
    Matrix* elevation = make(-9999);
    store[2].grid = elevation;
    store[2].fileName = "elevation.asc";
    store[2].hasFileName = true;
    store[2].internalName = "[elevation_model]";
    store[2].hasInternalName = true;
    int next = 3;
    auto add = [&](const std::string& name, Matrix* m) {
        store[next].grid = m;
        store[next].fileName = name + ".asc";
        store[next].hasFileName = true;
        store[next].internalName = name;
        store[next].hasInternalName = true;
        ++next;
        return m;
    };
    Matrix* depth = add("river_depth", make(0));
    Matrix* width = add("river_width", make(0));
    add("river_links", make(0));
    add("landuse1", make(-9999));
    add("vegetation_coverage_degree1", make(0.8));
    add("soil_types", make(1));
    storage = add("SurfStorSiltingUp", make(0));
    directflow = add("directflow", make(0));
    interflow = add("interflow", make(0));
    Matrix* times = def.flowTimes ? add("flow_times", make(-9999)) : nullptr;
    for (int r = 1; r <= def.nrows; ++r)
        for (int c = 1; c <= def.ncols; ++c) {
            if (zone[r][c] == -9999) continue;
            (*elevation)[r][c] = def.elevation(r, c);
            (*store[6].grid)[r][c] = 1;  // land use at table position 1
            if (def.river(r, c)) (*depth)[r][c] = (*width)[r][c] = 1;
            if (times) (*times)[r][c] = def.flowTimes(r, c);
        }
    index.assign(static_cast<std::size_t>(codes.empty() ? 1 : codes.rbegin()->first + 1), 0);
    records.assign(1, zoneFZT{});
    double cells = 0;
    for (auto& [code, n] : codes) cells += n;
    for (auto& [code, n] : codes) {
        index[static_cast<std::size_t>(code)] = static_cast<int>(records.size());
        records.push_back({double(n), double(n), double(code), n / cells, double(n)});
    }
    landuse.resize(2);
    landuse[1].SR_cultivation = 3;
    landuse[1].SR_K_ST = 10;
    landuse[1].SR_C_WR = 1.5;
    landuse[1].SR_CropDistX = 0.3;

    settings.controlFileName = "surfrout.ctl";
    settings.zoneIndex = &index;
    settings.zoneRecords = &records;
    settings.zoneCount = static_cast<int>(codes.size());
    settings.maxZoneCode = codes.empty() ? 0 : codes.rbegin()->first;
    settings.ncols = def.ncols;
    settings.nrows = def.nrows;
    if (def.banded) {
        const int size = talvo_test::Size(), rank = talvo_test::Rank();
        settings.firstRow = rank * def.nrows / size + 1;
        settings.lastRow = (rank + 1) * def.nrows / size;
    } else {
        settings.firstRow = 1;
        settings.lastRow = def.nrows;
    }
    if (def.decomposed) {
        probe = std::make_unique<modelobject>(log.get(), "surfrout.ctl", 0, false, false, ObjectRecord{});
        probe->nrows = def.nrows;
        probe->ncols = def.ncols;
        probe->gridStore = &store;
        std::vector<std::vector<double>> whole(static_cast<std::size_t>(def.nrows) + 1,
                                               std::vector<double>(static_cast<std::size_t>(def.ncols) + 1, -9999));
        for (int r = 1; r <= def.nrows; ++r)
            for (int c = 1; c <= def.ncols; ++c) whole[r][c] = zone[r][c];
        talvo_test::Decompose(*probe, whole, &division);
        settings.firstRow = probe->firstRow;
        settings.lastRow = probe->lastRow;
        settings.record.sendHalo = &division.sendHalo;
        settings.record.recvHalo = &division.recvHalo;
        settings.record.basinColumns = &division.basin;
    }
    settings.cellsize = def.cellsize;
    settings.startHour = 1;
    settings.startDay = 1;
    settings.startMonth = 6;
    settings.startYear = 2020;
    settings.endHour = 24;
    settings.endDay = 30;
    settings.endMonth = 6;
    settings.endYear = 2020;
    settings.gridStore = &store;
    settings.landuseTable = landuse.data();
}

Matrix* World::AddGrid(const std::string& name, double value) {
    memory_handling mh;
    grids.push_back(std::make_unique<Matrix>(mh.matrix(1, def.nrows, 1, def.ncols, def.nrows)));
    grids.back()->fill(value);
    const int i = FirstFreeGridEntry(store);
    store[i].grid = grids.back().get();
    store[i].fileName = name + ".asc";
    store[i].hasFileName = true;
    store[i].internalName = name;
    store[i].hasInternalName = true;
    return grids.back().get();
}

void World::WriteControl(const SectionSpec& section, const std::string& extra) {
    submodel_test::WriteShared("surfrout.ctl", submodel_test::ControlFile(section.Text() + extra));
}

std::unique_ptr<surfaceroutingclass> World::Build(unsigned* error, unsigned numSubSteps) {
    return std::make_unique<surfaceroutingclass>(*error, log.get(), settings, numSubSteps);
}

std::unique_ptr<surfaceroutingclass> World::BuildReady(unsigned numSubSteps,
                                                       const std::vector<TracerDescriptor>* tracers) {
    unsigned error = 0;
    auto m = Build(&error, numSubSteps);
    EXPECT_EQ(error, 0u) << console.str();
    const int count = tracers != nullptr ? static_cast<int>(tracers->size()) - 1 : 0;
    m->CreateTracerGrids(error, count, count > 0 ? tracers->data() : nullptr, nullptr, 0);
    EXPECT_EQ(error, 0u) << console.str();
    return m;
}

}  // namespace surfrout_test
