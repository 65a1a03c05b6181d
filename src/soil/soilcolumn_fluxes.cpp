// Heads, interface conductivities and fluxes of the soil column, and the limitation of a flux
// against crossing heads.
#include <algorithm>
#include <cmath>

#include "kernel/hotloop.hpp"
#include "soil/soilcolumn.hpp"
#include "tables/soil_entry.hpp"

namespace soilcolumn {

namespace {

std::size_t U(int i) { return static_cast<std::size_t>(i); }

// Relative conductivity of a water content with the frozen factor in the table of `layer`: the
// look-up takes the smaller of its two arguments, so the factor caps the water content.
double Kr(const soil_entry& soil, double theta, double f, int layer) {
    return soil.RelConductivityFromTheta(layer, theta, f);
}

// The last table look-up of a pass over the interfaces. Neighbouring layers of one horizon have
// identical tables, and the next interface often asks for the value just computed (the lower
// water content of interface i is the upper one of interface i + 1); an exact match is reused.
struct LookupMemo {
    int table = -1;
    double x = 0, f = 0, value = 0;
    int bracket = 0;  // the suction look-up's last bracket in `table`, a hint for the next
};

bool SameTable(const ColumnState& col, int a, int b) {
    if (a == b) return true;
    if (a > b) std::swap(a, b);
    return b == a + 1 && col.sameTableAsAbove[U(b)] != 0;
}

// hint: the bracket to try first, set to the bracket of the look-up (or of the memo's). Inline, as
// SuctionMemo below.
[[gnu::always_inline]] inline double KrMemo(const soil_entry& soil, const ColumnState& col, LookupMemo& m, int table,
                                            double theta, double f, int& hint) {
    if (m.table >= 0 && m.x == theta && m.f == f && SameTable(col, m.table, table)) {
        hint = m.bracket;
        return m.value;
    }
    const double value = soil.RelConductivityFromTheta(table, theta, f, hint);
    m = LookupMemo{table, theta, f, value, hint};
    return m.value;
}

// hint: the bracket to try first where the memo holds no look-up of table (else its bracket).
// Inline: the memos then stay in registers instead of being stored by the call and read back
// whole at once by the caller's copies (a read the processor cannot forward from the stores).
[[gnu::always_inline]] inline double SuctionMemo(const soil_entry& soil, const ColumnState& col, LookupMemo& m,
                                                 int table, double theta, int hint = 0) {
    if (m.table >= 0 && m.x == theta && SameTable(col, m.table, table)) return m.value;
    int bracket = m.table == table ? m.bracket : hint;
    const double value = soil.SuctionFromTheta(table, theta, bracket);
    m = LookupMemo{table, theta, 0.0, value, bracket};
    return m.value;
}

// Suctions of the flux limitation's bisection without a division: the water content
// theta0 + x * (dt / d) for the plain theta0 + x * dt / d, and the interpolation's quotient as a
// product with the bracket's reciprocal span. Each is a few roundings off the plain look-up's
// result; `Suction` bounds that difference (with the roundings of a head from it), so that a
// check of the heads far enough from its threshold gives the answer the plain heads give.
class QuickSuction {
public:
    // hint: the bracket to try first for the first water content; bounds: the layer's.
    QuickSuction(const soil_entry& soil, int layer, double theta0, double dt, double d, int hint,
                 const SuctionBounds& bounds)
        : soil_(soil), th_(soil.retentionTheta[U(layer)]), v_(soil.retentionSuction[U(layer)]), layer_(layer),
          theta0_(theta0), rate_(dt / d), bracket_(hint), first_(hint) {
        // The water content's bound above for every water content inside a bracket (where
        // |y| <= |t| + |theta0|), and the suction's: the bracket's slope over it (doubled), the
        // roundings of the quotient, the interpolation and the head (a few each, bounded by five
        // times as many). The layer's largest water content, slope and suction give bounds at
        // least those of each bracket (every operation rounds monotonically), once for all.
        near_ = 1e-15 * (2.0 * bounds.theta + std::fabs(theta0_));
        bound_ = bounds.slope * near_ + 5e-15 * (bounds.suction + bounds.suction);
        ceiling_ = -near_;
        floor_ = near_;
    }

    // Suction at the water content of flux sum x and the bound; false where no bound is at hand
    // (the water content within its rounding of a table point, or no number).
    bool Suction(double x, double& psi, double& bound) {
        const double y = x * rate_;
        const double t = theta0_ + y;
        if (!(t > floor_ && t < ceiling_)) return Elsewhere(y, t, psi, bound);
        const double f = (t - low_) * inverse_;
        psi = va_ * f + (1.0 - f) * vb_;
        bound = bound_;
        return true;
    }

    // The bracket of the last water content inside the table (before any, the hint).
    int Bracket() const { return bracket_; }
    // The bracket of the first water content inside the table (before any, the hint).
    int FirstBracket() const { return first_; }

private:
    // Beyond the ends of the table, or in another bracket than the last.
    bool Elsewhere(double y, double t, double& psi, double& bound) {
        constexpr std::size_t last = soil_entry::kTablePoints;
        // The water content left the bracket in use for the next one on its side, mostly (the
        // bisection's steps halve); the first water content tries the hint. A water content inside
        // that bracket lies inside the table, where the checks of the ends below would not hold.
        const bool first = !(high_ > low_);
        const int k = first ? bracket_ : (t >= high_ ? bracket_ - 1 : bracket_ + 1);
        const std::size_t a = static_cast<std::size_t>(k);
        if (k >= 1 && k < soil_entry::kTablePoints && th_[a] > t && t >= th_[a + 1]) return Inside(k, first, t, psi, bound);
        // Both water contents are within three roundings of theta0 + x * dt / d: this is twice that.
        const double near = 1e-15 * (std::fabs(y) + std::fabs(t));
        if (t - near >= th_[1]) {
            psi = 0.0;
            bound = 0.0;
            return true;
        }
        if (t + near <= th_[last]) {
            psi = v_[last];
            bound = 1e-15 * std::fabs(psi);
            return true;
        }
        if (!(t - near > th_[last] && t + near < th_[1])) return false;
        return Inside(soil_.RetentionBracket(layer_, t), first, t, psi, bound);
    }

    // The suction of a water content in bracket k, which becomes the bracket in use. A water content
    // within near_ of the bracket's ends (within near of the table's ends among them) has no bound.
    bool Inside(int k, bool first, double t, double& psi, double& bound) {
        Enter(k);
        if (first) first_ = bracket_;
        if (!(t > floor_ && t < ceiling_)) return false;
        const double f = (t - low_) * inverse_;
        psi = va_ * f + (1.0 - f) * vb_;
        bound = bound_;
        return true;
    }

    void Enter(int k) {
        bracket_ = k;
        const std::size_t a = static_cast<std::size_t>(k);
        high_ = th_[a];
        low_ = th_[a + 1];
        va_ = v_[a];
        vb_ = v_[a + 1];
        inverse_ = 1.0 / (high_ - low_);
        // A water content t above floor_ (below ceiling_) has t - near_ > low_ (t + near_ < high_),
        // the check the bounds were drawn for, in one comparison: the margin 2 near_ less the
        // roundings of the sums (each within 1.2e-16 of the largest water content and near_, far
        // less than near_) still exceeds near_.
        floor_ = low_ + (near_ + near_);
        ceiling_ = high_ - (near_ + near_);
    }

    const soil_entry& soil_;
    const soil_entry::PointTable& th_;
    const soil_entry::PointTable& v_;
    int layer_;
    double theta0_, rate_;
    // The bracket in use: no water content lies inside the first (high_ = low_ = 0).
    double high_ = 0, low_ = 0, va_ = 0, vb_ = 0, inverse_ = 0;
    double near_, bound_;
    // The checks of a water content inside the bracket in use, with their margin (none before the
    // first: no water content lies above near_ and below -near_).
    double floor_, ceiling_;
    int bracket_;  // of high_ and low_; before the first, the hint
    int first_;
};

// Evaluations of the flux limitation's bisection that all found the heads crossed before it
// asks whether they stay crossed down to no flux (most bisections meet the heads earlier).
constexpr int kStepsBackBeforeCheck = 8;

// Whether every step of the limitation's bisection, each back (the factor of q0 and e0 halved
// every time), finds the heads crossed, as the plain heads of each step would tell. The water
// contents of a factor s lie on one side of those of factor 0 (the signs of q0 and q0 - e0 fixed
// that, and each computation rounds monotonically); the curve between the table points falls
// with the water content and every look-up lies within err of it, so the heads of factor 0 moved
// by a margin of 4 err towards meeting bound the heads of every step.
bool CrossedDownToNoFlux(const soil_entry& soil, double err, int i, double Hi, double Hj, double q0, double e0,
                         double qTop, double qBelow, double eBelow, double thetaOldI, double thetaOldJ, double dzi,
                         double dzj, double zmi, double zmj, double dt, int hintI, int hintJ) {
    // Products of q0 and e0 with the steps' halvings are exact only above the subnormal range.
    constexpr double kTiny = 1e-280;
    if (!(err >= 0 && dt > 0 && dzi > 0 && dzj > 0)) return false;
    if ((q0 != 0 && !(std::fabs(q0) > kTiny)) || (e0 != 0 && !(std::fabs(e0) > kTiny))) return false;
    const bool downward = Hi > Hj;  // q0 flows down: the heads cross when hj rises above hi
    if (downward ? !(q0 <= 0 && q0 <= e0) : !(q0 >= 0 && q0 >= e0)) return false;
    // The water contents of factor 0, computed as the bisection computes those of a factor.
    const double ti = thetaOldI + (0.0 - 0.0 - qTop) * dt / dzi;
    const double tj = thetaOldJ + (qBelow - eBelow - 0.0) * dt / dzj;
    const double psiI = soil.SuctionFromTheta(i, ti, hintI), psiJ = soil.SuctionFromTheta(i, tj, hintJ);
    // Downward: layer i's water content is at most ti in every step (suction at least psiI - margin)
    // and layer j's at least tj; upward the other way round.
    const double margin = 4.0 * err;
    if (downward) {
        const double hiHigh = zmi - (psiI - margin), hjLow = zmj - (psiJ + margin);
        return hjLow > hiHigh + kHeadTolerance;
    }
    const double hiLow = zmi - (psiI + margin), hjHigh = zmj - (psiJ - margin);
    return hjHigh < hiLow - kHeadTolerance;
}

// The three steps of an interface in the flux pass, inline there: the pass's loop then keeps its
// values in registers instead of saving and restoring them around a call per interface.
[[gnu::always_inline]] inline double Conductivity(const soil_entry& soil, const ColumnState& col,
                                                  const CellValues& cell, const SolverSettings& set, int i,
                                                  LookupMemo& memo, int& hintUpper, int& hintLower);
[[gnu::always_inline]] inline double Outflow(const soil_entry& soil, const ColumnState& col, const CellValues& cell,
                                             int i, SubstepTotals& totals);
[[gnu::always_inline]] inline double Limit(const soil_entry& soil, ColumnState& col, int i, double dt, int* evaluations,
                                           LookupMemo& memo);

}  // namespace

double InterfaceConductivity(const soil_entry& soil, const ColumnState& col, const CellValues& cell,
                             const SolverSettings& set, int i) {
    LookupMemo memo;
    int hintUpper = 0, hintLower = 0;
    return Conductivity(soil, col, cell, set, i, memo, hintUpper, hintLower);
}

double LimitInterfaceFlux(const soil_entry& soil, ColumnState& col, int i, double dt, int* evaluations) {
    LookupMemo memo;
    return Limit(soil, col, i, dt, evaluations, memo);
}

namespace {

// hintUpper, hintLower: the brackets to try first for the two look-ups (set to theirs).
inline double Conductivity(const soil_entry& soil, const ColumnState& col, const CellValues& cell,
                           const SolverSettings& set, int i, LookupMemo& memo, int& hintUpper, int& hintLower) {
    const std::size_t a = U(i), b = U(i + 1);
    const int c = cell.clayLayer;
    if (c > 0 && (c == i || c == i + 1)) {
        const double thetaC = (col.thetaOld[U(c)] + col.thetaMean[U(c)]) / 2;
        return set.kSatClay * Kr(soil, thetaC, col.frozen[a], i);
    }
    const int g = cell.tableLayer;
    if (i > g) return col.K[a];
    const double thetaA = (col.thetaOld[a] + col.thetaMean[a]) / 2;
    const double thetaB = (col.thetaOld[b] + col.thetaMean[b]) / 2;
    // Both look-ups use the table of the upper layer.
    double kra = KrMemo(soil, col, memo, i, thetaA, col.frozen[a], hintUpper);
    double krb = KrMemo(soil, col, memo, i, thetaB, col.frozen[b], hintLower);
    // A side without conductivity takes the other's; otherwise the smaller is raised to at least
    // the larger over the soil's maximum ratio.
    if (kra == 0) kra = krb;
    if (krb == 0) krb = kra;
    const double R = soil.maxratio;
    if (kra > krb * R) {
        krb = kra / R;
    } else if (kra * R < krb) {
        kra = krb / R;
    }
    const double Ka = kra * col.K[a], Kb = krb * col.K[b];
    if (i >= g - 1) {
        if (Ka == 0 && Kb == 0) return 0.0;
        const double da = soil.thickness[a], db = soil.thickness[b];
        return Ka * Kb * (da + db) / (Kb * da + Ka * db);
    }
    return std::max(Ka, Kb);
}

inline double Outflow(const soil_entry& soil, const ColumnState& col, const CellValues& cell, int i,
                      SubstepTotals& totals) {
    const std::size_t l = U(i);
    if (i >= cell.tableLayer) return 0.0;
    if (col.z[l] - col.H[l] >= kFieldCapacitySuction) return 0.0;
    const double d = soil.thickness[l];
    const double excess = col.thetaMean[l] - col.fieldCapacity[l];
    const double limit = excess > 0 ? excess * d / cell.dt : 0.0;
    double e = 0;
    if (col.K[l + 1] < col.K[l]) {
        e = Kr(soil, col.thetaMean[l], col.frozen[l], i) * col.K[l] * d * cell.channelDensity *
            std::min(1.0, cell.tanBeta);
    }
    if (cell.drainageLayer > 0 && i == cell.drainageLayer && cell.drainageDistance > 0) {
        const double Ld = cell.drainageDistance;
        double drain = ((2 * Kr(soil, col.thetaMean[l], col.frozen[l], i) * col.K[l] * d) / Ld) * cell.cellsize / Ld;
        drain = std::min(drain, limit);
        totals.drainage = drain;
        e += drain;
    }
    return std::min(e, limit);
}

}  // namespace

double LateralOutflow(const soil_entry& soil, const ColumnState& col, const CellValues& cell, int i,
                      SubstepTotals& totals) {
    return Outflow(soil, col, cell, i, totals);
}

double SuctionLookupError(const soil_entry& soil, int i) {
    if (!soil.RetentionFalls(i)) return -1.0;
    const soil_entry::PointTable& v = soil.retentionSuction[U(i)];
    if (!(v[1] >= 0)) return -1.0;
    for (std::size_t k = 1; k < soil_entry::kTablePoints; ++k)
        if (!(v[k] <= v[k + 1])) return -1.0;
    // An interpolation rounds a few times, each within 1.1e-16 of the largest suction; the bound
    // is ample beyond that.
    return 1e-13 * v[soil_entry::kTablePoints];
}

SuctionBounds QuickSuctionBounds(const soil_entry& soil, int i) {
    const soil_entry::PointTable& th = soil.retentionTheta[U(i)];
    const soil_entry::PointTable& v = soil.retentionSuction[U(i)];
    // A value without number makes its bound none, for good: no quick check then holds.
    auto raise = [](double& bound, double x) {
        if (std::isnan(x) || x > bound) bound = x;
    };
    SuctionBounds b;
    for (std::size_t k = 1; k <= soil_entry::kTablePoints; ++k) {
        raise(b.theta, std::fabs(th[k]));
        raise(b.suction, std::fabs(v[k]));
        if (k < soil_entry::kTablePoints)
            raise(b.slope, 2.0 * std::fabs(v[k] - v[k + 1]) * (1.0 / (th[k] - th[k + 1])));
    }
    return b;
}

int WorkingRangeEnd(const ColumnState& col, int tableLayer, int rootLayer, int k, bool margin) {
    const int n = col.n;
    int s = std::max(tableLayer + k, rootLayer);
    while (s < n && (col.rIn[U(s + 1)] > 0 || col.rOut[U(s + 1)] > 0)) ++s;
    if (margin) return std::min(s + 2, n);
    return s >= n ? n - 1 : s;
}

TALVO_HOT_LOOP void SubstepPrepare(const soil_entry& soil, ColumnState& col, const CellValues& cell, int iteration) {
    const int n = col.n;
    const int L = std::min(WorkingRangeEnd(col, cell.tableLayer, cell.rootLayer, 0, true), n - 1);
    const int g = cell.tableLayer;
    const double tableElevation = col.z[0] + cell.tableDistance;
    for (int i = 1; i <= L; ++i) {
        const std::size_t l = U(i);
        const double f = col.frozen[l];
        // The layer's last bracket is the hint: its water content moves little between iterations.
        int& bracket = col.suctionBracket[l];
        if (iteration == 0) col.psiOld[l] = soil.SuctionFromTheta(i, f * col.thetaOld[l], bracket);
        const double zm = (col.z[l - 1] + col.z[l]) / 2;
        // A layer below the table whose middle lies under the table layer's head takes that head:
        // its own suction would not count, so it is not looked up.
        if (i > g && g >= 1 && col.H[U(g)] > zm) {
            col.H[l] = col.H[U(g)];
            continue;
        }
        // The mean content still equals the start content in the first iteration: one look-up.
        const double psiMean = col.thetaMean[l] == col.thetaOld[l]
                                   ? col.psiOld[l]
                                   : soil.SuctionFromTheta(i, f * col.thetaMean[l], bracket);
        const double psi = (psiMean + col.psiOld[l]) / 2;
        double h = zm - psi;
        if (i == g && !(col.z[l - 1] < tableElevation) && col.z[l] <= tableElevation) h = tableElevation;
        col.H[l] = h;
    }
}

TALVO_HOT_LOOP void SubstepFluxes(const soil_entry& soil, ColumnState& col, const CellValues& cell, const SolverSettings& set,
                   double infiltrationRate, const RiverExchangeHook& river, SubstepTotals& totals) {
    const int n = col.n;
    const auto& ks = soil.ksat;
    bool frozenTop = false;
    for (int i = 1; i <= n; ++i) col.K[U(i)] = ks[U(i)];
    if (cell.hasThawDepth) {
        double depth = 0;
        for (int i = 1; i <= n; ++i) {
            depth += soil.thickness[U(i)];
            if (depth > cell.thawDepth) {
                col.K[U(i)] = set.frozenConductivity;
                if (i == 1) frozenTop = true;
            }
        }
    }
    // A frozen top layer admits at most the frozen conductivity, always downward.
    col.q[0] = frozenTop ? -std::min(infiltrationRate, set.frozenConductivity) : -infiltrationRate;
    if (set.groundwaterActive && river.call) {
        river.call(river.context, col, cell, totals.riverInfiltration, totals.riverExfiltration);
    }
    totals.drainage = 0;
    const int L = WorkingRangeEnd(col, cell.tableLayer, cell.rootLayer, 1, false);
    LookupMemo memo;
    for (int i = 1; i <= L && i < n; ++i) {
        const std::size_t l = U(i);
        // The brackets of this interface's look-ups in the last iteration are the hints.
        const double Ki =
            Conductivity(soil, col, cell, set, i, memo, col.conductivityBracketUpper[l], col.conductivityBracketLower[l]);
        col.q[l] = DarcyFlux(Ki, col.H[l], col.H[l + 1], soil.thickness[l], soil.thickness[l + 1]);
        col.e[l] = Outflow(soil, col, cell, i, totals);
    }
    memo = LookupMemo{};
    for (int i = 1; i <= L && i < n; ++i) col.q[U(i)] = Limit(soil, col, i, cell.dt, nullptr, memo);
}

namespace {

inline double Limit(const soil_entry& soil, ColumnState& col, int i, double dt, int* evaluations,
                    LookupMemo& memo) {
    const std::size_t a = U(i), b = U(i + 1);
    const double dzi = col.z[a - 1] - col.z[a];
    const double dzj = col.z[a] - col.z[b];
    const double zmi = (col.z[a - 1] + col.z[a]) / 2, zmj = (col.z[a] + col.z[b]) / 2;
    const double qTop = col.q[a - 1], qBelow = col.q[b], eBelow = col.e[b];
    const double thetaOldI = col.thetaOld[a], thetaOldJ = col.thetaOld[b];
    double q = col.q[a];
    // The lateral outflow, scaled with the flux in the bisection, is stored when the bisection ends.
    double e = col.e[a];
    if (evaluations) *evaluations = 0;

    double thi = thetaOldI + (q - e - qTop) * dt / dzi;
    if (thi > soil.theta_sat[a] && q > 0) {
        const double rho = std::fabs((soil.theta_sat[a] - thetaOldI) * dzi / dt) / q;
        q = rho < 1 ? rho * q : 0.0;
        thi = thetaOldI + (q - e - qTop) * dt / dzi;
    }
    const double Hi = col.H[a], Hj = col.H[b];
    // Equal heads (layers below the table that share its head) leave the flux as it is, whatever
    // the heads of its water contents: no look-up is needed.
    if (!(Hi > Hj) && !(Hi < Hj)) return q;
    auto overshoot = [&](double hi, double hj) {
        return (Hi > Hj && hj > hi + kHeadTolerance) || (Hi < Hj && hj < hi - kHeadTolerance);
    };
    // Where no bracket of the table is at hand, each side's bracket of this interface's first
    // look-ups in the last iteration is the hint.
    const int hintI = col.limitBracketUpper[a], hintJ = col.limitBracketLower[a];
    double hi = 0, hj = 0;
    // In the bisection each side keeps its own last look-up, starting from the first one: once
    // the steps of the factor fall below the resolution of a water content, that side asks for
    // the same value again.
    LookupMemo upper, lower;
    {
        const double tj = thetaOldJ + (qBelow - eBelow - q) * dt / dzj;
        hi = zmi - SuctionMemo(soil, col, memo, i, thi, hintI);
        upper = memo;
        if (!(memo.table >= 0 && memo.x == tj && SameTable(col, memo.table, i))) memo.bracket = hintJ;
        hj = zmj - SuctionMemo(soil, col, memo, i, tj, hintJ);
        lower = memo;
        col.limitBracketUpper[a] = upper.bracket;
        col.limitBracketLower[a] = lower.bracket;
    }
    auto heads = [&](double qq, double ee, double& hi, double& hj) {
        const double ti = thetaOldI + (qq - ee - qTop) * dt / dzi;
        const double tj = thetaOldJ + (qBelow - eBelow - qq) * dt / dzj;
        // Both heads with the table of the upper layer.
        hi = zmi - SuctionMemo(soil, col, upper, i, ti, hintI);
        hj = zmj - SuctionMemo(soil, col, lower, i, tj, hintJ);
    };
    if (!overshoot(hi, hj)) return q;

    // Bisection on a common factor of the flux and the lateral outflow: a step back after heads
    // that cross, forward after heads still apart, until they meet within the tolerance. Only
    // these answers and the factors' sums leave the bisection, so the heads of the quick
    // suctions decide where they lie beyond their bound from the thresholds hj - hi = +-tolerance
    // (almost always), and the plain heads decide the rest: the same answers as the plain heads'.
    const double q0 = q, e0 = e;
    const bool quick = col.bisectionShortcut && soil.RetentionFalls(i);
    // The first step's water contents take this interface's brackets of the first step in the
    // last iteration as hints.
    QuickSuction quickI(soil, i, thetaOldI, dt, dzi, col.halfBracketUpper[a], col.suctionBounds[a]),
        quickJ(soil, i, thetaOldJ, dt, dzj, col.halfBracketLower[a], col.suctionBounds[a]);
    // Difference hj - hi that crosses the heads: above the tolerance where Hi > Hj, below minus it.
    const double crossing = Hi > Hj ? 1.0 : -1.0;
    const double roundings = 2e-15 * (std::fabs(zmi) + std::fabs(zmj) + 1.0);
    double step = -1.0, h = 0.5;
    bool allBack = true;
    auto leave = [&]() {
        col.e[a] = e;
        col.halfBracketUpper[a] = quickI.FirstBracket();
        col.halfBracketLower[a] = quickJ.FirstBracket();
    };
    for (int k = 1; k <= kLimitEvaluations; ++k) {
        q += q0 * step * h;
        e += e0 * step * h;
        if (evaluations) *evaluations = k;
        double psiI = 0, psiJ = 0, boundI = 0, boundJ = 0;
        bool decided = false, crossed = false, met = false;
        if (quick && quickI.Suction(q - e - qTop, psiI, boundI) && quickJ.Suction(qBelow - eBelow - q, psiJ, boundJ)) {
            // The bounds of both suctions and the roundings of the heads and the checks, doubled.
            const double bound = 2.0 * (boundI + boundJ) + roundings;
            const double d = ((zmj - psiJ) - (zmi - psiI)) * crossing;
            if (d > kHeadTolerance + bound) {
                decided = crossed = true;
            } else if (d < -kHeadTolerance - bound) {
                decided = true;
            } else if (d > -kHeadTolerance + bound && d < kHeadTolerance - bound) {
                decided = met = true;
            }
        }
        if (!decided) {
            heads(q, e, hi, hj);
            crossed = overshoot(hi, hj);
            met = !crossed && std::fabs(hj - hi) <= kHeadTolerance;
        }
        if (met) {
            leave();
            return q;
        }
        step = crossed ? -1.0 : 1.0;
        h *= 0.5;
        allBack = allBack && crossed;
        // Heads that stay crossed down to no flux (inflow from above or below that crosses them
        // by itself) leave the remaining steps all back: only the halvings remain. The quick
        // suctions' brackets, of a factor near 0 by now, are the hints of the check's look-ups.
        if (k == kStepsBackBeforeCheck && allBack && col.bisectionShortcut &&
            CrossedDownToNoFlux(soil, col.suctionLookupError[a], i, Hi, Hj, q0, e0, qTop, qBelow, eBelow, thetaOldI,
                                thetaOldJ, dzi, dzj, zmi, zmj, dt, quickI.Bracket(), quickJ.Bracket())) {
            for (int rest = k + 1; rest <= kLimitEvaluations; ++rest) {
                q += q0 * step * h;
                e += e0 * step * h;
                h *= 0.5;
            }
            leave();
            return q;
        }
    }
    leave();
    return q;
}

}  // namespace

}  // namespace soilcolumn
