// The soil model: construction in its fixed order, the cell helpers and the water input.
#include "soil/unsatzon.hpp"

#include <algorithm>

#include "kernel/steptimes.hpp"
#include "tables/multilayer_landuse.hpp"
#include "tables/soil_entry.hpp"

unsatzonmodellklasse::unsatzonmodellklasse(unsigned& error, DiagLog* log_, const SubmodelSettings& s,
                                           unsigned numSubSteps_)
    : teilmodellklasse(log_, "unsatzon_model", s, numSubSteps_) {
    CatchIntoError(error, [&] {
        ReadModuleSection(false);
        if (flowControl == 0) return;
        Construct();
    });
}

unsatzonmodellklasse::~unsatzonmodellklasse() {
    // A run that failed: a control-point file this run has put in place gets its last records.
    try {
        EndPointFiles();
    } catch (const ModelError&) {
        // A destructor cannot report further; the log holds the failure.
    }
    for (auto& st : statistics)
        if (st) ReleaseInDestructor([&] { st->Release(); });
    if (gridStore == nullptr) return;
    for (int index : registeredEntries) ReleaseGrid(index);
}

void unsatzonmodellklasse::Construct() {
    // Finer rows of the soil's set-up in the timing table.
    PartSeconds ps({"soil set-up: zones", "soil set-up: section", "soil set-up: links, statistics",
                    "soil set-up: own grids", "soil set-up: start state", "soil set-up: surface water",
                    "soil set-up: lake, control point", "soil set-up: tables", "soil set-up: summary"});
    ps.Mark();
    LogBanner("unsatzon");
    FindDecompositionGrids();
    const multilayer_landuse_entry* ml = settings.multilayerTable;
    n_veg_layers = LanduseLayerCount(ml);
    RankZones(soilZones);
    ps.Add(0);
    if (settings.soilTable == nullptr || settings.soilTable[0].code < 1) {
        *log << "FATAL: no soil table for " << moduleName << "[end-entry]";
        throw ModelError(33);
    }
    for (int i = 1; i <= settings.soilTable[0].code; ++i) {
        nlayers = std::max(nlayers, static_cast<int>(settings.soilTable[i].GetLayerCount()));
        // A macropore capacity that a negative base would turn into NaN is refused here.
        soilcolumn::CheckMacroporeParameters(*log, settings.soilTable[i]);
    }

    ReadSection();
    ReadSubbasinRows();
    ReadStorageSettings();
    CloseControlFile();
    ReopenControlFile();
    ReadHeatTransfer();
    CloseControlFile();
    ReopenControlFile();
    ReadTuning();
    CloseControlFile();
    ReadPermafrost();
    ps.Add(1);

    LinkInputGrids();
    CreateStatistics();
    ps.Add(2);
    RegisterOwnGrids();
    ps.Add(3);
    SetInitialState();
    ps.Add(4);
    KeepSurfaceWaterLeft();
    ps.Add(5);
    ReadLakeModel("[lake_model]");
    CreateControlPoint();
    BuildConfigTag();
    ps.Add(6);
    if (heat.on()) CompleteSoilTable();
    BuildGlacierTable();
    ps.Add(7);
    WriteStartSummary();
    ps.Add(8);
    ps.Report();
    constructed = true;
}

const soil_entry& unsatzonmodellklasse::SoilOf(int r, int c) const {
    const int pos = static_cast<int>((*in.soilTypes)[r][c]);
    return settings.soilTable[pos];
}

bool unsatzonmodellklasse::IsOwnCell(int r, int c) const {
    if (in.zone == nullptr || !in.zone->holds(r) || (*in.zone)[r][c] == nodata) return false;
    return mpiRegions == nullptr || !mpiRegions->holds(r) || (*mpiRegions)[r][c] == rank;
}

void unsatzonmodellklasse::PrepareOwnCells() {
    if (!ownRowStart.empty() && ownCellsZone == in.zone && ownCellsRegions == mpiRegions) return;
    ownCellsZone = in.zone;
    ownCellsRegions = mpiRegions;
    ownColumns.clear();
    ownRowStart.assign(1, 0);
    for (int r = firstRow; r <= lastRow; ++r) {
        const ColumnRange cols = ColumnsOf(r);
        for (int c = cols.first; c <= cols.last; ++c)
            if (IsOwnCell(r, c)) ownColumns.push_back(c);
        ownRowStart.push_back(ownColumns.size());
    }
}

ColumnRange unsatzonmodellklasse::ColumnsOf(int r) const {
    if (basinColumns != nullptr && r < static_cast<int>(basinColumns->size()))
        return (*basinColumns)[static_cast<std::size_t>(r)];
    return ColumnRange{1, ncols};
}

void unsatzonmodellklasse::SelectWaterInput(bool first) {
    if (flowControl == 0 || in.waterInput != nullptr) return;
    interceptionFirst = first;
    const std::string throughfall = StrFormat("%s%d", "throughfall", 0);
    const int index = first ? GetGridIndexOf3("snowcover_outflow", throughfall, "precipitation")
                            : GetGridIndexOf3(throughfall, "snowcover_outflow", "precipitation");
    in.waterInput = (*gridStore)[index].grid;
}
