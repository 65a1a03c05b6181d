#include "driver_fixtures.hpp"

#include <algorithm>
#include <csignal>
#include <mpi.h>

#include "kernel/signals.hpp"

namespace driver_test {

const double kZones[4][5] = {{-9999, 3, 3, 5, -9999}, {3, 3, 5, 5, 5}, {9, 9, 5, 5, -9999}, {-9999, 9, 9, -9999, -9999}};

std::string ControlFile(const std::string& before, const std::string& after) {
    std::string text = "test control file\n\n" + before;
    for (const char* name : {"RegionalSuperposition", "radiation_correction", "evapotranspiration", "snow_model",
                             "interception_model", "SiltingUpModel", "unsatzon_model", "SurfaceRoutingModel",
                             "irrigation", "groundwater_flow", "routing_model", "special_output"})
        text += std::string("[") + name + "]\n0 flow control\n60 time step\n\n";
    text += "[precipitation_correction]\n0 do it\n\n[region_transition_distance]\n1000 transition distance\n\n" + after;
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

int Recorder::First(const std::string& c) const {
    auto it = std::find(calls.begin(), calls.end(), c);
    return it == calls.end() ? -1 : static_cast<int>(it - calls.begin());
}
int Recorder::Count(const std::string& c) const { return static_cast<int>(std::count(calls.begin(), calls.end(), c)); }

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

void TestSetup::Initialise(SubmodelSettings& s, SpinUpState& spinUp) {
    rec_.calls.push_back("setup.initialise");
    s = BaseSettings(*store_, zone_, index_, records_, "test.ctl");
    s.meteoCount = static_cast<int>(o_.inputs.size());
    s.meteoNames.assign(1, std::string());
    for (const auto& n : o_.inputs) s.meteoNames.push_back(n);
    s.warningSwitch = 1;
    memory_handling mh;
    for (int i = 0; i < o_.occupiedStoreEntries; ++i) fillers_.push_back(mh.matrix(1, 1, 1, 1, 1));
    for (int i = 0; i < o_.occupiedStoreEntries; ++i) (*store_)[2 + i].grid = &fillers_[static_cast<std::size_t>(i)];
    spinUp = o_.spinUp;
}

void TestSetup::SetEndDate(std::int64_t y, std::int64_t m, std::int64_t d, std::int64_t h) {
    Log("enddate:" + std::to_string(d) + "." + std::to_string(m) + "." + std::to_string(y) +
                         " " + std::to_string(h));
}

void TestSetup::WriteExternalOutput(std::int64_t d, std::int64_t m, std::int64_t y, bool endOfDay, bool endOfMonth,
                                    bool endOfYear) {
    Log("writeexternal:" + std::to_string(d) + "." + std::to_string(m) + "." +
                         std::to_string(y) + (endOfDay ? " D" : "") + (endOfMonth ? " M" : "") +
                         (endOfYear ? " Y" : ""));
}

void SteppingInput::GetDate(std::int64_t* h, std::int64_t* d, std::int64_t* m, std::int64_t* y) const {
    const Date& x = dates_[std::min(pos_, dates_.size() - 1)];
    *h = x.h;
    *d = x.d;
    *m = x.m;
    *y = x.y;
}

void SteppingInput::run(std::int64_t h, std::int64_t d, std::int64_t, std::int64_t) {
    ++steps;
    Log("run:" + std::to_string(d) + "/" + std::to_string(h));
    if (steps == interruptAt_) std::raise(SIGINT);
}

void SteppingInput::AdvanceRecords() {
    Log("advance");
    if (rewound_) {
        rewound_ = false;
        return;
    }
    if (pos_ >= last_ || pos_ + 1 >= dates_.size()) {
        atEnd_ = true;
        return;
    }
    ++pos_;
}

void SteppingInput::Rewind() {
    Log("rewind");
    pos_ = 0;
    atEnd_ = false;
    last_ = dates_.size() - 1;
    // The first AdvanceRecords after a rewind reads the first record again.
    rewound_ = true;
}

AppHarness::AppHarness(const DomainOptions& o, const std::vector<Date>& dates, const std::string& menu,
                       int interruptAtStep)
    : o_(o), dates_(dates), menu_(menu), interruptAt_(interruptAtStep), log_(std::make_unique<DiagLog>("", 4)) {
    log_->SetConsole(console_);
}

AppHarness::~AppHarness() {
    SetInterruptTarget(nullptr);
    app_.reset();
    log_->Close();
}

int AppHarness::Build() {
    ApplicationHooks hooks;
    hooks.menuInput = &menu_;
    if (!o_.buildSetup)
        hooks.makeSetup = [this](unsigned& error, DiagLog*, const std::string&, OutputCodeEntry*, int, GridStore* store) {
            error = 0;
            return std::unique_ptr<ModelSetup>(std::make_unique<TestSetup>(rec, o_, store));
        };
    hooks.makeMeteoInput = [this](unsigned& error, DiagLog*, const std::string& name, const SubmodelSettings&,
                                  int) -> std::unique_ptr<MeteoInput> {
        error = 0;
        auto in = std::make_unique<SteppingInput>(rec, name, dates_, inputs.empty() ? interruptAt_ : 0);
        inputs.push_back(in.get());
        return in;
    };
    char program[] = "talvo", control[] = "test.ctl";
    char* argv[] = {program, control, nullptr};
    const int code = CodeOf([&] { app_ = std::make_unique<ModellApplication>(log_.get(), 2, argv, 1, std::move(hooks)); });
    if (code != 0) return code;
    SetInterruptTarget(&app_->ctrlCOption);
    ResetCtrlCHandler();
    return 0;
}

}  // namespace driver_test
