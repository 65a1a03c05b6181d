// River exchange of a column, the groundwater that irrigation may pump, and the adjustment of
// the columns to an external groundwater table.
#include "soil/unsatzon_river.hpp"

#include <algorithm>

#include "kernel/threading.hpp"
#include "soil/unsatzon.hpp"
#include "tables/soil_entry.hpp"

namespace {
std::size_t U(int i) { return static_cast<std::size_t>(i); }
}  // namespace

namespace soilriver {

void Exchange(const soil_entry& soil, soilcolumn::ColumnState& col, const soilcolumn::CellValues& cell,
              int interaction, const River& river, double& A, double& B) {
    if (interaction < 1) return;
    const int n = col.n;
    for (int i = 0; i <= n; ++i) col.rIn[U(i)] = col.rOut[U(i)] = 0;
    const double D = river.depth, W = river.width, k = river.leakage, dt = cell.dt;
    if (D <= 0 || W <= 0) return;
    int b = n;
    double sum = 0;
    for (int i = 1; i <= n; ++i) {
        sum += soil.thickness[U(i)];
        if (sum >= D) {
            b = i;
            break;
        }
    }
    const int g = std::clamp(cell.tableLayer, 1, n);
    const double Zt = col.z[0] + cell.tableDistance;
    const double Zb = col.z[0] - D;
    const auto& z = col.z;
    if (Zb < Zt) {
        A = 0;
        const double E = k > 0 ? k * (Zt - Zb) * W / cell.cellsize : 0.0;
        B = E;
        const double x = (col.thetaOld[U(g)] + col.thetaMean[U(g)]) / 2 - col.fieldCapacity[U(g)];
        double R = E;
        if (g < b) {
            col.rOut[U(g)] = std::min(E, std::max(0.0, (Zt - z[U(g)]) * x / dt));
            R -= col.rOut[U(g)];
        } else {
            col.rOut[U(b)] = std::min(E, std::max(0.0, (Zt - Zb) * x / dt));
            R -= col.rOut[U(b)];
        }
        for (int i = g + 1; i <= b - 1; ++i) {
            col.rOut[U(i)] = std::min(R, std::max(0.0, soil.thickness[U(i)] * x / dt));
            R -= col.rOut[U(i)];
        }
        if (g < b) {
            col.rOut[U(b)] = std::min(R, std::max(0.0, (z[U(b - 1)] - Zb) * x / dt));
            R -= col.rOut[U(b)];
        }
        if (R > 0) B -= R;
        return;
    }
    B = 0;
    if (!river.linked || interaction == 1) return;
    const double hw = river.speed > 0 ? (river.flowm3s / river.speed) / W : 0.0;
    const double Hb = g < b ? Zt : col.H[U(b)];
    double I = k > 0 ? std::max(0.0, (Zb + hw - Hb) * k * W * cell.cellsize) : 0.0;
    I = std::min(I, river.flowm3s - river.taken);
    I /= cell.cellsize * cell.cellsize;
    A = I;
    if (I <= 0) {
        A = 0;
        return;
    }
    int m = 1;
    if (D - hw > 0) {
        double s2 = 0;
        m = n;
        for (int i = 1; i <= n; ++i) {
            s2 += soil.thickness[U(i)];
            if (s2 >= D - hw) {
                m = i + 1;
                break;
            }
        }
    }
    auto fill = [&](int i) {
        const std::size_t l = U(i);
        const double room = (soil.theta_sat[l] - (col.thetaOld[l] + col.thetaMean[l]) / 2) * soil.thickness[l] / dt;
        col.rIn[l] = std::max(0.0, std::min(I, room));
        I -= col.rIn[l];
    };
    if (g >= b)
        for (int i = b; i <= g; ++i) fill(i);
    for (int i = b - 1; i >= m + 1; --i) fill(i);
    if (I > 0) A -= I;
}

double DrainablePoreVolume(const soil_entry& soil, const double* fc, int g, int n) {
    double s = 0;
    for (int k = std::max(1, g); k <= n - 1; ++k) s += 1000.0 * soil.thickness[U(k)] * (soil.theta_sat[U(k)] - fc[k]);
    return s;
}

double ApplyExternalTable(const soil_entry& soil, soilcolumn::ColumnState& col, int& g, double& distance, double Ze) {
    const int n = col.n;
    const auto& z = col.z;
    const auto& ts = soil.theta_sat;
    const auto& d = soil.thickness;
    auto& th = col.theta;
    const auto& fc = col.fieldCapacity;
    g = std::clamp(g, 1, n);
    const double Zt = z[0] + distance;
    double added = 0;
    if (Zt <= Ze) {
        int g2 = g;
        while (g2 > 1 && z[U(g2 - 1)] < Ze) --g2;
        if (g2 == g || g < 2) {
            const double dth = std::min(ts[U(g)] - th[U(g)], (ts[U(g)] - th[U(g)]) * (Ze - Zt) / d[U(g)]);
            th[U(g)] += std::max(0.0, dth);
            added += std::max(0.0, dth) * d[U(g)];
            g2 = g;
        } else {
            for (int i = g; i > g2; --i) {
                added += (ts[U(i)] - th[U(i)]) * d[U(i)];
                th[U(i)] = ts[U(i)];
            }
            const double dth = std::min(ts[U(g2)] - th[U(g2)], (ts[U(g2)] - th[U(g2)]) * (Ze - z[U(g2)]) / d[U(g2)]);
            th[U(g2)] += std::max(0.0, dth);
            added += std::max(0.0, dth) * d[U(g2)];
        }
        g = g2;
    } else {
        int g2 = g;
        while (g2 < n && z[U(g2)] > Ze) ++g2;
        if (z[U(g2)] > Ze) Ze = z[U(g2)];
        auto drain = [&](int i, double height) {
            const double want = (ts[U(i)] - fc[U(i)]) * std::max(0.0, height);
            const double take = std::min(want, std::max(0.0, (th[U(i)] - fc[U(i)]) * d[U(i)]));
            th[U(i)] -= take / d[U(i)];
            added -= take;
        };
        if (g2 == g) {
            drain(g, Zt - Ze);
        } else {
            drain(g, Zt - z[U(g)]);
            for (int i = g + 1; i < g2; ++i) drain(i, d[U(i)]);
            drain(g2, z[U(g2 - 1)] - Ze);
        }
        g = g2;
    }
    distance = Ze - z[0];
    return added * 1000.0;
}

}  // namespace soilriver

double unsatzonmodellklasse::RiverTracerValue(int r, int c, int t) const {
    const int link = riverLinks != nullptr ? static_cast<int>((*riverLinks)[r][c]) : 0;
    const int pos = link >= 1 && U(link) < soilZones.index.size() ? soilZones.index[U(link)] : 0;
    if (pos < 1 || U(pos) >= riverTable.size() || t < 1 || t > 9) return 0.0;
    return riverTable[U(pos)].flow_mm[t];
}

void unsatzonmodellklasse::RiverExchange(soilcolumn::ColumnState& col, const soilcolumn::CellValues& cell, int r, int c,
                                         double& infiltration, double& exfiltration) {
    soilriver::River river;
    if (riverDepth == nullptr || riverWidth == nullptr) return;
    river.depth = (*riverDepth)[r][c];
    river.width = (*riverWidth)[r][c];
    river.leakage = kolmation != nullptr ? (*kolmation)[r][c] : 0.0;
    const int link = riverLinks != nullptr ? static_cast<int>((*riverLinks)[r][c]) : 0;
    const int pos = link >= 1 && U(link) < soilZones.index.size() ? soilZones.index[U(link)] : 0;
    if (pos >= 1 && U(pos) < riverTable.size()) {
        const riverflow_table& t = riverTable[U(pos)];
        river.linked = true;
        river.flowm3s = t.flowm3s;
        river.speed = t.speed;
        river.taken = t.soilExchange;
    }
    if (lake_control > 1) return;
    if (lake_control == 1 && in.lakeCodes != nullptr && (*in.lakeCodes)[r][c] != nodata && !own.pondingStorage.empty() &&
        own.pondingStorage[r][c] >= 1.0)
        return;
    soilriver::Exchange(SoilOf(r, c), col, cell, config.surface_interaction, river, infiltration, exfiltration);
}

void unsatzonmodellklasse::DrainablePoreVolume() {
    if (flowControl == 0 || settings.irrigationTable == nullptr || own.maxPumping.empty()) return;
    soilTypeColumns.Prepare(settings.soilTable);
    PrepareOwnCells();
    // A cell's volume depends on the cell alone: the rows go to the threads, each with a column
    // of its own for soils without prepared field capacities.
#pragma omp parallel if (WorthThreads(firstRow, lastRow, ncols))
    {
        soilcolumn::ColumnState col;
#pragma omp for schedule(runtime)
        for (int r = firstRow; r <= lastRow; ++r) {
            // Cells that are not this process's basin cells hold nodata; the own ones, listed
            // once for the run, get their volume. Neighbouring cells mostly share their soil,
            // whose field capacities are then taken over.
            for (int c = 1; c <= ncols; ++c) own.maxPumping[r][c] = nodata;
            const soil_entry* prepared = nullptr;
            const double* preparedFc = nullptr;
            for (const int c : OwnColumns(r)) {
                const soil_entry& soil = SoilOf(r, c);
                const double* fc = &soil == prepared ? preparedFc : soilTypeColumns.FieldCapacity(soil);
                if (fc != nullptr) {
                    prepared = &soil;
                    preparedFc = fc;
                } else {
                    col.SetSoil(soil, own.geodeticHeads[r][c][0]);
                    fc = col.fieldCapacity.data();
                }
                own.maxPumping[r][c] = soilriver::DrainablePoreVolume(
                    soil, fc, static_cast<int>(own.groundwaterLevel[r][c]), soil.GetLayerCount());
            }
        }
    }
}

void unsatzonmodellklasse::ApplyExternalGWTable() {
    if (flowControl == 0) return;
    if (!externalTable) {
        const int i = FindGrid("gw_storage_coeff_1", true);
        in.gwStorageCoeff = i > 0 ? (*gridStore)[i].grid : nullptr;
        externalTable = true;
    }
    soilTypeColumns.Prepare(settings.soilTable);
    soilcolumn::ColumnState col;
    for (int r = firstRow; r <= lastRow; ++r)
        for (int c = 1; c <= ncols; ++c) {
            if (in.zone == nullptr || !in.zone->holds(r) || (*in.zone)[r][c] <= nodata) {
                own.balance[r][c] = nodata;
                if (own.baseflow.holds(r)) own.baseflow[r][c] = nodata;
                own.groundwaterDistance[r][c] = nodata;
                continue;
            }
            if (!IsOwnCell(r, c)) continue;
            const double Ze = own.gwTableExtern[r][c];
            if (!(Ze > nodata)) {
                own.balance[r][c] = 0;
                continue;
            }
            const soil_entry& soil = SoilOf(r, c);
            const int n = soil.GetLayerCount();
            soilTypeColumns.SetColumn(col, soil, own.geodeticHeads[r][c][0]);
            double* theta = own.theta[r][c];
            for (int i = 1; i <= n; ++i) col.theta[U(i)] = theta[i];
            int g = static_cast<int>(own.groundwaterLevel[r][c]);
            double dist = own.groundwaterDistance[r][c];
            own.balance[r][c] = soilriver::ApplyExternalTable(soil, col, g, dist, Ze);
            for (int i = 1; i <= n; ++i) theta[i] = col.theta[U(i)];
            own.groundwaterLevel[r][c] = g;
            own.groundwaterDistance[r][c] = dist;
            own.baseflow[r][c] = 0;
        }
}
