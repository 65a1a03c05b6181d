#pragma once
// Overland flow velocities: the flow coefficient of a land use (bed roughness, a Reynolds
// number law for conserving cultivation, the drag of crop stems), the Manning-Strickler type
// velocity of one flow direction with its fixed-point iteration, flow concentration above a
// critical shear stress and the limits that keep a cell from giving more water than it holds.
// Pure functions: plain numbers in, numbers out.

namespace surfrout {

// The land use's roughness values at the cell and date, and the iteration settings.
struct RoughnessParams {
    int cultivation = 3;  // 1 conserving, 2 nonconserving, 3 other
    double K_ST = 10.0;
    double cropDistX = 0.3, cropDistY = 0;
    double C_WR = 1.5;
    double coeff1[3] = {0, 0, 0};  // a, b, c below Re 20000
    double coeff2[3] = {0, 0, 0};  // a, b, c above
    double stemDiameter = 0;       // m
    double residueCover = 0;       // fraction
    double minCropDepth = 0;       // below it the vegetation drag is 0
    double aNLTolerance = 0;
    int aNLIterations = 0;
};

// Flow coefficient kr [m^(1/3)/s] for velocity v [m/s], flow depth [m] and root of the slope.
// fallback is set when a conserving coefficient was not finite and positive (K_ST is used).
double FlowCoefficient(double v, double depth, double rootSlope, const RoughnessParams& p, bool* fallback);

// Velocity of the fixed coefficient 10 (method 5), capped at length / (20 x shortest sub
// step) when a shortest sub step is set.
double FixedCoefficientVelocity(double h, double rootSlope, double length, double shortestStep);

struct VelocitySettings {
    double tolerance = 0;
    int iterations = 0;
    double concentration = 1.0;  // factor above the critical shear stress
};

struct DirectionFlow {
    double velocity = 0;  // m/s
    double flux = 0;      // m3/s
};

// Velocity and flux of one direction for methods 1-4, starting the iteration at v0.
// qlim: the flux the cell can give in the longest sub step; h: the cell's water depth.
DirectionFlow RoughnessFlow(double v0, double rootSlope, double qlim, double length, double h,
                            double criticalShear, const RoughnessParams& p, const VelocitySettings& s,
                            bool* fallback);

// Scales the positive fluxes q[1..8] down so that their sum is at most qmax (never below 0);
// returns the sum of the positive fluxes afterwards.
double ScaleFluxesTo(double qmax, double q[9]);

// Exponent of the depth in the velocity laws.
constexpr double kDepthExponent = 0.66667;

}  // namespace surfrout
