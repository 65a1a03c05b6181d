// The end of the soil model's run: its state section, the soil-water summary and the release
// of every grid, stack, statistics output and buffer it holds.
#include "kernel/statefiles.hpp"
#include "soil/unsatzon.hpp"

void unsatzonmodellklasse::ModelEnd(bool append) {
    if (ended) return;
    ended = true;
    if (flowControl == 0) {
        FreeTracerGrids();
        return;
    }
    if (constructed) {
        WriteStateDeferred([&] { WriteStorageState(append); });
        WriteSoilWaterSummary(true);
    }
    glacier_table.clear();
    if (constructed) FlushTracerPointBuffers(true);
    tracerPoints.clear();
    FreeTracerGrids();
    if (constructed) EndPointFiles();
    pointBuffers.clear();
    for (auto& st : statistics) {
        if (!st) continue;
        st->FlushBuffer();
        st->Release();
        st.reset();
    }
    if (gridStore != nullptr)
        for (int index : registeredEntries) ReleaseGrid(index);
    registeredEntries.clear();
    tracerLayers.clear();
    tracerDirect.clear();
    tracerInterflow.clear();
    tracerBaseflow.clear();
    own = OwnGrids{};
    zoneFZT_QD.clear();
    zoneFZT_QI.clear();
    baseflowRecords.clear();
    exactQD.clear();
    exactQI.clear();
    exactBaseflow.clear();
    exactCopies.clear();
    exactCopyTargets.clear();
}
