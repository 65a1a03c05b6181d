#pragma once
// Radiation and temperature correction by slope, aspect and terrain shadow
// ("[radiation_correction]"). Every "number if timesteps" steps the sun is followed through the
// step in sub-steps; the direct radiation summed on each sloped cell over that on a horizontal
// cell is "radiation_correction" (the sum itself is "Ieff_max"). Methods 1 and 2 let the terrain
// cast shadows (ray march over the whole grid, its rays shared out among the processes), 3 and 4
// do not; 2 and 4 also publish "corr_temperature". Steps above 720 minutes get a night
// temperature ("temperature_night"), also with the module off.
#include <cstdint>
#include <string>
#include <vector>

#include "meteo/radiation_geometry.hpp"
#include "submodel/teilmod.hpp"

class expokorrklasse : public teilmodellklasse {
public:
    expokorrklasse(unsigned& error, DiagLog* log, const SubmodelSettings& settings);
    ~expokorrklasse() override;
    void run(std::int64_t hour, std::int64_t day, std::int64_t month, std::int64_t year) override;
    virtual Matrix* GetCorrectionGrid() { return flowControl == 1 ? &correction_ : nullptr; }

    int Method() const { return method_; }
    int Splittings() const { return splittings_; }
    // Horizontal beam sum of the last recompute (Wh/m²).
    double HorizontalSum() const { return horizontalSum_; }
    // Cells visited by this process's part of the ray march since construction and the seconds it
    // took.
    std::int64_t ShadowCellVisits() const { return shadowVisits_; }
    double ShadowSeconds() const { return shadowSeconds_; }
    // Seconds spent in the incidence loops since construction.
    double IncidenceSeconds() const { return incidenceSeconds_; }
    // Sub-steps with sun since construction.
    std::int64_t LitSubSteps() const { return litSubSteps_; }

private:
    void Construct();
    void ReadSection();
    void LookUpGrids();
    void RegisterOwnGrids();
    int RegisterNew(Matrix& grid, bool wholeGrid, const std::string& fileName, const std::string& name,
                    long writeCode);
    bool TakesPart(int r, int c) const;
    // TakesPart of own row r's cells, prepared once (index: column).
    const unsigned char* PartRow(int r) const {
        return part_.data() + static_cast<std::size_t>(r - firstRow) * (static_cast<std::size_t>(ncols) + 1);
    }
    bool Shading() const { return method_ == 1 || method_ == 2; }
    void CopyNightTemperature();
    void Recompute();
    void SubStep(double t, double d, int laterSubSteps);
    void ClearShadow();
    bool SharedMarch() const;
    void ShareTerrain();
    // The rows each process packs for the shared terrain (none where last < first): own rows,
    // together rows 1..nrows once each. False where the own rows leave a row out.
    bool PackedRowsOfOwners(std::vector<int>& first, std::vector<int>& last) const;
    void MarchShared(double azimuth, double elevation);
    void SendMarksToOwners();
    // The whole terrain of process 0 alone, for a march it does by itself with its threads.
    void LocalTerrain();
    // The march of process 0 over the whole grid shared out among threads blocks of rays: each
    // thread marks its own copy, then the shadow takes each cell's mark of the last block that
    // reached it, as a single march in ray order leaves it.
    void MarchThreads(double azimuth, double elevation, int threads);
    // Clears the marks of the last sub-step: the cells of its march and the own rows.
    void ClearMarks();
    // Copies the elevation and the zone flags of rows first..last into the terrain (sized before).
    void PackTerrain(int first, int last);
    // Adds the sub-step's beam on each own cell; after a shared march (shadowFromMarks) it first
    // sets the cell's shadow from the marks.
    void IncidenceLoop(const radiation::SunStep& sun, bool shadowFromMarks);
    void CorrectionFactors();
    void RefreshTemperature();
    int ColumnFrom(int r) const;
    int ColumnTo(int r) const;

    // Section values.
    int method_ = 2;
    std::string temperatureFile_, correctionFile_, shadowFile_;
    long temperatureCode_ = 0, correctionCode_ = 0, shadowCode_ = 0;
    double scaling_ = 0;
    int interval_ = 1;
    int splittings_ = 1;

    // Grids read.
    const Matrix* elevation_ = nullptr;
    const Matrix* slope_ = nullptr;
    const Matrix* aspect_ = nullptr;
    const Matrix* sunshine_ = nullptr;
    const Matrix* temperature_ = nullptr;
    const Matrix* masterUnits_ = nullptr;
    bool useUnits_ = false;

    // Grids published and their grid-store entries (0: not registered).
    Matrix correction_, shadow_, effective_, corrTemperature_, nightTemperature_;
    int correctionIndex_ = 0, shadowIndex_ = 0, effectiveIndex_ = 0, corrTemperatureIndex_ = 0, nightIndex_ = 0;

    // Orientation of every own cell and whether it takes part, row-major from firstRow, ncols + 1
    // per row.
    std::vector<radiation::CellOrientation> orientation_;
    std::vector<unsigned char> part_;

    // The whole terrain on every process and the marks of the shared ray march (decomposed runs):
    // the columns marked per row, the own rows of every process, and the buffers of the exchange
    // that brings each owner the marks on its rows.
    radiation::Terrain terrain_;
    std::vector<std::uint8_t> marks_;
    radiation::RowSpans spans_;
    std::vector<int> ownFirst_, ownLast_;
    std::vector<std::uint8_t> packed_, received_;
    // The marks and spans of each thread of a march of process 0 alone (MarchThreads).
    std::vector<std::vector<std::uint8_t>> threadMarks_;
    std::vector<radiation::RowSpans> threadSpans_;

    int stepCounter_ = 0;
    bool shadowClear_ = false;  // no cell of the shadow is 1 since its last clearing
    double horizontalSum_ = 0;
    std::int64_t shadowVisits_ = 0;
    double shadowSeconds_ = 0;
    double incidenceSeconds_ = 0;
    std::int64_t litSubSteps_ = 0;
    std::uint32_t marchRound_ = 0;  // shared marches so far: their messages alternate tags
};
