#pragma once
// The evapotranspiration model on the shared test domain: its section, the input grids it
// looks up (whole on every process, one value everywhere) and a loop over the own cells.
#include <deque>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "../submodel/submodel_fixtures.hpp"
#include "setup/spinup.hpp"
#include "surface/etpetr.hpp"

namespace etp_test {

struct Section {
    int method = 1;
    int step = 60;
    std::string pec = "1 1 1 1 1 1 1 1 1 1 1 1";
    std::string fh = "0.26 0.26 0.26 0.26 0.26 0.26 0.26 0.26 0.26 0.26 0.26 0.26";
    std::string fk = "1.0";
    std::string etpName = "etp.asc";
    std::string etpStat = "etp.stat 0";
    std::string etrStat = "etr.stat 0";
    std::string evapStat = "evap.stat 0", evapRealStat = "evapr.stat 0", eipStat = "eip.stat 0";
    std::string rgexStat = "rgex.stat 0";
    std::string c = "0.2 0.8 0 0";
    std::string cs = "0.072 -0.808 1.749 -0.239";
    std::string tau = "0.7 0.0";
    double amplitude = 8;  // every month
    std::vector<double> amplitudes;  // January..December, in place of amplitude when given
    std::string fdv = "0.6 0.0";
    std::string cloudLine = "cloudiness 0";
    std::string Text() const;
};

class EtpTest : public submodel_test::DomainTest {
protected:
    // Registers a whole grid of one value under name (file name = name), of the test domain's
    // 4 x 5 cells unless rows and cols say otherwise.
    Matrix& Put(const std::string& name, double value, int rows = 4, int cols = 5);
    // One response unit per row of the test domain, its master the row's first basin cell:
    // registers the unit and master grids and hands the units to the settings.
    void PutRowResponseUnits(std::vector<HydrologicResponseUnit>& units);
    Matrix& Grid(const std::string& name) { return grids_.at(name); }
    // The inputs of a method with "temperature" T and the standard land use of one layer.
    void PutStandardInputs(int method, double T = 15);
    // Writes the control file and builds the model; error holds the constructor's code.
    std::unique_ptr<verdunstungsmodellklasse> Make(const Section& s, unsigned& error,
                                                   const std::string& extra = "");
    std::unique_ptr<verdunstungsmodellklasse> Make(const Section& s);
    // Calls f for every cell of this process's rows inside the basin.
    void ForOwnCells(const std::function<void(int, int)>& f) const;

    // Compares the last row of the kind-2 table file (zones 3, 5, 9, then the basin) that
    // process 0 wrote with the zone and basin means over every process's own cells of
    // weighted(r, c) / weight(r, c), the cell's sum of weighed values and its weight. Collective.
    void ExpectLastZoneMeans(const std::string& file, const std::function<double(int, int)>& weighted,
                             const std::function<double(int, int)>& weight, double rounding) const;

    // Index of the entry named name, searching the whole store; 0 when absent.
    int FindGridInStore(const std::string& name) const;
    // Gives the entry named name another internal name, so that lookups miss it.
    void Hide(const std::string& name);

    std::map<std::string, Matrix> grids_;
};

// The numbers of the last line of a statistics table written by process 0 (the date first).
inline std::vector<double> LastRowOf(const std::string& file) {
    std::ifstream in(file);
    std::string line, last;
    while (std::getline(in, line))
        if (!line.empty()) last = line;
    std::istringstream words(last);
    std::vector<double> values;
    for (std::string w; words >> w;) values.push_back(std::stod(w));
    return values;
}

}  // namespace etp_test
