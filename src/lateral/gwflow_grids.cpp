// The grids the groundwater model looks up, the grids it creates and the start heads.
#include <cerrno>
#include <cmath>

#include "kernel/gridio.hpp"
#include "lateral/gwflow.hpp"
#include "tables/soil_entry.hpp"

namespace {

Matrix* GridAt(GridStore& store, int index) { return index > 0 ? store[index].grid : nullptr; }

}  // namespace

Matrix gwflowclass::HaloMatrix() { return matrix(HaloFirst(), HaloLast(), 1, ncols, nrows); }
Matrix gwflowclass::OwnMatrix() { return matrix(firstRow, lastRow, 1, ncols, nrows); }

int gwflowclass::TakeEntry(bool tracer) {
    // Every grid takes the next entry that holds nothing, so no entry in use is overwritten.
    const int index = FirstFreeGridIndex();
    if (index >= 1000) {
        if (tracer)
            *log << "FATAL: no free grid left " << 1000 << "[end-entry]";
        else
            *log << "FATAL: no free grid (gridmaxanzahl must be larger than " << 1000 << ")!\n" << "[end-entry]";
        throw ModelError(12);
    }
    return index;
}

void gwflowclass::Register(int& index, Matrix& m, const std::string& file, const std::string& name, long code,
                           bool halo) {
    index = TakeEntry();
    RegisterGrid(index, file, &m, nullptr, 0, name, code, halo ? HaloFirst() : firstRow, halo ? HaloLast() : lastRow);
    createdIndices_.push_back(index);
    if (halo) MPIExchangeHalo(index);
}

void gwflowclass::LookUpGrids() {
    GridStore& store = *gridStore;
    elevation = GridAt(store, GetGridIndex("[elevation_model]"));
    recharge = GridAt(store, GetGridIndex("groundwater_recharge"));
    gwDistance = GridAt(store, GetGridIndex("groundwater_distance"));
    soilTypes = GridAt(store, GetGridIndex("soil_types"));
    baseflowIndex = GetGridIndex("baseflow");
    baseflow = GridAt(store, baseflowIndex);
    if (relCellArea != nullptr) {
        cellSizeX = GridAt(store, GetGridIndex("CellSizeX"));
        cellSizeY = GridAt(store, GetGridIndex("CellSizeY"));
    }
    const int glacierIndex = FindGrid("GlacierizedCells");
    glacier = GridAt(store, glacierIndex > 0 ? glacierIndex : FindGrid("ice_firn"));
    for (int l = 1; l <= layerCount; ++l) {
        Layer& L = layers[static_cast<std::size_t>(l)];
        auto get = [&](const char* prefix, int n) { return GridAt(store, GetGridIndex(StrFormat("%s%d", prefix, n))); };
        L.thickness = get("aquifer_thickness_", l);
        L.kx = get("gw_k_x_", l);
        L.ky = get("gw_k_y_", l);
        L.storage = get("gw_storage_coeff_", l);
        if (l == 1) storage1Index = GetGridIndex("gw_storage_coeff_1");
        L.fixH = get("gw_boundary_fix_h_", l);
        L.fixQ = get("gw_boundary_fix_q_", l);
        if (l < layerCount) L.kolmation = get("gw_kolmation_", l);
    }
    const int thaw = FindGrid("PermafrostThawDepth");
    if (thaw > 0 && FindGrid("SnowFreeDaysGrid") > 0 && FindGrid("ThawCoeffPermaFrost") > 0) {
        thawDepth = GridAt(store, thaw);
    } else if (FindGrid("ThawDepthTMod", true) > 0) {
        // The soil model's heat transfer registers its thaw depth after its stacks, at which a
        // search of plain grids ends: the whole store is searched. Its frozen thickness (which
        // the soil keeps with halo rows) thins layer 1; the thaw depth itself is not read then.
        frozenSoil = GridAt(store, GetGridIndex("frozenSoilInGroundwater"));
    }
    if (FindGrid("DirectRunoffSiltingUp") <= 0) surfStorage = GridAt(store, FindGrid("SurfStorSiltingUp"));
    if (usePond) pond = GridAt(store, GetGridIndex("ponding_storage"));
}

void gwflowclass::SetLayerOneThickness() {
    Matrix& b = *layers[1].thickness;
    const soil_entry* table = settings.soilTable;
    for (int r = firstRow; r <= lastRow; ++r) {
        if (!b.holds(r)) continue;
        for (const int c : OwnZoneColumns(r)) {
            const double type = (*soilTypes)[r][c];
            if (b[r][c] > nodata && type > nodata && table != nullptr && type >= 1 &&
                type <= table[0].code) {
                b[r][c] = table[static_cast<int>(type)].totalDepth;
            } else {
                b[r][c] = nodata;
            }
        }
    }
    MPIExchangeHalo(GetGridIndex("aquifer_thickness_1"));
}

void gwflowclass::ListOwnZoneCells() {
    ownZoneColumns_.clear();
    ownZoneRowStart_.assign(1, 0);
    for (int r = firstRow; r <= lastRow; ++r) {
        for (int c = 1; c <= ncols; ++c)
            if (InZone(r, c) && Own(r, c)) ownZoneColumns_.push_back(c);
        ownZoneRowStart_.push_back(ownZoneColumns_.size());
    }
}

void gwflowclass::CheckAquiferGrids() {
    int code = 0;
    try {
        for (int l = 1; l <= layerCount; ++l) {
            const Layer& L = layers[static_cast<std::size_t>(l)];
            struct Checked {
                const Matrix* grid;
                const char* prefix;
                ValueBound range;
            };
            // A conductivity of 0 is an impermeable cell: its faces carry no flow.
            const Checked checked[] = {{L.thickness, "aquifer_thickness_", bound::Positive},
                                       {L.kx, "gw_k_x_", bound::NonNegative},
                                       {L.ky, "gw_k_y_", bound::NonNegative},
                                       {L.storage, "gw_storage_coeff_", {0, 1, true, false}},
                                       {L.kolmation, "gw_kolmation_", bound::NonNegative}};
            for (const Checked& g : checked) {
                if (g.grid == nullptr) continue;
                // The threads look for the first row holding a value outside the range; that row
                // alone is then gone through again to name its first such cell, as one thread
                // going through the rows in turn names it.
                int bad = lastRow + 1;
#pragma omp parallel for schedule(runtime) reduction(min : bad) if (Threaded())
                for (int r = firstRow; r <= lastRow; ++r) {
                    if (!g.grid->holds(r)) continue;
                    const double* row = (*g.grid)[r];
                    for (const int c : OwnZoneColumns(r))
                        if (row[c] != nodata && !g.range.Holds(row[c])) {
                            bad = std::min(bad, r);
                            break;
                        }
                }
                if (bad > lastRow) continue;
                const double* row = (*g.grid)[bad];
                for (const int c : OwnZoneColumns(bad)) {
                    const double v = row[c];
                    // The cell's name is written only for a value outside the range.
                    if (v == nodata || g.range.Holds(v)) continue;
                    RequireBound(*log, "grid", "[standard_grids]",
                                 StrFormat("%s%d at row %d, column %d", g.prefix, l, bad, c), moduleName, v, g.range);
                }
            }
        }
    } catch (const ModelError& e) {
        code = e.code();
    }
    gridio::ThrowAgreed(code, size > 1);
}

void gwflowclass::StartHeads(Layer& L, int l) {
    if (gridReadParameter == 1) {
        ReadGrid(L.headName, &L.head, 0, true, false, nodata, false, false, false, true);
        ReadGrid(L.oldName, &L.headOld, 0, true, false, nodata, false, false, false, true);
        Register(L.headIndex, L.head, L.headName, StrFormat("gw_head_%d", l), L.headCode, true);
        Register(L.oldIndex, L.headOld, L.oldName, StrFormat("gw_head_old_%d", l), L.headCode, true);
        return;
    }
    L.head = FilledMatrix(HaloFirst(), HaloLast(), 1, ncols, nrows, nodata);
    L.headOld = FilledMatrix(HaloFirst(), HaloLast(), 1, ncols, nrows, nodata);
#pragma omp parallel for schedule(runtime) if (Threaded())
    for (int r = firstRow; r <= lastRow; ++r) {
        if (!L.head.holds(r)) continue;
        for (const int c : OwnZoneColumns(r)) {
            const double d = (*gwDistance)[r][c];
            double v = (*elevation)[r][c] + d;
            if (std::fabs(d) < 0.001) {
                if (pond != nullptr) {
                    v += (*pond)[r][c] / 1000.0;
                } else if (surfStorage != nullptr && (*surfStorage)[r][c] > 0) {
                    v += (*surfStorage)[r][c] / 1000.0;
                }
            }
            L.head[r][c] = v;
            L.headOld[r][c] = v;
        }
    }
    Register(L.headIndex, L.head, L.headName, StrFormat("gw_head_%d", l), L.headCode, true);
    Register(L.oldIndex, L.headOld, L.oldName, StrFormat("gw_head_old_%d", l), L.headCode, true);
}

void gwflowclass::CreateLayerGrids() {
    for (int l = 1; l <= layerCount; ++l) StartHeads(layers[static_cast<std::size_t>(l)], l);
    for (int l = 1; l <= layerCount; ++l) {
        Layer& L = layers[static_cast<std::size_t>(l)];
        // Flows and balances of cells outside the basin are nodata, whichever process holds the row.
        L.headOldOld = FilledMatrix(HaloFirst(), HaloLast(), 1, ncols, nrows, nodata);
        L.headIter = FilledMatrix(firstRow, lastRow, 1, ncols, nrows, nodata);
        L.tx = HaloMatrix();
        L.ty = HaloMatrix();
        L.flowX = FilledMatrix(HaloFirst(), HaloLast(), 1, ncols, nrows, nodata);
        L.flowY = FilledMatrix(HaloFirst(), HaloLast(), 1, ncols, nrows, nodata);
        L.balance = FilledMatrix(firstRow, lastRow, 1, ncols, nrows, nodata);
        L.leakage = OwnMatrix();
        L.top = FilledMatrix(HaloFirst(), HaloLast(), 1, ncols, nrows, nodata);
        // A face towards a cell outside the basin carries nothing: halo cells that no process
        // computes keep a transmissivity of 0, never the nodata value.
#pragma omp parallel for schedule(runtime) if (Threaded())
        for (int r = firstRow; r <= lastRow; ++r) {
            if (!L.head.holds(r)) continue;
            for (const int c : OwnZoneColumns(r)) {
                const double h = L.head[r][c];
                L.headOldOld[r][c] = h;
                L.headIter[r][c] = h;
                const double s = (*L.thickness)[r][c] + (*gwDistance)[r][c];
                L.tx[r][c] = s * (*L.kx)[r][c];
                L.ty[r][c] = s * (*L.ky)[r][c];
                if (l == 1) {
                    L.top[r][c] = (*elevation)[r][c];
                } else {
                    const Layer& U = layers[static_cast<std::size_t>(l) - 1];
                    L.top[r][c] = U.top[r][c] - (*U.thickness)[r][c];
                }
            }
        }
        const std::string oo = StrFormat("gw_head_old_old_%d", l);
        Register(L.oldOldIndex, L.headOldOld, oo, oo, 0, true);
        Register(L.iterIndex, L.headIter, oo, oo, 0, false);
        Register(L.txIndex, L.tx, StrFormat("gw_transmissivity_x_%d", l), StrFormat("gw_transmissivity_x_%d", l), 0,
                 true);
        Register(L.tyIndex, L.ty, StrFormat("gw_transmissivity_y_%d", l), StrFormat("gw_transmissivity_y_%d", l), 0,
                 true);
        Register(L.flowXIndex, L.flowX, L.txName, StrFormat("gw_flow_x_%d", l), L.txCode, true);
        Register(L.flowYIndex, L.flowY, L.tyName, StrFormat("gw_flow_y_%d", l), L.tyCode, true);
        Register(L.balanceIndex, L.balance, L.balanceName, StrFormat("gw_balance%d", l), L.balanceCode, false);
        Register(L.leakageIndex, L.leakage, StrFormat("gw_leakage_%d", l), StrFormat("gw_leakage_%d", l), 0, false);
        const std::string top = StrFormat("aquifer_upper_limit%d", l);
        Register(L.topIndex, L.top, top, top, 0, true);
    }
    activeMask.assign(static_cast<std::size_t>(nrows + 2) * static_cast<std::size_t>(ncols + 2), 0);
    freeMask = activeMask;
}

void gwflowclass::OpenControlPointFile() {
    controlHere = false;
    if (controlRow < 1 || controlCol < 1) return;
    if (controlRow < firstRow || controlRow > lastRow || !Own(controlRow, controlCol)) return;
    controlHere = true;
    controlCapacity = ControlCapacity(layerCount);
    controlRecords.assign(controlCapacity + 1, ControlRecord{});
    for (ControlRecord& rec : controlRecords) rec.values.assign(static_cast<std::size_t>(6 * layerCount + 1), 0.0);
    controlCount = 0;
    controlTable.SetName(controlFileOut);
    std::FILE* f = controlTable.Open(false);
    auto failed = [&] {
        const int reason = errno;
        *log << "FATAL: error opening file for gw-fluxes (single point) \n-> check disk space or user rights\n"
             << "[end-entry]";
        LogSystemReason(*log, reason);
        throw ModelError(62);
    };
    if (f == nullptr) failed();
    std::fprintf(f, "YY\tMM\tDD\tHH\tcontrol_point_fluxes[%d][%d]", controlRow, controlCol);
    for (int l = 1; l <= layerCount; ++l)
        std::fprintf(f, "[lr: %d, 1]\t[lr: %d, 2]\t[lr: %d, 3]\t[lr: %d, 4]\t[lr: %d, up]\t[lr: %d, down]\t", l, l, l,
                     l, l, l);
    std::fprintf(f, "\n");
    if (!controlTable.Close()) failed();
}

std::size_t gwflowclass::ControlCapacity(int layerCount) {
    const long size = (6L * layerCount + 1) * 8 + 32;
    const long n = kBufferBytes / size;
    return static_cast<std::size_t>(n < 1 ? 1 : n);
}
