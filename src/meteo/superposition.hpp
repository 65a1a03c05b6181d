#pragma once
// Regional superposition ("[RegionalSuperposition]"): every entity combines grids of the grid
// store with weights per region into a grid of its own, published under the entity's name with
// a zone statistics table. A cell belongs to up to three region layers with per-cell weights.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kernel/zonegroups.hpp"
#include "kernel/zonestat.hpp"
#include "meteo/superposition_block.hpp"
#include "submodel/teilmod.hpp"

class RegionalSuperposition;

class cSuperposition {
public:
    // Reads the block and builds the entity of owner; failures are logged and thrown.
    cSuperposition(RegionalSuperposition& owner, const std::string& blockText);
    virtual ~cSuperposition() = default;
    virtual void WriteStatistics();
    virtual void FlushStatistics();
    virtual void Combine(std::int64_t hour, std::int64_t day, std::int64_t month, std::int64_t year);
    virtual void Release();

    const std::string& Name() const { return block_.name; }
    const Matrix& Output() const { return output_; }
    int GridIndex() const { return gridIndex_; }

private:
    struct Input {
        const Matrix* grid = nullptr;
        std::vector<double> weightOfRank;  // 1..N
    };
    void CheckRegions(const SuperpositionInput& in) const;
    void CheckWeights() const;
    void RegisterOutput();
    void CreateStatistics();
    void LookUpRegionLayers();
    bool TakesPart(int r, int c) const;
    // Contribution of one region layer at (r, c).
    double Layer(int layer, int r, int c) const;
    // Combine of own row r with at most kRowInputs inputs.
    static constexpr std::size_t kRowInputs = 8;
    void CombineRow(int r, int layers);

    RegionalSuperposition& owner_;
    SuperpositionBlock block_;
    std::vector<Input> inputs_;
    int regions_ = 0;
    std::int64_t year_ = 0, month_ = 0, day_ = 0, hour_ = 0;
    const Matrix* regionGrid_[4] = {nullptr, nullptr, nullptr, nullptr};
    const Matrix* weightGrid_[4] = {nullptr, nullptr, nullptr, nullptr};
    Matrix output_;
    int gridIndex_ = 0;
    std::vector<zoneFZT> zones_;
    std::unique_ptr<zonalstatistic> statistics_;
    // The zone statistics added by a team of threads: the zone of every own cell (ncols + 1 a
    // row from firstRow), then one task per group of zones.
    void AddStatisticsThreaded();
    std::vector<int> cellZones_;
    bool cellZonesFound_ = false;
    ZoneGroupTasks zoneTasks_;
};

class RegionalSuperposition : public teilmodellklasse {
public:
    RegionalSuperposition(unsigned& error, DiagLog* log, const SubmodelSettings& settings);
    ~RegionalSuperposition() override;
    void run(std::int64_t hour, std::int64_t day, std::int64_t month, std::int64_t year) override;
    virtual void WriteStatistics();
    virtual void FlushStatistics();

    int EntityCount() const { return static_cast<int>(entities_.size()); }
    cSuperposition& Entity(int i) { return *entities_[static_cast<std::size_t>(i)]; }

private:
    friend class cSuperposition;
    void Construct();
    void ReadEntities();
    // The region code of rank p (1..N).
    long RegionCodeOfRank(int p) const;
    // The rank of a region code, 0 when it has none.
    int RankOf(long code) const;

    std::vector<std::unique_ptr<cSuperposition>> entities_;
    int regionCount_ = 0;
};
