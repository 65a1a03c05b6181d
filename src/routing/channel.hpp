#pragma once
// Hydraulics of one routing channel: a rectangular main channel with rectangular flood plains
// on both sides. For a set of log-spaced specific discharges the water-level/discharge table
// holds depth, velocity and travel time by Manning-Strickler, the split between main channel
// and flood plain and the delay of each class in time sub-intervals. Plain numbers in, plain
// numbers out: no log, no grid store.
#include <bit>
#include <cstdint>
#include <vector>

namespace routing {

// The ten channel values of a description line after the defaults for values <= 0.
struct ChannelParams {
    double km = 0.01;      // storage constant of the main channel, h
    double kf = 0.01;      // storage constant of the flood plain, h
    double bm = 0.1;       // width of the main channel, m
    double bf = 0.1;       // width of the flood plains, m
    double D = 0.1;        // depth of the main channel, m
    double Mm = 1.0;       // Manning-Strickler coefficient of the main channel, m^(1/3)/s
    double Mf = 1.0;       // Manning-Strickler coefficient of the flood plain
    double sqrtI = 0.0316; // square root of the slope
    double L = 1.0;        // channel length, m
    double A = 1e-06;      // catchment area of the channel, km2
};

// Values in description order: km, kf, bm, bf, D, Mm, Mf, I, L, A.
ChannelParams ChannelWithDefaults(const double values[10]);

struct ManningResult {
    double h = 0;  // water depth, m
    double R = 0;  // hydraulic radius, m
    double v = 0;  // velocity, m/s
};

// Depth, radius and velocity of the discharge Q (m3/s) in a rectangle of width b, by fixed-point
// iteration of the velocity from the start value v0 (at most maxIter iterations, until two
// velocities differ by at most tol). The exponent is 0.66667.
ManningResult ManningVelocity(double Q, double b, double v0, double M, double sqrtI, int maxIter = 50,
                              double tol = 0.005);

// Split of a discharge between main channel and flood plain.
struct CompoundFlow {
    double Qm = 0, Qf = 0;
    ManningResult main, flood;
};

// Flow of Q in the compound channel; vStart is the main-channel velocity carried from the
// previous class (a start value that is not positive restarts from 1.0). Water moved between
// main channel and flood plain never exceeds what the giving part carries.
CompoundFlow CompoundChannelFlow(double Q, const ChannelParams& p, double vStart);

// The water-level/discharge table of one channel; every column has int(n)+2 entries, classes
// 1..int(n)+1 are used.
// What the routing step reads stands first.
struct WQTable {
    double m = 1;         // number of sub-channels
    int maxDelta = 0;     // largest delay of all classes
    int length = 0;       // total delay-line length (nSub + maxDelta) * m
    // Class of the runoffs x (l/s/km2) by their bit pattern: bucket b holds the x whose bits
    // shifted right by bucketShift equal bucketFirst + b; its entry is the class of all of them,
    // or 0 where the bucket holds a class boundary. Empty: every look-up takes the logarithm.
    std::vector<int> bucketClass;
    std::uint64_t bucketFirst = 0;
    int bucketShift = 0;
    std::vector<int> delta;
    std::vector<double> share;
    double qmin = 0, qmax = 0, n = 0, dln = 0;
    std::vector<double> q, qmm, Q, v, vm, vf, t, Rm, Rf, dm, df;
    int Classes() const { return static_cast<int>(n) + 1; }
    // Positions of one sub-channel's block in a delay line: maxDelta + nSub.
    int Stride(int nSub) const { return maxDelta + nSub; }
};

enum class TableStatus { Ok, BadRange, NoVelocity, TooManySubChannels };

// Whether the table range and the sub-intervals give a table at all: qmin > 0, qmax >= qmin,
// n >= 1, nSub >= 1, all finite.
bool ValidTableRange(double qmin, double qmax, double n, int nSub);

// Builds the table of a channel for the time step dt (minutes) and nSub sub-intervals. A status
// other than Ok leaves the table incomplete.
TableStatus BuildWQTable(const ChannelParams& p, double qmin, double qmax, double n, double dt, int nSub,
                         WQTable& table);

// Smallest number of sub-channels m >= 1 for which tSlow / m exceeds tFast / m by at most one
// step of dt minutes (travel times in h); 0 when that would take more than a million.
double SubChannels(double tSlow, double tFast, double dt);

// l/s/km2 per mm per step of dt minutes.
inline double SpecificRunoffPerMm(double dt) { return 16666.668 / dt; }

// Runoff in l/s/km2 of q mm per step, given perMm = SpecificRunoffPerMm(dt); below 1e-7, and
// where q is no number, 1e-7.
inline double SpecificRunoffOf(double q, double perMm) {
    double x = perMm * q;
    if (!(x >= 1e-7)) x = 1e-7;
    return x;
}

inline double SpecificRunoff(double q, double dt) { return SpecificRunoffOf(q, SpecificRunoffPerMm(dt)); }

// Class of a specific runoff x (l/s/km2) by the logarithm.
int WQClassOfRunoffByLog(const WQTable& table, double x);

// Class of a specific runoff x (l/s/km2): by its bucket where it has one.
inline int WQClassOfRunoff(const WQTable& t, double x) {
    if (!t.bucketClass.empty()) {
        const std::uint64_t key = std::bit_cast<std::uint64_t>(x) >> t.bucketShift;
        if (key < t.bucketFirst) return 1;
        const std::uint64_t b = key - t.bucketFirst;
        if (b >= t.bucketClass.size()) return static_cast<int>(1 + t.n);
        if (const int c = t.bucketClass[b]; c > 0) return c;
    }
    return WQClassOfRunoffByLog(t, x);
}

// Class of a runoff q (mm per step) in the table: 1 for runoffs below qmin, int(n)+1 above qmax.
// Inline: the routing step looks up two classes per sub-channel.
inline int WQClassIndex(const WQTable& t, double q, double dt) { return WQClassOfRunoff(t, SpecificRunoff(q, dt)); }

// The same class computed as ceil(log(x / qmin) / dln) for every runoff: the reference that the
// buckets of WQClassIndex reproduce.
int WQClassIndexByLog(const WQTable& table, double q, double dt);

// mm per step over A km2 to m3/s and back.
inline double MmToM3s(double q, double A, double dt) { return q * A * 16.6666667 / dt; }
inline double M3sToMm(double Q, double A, double dt) { return Q * 0.06 * dt / A; }

}  // namespace routing
