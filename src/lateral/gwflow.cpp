// The groundwater model's section, lake settings, hand-overs and life cycle.
#include "kernel/error.hpp"
#include "lateral/gwflow.hpp"

#include <cstdio>

gwflowclass::gwflowclass(unsigned& error, DiagLog* log_, const SubmodelSettings& s, unsigned numSubSteps_)
    : teilmodellklasse(log_, "groundwater_flow", s, numSubSteps_) {
    CatchIntoError(error, [&] {
        ReadModuleSection(false);
        if (flowControl == 0) return;
        if (s.spinUpSwitch != 0 && FindGrid("HydrologicResponseUnits") <= 0) {
            flowControl = 0;
            controlFile.reset();
            return;
        }
        FindDecompositionGrids();
        LogBanner("gwflow.cc");
        ReadSection();
        LookUpGrids();
        ListOwnZoneCells();
        SetLayerOneThickness();
        CheckAquiferGrids();
        CreateLayerGrids();
        dx = dy = cellsize;
        OpenControlPointFile();
        ReadLakeModel("[lake_model]");
    });
}

gwflowclass::~gwflowclass() {
    if (flowControl == 0 && createdIndices_.empty()) return;
    // A failed run leaves a control-point table that holds only its header as it was.
    if (controlHere && status != 0 && controlCount > 0 && !(NormalEndPending() && controlTable.pending())) {
        try {
            WriteControlPointFluxes(controlFileOut, controlFileOut, controlCount, controlRecords);
        } catch (...) {
            // A destructor cannot report further; the log holds the failure.
        }
    }
    ReleaseInDestructor([&] {
        FreeTracerGrids();
        ReleaseAll();
    });
}

void gwflowclass::ReleaseAll() {
    for (int index : createdIndices_) ReleaseGrid(index);
    createdIndices_.clear();
}

int gwflowclass::SetRiverflowTable(riverflow_table* table) {
    if (flowControl != 0) riverflow = table;
    return flowControl;
}

int gwflowclass::SetQg(RunoffArray* q) {
    if (flowControl != 0) qg = q;
    return flowControl;
}

void gwflowclass::ReadSection() {
    std::FILE* f = ControlStream();
    const std::string m = moduleName;
    ReadValue(f, "%d", &method, "method in " + m);
    // A limit of 0 or less makes one sweep in every step (the solver always makes one).
    ReadValue(f, "%d", &maxiter, "maxiter in " + m);
    ReadBoundedValue(f, "%lf", &maxErrorAllowed, "maxerror_allowed in " + m, bound::NonNegative);
    ReadBoundedValue(f, "%lf", &alpha, "alpha in " + m, bound::Fraction);
    // Successive over-relaxation converges only below 2; 0 or less selects the adaptive factor.
    ReadBoundedValue(f, "%lf", &sorParameter, "sor-parameter in " + m, bound::Below(2));
    adaptive = sorParameter <= 0;
    ReadValue(f, "%d", &gridReadParameter, "grid read parameter in " + m);
    ReadValue(f, "%d", &layerCount, "number of layers in " + m);
    ReadTwoValues(f, "%d%d", &controlRow, &controlCol, "control_row/column for control point fluxes in " + m);
    std::string name;
    ReadValue(f, "%s", &name, "name of the control point file  " + m);
    controlFileOut = ExpandPath(outputPath, name);
    CheckControlPoint();
    ReadPondFlag();
    if (layerCount < 1) {
        // Without a layer there is no aquifer to solve: every per-layer read would be empty.
        *log << "FATAL: in modul " << m << ":\nthe number of layers (" << layerCount << ") must be at least 1"
             << "[end-entry]";
        throw ModelError(17);
    }
    ReadLayerNames();
    std::FILE* raw = controlFile.release();
    if (std::fclose(raw) != 0) {
        FailOnFile(*log, "error closing " + controlFileName, 11);
    }
}

void gwflowclass::CheckControlPoint() {
    if (controlRow < 0 || controlRow > nrows) {
        *log << "FATAL: in modul " << moduleName << ":\n" << "row index (" << controlRow
             << ") for output-cell must be between " << 1 << " and " << nrows << " (Input as row col) or 0 0 "
             << "[end-entry]";
        throw ModelError(8);
    }
    if (controlCol < 0 || controlCol > ncols) {
        *log << "FATAL: in modul " << moduleName << ":\n" << "column index (" << controlCol
             << ") for output-cell must be between " << 1 << " and " << ncols << " (Input as row col) "
             << "[end-entry]";
        throw ModelError(9);
    }
}

void gwflowclass::ReadPondFlag() {
    std::FILE* f = ControlStream();
    const long position = std::ftell(f);
    const int ch = std::fgetc(f);
    if (ch == '1') {
        usePondFlag = 1;
        ReadLineRest(f);
        usePond = FindGrid("ponding_storage") > 0;
        *log << "INFO: in modul " << moduleName << ": Use-Pond-Flag is " << 1
             << (usePond ? "\n POND-Grid was found --> PONDs will be used in GW-Model"
                         : "\n POND-Grid was not found --> no PONDs will be used in GW-Model")
             << "[end-entry]";
    } else if (ch == '0') {
        usePondFlag = 0;
        ReadLineRest(f);
        *log << "INFO: in modul " << moduleName << ": Use-Pond-Flag is " << 0
             << "; --> no PONDs will be used in GW-Model" << "[end-entry]";
    } else {
        usePondFlag = 0;
        std::fseek(f, position, SEEK_SET);
        *log << "INFO: in modul " << moduleName << ": no POND-Grid will be used because Use-Pond-Flag is not present"
             << "[end-entry]";
    }
}

std::string gwflowclass::InsertSuffix(const std::string& name, const std::string& suffix) {
    // Only a dot in the file part counts: a dotted directory keeps its name.
    const std::size_t slash = name.find_last_of('/');
    const std::size_t dot = name.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return name + suffix;
    return name.substr(0, dot) + suffix + name.substr(dot);
}

void gwflowclass::ReadLayerNames() {
    std::FILE* f = ControlStream();
    const std::string m = moduleName;
    layers.clear();
    layers.resize(static_cast<std::size_t>(layerCount) + 1);
    for (int l = 1; l <= layerCount; ++l) {
        Layer& L = layers[static_cast<std::size_t>(l)];
        ReadValue(f, "%s", &L.headName, "name of grid with hydraulic heads in " + m);
        ReadValue(f, "%ld", &L.headCode, "Writegrid (hydraulic heads) in " + m);
        ReadValue(f, "%s", &L.txName, "name of grid with x-transmissivities in " + m);
        ReadValue(f, "%ld", &L.txCode, "Writegrid x-transmissivities in " + m);
        ReadValue(f, "%s", &L.tyName, "name of grid with y-transmissivities in " + m);
        ReadValue(f, "%ld", &L.tyCode, "Writegrid y-transmissivities in " + m);
        ReadValue(f, "%s", &L.balanceName, "name of grid with balances in " + m);
        ReadValue(f, "%ld", &L.balanceCode, "Writegrid balances in " + m);
        L.oldName = InsertSuffix(L.headName, "_old");
        L.oldOldName = InsertSuffix(L.headName, "_oldold");
        L.oldIterName = InsertSuffix(L.headName, "_olditer");
    }
}

void gwflowclass::ReadLakeModel(const std::string& section) {
    const int lakeIndex = FindGrid("lake_codes");
    if (lakeIndex <= 0) {
        *log << "INFO: no LAKE-grid was found in " << moduleName << "\n"
             << "Lake modelling is switched off for " << moduleName << ".\n" << "[end-entry]";
        return;
    }
    controlFile = OpenFile(controlFileName, "rt");
    if (!controlFile) {
        FailOnFile(*log, "error opening " + controlFileName, 28);
    }
    SeekSection(section, true);
    std::FILE* f = ControlStream();
    ReadValue(f, "%d", &lakeFlowControl, "flow control parameter for " + section);
    if (settings.spinUpSwitch != 0) lakeFlowControl = 0;
    if (lakeFlowControl == 0) {
        controlFile.reset();
        return;
    }
    if (usePondFlag == 0) {
        *log << "FATAL: \n=======================================\n" << "!!!! ERROR !!!! \n\n"
             << "Error in initialization method for " << section << ".\n" << "pond_use must be set in " << moduleName
             << "\n" << "for using the " << section << "\n\n=======================================\n"
             << "[end-entry]";
        throw ModelError(214);
    }
    ReadValue(f, "%d", &lakeInitMethod, "initialization method for " + section);
    std::FILE* raw = controlFile.release();
    if (std::fclose(raw) != 0) {
        FailOnFile(*log, "error closing " + controlFileName + "after reading initialization method for " + section, 11);
    }
    lakeCodes = (*gridStore)[lakeIndex].grid;
    const int pondIndex = FindGrid("ponding_storage");
    if (pondIndex <= 0) {
        *log << "FATAL: \n=======================================\n" << "!!!! ERROR !!!! \n\n"
             << "\nLAKE-grid was found, but no POND-Grid. For using lakes," << "\nboth grids must be present."
             << "\n\n=======================================\n" << "[end-entry]";
        throw ModelError(28);
    }
    pond = (*gridStore)[pondIndex].grid;
    usePond = true;
    if (lakeInitMethod != 1 && lakeInitMethod != 2) {
        *log << "FATAL: \n=======================================\n" << "!!!! ERROR !!!! \n\n "
             << "Error in initialization method for " << section << ".\n" << "Lake initialization method ("
             << lakeInitMethod << ") not valid.\n"
             << "Allowed values are 1 (no change of grids) or 2 (adjust DEM, SLOPE, DRAIN).\n"
             << "In either case, theta_soil will be set to saturation,\n"
             << "if the cell is marked as lake and POND is > 0. Also, the groudwater level\n" << "will be set to 0."
             << "\n\n=======================================\n" << "[end-entry]";
        throw ModelError(214);
    }
}
