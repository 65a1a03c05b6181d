// The implicit heat step's one-pass elimination: bit for bit the coefficients-then-elimination-then-
// back-substitution solve on varied columns (layers, thicknesses, conductivities, capacities,
// water moving up and down, macropore water, temperature and flux boundaries), and the heat
// balance of the step: the column gains what enters through its two boundaries.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "soil/soilheat.hpp"

namespace {

std::size_t U(int i) { return static_cast<std::size_t>(i); }

// The solve in three passes over the layers: every coefficient, the forward elimination, the
// back substitution.
void ThreePassSolve(const soilheat::Column& col, const std::vector<double>& Told, double surface, double lower,
                    bool fluxBoundary, double lowerFlux, double dt, const soilheat::Advection* adv,
                    std::vector<double>& Tnew) {
    const int n = col.n;
    const auto& l = col.lambda;
    const auto& d = col.thickness;
    const auto& H = col.capacity;
    const double Cw = soilheat::kWaterHeatCapacity;
    std::vector<double> A(U(n) + 1), B(U(n) + 1), C(U(n) + 1), R(U(n) + 1);
    const double Tb = fluxBoundary ? lowerFlux * d[U(n)] / (2.0 * l[U(n)]) + Told[U(n)] : lower;
    double gTop = 2.0 * l[1] * dt / (d[1] * d[1] * H[1]);
    double gBot = 2.0 * l[U(n)] * dt / (d[U(n)] * d[U(n)] * H[U(n)]);
    for (int k = 1; k <= n; ++k) {
        const double S = dt / (d[U(k)] * H[U(k)]);
        double a = k > 1 ? -2.0 * l[U(k - 1)] * dt / ((d[U(k - 1)] + d[U(k)]) * d[U(k)] * H[U(k)]) : 0.0;
        double c = k < n ? -2.0 * l[U(k)] * dt / ((d[U(k + 1)] + d[U(k)]) * d[U(k)] * H[U(k)]) : 0.0;
        double m = 0.0, Tw = 0.0;
        if (adv != nullptr) {
            const double qTop = adv->flux[U(k - 1)], qBottom = adv->flux[U(k)];
            if (qTop < 0) {
                if (k == 1) gTop += qTop * Cw * S;
                else a -= qTop * Cw * S;
            }
            if (qBottom > 0) {
                if (k == n) gBot -= qBottom * Cw * S;
                else c += qBottom * Cw * S;
            }
            m = adv->macropore[U(k)];
            Tw = adv->waterTemperature;
        }
        double b = 1.0 - a - c - m * Cw * S;
        double r = Told[U(k)] - S * m * Cw * (k == n && n > 1 ? Tb : Tw);
        if (k == 1) {
            b += gTop;
            r += surface * gTop;
        }
        if (k == n) {
            b += gBot;
            r += gBot * Tb;
        }
        A[U(k)] = a, B[U(k)] = b, C[U(k)] = c, R[U(k)] = r;
    }
    for (int k = 1; k < n; ++k) {
        const double f = A[U(k + 1)] / B[U(k)];
        B[U(k + 1)] -= f * C[U(k)];
        R[U(k + 1)] -= f * R[U(k)];
    }
    Tnew[U(n)] = R[U(n)] / B[U(n)];
    for (int k = n - 1; k >= 1; --k) Tnew[U(k)] = (R[U(k)] - C[U(k)] * Tnew[U(k + 1)]) / B[U(k)];
}

struct RandomColumn {
    int n;
    std::vector<double> lambda, capacity, thickness, T, flux, macropore;
    RandomColumn(int layers, std::mt19937_64& rng)
        : n(layers), lambda(U(n) + 1), capacity(U(n) + 1), thickness(U(n) + 1), T(U(n) + 1), flux(U(n) + 1),
          macropore(U(n) + 1) {
        std::uniform_real_distribution<double> u(0.0, 1.0);
        for (int k = 1; k <= n; ++k) {
            const std::size_t i = U(k);
            thickness[i] = 0.02 + 0.5 * u(rng);
            lambda[i] = 0.1 + 2.5 * u(rng);
            // Thawed layers near 2e6, freezing ones with latent heat up to 1e9.
            capacity[i] = u(rng) < 0.3 ? 2e6 + 1e9 * u(rng) : 1.2e6 + 1.5e6 * u(rng);
            T[i] = -12.0 + 25.0 * u(rng);
            macropore[i] = u(rng) < 0.3 ? -1e-6 * u(rng) : 0.0;
        }
        // Water moving down and up through the layer bounds (m/s).
        for (int k = 0; k <= n; ++k) flux[U(k)] = (u(rng) - 0.6) * 2e-6;
    }
    soilheat::Column col() const { return {n, lambda, capacity, thickness}; }
};

std::uint64_t Bits(double v) { return std::bit_cast<std::uint64_t>(v); }

TEST(SoilHeatImplicit, OnePassGivesTheThreePassSolveBitForBit) {
    std::mt19937_64 rng(4711);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    int cases = 0;
    for (const int n : {1, 2, 3, 10, 25})
        for (int rep = 0; rep < 40; ++rep) {
            const RandomColumn c(n, rng);
            const soilheat::Advection adv{c.flux, c.macropore, u(rng) < 0.5 ? 0.0 : -3.0 + 10.0 * u(rng)};
            const double surface = -15.0 + 30.0 * u(rng), lower = 1.0 + 8.0 * u(rng);
            const double dt = rep % 3 == 0 ? 60.0 : 600.0 * (1 + rep % 6);
            for (const bool withAdvection : {false, true})
                for (const bool fluxBoundary : {false, true}) {
                    std::vector<double> a(U(n) + 1), b(U(n) + 1), cc(U(n) + 1), r(U(n) + 1), got(U(n) + 1, NAN),
                        want(U(n) + 1, NAN);
                    const soilheat::Advection* p = withAdvection ? &adv : nullptr;
                    soilheat::ImplicitStep(c.col(), c.T, surface, lower, fluxBoundary, 0.06, dt, p, {a, b, cc, r},
                                           got);
                    ThreePassSolve(c.col(), c.T, surface, lower, fluxBoundary, 0.06, dt, p, want);
                    for (int k = 1; k <= n; ++k)
                        ASSERT_EQ(Bits(got[U(k)]), Bits(want[U(k)]))
                            << "n " << n << ", case " << rep << ", advection " << withAdvection << ", flux boundary "
                            << fluxBoundary << ", layer " << k;
                    ++cases;
                }
        }
    EXPECT_EQ(cases, 5 * 40 * 4);
}

TEST(SoilHeatImplicit, ColumnGainsTheHeatThroughItsBoundaries) {
    // Without water moving, the implicit step conserves heat: the change of the column's heat
    // content equals dt times the flux from the surface into layer 1 minus the flux out of the
    // last layer to the lower boundary, both from the new temperatures.
    std::mt19937_64 rng(20261207);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (const int n : {1, 2, 7, 20})
        for (int rep = 0; rep < 20; ++rep) {
            const RandomColumn c(n, rng);
            const double surface = -10.0 + 20.0 * u(rng), lower = 4.0, dt = 1800.0;
            std::vector<double> a(U(n) + 1), b(U(n) + 1), cc(U(n) + 1), r(U(n) + 1), T(U(n) + 1);
            soilheat::ImplicitStep(c.col(), c.T, surface, lower, false, 0.0, dt, nullptr, {a, b, cc, r}, T);
            double gained = 0, scale = 0;
            for (int k = 1; k <= n; ++k) {
                const std::size_t i = U(k);
                gained += c.thickness[i] * c.capacity[i] * (T[i] - c.T[i]);
                scale += c.thickness[i] * c.capacity[i] * std::abs(T[i] - c.T[i]);
            }
            const double in = 2.0 * c.lambda[1] / c.thickness[1] * (surface - T[1]);
            const double out = 2.0 * c.lambda[U(n)] / c.thickness[U(n)] * (T[U(n)] - lower);
            EXPECT_NEAR(gained, dt * (in - out), 1e-9 * (scale + dt * (std::abs(in) + std::abs(out))))
                << "n " << n << ", case " << rep;
        }
}

}  // namespace
