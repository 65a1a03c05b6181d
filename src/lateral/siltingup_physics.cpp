// Cell physics of the silting-up of tilled soil.
#include "lateral/siltingup_physics.hpp"

#include <cmath>
#include <limits>

namespace silting {

double GrainSizeK(const GrainSizes& g) {
    const double exponent = -1.0969100130080562 * g.clay + 2.1003620619491743 * g.silt +
                            5.100385157531412 * g.sand + 7.100370545117563 * g.stones1 +
                            8.100370545117563 * g.stones2 + 9.100370545117563 * g.stones3 +
                            10.100370545117563 * g.stones4;
    return std::pow(10.0, 0.5 * exponent);
}

double RainEnergyPerMm(double P) {
    if (P <= kDryIntensity) return 0.0;
    if (P >= kEnergyLimitIntensity) return 28.33;
    return 11.89 + 8.73 * std::log10(P);
}

double NextRainPause(double pause, double P, double dtMinutes) {
    return P <= kDryIntensity ? pause + dtMinutes / 1440.0 : 0.0;
}

double TimeSinceTillage(int jd, std::int32_t count, const std::int32_t* days, double previous) {
    if (!HasTillage(days)) return 0.0;
    const std::int32_t last = days[count > 0 ? count : 0];
    double reference;
    if (jd >= last) {
        reference = last;
    } else if (count >= 1 && jd < days[1]) {
        reference = days[0];
    } else {
        // The tillage day before the first one after jd.
        int i = 2;
        while (i <= count && days[i] <= jd) ++i;
        if (i > count) return previous;
        reference = days[i - 1];
    }
    const double t = jd - reference;
    return t > 0 ? t : kTillageDayValue;
}

double FinalInfiltrationRate(const BuiltInParameters& p, double K, double sand) {
    return p.B * std::pow(K, p.C) * std::pow(100.0 * sand, p.D);
}

double Disposition(const BuiltInParameters& p, double K, double sand, double timeSinceTillage) {
    if (!(timeSinceTillage > 0)) return 0.0;
    return p.E * std::pow(100.0 * sand, p.F) * std::pow(K, p.G) * std::pow(timeSinceTillage, p.H);
}

SoilLaws PrepareSoilLaws(const BuiltInParameters& p, double K, double sand) {
    SoilLaws s;
    s.finalRate = FinalInfiltrationRate(p, K, sand);
    s.dispositionFactor = p.E * std::pow(100.0 * sand, p.F) * std::pow(K, p.G);
    return s;
}

double Disposition(const SoilLaws& soil, double H, double timeSinceTillage) {
    if (!(timeSinceTillage > 0)) return 0.0;
    return soil.dispositionFactor * std::pow(timeSinceTillage, H);
}

double NextKineticEnergy(double energy, double stepEnergy, double pause, double minPause, double timeSinceTillage) {
    if (!(timeSinceTillage > 0)) return 0.0;
    return pause >= minPause ? stepEnergy : energy + stepEnergy;
}

double InfiltrationCapacity(double disposition, double energy, double I0, double Iinf, double dtMinutes) {
    if (Iinf == std::numeric_limits<double>::infinity()) return Iinf;
    // Without energy the capacity is I_0 whatever the disposition (even an infinite one).
    const double decay = energy != 0 ? std::exp(-disposition * energy) : 1.0;
    return (decay * (I0 - Iinf) + Iinf) * dtMinutes / 60.0;
}

WaterSplit SplitWater(double input, double store, double capacity, bool tilled) {
    WaterSplit s;
    s.water = input + store;
    const double taken = capacity > 0 ? capacity : 0.0;
    s.runoff = (tilled && s.water > taken) ? s.water - taken : 0.0;
    s.infiltration = s.water - s.runoff;
    return s;
}

WaterSplit BuiltInCellStep(const BuiltInParameters& p, const CellInput& in, CellState& st) {
    const double P = RainIntensity(in.input, in.dtMinutes);
    st.rainPause = NextRainPause(st.rainPause, P, in.dtMinutes);
    const double Iinf = FinalInfiltrationRate(p, in.K, in.sand);
    const double W = RainEnergyPerMm(P);
    st.disposition = Disposition(p, in.K, in.sand, in.timeSinceTillage);
    const double e = StepEnergy(P, W, in.cover, in.dtMinutes);
    st.energy = NextKineticEnergy(st.energy, e, st.rainPause, in.minPause, in.timeSinceTillage);
    const double V = InfiltrationCapacity(st.disposition, st.energy, p.A, Iinf, in.dtMinutes);
    return SplitWater(in.input, in.store, V, in.tilled);
}

}  // namespace silting
