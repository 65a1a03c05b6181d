#pragma once
// The soil model on the shared 4 x 5 test domain (zones 3, 5 and 9): the grids it looks up,
// one soil type of ten 0.1 m layers, and the text of its section with every value.
#include <memory>
#include <string>
#include <vector>

#include "soil/unsatzon.hpp"
#include "submodel/submodel_fixtures.hpp"
#include "tables/irrigation_table.hpp"
#include "tables/soil_entry.hpp"

namespace soil_test {

// The values of "[unsatzon_model]" a test changes; the rest are fixed.
struct SoilSection {
    int flowControl = 1;
    int method = 2;
    int surfaceInteraction = 0;
    int pond = 0;
    int drainage = 0;
    int clay = 0;
    double ksatClay = 1e-9;
    double iniGwLevel = 2;
    int controlRow = 0, controlCol = 0;
    std::string codeRow = "3 9";
    std::string kelsqd = "2 2";
    std::string kelsqlat = "0.5 0.5";
    int readgrid = 0;
    std::string methodThreeLines = "60 min step\nsubsteps.txt 0\nsubsteps.asc\n0\n";
    std::string Text() const;
};

// "[heat_transfer]" switched on with the default constants and the given lapse rate.
std::string HeatSection(double lapseRate = -0.007);

class SoilModelTest : public submodel_test::DomainTest {
protected:
    void SetUp() override;
    void TearDown() override;
    // A whole grid on every process, registered under name (at entry at, else the next free
    // one), value in the basin cells.
    Matrix& AddGrid(const std::string& name, double value, int at = 0);
    // Builds the model from the control file made of the given sections; returns its error.
    unsigned Build(const std::string& sections);
    // Builds the soil section (the default one when empty) with hourly steps followed by the
    // sections after it, its tracer grids, and the water input taken from the input grid (fails
    // the test on an error).
    void BuildHourly(std::string section = "", const std::string& after = "");
    // Soils 1 and 2 from the given "MultipleHorizons" blocks; layout 0 lays them out as a
    // chequerboard, 1 or 2 puts that soil on every basin cell.
    void TwoSoils(const char* first, const char* second, int layout = 0);
    // Every memo of the threads' columns off, so that each cell computes from scratch.
    void PlainColumns();
    // A stack level or grid value of the store by internal name.
    int FindGridIndex(const std::string& name) const;
    double Level(const std::string& stackName, int r, int c, int level) const;
    double Value(const std::string& gridName, int r, int c) const;
    // Whether (r, c) is a basin cell of this process's rows.
    bool Own(int r, int c) const;
    // The runoff grids and water contents of this process's basin cells, in a fixed order.
    void CollectRunoffAndTheta(std::vector<double>& out) const;
    // An ASCII grid file of the domain with value in the basin.
    void WriteGridFile(const std::string& name, double value) const;

    std::vector<soil_entry> soils_;
    std::vector<irrigation_entry> irrigation_;
    std::vector<std::unique_ptr<Matrix>> grids_;
    Matrix regions_, helper_;
    std::unique_ptr<unsatzonmodellklasse> model_;
};

}  // namespace soil_test
