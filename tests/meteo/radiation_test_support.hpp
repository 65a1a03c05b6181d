#pragma once
// The test domain of the sub-model tests with the grids the radiation correction reads.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "meteo/expokorr.hpp"
#include "submodel/submodel_fixtures.hpp"

namespace meteo_test {

// "[radiation_correction]" switched on with a step of stepMinutes and the given values; its
// three grids written with writeCode.
std::string RadiationSection(int method, int interval, int splittings, double scaling = 1.0,
                             int stepMinutes = 1440, int writeCode = 0);

class RadiationTest : public submodel_test::DomainTest {
protected:
    void SetUp() override;
    // Adds grid to the store under name (after the grids already there).
    void Add(Matrix& grid, const std::string& name);
    // Every cell of grid := value(r, c).
    static void Fill(Matrix& grid, const std::function<double(int, int)>& value);
    // Writes the control file with the section and builds the correction; error gets its code.
    std::unique_ptr<expokorrklasse> Make(const std::string& section, unsigned* error);
    // The value of a published grid at an own cell.
    double At(const std::string& name, int r, int c) const;
    bool Own(int r) const { return r >= settings_.firstRow && r <= settings_.lastRow; }
    // A published grid as process 0 holds it over the whole domain, row by row, on every process.
    std::vector<double> WholeGridOfProcessZero(const std::string& name) const;
    // The rows in bands, as the processes hold them, registered as "MPIRegions" with the strip
    // table "MPIHelper" of the row transfers.
    void DecomposeInBands();
    // The zone's cells in row order in equal runs over the processes, so that rows are split
    // between processes as in the program's decomposition; sets the own rows of this process.
    // Five columns leave room for one strip a row in "MPIHelper": nothing can be gathered.
    void DecomposeCellRuns();

    Matrix elevation_, slope_, aspect_, temperature_, sunshine_, regions_, helper_;
    int next_ = 2;
};

}  // namespace meteo_test
