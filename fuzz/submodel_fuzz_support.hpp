#pragma once
// A 2 x 2 basin of two subbasins for the fuzz targets of the sub-models' section readers: a
// grid store with the zone grid, the elevation model and any further grids of constant value,
// the settings a sub-model is built with, and the fuzzer input written as the module's section.
#include <mpi.h>

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "fuzz_support.hpp"
#include "kernel/diaglog.hpp"
#include "kernel/gridstore.hpp"
#include "kernel/matrix.hpp"
#include "submodel/teilmod.hpp"
#include "tables/landuse_entry.hpp"
#include "tables/soil_entry.hpp"

namespace fuzz_support {

// Codes a section reader may end with: missing or refused values (17), a required grid the
// test basin lacks (33), its own range and method checks, file and grid errors.
inline bool ExpectedReaderCode(unsigned code) { return code != 103; }

class FuzzBasin {
public:
    explicit FuzzBasin(const std::vector<std::pair<std::string, double>>& grids) {
        int initialised = 0;
        MPI_Initialized(&initialised);
        if (!initialised) MPI_Init(nullptr, nullptr);
        log_.SetConsole(discard_);
        memory_handling mh;
        grids_.reserve(grids.size() + 3);
        Add(mh, "[zone_grid]", 1);
        grids_.back()[2][2] = 2;
        Add(mh, "[elevation_model]", 500);
        Add(mh, "zonegrid_soilmodel", 1);
        grids_.back()[2][2] = 2;
        for (const auto& [name, value] : grids) Add(mh, name, value);
        index_ = {0, 1, 2};
        records_ = {{0, 0, 0, 1, 0}, {3, 3, 1, 0.75, 3}, {1, 1, 2, 0.25, 1}};
        landuse_.resize(2);
        landuse_[0].code = 1;
        soil_.resize(2);
        settings.controlFileName = "fuzz_section.ctl";
        settings.zoneIndex = &index_;
        settings.zoneRecords = &records_;
        settings.zoneCount = 2;
        settings.maxZoneCode = 2;
        settings.ncols = settings.nrows = 2;
        settings.firstRow = 1;
        settings.lastRow = 2;
        settings.cellsize = 10;
        settings.latitude = 47.5;
        settings.longitude = 8.5;
        settings.meridian = 15;
        settings.startHour = settings.endHour = 24;
        settings.startDay = 1;
        settings.endDay = 3;
        settings.startMonth = settings.endMonth = 1;
        settings.startYear = settings.endYear = 2020;
        settings.gridStore = &store_;
        settings.landuseTable = landuse_.data();
    }

    // The section head, then the fuzzer's bytes as the rest of the section.
    void WriteSection(const std::string& head, const std::uint8_t* data, std::size_t size) const {
        WriteInput(settings.controlFileName, head, data, size);
    }
    DiagLog* Log() { return &log_; }

    SubmodelSettings settings;

private:
    void Add(memory_handling& mh, const std::string& name, double value) {
        grids_.push_back(mh.matrix(1, 2, 1, 2, 2));
        grids_.back().fill(value);
        GridStoreEntry& e = store_[static_cast<int>(grids_.size())];
        e.grid = &grids_.back();
        e.fileName = name + ".asc";
        e.hasFileName = true;
        e.internalName = name;
        e.hasInternalName = true;
    }

    std::ostream discard_{nullptr};
    DiagLog log_{"fuzz_section_diag.xml", -1};
    GridStore store_;
    std::vector<Matrix> grids_;
    std::vector<int> index_;
    std::vector<zoneFZT> records_;
    std::vector<landuse_entry> landuse_;
    std::vector<soil_entry> soil_;
};

// The grids of the soil model on the fuzz basin (one land use, one soil type), and the soil table
// of one four-layer loam that the soil targets read their sections against.
inline std::vector<std::pair<std::string, double>> SoilModelGrids() {
    return {{"[elevation]", 500},
            {"landuse", 1},
            {"root_depth1", 0.5},
            {"vegetation_coverage_degree1", 0.8},
            {"leaf_area_index1", 2},
            {"SurfaceCanopyResistance1", 60},
            {"SurfaceIntercepResistance1", 0},
            {"RoughnessLength1", 0.05},
            {"pot_transpiration0", 0},
            {"pot_transpiration1", 0},
            {"real_transpiration0", 0},
            {"real_transpiration1", 0},
            {"SurfaceEvaporationResistance", 150},
            {"albedo", 0.2},
            {"potential_evaporation", 0},
            {"real_evaporation", 0},
            {"precipitation", 1},
            {"slope_angle", 10},
            {"soil_types", 1}};
}

inline std::vector<soil_entry> LoamSoilTable(DiagLog& log) {
    std::vector<soil_entry> t(2);
    t[0].code = 1;
    t[1] = soil_entry(1);
    t[1].ParseSoilBlock(log,
                        "1 loam { method = MultipleHorizons; layers = 4; thickness = 0.1; ksat = 1e-5; "
                        "theta_sat = 0.4; theta_res = 0.05; alpha = 2.0; Par_n = 1.5; }",
                        "MultipleHorizons");
    return t;
}

// The input grids of the snow model (all its methods) on the fuzz basin.
inline std::vector<std::pair<std::string, double>> SnowModelGrids() {
    return {{"albedo", 0.2},   {"landuse1", 1},       {"temperature", 2},
            {"wind_speed", 1}, {"vapor_pressure", 8}, {"precipitation", 1}};
}

// The input grids of every evapotranspiration method on the fuzz basin.
inline std::vector<std::pair<std::string, double>> EtpModelGrids() {
    return {{"temperature", 5},
            {"temperature_14", 8},
            {"temperature_night", 2},
            {"landuse1", 1},
            {"leaf_area_index1", 2},
            {"root_depth1", 0.5},
            {"vegetation_coverage_degree1", 0.8},
            {"SurfaceCanopyResistance1", 60},
            {"SurfaceIntercepResistance1", 0},
            {"RoughnessLength1", 0.05},
            {"SurfaceEvaporationResistance", 150},
            {"albedo", 0.2},
            {"wind_speed", 1},
            {"vapor_pressure", 8},
            {"air_humidity_14", 0.7},
            {"global_radiation", 100}};
}

// The grids of a groundwater model of one aquifer layer on the fuzz basin.
inline std::vector<std::pair<std::string, double>> GroundwaterModelGrids() {
    return {{"groundwater_recharge", 0},
            {"groundwater_distance", 2},
            {"soil_types", 1},
            {"baseflow", 0},
            {"aquifer_thickness_1", 10},
            {"gw_k_x_1", 1e-4},
            {"gw_k_y_1", 1e-4},
            {"gw_storage_coeff_1", 0.1},
            {"gw_boundary_fix_h_1", -9999},
            {"gw_boundary_fix_q_1", -9999}};
}

// Grid lists joined (a name of the second list that the first has is left out).
inline std::vector<std::pair<std::string, double>> JoinGrids(std::vector<std::pair<std::string, double>> a,
                                                             const std::vector<std::pair<std::string, double>>& b) {
    for (const auto& g : b) {
        bool known = false;
        for (const auto& h : a) known = known || h.first == g.first;
        if (!known) a.push_back(g);
    }
    return a;
}

}  // namespace fuzz_support
