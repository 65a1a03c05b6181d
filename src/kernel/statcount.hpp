#pragma once
// One value into the running statistics of a grid (count, sum, sum of squares, extremes), shared
// by the statistics of model objects and the binary grid writers so that every count takes its
// values with the same operations.

// The first value counted sets both extremes whatever its weight.
inline void CountStatisticValue(double x, double w, double& count, double& sum, double& squares, double& low,
                                double& high) {
    const bool first = count == 0;
    count += w;
    sum += x * w;
    squares += x * x * w;
    if (first) {
        low = high = x;
    } else if (x < low) {
        low = x;
    } else if (x > high) {
        high = x;
    }
}
