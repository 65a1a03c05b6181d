// Snow physics of one cell and one pass.
#include "surface/snow_physics.hpp"

#include <algorithm>
#include <cmath>

#include "kernel/hotloop.hpp"
#include "kernel/snow_methods.hpp"

namespace snow {
namespace {

constexpr double kSigma = 5.67e-8;
constexpr double kSublimation = 2835500.0;  // J/kg
constexpr double kFusion = 337500.0;        // J/kg
constexpr double kWater = 4180.0;           // J/(kg K)
constexpr double kIce = 2100.0;             // J/(kg K)
constexpr int kMaxEvaluations = 151;
// Floor of the vapour pressure in the wet-bulb formula: dry air would take the log of 0.
constexpr double kMinVapourPressure = 1e-6;

bool IsDegreeDay(int m) { return m == 1 || m == 8 || m == 9 || m == 10; }
bool IsWindDegreeDay(int m) { return m == 2 || m == 12 || m == 13 || m == 14; }

// Saturation vapour pressure of the air (hPa) at T degrees C.
double AirSaturationVapourPressure(double T) {
    if (T + kFreezing <= kFreezing) return 6.1071 * std::exp(22.4429 * T / (T + 172.44));
    return 6.1078 * std::exp(17.08085 * T / (T + 234.175));
}

double CloudCoefficient(double P, double c) {
    if (P != 0) return 0.24;
    if (c <= 0.2) return 0.08;
    if (c < 0.6) return 0.17;
    return 0.2;
}

bool IsMissing(double v, double nodata) { return v == nodata || v == 0; }

}  // namespace

bool IsEnergyBalanceMethod(int m) { return m == 5 || m == 6 || m == 7 || m == 11; }
bool IsDepositionMethod(int m) { return m == 7 || m == 9 || m == 10 || m == 11 || m == 13 || m == 14; }
bool IsSlideMethod(int m) { return IsSnowSlideMethod(m); }
bool NeedsWindSpeed(int m) { return !IsDegreeDay(m); }

double SnowPart(double T, double T0R, double tz) {
    if (T > T0R + tz) return 0.0;
    if (T <= T0R - tz) return 1.0;
    return (T0R + tz - T) / (2.0 * tz);
}

double SeasonalFactor(double minValue, double maxValue, int n) {
    const double mean = minValue + (maxValue - minValue) / 2.0;
    const double amplitude = (maxValue - minValue) / 2.0;
    return mean + amplitude * std::sin((n - 80) * 0.017214206);
}

int DayOfYear(std::int64_t day, std::int64_t month) {
    static constexpr int kLengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int n = static_cast<int>(day);
    for (int m = 1; m < month && m <= 12; ++m) n += kLengths[m - 1];
    return n;
}

double SaturationVapourPressureIce(double T) { return 6.1078 * std::exp(21.874 * T / (T + 265.5)); }

double EnergyBalance::LatentHeat(double Ts) const {
    const double t = Ts - kFreezing;
    return 32.82 * fu * (ea - 6.1071 * std::exp(22.4429 * t / (t + 172.44)));
}

double EnergyBalance::OutgoingLongWave(double Ts) const {
    const double t2 = Ts * Ts;
    return -LWOUTcorr * kSigma * t2 * t2;
}

double EnergyBalance::TotalWithLatent(double Ts, double LE) const {
    return constant + OutgoingLongWave(Ts) + 18.85 * fu * (Tk - Ts) + LE;
}

EnergyBalance MakeEnergyBalance(const SnowParameters& p, const CellInput& in, double snow, double rain) {
    EnergyBalance eb;
    eb.Tk = in.T + kFreezing;
    eb.ea = AirSaturationVapourPressure(in.T) * in.humidity;
    eb.fu = 0.18 + 0.098 * in.wind;
    eb.LWOUTcorr = p.LWOUTcorr;
    const double seconds = 60.0 * p.timeStep;
    const double k = CloudCoefficient(in.P, in.cloudiness);
    const double tk2 = eb.Tk * eb.Tk;
    const double shortWave = (1.0 - in.albedo) * in.radiation * 60.0 / p.timeStep;
    const double longIn =
        p.LWINcorr * kSigma * (0.61 + 0.05 * std::sqrt(eb.ea)) * tk2 * tk2 * (1.0 + k * in.cloudiness * in.cloudiness);
    const double rainHeat = kWater * (eb.Tk - kFreezing) * rain / seconds;
    const double snowHeat = kIce * (eb.Tk - kFreezing) * snow / seconds;
    eb.constant = shortWave + longIn + rainHeat + snowHeat + 1.0;
    return eb;
}

double WetBulbTemperature(double T, double ea, double z) {
    ea = std::max(ea, kMinVapourPressure);
    const double p = 1013.25 * std::pow(1.0 - 0.0065 * z / 288.15, 5.255);
    const double x = 0.622 * ea / (p - ea);
    const double y = std::log(p * x / ((x + 0.622) * 6.112));
    const double Td = 272.62 * y / (22.46 - y);
    double Tw = (Td + 2.0 * T) / 3.0;
    double d = (T + Tw) / 2.0;
    for (int i = 0; i < 15; ++i) {
        const double ei = 6.1115 * std::exp(22.46 * Tw / (Tw + 272.62));
        if (ea < ei - 0.00066 * p * (1.0 + 0.00115 * Tw) * (T - Tw))
            d = -d;
        else
            d = std::fabs(d) / 2.0;
        Tw += d;
        if (std::fabs(d) <= 0.025) break;
    }
    return Tw;
}

namespace {

// Energy balance with air above the melt threshold and snow present. Returns the melt (mm,
// not yet weighted).
double WarmCase(const SnowParameters& p, const CellInput& in, const EnergyBalance& eb, double Tsp, double snow,
                double rain, CellState& st) {
    (void)snow;
    (void)rain;
    const double seconds = 60.0 * p.timeStep;
    const double w = in.weight;
    const double Ts = in.hasSurfaceTemperature ? Tsp : kFreezing;
    const double LE = eb.LatentHeat(kFreezing);
    const double Q = eb.TotalWithLatent(Ts, LE);
    double s = LE * seconds * w / kSublimation;
    if (Q > 0) {
        if (st.L <= 0)
            st.Tp += seconds * w * Q / (kIce * st.S);
        else
            st.Tp += (st.L / st.W) * Q * seconds * w / (kWater * st.L) + (st.S / st.W) * Q * seconds * w / (kIce * st.S);
    }
    const double Tw = WetBulbTemperature(in.T, eb.ea, in.elevation);
    double melt = 0;
    if (st.Tp > kFreezing) {
        const double X = (st.Tp - kFreezing) * kIce * st.S;
        st.Tp = kFreezing;
        if (Tw <= 0)
            s -= w * X / kSublimation;
        else
            melt = X / kFusion;
    }
    if (s < 0) {
        st.S += s;
        if (st.S < 0) {
            st.L += st.S;
            st.S = 0;
            if (st.L < 0) {
                s -= st.L;
                st.L = 0;
            }
        }
        st.W = st.S + st.L;
        st.E = -s;
    }
    st.Ts = Ts;
    if (st.W <= 0) st.Ts = st.Tp = p.nodata;
    return melt;
}

// Energy balance at or below the melt threshold: the surface temperature that closes the
// balance, conduction into the pack, sublimation and refreezing. Returns the evaluations.
int ColdCase(const SnowParameters& p, const CellInput& in, const EnergyBalance& eb, double Tsp, CellState& st) {
    if (st.S <= 0) {
        st.Ts = st.Tp = p.nodata;
        return 0;
    }
    const double seconds = 60.0 * p.timeStep;
    const double w = in.weight;
    double Ts = (st.L <= 0 && eb.Tk <= kFreezing + 2.0) ? (in.hasSurfaceTemperature ? Tsp : eb.Tk - 2.0) : kFreezing;

    double d = -10.0, Qp = 0, Q = 0, LE = 0;
    bool signChanged = false;
    int count = 0;
    for (;;) {
        ++count;
        LE = eb.LatentHeat(Ts);
        Q = eb.TotalWithLatent(Ts, LE);
        if (std::fabs(Q) <= 0.25 || count >= kMaxEvaluations || st.L > 0) break;
        double m;
        if ((Q < 0 && Qp <= 0) || (Q >= 0 && Qp > 0)) {
            m = signChanged ? 0.5 : 1.0;
        } else if (Q >= 0 && Qp <= 0 && count == 1) {
            m = -1.0;
        } else {
            const double ratio = std::fabs(Q / (Q - Qp));
            m = ratio < 1.0 ? -ratio : -0.5;
            signChanged = true;
        }
        d *= m;
        Ts += d;
        Qp = Q;
        if (in.hasSurfaceTemperature) break;
    }
    if (!in.hasSurfaceTemperature) {
        if (eb.Tk - Ts > 13.0) {
            Ts = eb.Tk - 13.0;
            LE = eb.LatentHeat(Ts);
        }
        if (Ts > kFreezing) {
            Ts = kFreezing;
            LE = 32.82 * eb.fu * (eb.ea - 6.1071);
        }
    }

    // Conduction into the pack, not beyond the surface temperature and not above melting.
    double Tp1 = st.Tp + 0.3 * (Ts - st.Tp) * (0.6 * w * seconds * 1000.0) / (kIce * st.W * st.W);
    if ((st.Tp <= Ts && Tp1 > Ts) || (st.Tp >= Ts && Tp1 < Ts)) Tp1 = Ts;
    Tp1 = std::min(Tp1, kFreezing);

    // Sublimation s (mm, positive when the pack loses water to dry air, negative when vapour
    // condenses on it): latent heat LE is the heat the surface gains, positive with condensation,
    // so the water leaving the pack is -LE over the heat of sublimation, as in the warm case.
    double s = -seconds * LE * w / kSublimation;
    st.S -= s;
    if (st.S < 0) {
        st.L += st.S;
        st.S = 0;
        if (st.L < 0) {
            s += st.L;
            st.L = 0;
        }
    }

    const double R = -seconds * w * Q / kFusion;
    if (R > 0 && st.L > 0) {
        if (R <= st.L) {
            st.L -= R;
            st.S += R;
            st.Tp = Tp1;
        } else {
            st.S += st.L;
            Tp1 -= (R - st.L) * kFusion / (kIce * st.S);
            st.L = 0;
            st.Tp = std::clamp(Tp1, Ts - 3.0, kFreezing);
        }
    } else {
        st.Tp = Tp1;
    }
    st.W = st.S + st.L;
    st.E = s;
    st.Ts = Ts;
    if (st.W <= 0) st.Ts = st.Tp = p.nodata;
    return count;
}

}  // namespace

TALVO_HOT_LOOP PassResult SnowCellStep(const SnowParameters& p, const CellInput& in, CellState& st) {
    PassResult r;
    const int method = p.method;
    const double w = in.weight;
    const double spd = p.stepsPerDay;

    // Split of the water input; deposition multiplies the snowfall.
    r.snowPart = in.lake ? 0.0 : SnowPart(in.T, p.T0R, p.transzone);
    r.P = in.P;
    if (in.glacierPass) {
        r.snow = in.snowIn;
        r.rain = in.rainIn;
    } else {
        r.snow = r.snowPart * in.P;
        r.rain = (1.0 - r.snowPart) * in.P;
        if (IsDepositionMethod(method)) {
            r.P += in.depositionIndex * r.snow;
            r.snow += in.depositionIndex * r.snow;
        }
    }
    st.S += r.snow * w;
    st.L += r.rain * w;
    st.W = st.S + st.L;

    // Temperatures of the pack and of its surface.
    const double Tk = in.T + kFreezing;
    double Tsp = 0;
    if (method >= 5 && method <= 14) {
        if (IsMissing(st.Ts, p.nodata)) st.Ts = Tk - 3.0;
        double TsNow = st.Ts;
        if (in.hasSurfaceTemperature)
            TsNow = in.surfaceTemperature < 100 ? in.surfaceTemperature + kFreezing : in.surfaceTemperature;
        Tsp = std::min(TsNow, kFreezing);
        if (IsMissing(st.Tp, p.nodata)) st.Tp = std::min(Tk, kFreezing);
    }

    const bool energy = IsEnergyBalanceMethod(method);
    double melt = 0;
    if (in.T > p.T0 && st.S > 0) {
        const double dT = in.T - p.T0;
        if (IsDegreeDay(method)) {
            melt = p.C0 * dT / spd;
        } else if (IsWindDegreeDay(method)) {
            melt = (p.C1 + p.C2 * in.wind) * dT / spd;
        } else if (method == 3 || method == 4) {
            if (r.P > 2.4 / spd) {
                const double Cw = p.C1 + p.C2 * in.wind;
                const double e = method == 3 ? SaturationVapourPressureIce(in.T) : in.vapourPressure;
                melt = 0.6 * in.T / spd + Cw * in.T / spd + (e - 6.11) * Cw / (0.662 * spd) + 0.006 * r.P * in.T;
            } else {
                const double rc = in.hasRadiationCorrection ? (in.radiationCorrection + 1.0) / 2.0 : 1.0;
                melt = dT * rc * in.rmf / spd;
            }
        } else if (energy) {
            melt = WarmCase(p, in, MakeEnergyBalance(p, in, r.snow, r.rain), Tsp, r.snow, r.rain, st);
        }
    } else if (in.T > p.T0) {
        st.Ts = st.Tp = p.nodata;
    } else if (method == 3 || method == 4) {
        const double R = std::fabs(p.CRFR * in.rmf * (in.T - p.T0) / spd) * w;
        if (st.L < R) {
            st.S += st.L;
            st.L = 0;
        } else {
            st.L -= R;
            st.S += R;
        }
    } else if (energy) {
        r.evaluations = ColdCase(p, in, MakeEnergyBalance(p, in, r.snow, r.rain), Tsp, st);
    }
    r.melt = melt * w;
    return r;
}

}  // namespace snow
