// Glacier part of the snow model's step: snow, firn and ice melt of glacierized cells, the
// permafrost thaw depth, snow slides on process 0, the glacier statistics with the mass
// balance, the glacier runoff storages of the subbasins and the yearly glacier step.
#include <mpi.h>

#include <algorithm>
#include <cmath>
#include <iostream>
#include <iterator>
#include <utility>

#include "kernel/mpirows.hpp"
#include "kernel/zonerecord.hpp"
#include "surface/glacier_slides.hpp"
#include "surface/snowmod.hpp"

namespace {

glacier::MeltParameters MeltOf(const schneemodellklasse& s) {
    glacier::MeltParameters p;
    p.method = s.glacierMethod;
    p.T0 = s.T0;
    p.DDFice = s.DDFice;
    p.DDFfirn = s.DDFfirn;
    p.DDFsnow = s.DDFsnow;
    p.MF = s.MF;
    p.debrisScale = s.debrisScale;
    p.stepsPerDay = s.stepsPerDay;
    return p;
}

}  // namespace

// ------------------------------------------------------------------ cells

void schneemodellklasse::GlacierSnowOfCell(int r, int c, double P, double T) {
    double& S = solid.data[r][c];
    double& L = liquid.data[r][c];
    const double part = snow::SnowPart(T, T0R, transzone);
    snowFraction.data[r][c] = part * P;
    rainFraction.data[r][c] = (1 - part) * P;
    S += part * P;
    L += (1 - part) * P;
    const bool glacierSnow = HasGlacierSnowGrids();
    if (glacierSnow) {
        solidG.data[r][c] += part * P;
        liquidG.data[r][c] += (1 - part) * P;
    }
    const double R = glacierRadiation != nullptr ? (*glacierRadiation)[r][c] : 0.0;
    const double M = glacier::SnowMelt(MeltOf(*this), T, stepSnowFactor, R);
    double m = 0;
    if (T > T0 && S + L > 0) {
        m = std::min(M, S);
        L += m;
        S -= m;
        HoldLiquid(S, L, outflow.data[r][c]);
        if (m > 0) meltOnly.data[r][c] = outflow.data[r][c];
    }
    // Without glacier snow grids (methods 1 and 2, whose glacier cells are whole) the cell's
    // snow stands for the glacier's snow.
    double mg = m;
    if (glacierSnow) {
        double& SG = solidG.data[r][c];
        double& LG = liquidG.data[r][c];
        mg = 0;
        if (T > T0 && SG + LG > 0) {
            mg = std::min(M, SG);
            LG += mg;
            SG -= mg;
            HoldLiquid(SG, LG, meltG.data[r][c]);
        }
    }
    FirnAndIceOfCell(r, c, T, mg);
}

void schneemodellklasse::FirnAndIceOfCell(int r, int c, double T, double ms) {
    const double SG = HasGlacierSnowGrids() ? solidG.data[r][c] : solid.data[r][c];
    if (!(T > T0) || SG > 0) return;
    const double f = debris != nullptr && (*debris)[r][c] > nodata + 1 ? (*debris)[r][c] : 1.0;
    const double R = glacierRadiation != nullptr ? (*glacierRadiation)[r][c] : 0.0;
    const glacier::MeltParameters p = MeltOf(*this);
    const double ice = glacier::IceMeltRate(p, T, stepIceFactor, R, f) - ms;
    const double firnMelt = glacier::FirnMeltRate(p, T, stepSnowFactor, R) - ms;
    if (!glacier::IsDynamic(glacierMethod)) {
        const double code = (*glacierFraction)[r][c];
        if (code == 1 && ice > 0) meltIce.data[r][c] = ice;
        if (code == 2 && firnMelt > 0) meltFirn.data[r][c] += firnMelt;
        return;
    }
    double& total = firn.data[r][c];
    if (!(total > 0)) {
        if (ice > 0) meltIce.data[r][c] = ice;
        return;
    }
    if (firnMelt <= 0) return;
    // The firn gives what its levels hold, youngest first; the rest melts from the ice.
    double* levels = firnStack[r][c];
    const double rest = glacier::MeltFirn({levels, static_cast<std::size_t>(firn_levels) + 1}, firnMelt, nodata);
    meltFirn.data[r][c] += firnMelt - rest;
    meltIce.data[r][c] += rest;
    total = levels[0];
}

void schneemodellklasse::PermafrostOfCell(int r, int c) {
    glacier::PermafrostCell cell{(*snowFreeDays)[r][c], (*snowCoverDays)[r][c], (*thawDepth)[r][c]};
    const glacier::PermafrostParameters p{minSnowAgeRefreeze, maxSweSnowFree, stepsPerDay};
    glacier::PermafrostStep(p, solid.data[r][c] + liquid.data[r][c], (*thawCoefficient)[r][c], cell);
    (*snowFreeDays)[r][c] = cell.snowFreeDays;
    (*snowCoverDays)[r][c] = cell.snowCoverDays;
    (*thawDepth)[r][c] = cell.thawDepth;
    if (rootDepth1->holds(r)) (*rootDepth1)[r][c] = std::min((*rootDepth1)[r][c], cell.thawDepth);
}

void schneemodellklasse::CopyGlacierStates(int r, int c, int mr, int mc) {
    if (glacierMethod == 0) return;
    meltFirn.data[r][c] = meltFirn.data[mr][mc];
    meltIce.data[r][c] = meltIce.data[mr][mc];
    if (!glacier::IsDynamic(glacierMethod)) return;
    for (int l = 0; l <= firn_levels; ++l) firnStack[r][c][l] = firnStack[mr][mc][l];
    for (OwnGrid* g : {&firn, &massBalance, &oldMassBalance, &solidG, &liquidG, &totalG, &meltG, &surfTempG,
                       &snowTempG, &evaporationG})
        if (g->index > 0) g->data[r][c] = g->data[mr][mc];
}

// ------------------------------------------------------------------ statistics and runoff

void schneemodellklasse::AddGlacierStatistics(int r, int c) {
    const int zone = RankedZone(r, c);
    if (zone < 0) return;
    const long code = static_cast<long>(std::floor((*zoneGrid)[r][c] + 0.5));
    const int snowZone = zoneIndex != nullptr && code >= 0 && code < static_cast<long>(zoneIndex->size())
                             ? (*zoneIndex)[static_cast<std::size_t>(code)]
                             : -1;
    // The runoff inputs are summed as the statistics do, whether their outputs are written or
    // not: the cell's values are kept for the sums in row-major order (SumGlacierInputs).
    const double a =
        relCellArea != nullptr && relCellArea->holds(r) && (*relCellArea)[r][c] > nodata ? (*relCellArea)[r][c] : 1.0;
    auto keep = [&](double share, double ice, double firnMelt, double snowMelt) {
        const double cell = static_cast<double>(r - 1) * ncols + (c - 1);
        for (double v : {cell, static_cast<double>(zone), a, share, ice, firnMelt, snowMelt})
            glacierInputCells.push_back(v);
    };
    auto both = [&](StatOutput& out, double value, double weight) {
        out.stat->AddValue(r, c, zone, value, weight);
    };
    const double g = std::clamp((*glacierFraction)[r][c], 0.0, 1.0);
    if (snowZone >= 0) {
        const double snowStore = solid.data[r][c] + liquid.data[r][c];
        statSnowWithoutGlaciers.stat->AddValue(r, c, snowZone, snowStore, 1 - g);
        statSnowWithoutGlaciers.stat->AddValue(r, c, snowZone, 0, g);
    }
    const bool dynamic = glacier::IsDynamic(glacierMethod);
    if (g <= 0) {
        keep(1, 0, 0, 0);
        both(statFirnMelt, 0, 1);
        both(statIceMelt, 0, 1);
        both(statSnowOnIce, 0, 1);
        if (dynamic) {
            statFirnWE.stat->AddValue(r, c, zone, 0, 1);
            statBalanceSubbasin.stat->AddValue(r, c, zone, 0, 1);
        }
        return;
    }
    const double F = firn.index > 0 && firn.data[r][c] > 0 ? 1.0 : 0.0;
    const double sm = meltG.index > 0 ? meltG.data[r][c] : 0.0;
    keep(g, meltIce.data[r][c], meltFirn.data[r][c] + F * sm, (1 - F) * sm);
    both(statFirnMelt, meltFirn.data[r][c] + F * sm, g);
    both(statFirnMelt, 0, 1 - g);
    both(statIceMelt, meltIce.data[r][c], g);
    both(statIceMelt, 0, 1 - g);
    both(statSnowOnIce, (1 - F) * sm, g);
    both(statSnowOnIce, 0, 1 - g);
    if (!dynamic) return;
    double& mb = massBalance.data[r][c];
    mb += snowFraction.data[r][c] + rainFraction.data[r][c] - sm - meltFirn.data[r][c] - meltIce.data[r][c];
    if (inputMass.index > 0) mb += deposition.data[r][c] + mobileMass.data[r][c] - inputMass.data[r][c];
    if (evaporationG.index > 0) mb -= evaporationG.data[r][c];
    statFirnWE.stat->AddValue(r, c, zone, firn.data[r][c], g);
    statFirnWE.stat->AddValue(r, c, zone, 0, 1 - g);
    statBalanceSubbasin.stat->AddValue(r, c, zone, mb, g);
    statBalanceSubbasin.stat->AddValue(r, c, zone, 0, 1 - g);
    statBalanceGlacier.stat->AddValue(r, c, zone, mb, g);
}

void schneemodellklasse::SumGlacierInputs() {
    const std::size_t k = kGlacierInputFields;
    const std::vector<double> all = mpirows::GatherLists(glacierInputCells);
    if (rank != 0) return;
    // The cells in row-major order, whichever process held them.
    std::vector<std::size_t> order(all.size() / k);
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) { return all[x * k] < all[y * k]; });
    for (std::vector<zoneFZT>* rec : {&iceInput, &firnInput, &snowInput})
        for (zoneFZT& z : *rec) z.n = z.sx = z.RelCellSum = 0;
    // A cell adds its glacier part (weight g) and then its free part (weight 1 - g, value 0).
    auto add = [](zoneFZT& z, double value, double a, double weight) {
        z.n += weight;
        z.RelCellSum += a * weight;
        z.sx += value * a * weight;
    };
    for (std::size_t i : order) {
        const double* v = &all[i * k];
        const std::size_t zone = static_cast<std::size_t>(v[1]);
        const double a = v[2], g = v[3];
        std::vector<zoneFZT>* records[3] = {&iceInput, &firnInput, &snowInput};
        for (int j = 0; j < 3; ++j) {
            zoneFZT& z = (*records[j])[zone];
            add(z, v[4 + j], a, g);
            add(z, 0, a, 1 - g);
        }
    }
}

void schneemodellklasse::RouteGlacierRunoff() {
    const int n = soilZones.zoneCount;
    SumGlacierInputs();
    if (rank != 0) return;
    auto mean = [](const zoneFZT& z) { return z.RelCellSum != 0 ? z.sx / z.RelCellSum : 0.0; };
    const glacier::Triple k{kice_els, kfirn_els, ksnow_els};
    for (int i = 1; i <= n; ++i) {
        const std::size_t u = static_cast<std::size_t>(i);
        zoneFZT& out = statGlacierTotal.records[u];
        out.n = iceInput[u].n;
        out.RelCellSum = iceInput[u].RelCellSum;
        const GlacierSubbasinRecord& t = glacierTable[u];
        if (!t.hasGlacier) {
            out.sx = 0;
            continue;
        }
        const double all = t.freeCells + t.glacierCells;
        const double phi = all > 0 ? t.glacierCells / all : 0.0;
        glacier::Triple q{Qice_slr[u], Qfirn_slr[u], Qsnow_slr[u]};
        const glacier::Triple in{mean(iceInput[u]), mean(firnInput[u]), mean(snowInput[u])};
        out.sx = glacier::RouteSubbasin(q, k, in, phi) * out.n;
        Qice_slr[u] = q.ice;
        Qfirn_slr[u] = q.firn;
        Qsnow_slr[u] = q.snow;
        if (Qg != nullptr && !Qg->empty() && u < (*Qg)[0].size())
            (*Qg)[0][u] = out.RelCellSum != 0 ? out.sx / out.RelCellSum : 0.0;
    }
}

// ------------------------------------------------------------------ slides

void schneemodellklasse::Slides() {
    const bool glacierSnow = HasGlacierSnowGrids();
    const glacier::SlideParameters parameters{minSlideSlope, slideMassFrac};
    glacier::SlideGrids s;
    s.orderRow = &elevOrderRow.data;
    s.orderCol = &elevOrderCol.data;
    for (int d = 1; d <= 4; ++d) s.fraction[d] = slideFractionWhole[d].empty() ? slideFraction[d] : &slideFractionWhole[d];
    s.maxDeposition = maxDepositionGrid;
    if (glacierSnow) {
        s.TG = &totalG.data;
        s.LG = &liquidG.data;
        s.SG = &solidG.data;
    }
    s.T = &total.data;
    s.L = &liquid.data;
    s.S = &solid.data;
    s.input = &inputMass.data;
    s.mobile = &mobileMass.data;
    s.deposition = &deposition.data;
    s.nrows = nrows;
    s.ncols = ncols;
    s.nodata = nodata;

    // Mostly no cell releases snow: then nothing moves, and every process settles its own cells
    // as the pass would, with nothing gathered or scattered.
    s.zone = zoneGrid;
    s.slope = slopeAngle;
    s.glacierFraction = glacierSnow ? glacierFraction : nullptr;
    // One process (or processes without strip tables) runs the pass: it costs about what settling
    // does. With several, the first step prepares the moving (process 0's strips of the owners,
    // the owners' cells) and moves like any other; the steps then visit the listed own cells in
    // row order instead of searching the own rows for them.
    const bool onePass = !mpirows::Distributed(*this);
    if (!onePass && !slidesStarted_) PrepareSlides(s);
    slidesStarted_ = true;
    std::vector<std::pair<int, int>>& releasing = slideReleasing_;
    releasing.clear();
    if (!onePass)
        for (const auto& [r, c] : ownSlideCells_)
            if (glacier::ReleasesSnow(s, parameters, r, c)) releasing.emplace_back(r, c);
    // Any release; process 0 without a usable elevation order (the whole pass then).
    int flags[2] = {onePass || !releasing.empty() ? 1 : 0, rank == 0 && !onePass && !slideOrder_.usable ? 1 : 0};
    if (size > 1) MPI_Allreduce(MPI_IN_PLACE, flags, 2, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
    if (flags[0] == 0) {
        for (const auto& [r, c] : ownSlideCells_) glacier::SettleCell(s, r, c);
        return;
    }
    if (!onePass && flags[1] == 0) {
        MoveReleasedSnow(s, parameters, releasing);
        return;
    }

    // The pass on process 0 over the whole basin. The solid storages come along: process 0
    // rewrites them for every cell it changes.
    for (OwnGrid* g : {&total, &liquid, &solid}) MPIGatherGrid(g->index);
    if (glacierSnow)
        for (OwnGrid* g : {&totalG, &liquidG, &solidG}) MPIGatherGrid(g->index);
    if (rank == 0) {
        s.zone = &WholeZones();
        s.slope = slopeWhole.empty() ? slopeAngle : &slopeWhole;
        if (glacierSnow) s.glacierFraction = &FractionView();
        if (!slideOrder_.usable) slideOrder_ = glacier::MakeSlideOrder(s);
        glacier::SlidePass(s, parameters, slideOrder_);
        slideMoved_.clear();
        slideClearAll_ = true;
    }
    for (OwnGrid* g : {&total, &liquid, &solid}) MPIScatterGrid(g->index);
    if (glacierSnow)
        for (OwnGrid* g : {&totalG, &liquidG, &solidG}) MPIScatterGrid(g->index);
    for (OwnGrid* g : {&inputMass, &mobileMass, &deposition}) MPIScatterGrid(g->index);
}

void schneemodellklasse::PrepareSlides(glacier::SlideGrids& s) {
    // Collective: every process is here together.
    std::vector<mpirows::OwnedStrip> strips = mpirows::AllStrips(*this);
    if (rank == 0) {
        slideStrips_ = std::move(strips);
    } else {
        // The cells of the own strips outside the zones hold no slide values, as a pass over the
        // whole grid leaves them (process 0 clears its whole grids at every move).
        for (const mpirows::OwnedStrip& strip : strips) {
            if (strip.owner != rank || !zoneGrid->holds(strip.row)) continue;
            for (int c = strip.col; c < strip.col + strip.len; ++c)
                if ((*zoneGrid)[strip.row][c] == nodata)
                    (*s.input)[strip.row][c] = (*s.mobile)[strip.row][c] = (*s.deposition)[strip.row][c] = nodata;
        }
    }
    for (int r = firstRow; r <= lastRow; ++r) {
        if (!zoneGrid->holds(r)) continue;
        for (int c = 1; c <= ncols; ++c)
            if (OwnCell(r, c)) ownSlideCells_.emplace_back(r, c);
    }
}

int schneemodellklasse::SlideOwner(int r, int c) const {
    // The strips lie in row order, columns ascending within a row, one after the other: the
    // cell's strip is the last one starting at or before it, if it reaches the cell.
    const auto after = std::upper_bound(slideStrips_.begin(), slideStrips_.end(), std::pair<int, int>(r, c),
                                        [](const std::pair<int, int>& cell, const mpirows::OwnedStrip& strip) {
                                            return cell < std::pair<int, int>(strip.row, strip.col);
                                        });
    if (after == slideStrips_.begin()) return -1;
    const mpirows::OwnedStrip& strip = *std::prev(after);
    return strip.row == r && c < strip.col + strip.len ? strip.owner : -1;
}

void schneemodellklasse::MoveReleasedSnow(glacier::SlideGrids& s, const glacier::SlideParameters& parameters,
                                          const std::vector<std::pair<int, int>>& releasing) {
    // Every owner releases its own cells' snow; process 0 moves the released snow over the whole
    // basin from the inputs alone and hands each owner the mobile mass and deposition of the cells
    // it touched; every owner ends its own cells. Only the releasing and the touched cells travel.
    const std::size_t stride = static_cast<std::size_t>(ncols) + 1;
    if (rank == 0) {
        // Only the cells the moving before set can hold anything but what clearing leaves.
        s.zone = &WholeZones();
        if (slideClearAll_) {
            glacier::ClearMoved(s);
            slideClearAll_ = false;
        } else {
            const Matrix& zones = WholeZones();
            for (const std::size_t index : slideMoved_) {
                const int r = static_cast<int>(index / stride), c = static_cast<int>(index % stride);
                const double v = zones[r][c] == nodata ? nodata : 0.0;
                (*s.input)[r][c] = (*s.mobile)[r][c] = (*s.deposition)[r][c] = v;
            }
        }
        slideMoved_.clear();
        s.zone = zoneGrid;
    } else {
        for (const auto& [r, c] : ownSlideCells_) (*s.input)[r][c] = (*s.mobile)[r][c] = (*s.deposition)[r][c] = 0.0;
    }
    std::vector<double> inputs;  // cell index, input
    inputs.reserve(2 * releasing.size());
    for (const auto& [r, c] : releasing) {
        glacier::ReleaseAt(s, parameters, r, c);
        inputs.push_back(static_cast<double>(static_cast<std::size_t>(r) * stride + static_cast<std::size_t>(c)));
        inputs.push_back((*s.input)[r][c]);
    }
    const std::vector<double> all = mpirows::GatherLists(inputs);

    std::vector<std::vector<double>> touchedOf;  // process 0: per owner cell index, mobile mass, deposition
    if (rank == 0) {
        std::vector<std::int32_t> ranks;
        ranks.reserve(all.size() / 2);
        for (std::size_t i = 0; i + 1 < all.size(); i += 2) {
            const std::size_t index = static_cast<std::size_t>(all[i]);
            const int r = static_cast<int>(index / stride), c = static_cast<int>(index % stride);
            (*s.input)[r][c] = all[i + 1];
            ranks.push_back(slideOrder_.rankOf[slideOrder_.Index(r, c)]);
            slideMoved_.push_back(index);
        }
        s.zone = &WholeZones();
        slideSeen_.resize(static_cast<std::size_t>(nrows + 1) * stride, 0);
        std::vector<std::size_t> touched;
        glacier::MoveReleased(s, slideOrder_, ranks, [&](int r, int c) {
            const std::size_t index = static_cast<std::size_t>(r) * stride + static_cast<std::size_t>(c);
            if (slideSeen_[index] != 0) return;
            slideSeen_[index] = 1;
            touched.push_back(index);
        });
        for (const std::size_t index : touched) slideSeen_[index] = 0;
        slideMoved_.insert(slideMoved_.end(), touched.begin(), touched.end());
        s.zone = zoneGrid;
        touchedOf.assign(static_cast<std::size_t>(size), {});
        for (const std::size_t index : touched) {
            const int r = static_cast<int>(index / stride), c = static_cast<int>(index % stride);
            const int owner = SlideOwner(r, c);
            if (owner <= 0) continue;
            std::vector<double>& out = touchedOf[static_cast<std::size_t>(owner)];
            out.insert(out.end(), {static_cast<double>(index), (*s.mobile)[r][c], (*s.deposition)[r][c]});
        }
    }
    const std::vector<double> mine = mpirows::ScatterLists(touchedOf);
    for (std::size_t i = 0; i + 2 < mine.size(); i += 3) {
        const std::size_t index = static_cast<std::size_t>(mine[i]);
        const int r = static_cast<int>(index / stride), c = static_cast<int>(index % stride);
        (*s.mobile)[r][c] = mine[i + 1];
        (*s.deposition)[r][c] = mine[i + 2];
    }
    for (const auto& [r, c] : ownSlideCells_) glacier::AddMovedAt(s, r, c);
}

// ------------------------------------------------------------------ yearly step

void schneemodellklasse::YearlyGlacierStep() {
    const bool glacierSnow = HasGlacierSnowGrids();
    for (int r = firstRow; r <= lastRow; ++r) {
        if (!zoneGrid->holds(r)) continue;
        for (int c = 1; c <= ncols; ++c) {
            if (!OwnCell(r, c) || !InsideSoilZones(r, c) || !((*glacierFraction)[r][c] > 0)) continue;
            codesOld.data[r][c] = (*glacierCodes)[r][c];
            double* levels = firnStack[r][c];
            const double swe = glacierSnow ? totalG.data[r][c] : total.data[r][c];
            glacier::PushDownFirn({levels, static_cast<std::size_t>(firn_levels) + 1}, swe, nodata);
            firn.data[r][c] = levels[0];
            if (glacierSnow) {
                totalG.data[r][c] = solidG.data[r][c] = liquidG.data[r][c] = 0;
            } else {
                total.data[r][c] = solid.data[r][c] = liquid.data[r][c] = 0;
            }
        }
    }
    // The old balance comes along: process 0's copy of other rows would be a year old.
    for (OwnGrid* g : {&fractionOld, &codesOld, &massBalance, &oldMassBalance, &firn}) MPIGatherGrid(g->index);
    MPISynchroniseStack(firn.index);
    if (rank == 0) {
        glacier::GlacierGrids g = WholeGlacierGrids();
        const int stuck = glacierList.Balance(g, [&](const std::string& text) { *log << text << "[end-entry]"; });
        glacierList.SpreadLostBalance(g, -1);
        for (int i = 0; i < stuck; ++i)
            std::cerr << "error: could not remove or add the required number of cells for the glacier\n";
    }
    // Process 0 changed its whole copies; its own rows of the shared grids take them back.
    const bool copies = !fractionWhole.empty();
    MPIScatterGrid(fractionIndex, copies ? &fractionWhole : nullptr);
    MPIScatterGrid(codesIndex, copies ? &codesWhole : nullptr);
    if (copies) {
        for (int r = firstRow; r <= lastRow; ++r) {
            if (!glacierFraction->holds(r)) continue;
            for (int c = 1; c <= ncols; ++c) {
                (*glacierFraction)[r][c] = fractionWhole[r][c];
                (*glacierCodes)[r][c] = codesWhole[r][c];
            }
        }
    }
    MPIScatterGrid(massBalance.index);
    MPIScatterGrid(firn.index);
    MPIScatterStack(firn.index);
    *log << "DEBUG: glaciers changed, updating glaicerlist now..." << "[end-entry]";

    if (rank == 0) {
        for (GlacierSubbasinRecord& t : glacierTable)
            if (t.hasGlacier) t.glacierCells = t.freeCells = 0;
        const Matrix& zones = SoilZones();
        const Matrix& frac = FractionView();
        for (int r = 1; r <= nrows; ++r) {
            if (!zones.holds(r)) continue;
            for (int c = 1; c <= ncols; ++c) {
                if (zones[r][c] == nodata) continue;
                const long code = static_cast<long>(std::floor(zones[r][c] + 0.5));
                if (code < 0 || code >= static_cast<long>(soilZones.index.size())) continue;
                GlacierSubbasinRecord& t =
                    glacierTable[static_cast<std::size_t>(soilZones.index[static_cast<std::size_t>(code)])];
                double x = frac[r][c];
                double free = 1 - x;
                if (x > 1) {
                    x = 1;
                    free = 0;
                } else if (x < 0) {
                    x = 0;
                    free = 1;
                }
                t.glacierCells += x;
                t.freeCells += free;
            }
        }
    }
    BroadcastGlacierTable();
    // Outside the soil zones both balances are 0 in every row a process holds, so the written
    // grids are the same at any process count.
    for (int r = 1; r <= nrows; ++r) {
        if (!massBalance.data.holds(r) || !oldMassBalance.data.holds(r) || !SoilZones().holds(r)) continue;
        for (int c = 1; c <= ncols; ++c)
            if (!InsideSoilZones(r, c)) massBalance.data[r][c] = oldMassBalance.data[r][c] = 0;
    }
    for (int r = firstRow; r <= lastRow; ++r) {
        if (!massBalance.data.holds(r) || !zoneGrid->holds(r)) continue;
        for (int c = 1; c <= ncols; ++c) {
            if (!OwnCell(r, c)) continue;
            if (!((*glacierFraction)[r][c] > 0)) {
                massBalance.data[r][c] = oldMassBalance.data[r][c] = 0;
            } else {
                oldMassBalance.data[r][c] = massBalance.data[r][c];
            }
        }
    }
}
