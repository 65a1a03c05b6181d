// The potential-evapotranspiration step: solar sub-steps of the daylight part, the sunshine
// day mean, the temperature amplitude of long steps, the parallel cell loop, the copies of
// hydrologic response units and the statistics.
#include "surface/etpetr.hpp"

#include <omp.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <iomanip>

#include "kernel/nodata.hpp"
#include "kernel/threading.hpp"
#include "setup/spinup.hpp"

using evaporation::LayerInput;
using evaporation::LayerResult;
using evaporation::LayerRunning;

bool verdunstungsmodellklasse::MasterCell(int r, int c) const {
    return !useResponseUnits || (*masterUnitGrid)[r][c] != nodata;
}

bool verdunstungsmodellklasse::MasterOf(int r, int c, int* mr, int* mc) const {
    const double unit = (*responseUnitGrid)[r][c];
    const std::size_t count = unitTable != nullptr ? unitTable->size() : 0;
    if (!(unit >= 0) || unit >= static_cast<double>(count)) return false;
    const HydrologicResponseUnit& u = (*unitTable)[static_cast<std::size_t>(unit)];
    if (!etp[0].holds(u.row) || u.column < 1 || u.column > ncols) return false;
    *mr = u.row;
    *mc = u.column;
    return true;
}

void verdunstungsmodellklasse::TakePotentialOfMaster(int r, int c, int mr, int mc) {
    for (int i = 0; i <= layers; ++i) {
        const std::size_t k = static_cast<std::size_t>(i);
        etp[k][r][c] = etp[k][mr][mc];
        eip[k][r][c] = eip[k][mr][mc];
    }
    potEvaporation[r][c] = potEvaporation[mr][mc];
}

std::pair<int, int> verdunstungsmodellklasse::ColumnRange(int r) const {
    if (basinColumns != nullptr && r >= 0 && static_cast<std::size_t>(r) < basinColumns->size()) {
        const auto& range = (*basinColumns)[static_cast<std::size_t>(r)];
        return {std::max(range.first, 1), std::min(range.last, ncols)};
    }
    return {1, ncols};
}

void verdunstungsmodellklasse::LogStep(const char* label, std::int64_t h, std::int64_t d, std::int64_t m,
                                       std::int64_t y) {
    if (runInterval > 1 && (h + static_cast<std::int64_t>(hourOffset)) % runInterval != 0) return;
    *log << std::setw(20) << label << " " << static_cast<long>(d) << "." << static_cast<long>(m) << "."
         << static_cast<long>(y) << " " << static_cast<long>(h) << ". h " << "(time of meteo data)" << "[end-entry]";
}

void verdunstungsmodellklasse::PotentialEvapotranspirationStep(std::int64_t h, std::int64_t d, std::int64_t m,
                                                               std::int64_t y) {
    if (flowControl == 0) return;
    hour = h + static_cast<std::int64_t>(timeShift);
    day = d;
    month = m;
    year = y;
    LogStep("pot. evaptranspir.", h, d, m, y);

    // Only the statistics this step writes: a reset counts a step, so the real and snow
    // evaporation statistics are reset by the operations that write them.
    for (auto* list : {&etpStats, &eipStats})
        for (auto& s : *list) s->Reset();
    for (auto* s : {&evapStats, &rgexStats, &cloudStats}) (*s)->Reset();

    StepValues v;
    PrepareStep(v);
    CellLoop(v);
    StepStatistics();
    hour = h;
}

void verdunstungsmodellklasse::ResumeSunshineDay(double shiftFraction) {
    // A run that carries "SSDTemp" from the run before starts where that run stopped: in the
    // night it holds the last day's mean; in daylight the sum of the day's steps so far, whose
    // number is that of the lit steps back to the last night step.
    ssdResumed = true;
    if (timeInterval >= 720) return;
    const double stepHours = timeInterval / 60.0;
    const int stepsPerDay = static_cast<int>(std::lround(24.0 / stepHours));
    int lit = 0;
    for (int k = 1; k <= stepsPerDay; ++k) {
        ComputeDaylightFraction(shiftFraction - k * stepHours);
        if (!(dayFraction > 0.05)) break;
        ++lit;
    }
    ssdDay = lit > 0;
    ssdCounter = lit;
}

void verdunstungsmodellklasse::PrepareStep(StepValues& v) {
    const int mon = static_cast<int>(std::clamp<std::int64_t>(month, 1, 12));
    const int dd = static_cast<int>(day);
    int doy = dd;
    for (int k = 1; k < mon; ++k) doy += daysPerMonth[static_cast<std::size_t>(k - 1)];
    v.month = mon;
    v.day = dd;
    for (const Matrix* g : {static_cast<const Matrix*>(temperature), static_cast<const Matrix*>(temperatureNight),
                            temperature14, wind, pressure, vapour, humidity, vapour14, humidity14,
                            static_cast<const Matrix*>(radiation), sunshine})
        if (g != nullptr) v.forcing[static_cast<std::size_t>(v.forcingCount++)] = g;

    // The stored hour holds the whole hours of the shift; the sun is placed with all of it.
    const double shiftFraction = timeShift - std::trunc(timeShift);
    if (ssdGiven && !ssdResumed) ResumeSunshineDay(shiftFraction);
    ComputeDaylightFraction(shiftFraction);
    v.fday = dayFraction;
    v.fnight = nightFraction;
    v.noSun = nightFlag != 0 || method == 2 || method == 4;
    const double stepHours = timeInterval / 60.0;

    if (!v.noSun && !(radiation != nullptr && sunshine != nullptr)) {
        // The daylight part in sub-steps of at most an hour; a step longer than a day keeps 24
        // sub-steps and lengthens them.
        const double daylight = stepHours * v.fday;
        v.subSteps = std::clamp(static_cast<int>(std::ceil(daylight - 0.001)), 1, kMaxSubSteps);
        v.dh = daylight / v.subSteps;
        const double start = static_cast<double>(hour) + shiftFraction + hourOffset - stepHours + darkBeforeSunrise;
        for (int k = 1; k <= v.subSteps; ++k) {
            double azimuth = 0, elevationAngle = 0;
            GetSunPosition(latitude, longitude, start + (k - 0.5) * v.dh, dd, mon, &azimuth, &elevationAngle);
            v.sunSines[static_cast<std::size_t>(k - 1)] = std::cos(pi / 2.0 - elevationAngle);
        }
    }
    v.tau = tau0 + tau1 * std::cos(2.0 * pi * ((mon - 1) * 30.5 + 10 + dd) / 365.0);

    if (timeInterval < 720) {
        if (v.fday > 0.05) {
            if (!ssdDay) {
                for (int r = firstRow; r <= lastRow; ++r) {
                    const auto [c1, c2] = ColumnRange(r);
                    for (int c = c1; c <= c2; ++c)
                        if (OwnCell(r, c)) (*ssdTemp)[r][c] = 0.0;
                }
                ssdCounter = 1;
                ssdDay = true;
            } else {
                ++ssdCounter;
            }
        } else if (ssdDay) {
            for (int r = firstRow; r <= lastRow; ++r) {
                const auto [c1, c2] = ColumnRange(r);
                for (int c = c1; c <= c2; ++c)
                    if (OwnCell(r, c)) (*ssdTemp)[r][c] = ssdCounter > 0 ? (*ssdTemp)[r][c] / ssdCounter : 0.5;
            }
            ssdDay = false;
        }
    }

    if (timeInterval > 720 && method == 1) {
        const double len = daysPerMonth[static_cast<std::size_t>(mon - 1)];
        const auto a = [&](int k) { return amplitude[static_cast<std::size_t>(k)]; };
        v.amplitude = dd <= 15 ? Interpolate(-15.5, a(mon - 1), 15.0, a(mon), dd)
                               : Interpolate(16.0, a(mon), len + 15.0, a(mon + 1), dd);
        v.shift = variability * std::cos(2.0 * pi * doy / 365.0);
    }
}

void verdunstungsmodellklasse::FillRows(const StepValues& v, int r, CellRows& rows, LayerRowStorage& storage) {
    const auto row = [r](const Matrix* g) -> const double* { return g != nullptr && g->holds(r) ? (*g)[r] : nullptr; };
    const auto own = [r](Matrix* g) -> double* { return g != nullptr && g->holds(r) ? (*g)[r] : nullptr; };
    rows.r = r;
    rows.zone = row(zoneGrid);
    rows.regions = row(mpiRegions);
    rows.master = useResponseUnits ? row(masterUnitGrid) : nullptr;
    for (int i = 0; i < v.forcingCount; ++i)
        rows.forcing[static_cast<std::size_t>(i)] = row(v.forcing[static_cast<std::size_t>(i)]);
    rows.temperature = own(temperature);
    rows.radiation = own(radiation);
    rows.ssd = own(ssdTemp);
    rows.elevation = row(elevation);
    rows.pressure = row(pressure);
    rows.vapour = row(vapour);
    rows.humidity = row(humidity);
    rows.wind = row(wind);
    rows.rse = row(rse);
    rows.landuse0 = row(landuse0);
    rows.albedo = row(albedo);
    rows.sunshine = row(sunshine);
    rows.correction = row(correctionGrid);
    rows.lake = lakeGrid != nullptr && pondGrid != nullptr ? row(lakeGrid) : nullptr;
    rows.pond = lakeGrid != nullptr && pondGrid != nullptr ? row(pondGrid) : nullptr;
    rows.correctedRadiation = own(&correctedRadiation);
    rows.cloudiness = own(&cloudiness);
    rows.potEvaporation = own(&potEvaporation);
    rows.realEvaporation = own(&realEvaporation);
    rows.snowEvaporation = own(&snowEvaporation);
    // Blocks of layers + 1 rows: etp, eip and etr; then landuse, lai, vcf, rsc, rsi and z0,
    // whose block 0 stays unused (the vegetation layers count from 1).
    const std::size_t slots = static_cast<std::size_t>(layers) + 1;
    const auto results = [&](std::size_t b, std::vector<Matrix>& grids) {
        double** out = storage.results.data() + b * slots;
        for (std::size_t k = 0; k < slots; ++k) out[k] = k < grids.size() ? own(&grids[k]) : nullptr;
        return out;
    };
    rows.etp = results(0, etp);
    rows.eip = results(1, eip);
    rows.etr = results(2, etr);
    const auto vegetation = [&](std::size_t b, const std::vector<const Matrix*>& grids) {
        const double** out = storage.vegetation.data() + b * slots;
        out[0] = nullptr;
        for (std::size_t k = 1; k < slots; ++k) out[k] = k < grids.size() ? row(grids[k]) : nullptr;
        return out;
    };
    rows.landuse = vegetation(0, landuse);
    rows.lai = vegetation(1, lai);
    rows.vcf = vegetation(2, vcf);
    rows.rsc = vegetation(3, rsc);
    rows.rsi = vegetation(4, rsi);
    rows.z0 = vegetation(5, z0);
}

void verdunstungsmodellklasse::CellLoop(const StepValues& v) {
    const int first = firstRow, last = lastRow;
#pragma omp parallel if (WorthThreads(first, last, ncols))
    {
        // Each thread's rows of the grids: looked up once per row instead of once per cell.
        LayerRowStorage storage;
        storage.results.resize(3 * (static_cast<std::size_t>(layers) + 1));
        storage.vegetation.resize(6 * (static_cast<std::size_t>(layers) + 1));
        evaporation::LayerMemo memo;
        CellRows rows;
        rows.memo = &memo;
#pragma omp for schedule(runtime)
        for (int r = first; r <= last; ++r) {
            FillRows(v, r, rows, storage);
            const auto [c1, c2] = ColumnRange(r);
            for (int c = c1; c <= c2; ++c) Cell(v, rows, c);
        }
    }
}

void verdunstungsmodellklasse::Cell(const StepValues& v, const CellRows& rows, int c) {
    const int r = rows.r;
    const bool own =
        rows.zone != nullptr && rows.zone[c] != nodata && (rows.regions == nullptr || rows.regions[c] == rank);
    if (!own || (useResponseUnits && rows.master[c] == nodata)) {
        for (int i = 0; i <= layers; ++i) {
            rows.etp[i][c] = nodata;
            rows.eip[i][c] = nodata;
        }
        return;
    }
    if (ForcingMissing(v, rows, c)) {
        for (int i = 0; i <= layers; ++i) {
            rows.etp[i][c] = rows.eip[i][c] = 0.0;
            if (method == 1 || i <= 1) rows.etr[i][c] = 0.0;
        }
        rows.potEvaporation[c] = rows.realEvaporation[c] = rows.snowEvaporation[c] = 0.0;
        rows.correctedRadiation[c] = 0.0;
        rows.cloudiness[c] = 0.5;
        return;
    }
    const double T = rows.temperature != nullptr ? rows.temperature[c] : 0.0;
    double s = 0, rel = 0, netShortwave = 0;
    KnownPressure known;
    Radiation(v, rows, c, T, &s, &rel, &netShortwave, &known);
    rows.potEvaporation[c] = 0.0;
    rows.realEvaporation[c] = 0.0;
    rows.snowEvaporation[c] = 0.0;

    if (method != 1) {
        EmpiricalCell(v, r, c, T, OpenWater(rows, c));
        return;
    }
    if (temperatureNight != nullptr) {
        // The day and night temperatures of a long step, from the temperature the step found
        // fresh in the grids (a grid that still holds what the last step wrote was not renewed).
        const double ac = v.amplitude * std::exp(-(*elevation)[r][c] / scaleHeight) * rel;
        if ((*temperature)[r][c] != dayWritten[r][c]) dayBase[r][c] = (*temperature)[r][c];
        if ((*temperatureNight)[r][c] != nightWritten[r][c]) nightBase[r][c] = (*temperatureNight)[r][c];
        (*temperature)[r][c] = dayBase[r][c] + (fd + v.shift) * ac;
        (*temperatureNight)[r][c] = nightBase[r][c] - (fn - v.shift) * ac;
        dayWritten[r][c] = (*temperature)[r][c];
        nightWritten[r][c] = (*temperatureNight)[r][c];
    }
    PenmanMonteithCell(v, rows, c, s, netShortwave, known);
}

bool verdunstungsmodellklasse::ForcingMissing(const StepValues& v, const CellRows& rows, int c) const {
    for (int i = 0; i < v.forcingCount; ++i)
        if (NoData(rows.forcing[static_cast<std::size_t>(i)][c], nodata)) return true;
    return false;
}

void verdunstungsmodellklasse::Radiation(const StepValues& v, const CellRows& rows, int c, double T, double* sOut,
                                         double* rOut, double* netShortwave, KnownPressure* known) {
    if (v.noSun) {
        rows.correctedRadiation[c] = 0.0;
        rows.cloudiness[c] = 0.5;
        *sOut = rows.ssd[c];
        *rOut = 0.0;
        *netShortwave = 0.0;
        return;
    }
    double s = 0, rel = 0, r0 = 0;
    const bool middleTooLow =
        v.subSteps < 1 || !(v.sunSines[static_cast<std::size_t>(v.subSteps / 2)] > 0.017);
    if ((radiation != nullptr && sunshine != nullptr) || middleTooLow) {
        if (sunshine != nullptr) {
            s = rows.sunshine[c];
            rel = evaporation::RadiationFromSunshine(radCoeff, s);
        }
    } else {
        const double p = pressure != nullptr ? rows.pressure[c] : evaporation::BarometricPressure(rows.elevation[c], T);
        *known = KnownPressure{true, T, p};
        r0 = evaporation::ClearSkyRadiation(std::span<const double>(v.sunSines.data(), v.subSteps), v.dh, v.tau, p);
        if (radiation != nullptr) {
            rel = r0 > 0 ? std::clamp(rows.radiation[c] / r0, 0.0, 1.0) : 0.0;
            s = evaporation::SunshineFromRadiation(cs, x0, rel);
        } else if (sunshine != nullptr) {
            s = rows.sunshine[c];
            rel = evaporation::RadiationFromSunshine(radCoeff, s);
        }
    }
    double rg;
    const double f = correctionGrid != nullptr ? rows.correction[c] : 1.0;
    if (radiation == nullptr) {
        const double sunshinePart = radCoeff[1] * s + radCoeff[2] * s * s + radCoeff[3] * s * s * s;
        rg = correctionGrid == nullptr ? r0 * rel : r0 * (radCoeff[0] + f * sunshinePart);
    } else {
        rg = rows.radiation[c];
        if (correctionGrid != nullptr) {
            rg *= (1.0 - radCoeff[0]) * s * (f - 1.0) + 1.0;
            rows.radiation[c] = rg;
        }
    }
    rows.ssd[c] += s;
    rg = std::min(rg, 1260.0 * timeInterval / 60.0 * v.fday);
    const double a = OpenWater(rows, c) ? albedoOpenWater : (albedo != nullptr ? rows.albedo[c] : 0.0);
    rows.correctedRadiation[c] = rg;
    rows.cloudiness[c] = evaporation::Cloudiness(rel);
    *sOut = s;
    *rOut = rel;
    *netShortwave = (1.0 - a) * rg;
}

void verdunstungsmodellklasse::PenmanMonteithCell(const StepValues& v, const CellRows& rows, int c, double s,
                                                  double netShortwave, const KnownPressure& known) {
    const double Tday = rows.temperature[c];
    const double Tnight = temperatureNight != nullptr ? (*temperatureNight)[rows.r][c] : Tday;
    double& etp0 = rows.etp[0][c];
    double& eip0 = rows.eip[0][c];
    etp0 = 0.0;
    eip0 = 0.0;
    rows.etr[0][c] = 0.0;
    // Layers without vegetation data (an empty middle layer of a multilayer entry) are skipped:
    // the first valid layer is the top, the last valid one the lowest.
    int top = 0, lowest = 0;
    for (int i = 1; i <= layers; ++i) {
        if (rows.landuse[i][c] == nodata || rows.lai[i][c] == nodata) continue;
        if (top == 0) top = i;
        lowest = i;
    }
    // The parts of the step are the same for every layer: taken once, and only for a cell with
    // a valid layer.
    const bool nightPart = top != 0 && v.fnight >= 0.01, dayPart = top != 0 && v.fday >= 0.01;
    PartTerms night, day;
    if (nightPart) night = Part(rows, c, Tnight, known);
    // A step with both parts and one temperature (no night grid) takes the same terms twice.
    if (dayPart)
        day = nightPart && std::bit_cast<std::uint64_t>(Tday) == std::bit_cast<std::uint64_t>(Tnight)
                  ? night
                  : Part(rows, c, Tday, known);
    LayerRunning running;
    double laiAbove = 0, previousLai = 0;
    double potential = 0;
    for (int i = 1; i <= layers; ++i) {
        rows.etr[i][c] = 0.0;
        if (rows.landuse[i][c] == nodata || rows.lai[i][c] == nodata) {
            rows.etp[i][c] = 0.0;
            rows.eip[i][c] = 0.0;
            continue;
        }
        if (i > top) laiAbove += previousLai;
        previousLai = rows.lai[i][c];
        double soilNight = 0, interNight = 0, soilDay = 0, interDay = 0, nightValue = 0, dayValue = 0;
        LayerInput in = LayerInputOf(i, rows, c, s, netShortwave, laiAbove, i == lowest, i == top);
        if (nightPart)
            nightValue = PenmanMonteithPart(in, Tnight, v.fnight, false, night, running, *rows.memo, &soilNight,
                                            &interNight);
        if (dayPart)
            dayValue = PenmanMonteithPart(in, Tday, v.fday, true, day, running, *rows.memo, &soilDay, &interDay);
        rows.etp[i][c] = std::max(0.0, nightValue + dayValue);
        rows.eip[i][c] = std::max(0.0, interNight + interDay);
        potential += soilNight + soilDay;
        etp0 += rows.etp[i][c];
        eip0 += rows.eip[i][c];
    }
    rows.potEvaporation[c] = potential;
    etp0 += potential;
}

verdunstungsmodellklasse::PartTerms verdunstungsmodellklasse::Part(const CellRows& rows, int c, double T,
                                                                    const KnownPressure& known) const {
    PartTerms terms;
    // The pressure the radiation took at the same temperature is the one computed here.
    if (pressure != nullptr)
        terms.pressure = rows.pressure[c];
    else if (known.known && known.T == T)
        terms.pressure = known.p;
    else
        terms.pressure = evaporation::BarometricPressure(rows.elevation[c], T);
    terms.air = evaporation::Air(T, terms.pressure);
    terms.vapour = vapour != nullptr ? rows.vapour[c] : rows.humidity[c] * terms.air.saturation;
    return terms;
}

LayerInput verdunstungsmodellklasse::LayerInputOf(int layer, const CellRows& rows, int col, double sunshineValue,
                                                  double netShortwave, double laiAbove, bool lowest, bool top) const {
    LayerInput in;
    in.top = top;
    in.lowest = lowest;
    in.lai = rows.lai[layer][col];
    in.vcf = rows.vcf[layer][col];
    in.rsc = rows.rsc[layer][col];
    in.rsi = rows.rsi[layer][col];
    in.z0 = rows.z0[layer][col];
    in.rse = rows.rse[col];
    if (lowest && OpenWater(rows, col)) {
        in.openWater = true;
        in.lai = in.vcf = in.rsc = 0.0;
        in.z0 = z0OpenWater;
    }
    in.wind = rows.wind[col];
    in.stepMinutes = timeInterval;
    in.c0 = radCoeff[0];
    in.sunshine = sunshineValue;
    in.netShortwave = netShortwave;
    in.netRadiationGiven = netRadiation && radiation != nullptr;
    in.netRadiation = in.netRadiationGiven ? rows.radiation[col] : 0.0;
    if (landuse0 != nullptr) {
        const double position = rows.landuse0[col];
        if (position >= 1 && position < static_cast<double>(extinction.size())) {
            in.extinction = extinction[static_cast<std::size_t>(position)];
            in.laiScale = laiScale[static_cast<std::size_t>(position)];
        }
    }
    in.laiAbove = laiAbove;
    return in;
}

double verdunstungsmodellklasse::PenmanMonteithPart(LayerInput& in, double T, double fraction, bool daytime,
                                                    const PartTerms& terms, LayerRunning& running,
                                                    evaporation::LayerMemo& memo, double* soil,
                                                    double* interception) {
    in.T = T;
    in.fraction = fraction;
    in.daytime = daytime;
    in.pressure = terms.pressure;
    in.vapour = terms.vapour;
    const LayerResult out = evaporation::PenmanMonteithLayer(in, terms.air, running, memo);
    *soil = out.soil;
    *interception = out.interception;
    return out.transpiration;
}

void verdunstungsmodellklasse::EmpiricalCell(const StepValues& v, int r, int c, double T, bool openWater) {
    double e = 0;
    const int mon = v.month;
    if (method == 2) {
        const double len = daysPerMonth[static_cast<std::size_t>(mon - 1)];
        const auto p = [&](int k) { return pec[static_cast<std::size_t>(k)]; };
        const double f = v.day < 16 ? Interpolate(-15.0, p(mon - 1), 15.0, p(mon), v.day)
                                    : Interpolate(16.0, p(mon), len + 16.0, p(mon + 1), v.day);
        e = evaporation::Hamon(T, f, v.fday);
    } else if (method == 3) {
        // Open water reflects with its own albedo, as the radiation balance of the other methods.
        e = evaporation::Wendling(correctedRadiation[r][c], openWater ? albedoOpenWater : (*albedo)[r][c], fk, T);
    } else if (method == 4) {
        const bool hasHumidity = humidity14 != nullptr;
        e = evaporation::Haude((*temperature14)[r][c], hasHumidity, hasHumidity ? (*humidity14)[r][c] : 0.0,
                               vapour14 != nullptr ? (*vapour14)[r][c] : 0.0, fh[static_cast<std::size_t>(mon)]);
    }
    etp[0][r][c] = eip[0][r][c] = e;
    etp[1][r][c] = eip[1][r][c] = e;
    etr[0][r][c] = etr[1][r][c] = 0.0;
}

bool verdunstungsmodellklasse::ThreadedStatistics() const {
    // A cell of a response unit takes its master's values in the pass: that stays serial.
    return !useResponseUnits && omp_get_max_threads() > 1 && WorthThreads(firstRow, lastRow, ncols);
}

void verdunstungsmodellklasse::SizeCellZones() {
    cellZones.resize(static_cast<std::size_t>(std::max(lastRow - firstRow + 1, 0)) *
                     (static_cast<std::size_t>(ncols) + 1));
}

void verdunstungsmodellklasse::FillRowZones(int r) {
    const auto [c1, c2] = ColumnRange(r);
    const double* zones = (*zoneGrid)[r];
    const double* regions = mpiRegions != nullptr ? (*mpiRegions)[r] : nullptr;
    int* zoneOf = cellZones.data() + static_cast<std::size_t>(r - firstRow) * (static_cast<std::size_t>(ncols) + 1);
    for (int c = c1; c <= c2; ++c)
        zoneOf[c] = zones[c] == nodata || (regions != nullptr && regions[c] != rank) ? -1 : ZoneOf(r, c);
}

void verdunstungsmodellklasse::ThreadedZones() {
    // The zones stay from step to step: found at the first step.
    if (cellZonesFound) return;
    SizeCellZones();
#pragma omp parallel for schedule(runtime)
    for (int r = firstRow; r <= lastRow; ++r)
        if (zoneGrid != nullptr && zoneGrid->holds(r)) FillRowZones(r);
    cellZonesFound = true;
}

ZoneGroupTasks::RowZones verdunstungsmodellklasse::ZonesOfRow(int r) const {
    // A row the zone grid does not hold has no own cell.
    if (zoneGrid == nullptr || !zoneGrid->holds(r)) return {};
    const auto [c1, c2] = ColumnRange(r);
    return {cellZones.data() + static_cast<std::size_t>(r - firstRow) * (static_cast<std::size_t>(ncols) + 1), c1, c2};
}

void verdunstungsmodellklasse::StepStatistics() {
    bool anyStatistic = evapStats->active() || rgexStats->active() || cloudStats->active();
    for (const auto* list : {&etpStats, &eipStats})
        for (const auto& s : *list) anyStatistic = anyStatistic || s->active();
    // Without statistics and response units the serial pass over the cells has nothing to do.
    if (anyStatistic || useResponseUnits) {
        // The active statistics with the grids they take (a vegetation layer's value counts as 0
        // where its land use is missing). Per row the own cells' zones first (a cell of a
        // response unit takes its master's values there), then each statistic adds the row's
        // cells in column order: each record gets the same additions in the same order as when
        // every cell added to every statistic in turn.
        struct Taken {
            const zonalstatistic* statistic;
            const Matrix* grid;
            const Matrix* landuse;
        };
        std::vector<Taken> taken;
        const auto take = [&](const zonalstatistic& statistic, const Matrix& grid, const Matrix* landuseGrid) {
            if (statistic.active()) taken.push_back(Taken{&statistic, &grid, landuseGrid});
        };
        for (int i = 0; i <= layers; ++i) {
            const std::size_t k = static_cast<std::size_t>(i);
            if (i > 0 && method != 1) break;
            const Matrix* layerLanduse = i > 0 ? landuse[k] : nullptr;
            take(*etpStats[k], etp[k], layerLanduse);
            take(*eipStats[k], eip[k], layerLanduse);
        }
        take(*evapStats, potEvaporation, nullptr);
        take(*rgexStats, correctedRadiation, nullptr);
        take(*cloudStats, cloudiness, nullptr);
        const double nd = nodata;
        if (ThreadedStatistics()) {
            // The zones of every own cell first, then one task per statistic and group of zones.
            const bool zonesAsBefore = cellZonesFound;
            ThreadedZones();
            std::vector<const zonalstatistic*> statistics;
            for (const Taken& t : taken) statistics.push_back(t.statistic);
            zoneTasks.Run(statistics, firstRow, lastRow, [&](int r) { return ZonesOfRow(r); },
                          [&](int s, int r) {
                              const Taken& t = taken[static_cast<std::size_t>(s)];
                              const double* values = (*t.grid)[r];
                              const double* landuseRow = t.landuse != nullptr ? (*t.landuse)[r] : nullptr;
                              return [=](int c, auto&& to) {
                                  to(landuseRow != nullptr && landuseRow[c] == nd ? 0.0 : values[c], 1.0);
                              };
                          },
                          zonesAsBefore);
        } else {
            rowZones.resize(static_cast<std::size_t>(ncols) + 1);
            int* zoneOf = rowZones.data();
            for (int r = firstRow; r <= lastRow; ++r) {
                // A row the zone grid does not hold has no own cell.
                if (zoneGrid == nullptr || !zoneGrid->holds(r)) continue;
                const auto [c1, c2] = ColumnRange(r);
                const double* zones = (*zoneGrid)[r];
                const double* regions = mpiRegions != nullptr ? (*mpiRegions)[r] : nullptr;
                for (int c = c1; c <= c2; ++c) {
                    if (zones[c] == nodata || (regions != nullptr && regions[c] != rank)) {
                        zoneOf[c] = -1;
                        continue;
                    }
                    int mr = 0, mc = 0;
                    if (useResponseUnits && !MasterCell(r, c) && MasterOf(r, c, &mr, &mc)) {
                        TakePotentialOfMaster(r, c, mr, mc);
                        correctedRadiation[r][c] = correctedRadiation[mr][mc];
                        cloudiness[r][c] = cloudiness[mr][mc];
                    }
                    zoneOf[c] = ZoneOf(r, c);
                }
                for (const Taken& t : taken) {
                    const double* values = (*t.grid)[r];
                    const double* landuseRow = t.landuse != nullptr ? (*t.landuse)[r] : nullptr;
                    const zonalstatistic::RowAdder add = t.statistic->Row(r);
                    if (landuseRow != nullptr)
                        add.AddCells(c1, c2, zoneOf,
                                     [&](int c, auto&& to) { to(landuseRow[c] == nd ? 0.0 : values[c], 1.0); });
                    else
                        add.AddCells(c1, c2, zoneOf, [&](int c, auto&& to) { to(values[c], 1.0); });
                }
            }
        }
    }
    ReduceTogether({&etpStats, &eipStats}, {evapStats.get(), rgexStats.get(), cloudStats.get()});
    for (int i = 0; i <= layers; ++i) {
        const std::size_t k = static_cast<std::size_t>(i);
        etpStats[k]->StepReduced(year, month, day, hour);
        eipStats[k]->StepReduced(year, month, day, hour);
        WriteStatisticGrids(etpIndex[k], true, false);
        WriteStatisticGrids(eipIndex[k], true, false);
    }
    evapStats->StepReduced(year, month, day, hour);
    WriteStatisticGrids(potEvaporationIndex, true, false);
    rgexStats->StepReduced(year, month, day, hour);
    cloudStats->StepReduced(year, month, day, hour);
}

void verdunstungsmodellklasse::ReduceTogether(
    std::initializer_list<const std::vector<std::unique_ptr<zonalstatistic>>*> lists,
    std::initializer_list<const zonalstatistic*> single) {
    // At most the layers' statistics of two kinds and three single ones; an inactive statistic
    // has nothing to reduce.
    std::vector<zoneFZT*> records;
    std::vector<int> highest;
    const auto add = [&](const zonalstatistic* s) {
        if (s == nullptr || !s->active()) return;
        records.push_back(s->records());
        highest.push_back(s->zoneCount());
    };
    for (const auto* list : lists)
        for (const auto& s : *list) add(s.get());
    for (const auto* s : single) add(s);
    ReduceZoneRecordSets(records, highest, true);
}
