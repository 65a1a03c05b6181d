#pragma once
// A reservoir (SP element of a routing description): a water volume with one concentration per
// tracer that takes the routed inflow of its routing subbasin, loses water to irrigation, to
// abstractions and to the outflow its operating rule releases, and keeps a balance row per step
// in its balance file. With lake modelling it is a lake: its water lives in the ponding storage
// of the cells of "lake_codes" with its code, taken from them at the start of each step and
// given back with one common water level, through a water-level/volume table of the terrain.
#include <cstddef>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "kernel/matrix.hpp"
#include "kernel/replacingfile.hpp"
#include "routing/rules.hpp"

class DiagLog;
struct TracerDescriptor;
struct ColumnRange;

namespace routing {

class Abstraction;

// The grids a lake works on (process 0 holds the values of every lake cell).
struct LakeGrids {
    const Matrix* codes = nullptr;       // "lake_codes"
    const Matrix* maxPonding = nullptr;  // "max_ponding_storage", mm
    Matrix* ponding = nullptr;           // "ponding_storage", mm
    const Matrix* zones = nullptr;       // "zonegrid_soilmodel"
    const Matrix* elevation = nullptr;   // "[elevation_model]", m
    const Matrix* transpiration = nullptr;  // "real_transpiration0", mm per step
    const Matrix* downflow = nullptr;    // "q_downext" or none
    const Matrix* baseflow = nullptr;    // "baseflow" or none
    const Matrix* precipitation = nullptr;  // "PrecOnLakes", mm per step
    std::vector<Stack*> tracers;         // [1..nTr] "concstor_tracer_%d_unsatzon_model"
    // [1..nTr] 1 where level 0 of that store holds the tracer's load on the cell (mm times the
    // concentration: the soil keeps a tracer that does not evaporate as a load), 0 where it
    // holds the concentration.
    std::vector<char> tracerLoads;
    const std::vector<int>* zoneIndex = nullptr;  // subbasin code -> zone index
    const std::vector<ColumnRange>* columns = nullptr;  // per row the column range; none: all
    int nrows = 0, ncols = 0;
    double cellsize = 0, nodata = -9999;
    // Fills volumes[0..count - 1] of a lake's table from the bottoms of its cells (in the lake's
    // order), shared among the processes; none: the lake computes them alone.
    std::function<void(const std::vector<double>& bottoms, const std::vector<double>& levels, std::size_t count,
                       double cellArea, std::vector<double>& volumes)>
        shareVolumes;
};

// The volume of water below each of the falling levels levels[0..count - 1] of a lake whose cells
// have the given bottoms: for each level, the columns above the cells under it, added in the
// order of the cells.
void LakeLevelVolumes(const std::vector<double>& bottoms, const double* levels, std::size_t count, double cellArea,
                      double* volumes);
// The same with the levels shared among the threads of the process, each a run of consecutive
// levels summed as above (so every level's volume is the same sum in the same order); a lake too
// small to pay for a team is summed by the calling thread.
void LakeLevelVolumesOnThreads(const std::vector<double>& bottoms, const double* levels, std::size_t count,
                               double cellArea, double* volumes);

// The 28 balance terms of a step: the lake area and, for each quantity, m3, mm and m3/s.
struct ReservoirBalance {
    double A = 0;
    struct Term {
        double m3 = 0, mm = 0, m3s = 0;
    };
    Term Qin, Qout, Irrig, Abstr, QGW, ETR, PREC, dV, Err;
};

class Reservoir {
public:
    static constexpr int kColumns = 30;  // values of a balance row after the date, without tracers

    Reservoir(int code, int tgCode, DiagLog& log, const TracerDescriptor* tracers, int nTr, double dt,
              const std::string& outputPath);
    // Ends the balance file (EndOutput) where the routing did not.
    ~Reservoir();
    Reservoir(const Reservoir&) = delete;
    Reservoir& operator=(const Reservoir&) = delete;

    // Reads "file", "V0", "C0" and an optional "dTmin" from the element's text from pos on.
    void ReadParams(const std::string& text, std::size_t& pos);
    // Reads "[abstraction_rule_reservoir_<code>]".
    void ReadRules(std::FILE* controlFile);
    // Writes the head of the balance file; the file of the run before stays in place until the
    // first rows (or the normal end).
    void OpenOutput();
    // Makes the reservoir a lake on these grids: bounding box, checks and level/volume table
    // (written to "W_V_Table_%02d.dat").
    void InitLake(const LakeGrids& grids, int tgIndex);
    bool IsLake() const { return lake_; }

    // The step: irrigation Virr and abstraction Vabs volumes (m3), inflow Qin (m3/s) of
    // concentrations cIn[1..nTr]; abstractions of mode 8 draw inside the outflow sub-steps.
    // A date with month 0 (initialisation passes) only computes the outflow.
    void Route(double Qin, const std::vector<double>& cIn, std::vector<Abstraction*>& abstractions, double Virr,
               double Vabs, int year, int month, int day, int hour);
    // Mean outflow (m3/s) of a step from the current volume; writes the mean rate of every mode-8
    // abstraction into it.
    double Step(std::vector<Abstraction*>& abstractions, int year, int month, int day, int hour, double Qin);
    // The first outflow at set-up: no abstractions, no inflow, cut to the volume.
    void FirstOutflow(int year, int month, int day, int hour);

    void AddOutputRow(int year, int month, int day, int hour);
    // Appends the buffered rows to the balance file.
    void Flush();
    // The end of the balance file: its last rows and, at the normal end, a file with its head
    // alone; in a run that failed, a file this run has not yet put in place stays as it was.
    void EndOutput();

    // Water-level/volume table of a lake (0 for a plain reservoir).
    double VolumeToLevel(double V) const;
    double LevelToVolume(double W) const;
    double CollectLakeCells(std::vector<double>& content) const;
    void DistributeLevel(double V);
    void InitFromLakeCells();

    int Code() const { return code_; }
    double Volume() const { return content_[0]; }
    const std::vector<double>& Content() const { return content_; }
    std::vector<double>& Content() { return content_; }
    double Outflow() const { return Qout_; }
    double DTmin() const { return dTmin_; }
    const ReservoirBalance& Balance() const { return balance_; }
    const std::string& FileName() const { return fileName_; }
    int BufferCapacity() const { return capacity_; }
    int BufferedRows() const { return rows_; }
    const std::vector<double>& Levels() const { return levels_; }
    const std::vector<double>& Volumes() const { return volumes_; }
    const RuleTable& Rule() const { return rule_; }

private:
    // Whether the soil keeps tracer t on the lake cells as a load; its concentration in the
    // water p (mm) standing on cell (r, c).
    bool TracerLoad(int t) const;
    double CellConcentration(int t, int r, int c, double p) const;
    [[noreturn]] void LevelVolumeFailed();
    [[noreturn]] void Fatal(const std::string& text, int code);
    template <class F>
    void EachLakeCell(F&& f) const;
    double ReferenceLevel() const;

    int code_ = 0, tgCode_ = 0;
    DiagLog* log_ = nullptr;
    const TracerDescriptor* tracers_ = nullptr;
    int nTr_ = 0;
    double dt_ = 60;
    std::string outputPath_;
    std::string fileName_;
    TableFile table_;
    TableFile levelVolume_;  // a lake's "W_V_Table_<code>.dat"
    double dTmin_ = 60;
    std::vector<double> content_, previous_, lakeContent_;
    double Qout_ = 0;
    ReservoirBalance balance_;
    RuleTable rule_;
    std::vector<double> buffer_;
    int capacity_ = 1, rows_ = 0;
    // Lake.
    bool lake_ = false;
    LakeGrids grids_;
    int firstCol_ = 0, lastCol_ = 0, firstRow_ = 0, lastRow_ = 0;
    std::vector<double> levels_, volumes_;
};

// Calls f(row, column) for every cell of the lake's bounding box that holds its code.
template <class F>
inline void Reservoir::EachLakeCell(F&& f) const {
    const Matrix& codes = *grids_.codes;
    const double code = code_;
    for (int r = firstRow_; r <= lastRow_; ++r) {
        if (!codes.holds(r)) continue;
        for (int c = firstCol_; c <= lastCol_; ++c)
            if (codes[r][c] == code) f(r, c);
    }
}

}  // namespace routing
