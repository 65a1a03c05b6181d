#include "submodel_fixtures.hpp"

#include <mpi.h>

namespace submodel_test {

const double kZones[4][5] = {{-9999, 3, 3, 5, -9999}, {3, 3, 5, 5, 5}, {9, 9, 5, 5, -9999}, {-9999, 9, 9, -9999, -9999}};

std::string ControlFile(const std::string& before, const std::string& after) {
    std::string text = "test control file\n\n" + before;
    for (const char* name : {"RegionalSuperposition", "radiation_correction", "evapotranspiration", "snow_model",
                             "interception_model", "SiltingUpModel", "unsatzon_model", "SurfaceRoutingModel",
                             "irrigation", "groundwater_flow", "routing_model", "special_output"})
        text += std::string("[") + name + "]\n0 flow control\n60 time step\n\n";
    text += "[precipitation_correction]\n0 do it\n0 threshold\n1 constant rain\n0 slope rain\n1 constant snow\n0 slope snow\n\n[region_transition_distance]\n1000 transition distance\n\n" + after;
    // Required even without tracers; a section given above comes first and is the one read.
    text += "[substance_transport]\n0 number of tracers\n\n";
    return text;
}

std::string ParameterTables(int landuseCode, int soilCode) {
    return "[landuse_table]\n1\n" + std::to_string(landuseCode) +
           " meadow method = VariableDayCount { RootDist = 1; TReduWet = 0.9; HReduDry = 3; JulDays = 1 366;\n"
           " Albedo = 0.2 0.2; rsc = 60 60; LAI = 2 2; Z0 = 0.05 0.05; VCF = 0.8 0.8; RootDepth = 0.5 0.5; "
           "AltDep = 0 0; }\n\n[soil_table]\n1\n" +
           std::to_string(soilCode) +
           " loam { method = MultipleHorizons; layers = 2 8; thickness = 0.05 0.1; ksat = 1e-5;\n"
           " theta_sat = 0.45 0.40; theta_res = 0.05 0.04; alpha = 2.0 1.5; Par_n = 1.5 1.25; }\n\n";
}

void WriteShared(const std::string& path, const std::string& text) {
    MPI_Barrier(MPI_COMM_WORLD);
    if (talvo_test::Rank() == 0) talvo_test::WriteFile(path, text);
    MPI_Barrier(MPI_COMM_WORLD);
}

::testing::AssertionResult Contains(const std::string& text, const std::string& needle) {
    if (text.find(needle) != std::string::npos) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "\"" << needle << "\" not in:\n" << text;
}

void LoggedTest::SetUp() {
    TempDirTest::SetUp();
    log_ = std::make_unique<DiagLog>("", 4);
    log_->SetConsole(console_);
}

void LoggedTest::TearDown() {
    log_->Close();
    TempDirTest::TearDown();
}

void DomainTest::SetUp() {
    LoggedTest::SetUp();
    settings_ = BaseSettings(store_, zone_, index_, records_, "test.ctl");
}

SubmodelSettings BaseSettings(GridStore& store, Matrix& zone, std::vector<int>& index, std::vector<zoneFZT>& records,
                              const std::string& controlFile) {
    memory_handling mh;
    zone = mh.matrix(1, 4, 1, 5, 4);
    for (int r = 1; r <= 4; ++r)
        for (int c = 1; c <= 5; ++c) zone[r][c] = kZones[r - 1][c - 1];
    store[1].grid = &zone;
    store[1].fileName = "zones.asc";
    store[1].hasFileName = true;
    store[1].internalName = "[zone_grid]";
    store[1].hasInternalName = true;
    index.assign(10, 0);
    index[3] = 1;
    index[5] = 2;
    index[9] = 3;
    records = {{0, 0, 1, 0.014, 0}, {4, 4, 3, 4.0 / 14, 4}, {6, 6, 5, 6.0 / 14, 6}, {4, 4, 9, 4.0 / 14, 4}};

    SubmodelSettings s;
    s.controlFileName = controlFile;
    s.latitude = 47.5;
    s.longitude = 8.5;
    s.meridian = 15.0;
    s.zoneIndex = &index;
    s.zoneRecords = &records;
    s.zoneCount = 3;
    s.maxZoneCode = 9;
    s.ncols = 5;
    s.nrows = 4;
    // Rows in bands; a process without rows holds none.
    const int size = talvo_test::Size(), rank = talvo_test::Rank();
    s.firstRow = rank * 4 / size + 1;
    s.lastRow = (rank + 1) * 4 / size;
    s.xll = 0;
    s.yll = 0;
    s.cellsize = 1000;
    s.startHour = 24;
    s.startDay = 1;
    s.startMonth = 1;
    s.startYear = 2020;
    s.endHour = 24;
    s.endDay = 3;
    s.endMonth = 1;
    s.endYear = 2020;
    s.gridStore = &store;
    return s;
}

}  // namespace submodel_test
