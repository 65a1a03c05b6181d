#include "lateral/surfrout_velocity.hpp"

#include <algorithm>
#include <cmath>

namespace surfrout {
namespace {

constexpr double kGravity = 9.8159;

// Drag of crop stems (lambda) for velocity v and flow depth.
double VegetationDrag(double v, double depth, double rootSlope, const RoughnessParams& p) {
    const double ds = p.stemDiameter;
    const double ax = p.cropDistX;
    double ay = p.cropDistY;
    if (ds < 0.001 || depth < p.minCropDepth) return 0;
    const double red = v * ds * 1000000.0;
    double cw;
    if (red < 800)
        cw = 3.07 * std::pow(red, -0.168);
    else if (red < 8000)
        cw = 1.0;
    else if (red < 10000)
        cw = 1.2;
    else
        cw = p.C_WR;
    double j = rootSlope;
    if (cw * j / (v * v) > 0.04) j = v * v / cw / 25.0;
    double aNL = 50.0 * ds;
    if (aNL > p.aNLTolerance && p.aNLIterations > 0) {
        for (int i = 0; i < p.aNLIterations; ++i) {
            const double next = cw * 128.9 * ds * std::pow((j * aNL * kGravity) / (v * v * 0.5) + 1.0, -2.14);
            const double change = std::fabs(next - aNL);
            aNL = next;
            if (change <= p.aNLTolerance) break;
        }
    }
    const double t1 = std::pow(aNL, 0.59);
    const double t2 = std::pow(cw * ds, 0.41);
    const double t3 = std::pow(aNL / ax, -0.48);
    const double t4 = std::pow(t2 * t1 * 0.24 / ay, 1.1);
    double fr = v / std::sqrt(depth * kGravity);
    ay = std::max(ay, 5.0 * ds);
    const double r = ay / (ay - ds);
    const double r3 = r * r * r;
    if (r3 * fr > 0.666) fr = 2.0 / (3.0 * r3);
    double c2;
    if (fr >= 0.05) {
        c2 = 2.0 / (fr * fr);
    } else {
        c2 = 799.9999999999999;
        fr = 0.05;
    }
    double x;
    if (p.aNLIterations < 1) {
        x = 0.4;
    } else {
        double x0 = 0.6;
        x = ((x0 - r) * 2.0 * fr) / (x0 * x0 - 1.0);
        for (int i = 1; i < p.aNLIterations && std::fabs(x0 - x) > 0.0001; ++i) {
            x0 = x;
            x = ((x0 - r) * 2.0 * fr) / (x0 * x0 - 1.0);
        }
        x = 1.0 - x;
    }
    return (depth * 4.0 * ds / (ay * ax)) * (cw * 1.31 * (t3 * 1.15 + t4 * 0.5) + c2 * x);
}

}  // namespace

double FlowCoefficient(double v, double depth, double rootSlope, const RoughnessParams& p, bool* fallback) {
    double kr = p.K_ST;
    if (p.cultivation == 1) {
        const double re = v * 4000000.0 * depth;
        const double* c = re < 20000 ? p.coeff1 : p.coeff2;
        const double denominator = c[0] * std::pow(p.residueCover * 100.0, c[1]);
        kr = std::pow(re, c[2]) / denominator;
        // No residue cover (or no coefficients) would give an infinite coefficient.
        if (!(std::isfinite(kr) && kr > 0)) {
            kr = p.K_ST;
            if (fallback) *fallback = true;
        }
    } else if (p.cultivation == 2) {
        const double lambda = VegetationDrag(v, depth, rootSlope, p);
        const double g8 = 78.5272;
        const double dz = std::pow(depth, 0.3333);
        const double arg = g8 / (dz * (g8 / (dz * p.K_ST * p.K_ST) + lambda));
        kr = arg > 0 ? std::sqrt(arg) : 0.001;
    }
    return kr;
}

double FixedCoefficientVelocity(double h, double rootSlope, double length, double shortestStep) {
    double v = std::pow(h, kDepthExponent) * 10.0 * rootSlope;
    if (shortestStep > 0) v = std::min(v, length / (shortestStep * 20.0));
    return v;
}

namespace {

// Fixed-point iteration v = sq y^(2/3) kr(v, y) with y = factor x qlim / v / length.
double IterateWithFlux(double va, double sq, double qlim, double factor, double length, const RoughnessParams& p,
                       const VelocitySettings& s, double* y, double* kr, bool* fallback) {
    double vb = va;
    int n = 0;
    do {
        const double vm = (va + vb) / 2;
        *y = factor * qlim / vm / length;
        *kr = FlowCoefficient(vm, *y, sq, p, fallback);
        va = vb;
        vb = sq * std::pow(*y, kDepthExponent) * *kr;
        ++n;
    } while (n < s.iterations && std::fabs(va - vb) > s.tolerance);
    return vb;
}

}  // namespace

DirectionFlow RoughnessFlow(double v0, double sq, double qlim, double length, double h, double criticalShear,
                            const RoughnessParams& p, const VelocitySettings& s, bool* fallback) {
    // Without a downhill slope the velocity laws give no flow.
    if (!(sq > 0) || !(qlim > 0)) return DirectionFlow{};
    double y = 0, kr = p.K_ST;
    double v = IterateWithFlux(v0, sq, qlim, 1.0, length, p, s, &y, &kr, fallback);
    const double tau = std::pow(kr / p.K_ST, 1.5) * y * 9815.0 * sq * sq;
    double c = 1.0;
    if (criticalShear <= tau && s.concentration > 1) {
        c = s.concentration;
        v = IterateWithFlux(v, sq, qlim, c, length, p, s, &y, &kr, fallback);
    }
    if (h < y / c) {
        y = c * h;
        int n = 0;
        double prev;
        do {
            prev = v;
            v = sq * std::pow(y, kDepthExponent) * FlowCoefficient(v, y, sq, p, fallback);
            ++n;
        } while (n < s.iterations && std::fabs(prev - v) > s.tolerance);
    }
    DirectionFlow out;
    if (y < 0.0001) return out;
    out.velocity = v;
    out.flux = v * length * y / c;
    return out;
}

double ScaleFluxesTo(double qmax, double q[9]) {
    // A direction that sends nothing adds +0, which leaves the sum (+0 or positive) as it is.
    double sum = 0;
    for (int d = 1; d <= 8; ++d) sum += q[d] > 0 ? q[d] : 0.0;
    if (!(sum > 0) || sum <= qmax) return sum;
    const double ratio = std::max(qmax, 0.0) / sum;
    sum = 0;
    for (int d = 1; d <= 8; ++d)
        if (q[d] > 0) {
            q[d] *= ratio;
            sum += q[d];
        }
    return sum;
}

}  // namespace surfrout
