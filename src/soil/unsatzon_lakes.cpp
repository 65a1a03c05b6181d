// The soil side of "[lake_model]": lake cells start saturated with the water table at the
// surface; the second method also lowers the terrain by the lake depth.
#include <mpi.h>

#include "soil/unsatzon.hpp"
#include "tables/soil_entry.hpp"

void unsatzonmodellklasse::ReadLakeModel(const std::string& section) {
    const int lakeIndex = FindGrid("lake_codes", true);
    if (lakeIndex <= 0) {
        *log << "INFO: no LAKE-grid was found in " << moduleName << "\n" << "Lake modelling is switched off for "
             << moduleName << "." << "[end-entry]";
        return;
    }
    ReopenControlFile();
    SeekSection(section, true);
    std::FILE* f = ControlStream();
    ReadValue(f, "%d", &lake_control, "flow control parameter for " + section);
    // Response units share the master cell's state, which a lake cell cannot take.
    if (settings.spinUpSwitch != 0) lake_control = 0;
    if (lake_control == 0) {
        controlFile.reset();
        return;
    }
    if (config.pond == 0) {
        *log << "ERROR:\n\n=======================================\n" << "!!!! ERROR !!!! \n\n"
             << "Error in initialization method for " << section << ".\n" << "pond_use must be set in " << moduleName
             << "\n" << "for using the " << section << "\n\n=======================================\n"
             << "[end-entry]";
        controlFile.reset();
        throw ModelError(215);
    }
    ReadValue(f, "%d", &lake_init_method, "initialization method for " + section);
    std::FILE* raw = controlFile.release();
    if (std::fclose(raw) != 0) {
        FailOnFile(*log, "error closing " + controlFileName + "after reading initialization method for " + section, 11);
    }
    in.lakeCodes = (*gridStore)[GetGridIndex("lake_codes")].grid;
    if (lake_init_method != 1 && lake_init_method != 2) {
        *log << "FATAL: \n\n=======================================\n" << "!!!! ERROR !!!! \n\n "
             << "Error in initialization method for " << section << ".\n"
             << "Allowed values are 1 (no change of grids) or 2 (adjust DEM, SLOPE, DRAIN).\n"
             << "In either case, theta_soil will be set to saturation,\n"
             << "if the cell is marked as lake and POND is > 0. Also, the groudwater level\n" << "will be set to 0."
             << "\n\n=======================================\n" << "[end-entry]";
        throw ModelError(215);
    }

    const int mode = config.readgrid;
    const double threshold = lake_init_method == 1 ? 1.0 : 0.3;
    Matrix* elevation = (*gridStore)[2].grid;
    PrepareOwnCells();
    for (int r = firstRow; r <= lastRow; ++r) {
        for (const int c : OwnColumns(r)) {
            if (!((*in.lakeCodes)[r][c] >= 0)) continue;
            const bool saturate = mode == 0 || (mode > 0 && own.pondingStorage[r][c] > threshold);
            if (saturate) {
                if (lake_init_method == 2) {
                    if (!own.drainageLevel.empty()) own.drainageLevel[r][c] = -1.0;
                    (*in.slope)[r][c] = 0.0;
                    if (in.irrigationCodes != nullptr) (*in.irrigationCodes)[r][c] = 0.0;
                }
                SaturateLakeCell(r, c);
            }
            if (lake_init_method == 2) (*elevation)[r][c] -= (*in.maxPonding)[r][c] / 1000.0;
        }
    }
    if (lake_init_method == 2) MPIGatherGrid(2);
}

void unsatzonmodellklasse::SaturateLakeCell(int r, int c) {
    own.groundwaterDistance[r][c] = 0.0;
    own.groundwaterLevel[r][c] = 1.0;
    const soil_entry& soil = SoilOf(r, c);
    double* theta = own.theta[r][c];
    for (int k = 1; k < nlayers && k <= soil.GetLayerCount(); ++k) theta[k] = soil.theta_sat[static_cast<std::size_t>(k)];
}
