#include "unsatzon_fixture.hpp"

#include <mpi.h>
#include <omp.h>

using namespace submodel_test;

namespace soil_test {

namespace {
const char* const kStatNames[] = {"QDRAIN", "GWSTAND", "GWN", "SB_1", "SB_2", "ROOT", "INFEX", "POND",
                                  "QD",     "QI",      "QB",  "Qg",   "GWIN", "GWEX", "MACRO", "INFILT"};
const char* const kOutputNames[] = {"sb05", "sb1", "wurz", "theta", "hh", "hgeo", "qu", "gwstand",
                                    "gwtheta", "gwn", "gwlevel", "qdrain", "satt", "infex", "qd", "qi",
                                    "deltagw", "gwin", "gwex", "pond", "uprise", "percol", "macro", "irrig"};
}  // namespace

std::string SoilSection::Text() const {
    std::string t = "[unsatzon_model]\n" + std::to_string(flowControl) + " flow control\n1440 time step\n";
    t += std::to_string(method) + " method\n" + std::to_string(surfaceInteraction) + " srf\n" +
         std::to_string(pond) + " pond\n" + std::to_string(drainage) + " drainage\n" + std::to_string(clay) + " clay\n" +
         StrFormat("%.17g", ksatClay) + " ksat clay\n";
    t += std::to_string(iniGwLevel) + " ini_gw_level\n";
    for (const char* s : kStatNames) t += std::string(s) + ".txt 0 statistics\n";
    for (const char* o : kOutputNames) t += std::string(o) + ".asc\n0 write code\n";
    t += std::to_string(controlRow) + " " + std::to_string(controlCol) + " control point\n";
    for (const char* p : {"qbot.txt", "theta.txt", "hhyd.txt", "other.txt", "etr.txt", "qi.txt"})
        t += std::string(p) + "\n";
    t += codeRow + "\n" + kelsqd + "\n1 1 kelsqi\n2 2 density\n" + kelsqlat + "\n0.1 0.2 Q0\n0.3 0.4 SR\n";
    t += std::to_string(readgrid) + " readgrid\nstorage.txt\n";
    if (method == 3) t += methodThreeLines;
    return t + "\n";
}

std::string HeatSection(double lapseRate) {
    std::string t = "[heat_transfer]\n1 on\n1 method\n0\n0\n";
    for (std::size_t k = 0; k < SoilHeatConfig::kConstantCount; ++k)
        t += StrFormat("%.10g", k == SoilHeatConfig::LapseRate ? lapseRate : SoilHeatConfig::kDefaults[k]) +
             SoilHeatConfig::kKeys[k] + "\n";
    return t + "tempfile.txt\ntemper.txt 0\ntemper.stk\n0\nthaw.asc\n0\n\n";
}

void SoilModelTest::SetUp() {
    DomainTest::SetUp();
    DiagLog& log = *log_;
    soils_.assign(2, soil_entry{});
    soils_[0].code = 1;
    soils_[1] = soil_entry(1);
    soils_[1].ParseSoilBlock(log,
                             "1 loam { method = MultipleHorizons; layers = 10; thickness = 0.1; ksat = 1e-5; "
                             "theta_sat = 0.4; theta_res = 0.05; alpha = 2.0; Par_n = 1.5; }",
                             "MultipleHorizons");
    settings_.soilTable = soils_.data();
    // The owner process of every row, as the set-up's decomposition holds it.
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
    // The strip table of the row transfers: whole rows, owner and length on process 0, first
    // column and length on the others.
    helper_ = mh.matrix(1, 4, 1, 5, 4);
    for (int r = 1; r <= 4; ++r) {
        helper_[r][1] = talvo_test::Rank() == 0 ? regions_[r][1] : 1;
        helper_[r][2] = 5;
    }
    auto entry = [&](const std::string& name, Matrix* m) {
        GridStoreEntry& e = store_[FirstFreeGridEntry(store_)];
        e.grid = m;
        e.internalName = name;
        e.hasInternalName = true;
        e.fileName = name;
        e.hasFileName = true;
        e.firstRow = 1;
        e.lastRow = 4;
    };
    AddGrid("[elevation]", 1000.0, 2);
    entry("MPIRegions", &regions_);
    entry("MPIHelper", &helper_);
    entry("zonegrid_soilmodel", &zone_);
    for (const char* name : {"landuse", "root_depth1", "vegetation_coverage_degree1", "leaf_area_index1",
                             "SurfaceCanopyResistance1", "SurfaceIntercepResistance1", "RoughnessLength1",
                             "pot_transpiration0", "pot_transpiration1", "real_transpiration0",
                             "real_transpiration1", "SurfaceEvaporationResistance", "albedo", "potential_evaporation",
                             "real_evaporation", "precipitation"})
        AddGrid(name, 1.0);
    AddGrid("slope_angle", 45.0);
    AddGrid("soil_types", 1.0);
}

void SoilModelTest::TearDown() {
    model_.reset();
    DomainTest::TearDown();
}

Matrix& SoilModelTest::AddGrid(const std::string& name, double value, int at) {
    memory_handling mh;
    auto m = std::make_unique<Matrix>(mh.matrix(1, 4, 1, 5, 4));
    for (int r = 1; r <= 4; ++r)
        for (int c = 1; c <= 5; ++c) (*m)[r][c] = kZones[r - 1][c - 1] == -9999 ? -9999.0 : value;
    GridStoreEntry& e = store_[at > 0 ? at : FirstFreeGridEntry(store_)];
    e.grid = m.get();
    e.internalName = name;
    e.hasInternalName = true;
    e.fileName = name;
    e.hasFileName = true;
    e.firstRow = 1;
    e.lastRow = 4;
    Matrix& ref = *m;
    grids_.push_back(std::move(m));
    return ref;
}

unsigned SoilModelTest::Build(const std::string& sections) {
    WriteShared("test.ctl", ControlFile(sections));
    unsigned error = 0;
    model_ = std::make_unique<unsatzonmodellklasse>(error, log_.get(), settings_, 1u);
    return error;
}

void SoilModelTest::BuildHourly(std::string section, const std::string& after) {
    if (section.empty()) section = SoilSection{}.Text();
    section.replace(section.find("1440 time step"), 14, "60 time step");
    ASSERT_EQ(Build(section + after), 0u) << console_.str();
    unsigned error = 0;
    model_->InitTracerGrids(error, 0, nullptr, nullptr, 0);
    ASSERT_EQ(error, 0u) << console_.str();
    model_->SelectWaterInput(false);
}

void SoilModelTest::TwoSoils(const char* first, const char* second, int layout) {
    soils_.resize(3);
    soils_[0].code = 2;
    const char* blocks[] = {first, second};
    for (int k = 1; k <= 2; ++k) {
        soils_[k] = soil_entry(k);
        soils_[k].ParseSoilBlock(*log_, blocks[k - 1], "MultipleHorizons");
    }
    settings_.soilTable = soils_.data();
    Matrix& types = *store_[FindGridIndex("soil_types")].grid;
    for (int r = 1; r <= 4; ++r)
        for (int c = 1; c <= 5; ++c)
            if (types[r][c] != -9999.0) types[r][c] = layout != 0 ? layout : (r + c) % 2 == 0 ? 1.0 : 2.0;
}

void SoilModelTest::PlainColumns() {
    model_->cellWork.assign(static_cast<std::size_t>(omp_get_max_threads()), soilstep::CellWork(10));
    for (soilstep::CellWork& w : model_->cellWork) w.memos = false;
}

int SoilModelTest::FindGridIndex(const std::string& name) const {
    for (int i = 1; i < 1000; ++i)
        if (store_[i].internalName == name) return i;
    return 0;
}

double SoilModelTest::Level(const std::string& stackName, int r, int c, int level) const {
    for (int i = 1; i < 1000; ++i)
        if (store_[i].internalName == stackName && store_[i].stack != nullptr) return (*store_[i].stack)[r][c][level];
    ADD_FAILURE() << stackName << " not registered";
    return 0;
}

double SoilModelTest::Value(const std::string& gridName, int r, int c) const {
    for (int i = 1; i < 1000; ++i)
        if (store_[i].internalName == gridName && store_[i].grid != nullptr) return (*store_[i].grid)[r][c];
    ADD_FAILURE() << gridName << " not registered";
    return 0;
}

bool SoilModelTest::Own(int r, int c) const {
    return r >= settings_.firstRow && r <= settings_.lastRow && kZones[r - 1][c - 1] != -9999;
}

void SoilModelTest::CollectRunoffAndTheta(std::vector<double>& out) const {
    for (int r = 1; r <= 4; ++r)
        for (int c = 1; c <= 5; ++c) {
            if (!Own(r, c)) continue;
            for (const char* name : {"directflow", "interflow", "baseflow", "groundwater_distance", "SB_2_grid"})
                out.push_back(Value(name, r, c));
            for (int k = 1; k <= 10; ++k) out.push_back(Level("theta", r, c, k));
        }
}

void SoilModelTest::WriteGridFile(const std::string& name, double value) const {
    std::string t = "ncols 5\nnrows 4\nxllcorner 0\nyllcorner 0\ncellsize 1000\nNODATA_value -9999\n";
    for (int r = 1; r <= 4; ++r) {
        for (int c = 1; c <= 5; ++c)
            t += (kZones[r - 1][c - 1] == -9999 ? std::string("-9999") : std::to_string(value)) + " ";
        t += "\n";
    }
    WriteShared(name, t);
}

}  // namespace soil_test
