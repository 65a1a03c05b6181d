// The two variants of the precipitation correction: at the stations before the interpolation,
// or on the interpolated grid after the regional superposition.
#include <algorithm>

#include "kernel/threading.hpp"
#include "meteo/meteoint.hpp"
#include "meteo/precicorr.hpp"

void precicorrclass::CorrectStations() {
    if (doIt == 0 || notAllInterpolators_ || precipitation_ == nullptr) return;
    int largest = stations_;
    for (meteointerpol* ip : {temperature_, wind_})
        if (ip != nullptr && ip->HasStations()) largest = std::max(largest, ip->Station(0).StationCount());
    buffer_.assign(static_cast<std::size_t>(largest) + 1, 0.0);
    SharePointCells();
    if (method_ != 2 && method_ != 10 && stations_ > 0) CorrectStationValues(buffer_.data());
    if (method_ == 2 || method_ == 3 || method_ == 10 || method_ == 11) CorrectRegression(buffer_.data());
    buffer_.clear();
    buffer_.shrink_to_fit();
}

void precicorrclass::CorrectStationValues(double* buffer) {
    StationFile& file = precipitation_->Station(0);
    const std::vector<double>& alt = file.Altitude();
    const std::vector<double>& x = file.X();
    const std::vector<double>& y = file.Y();
    std::vector<double>& p = file.Values();
    const double rain = k_.threshold + 1.0;
    for (int i = 1; i <= stations_; ++i) {
        const auto s = static_cast<std::size_t>(i);
        double t = rain, u = 0.0;
        if (temperature_ != nullptr) {
            t = InterpolateAtPoint(*temperature_, buffer, x[s], y[s], alt[s]);
            if (t < -temperature_->N) t = rain;
        }
        if (wind_ != nullptr) {
            u = InterpolateAtPoint(*wind_, buffer, x[s], y[s], alt[s]);
            if (u < -wind_->N) u = 0.0;
        }
        stationTemperature_[s] = t;
        stationWind_[s] = u;
        if (!(p[s] < -precipitation_->N)) p[s] *= undercatch::Factor(k_, t, u);
    }
}

void precicorrclass::CorrectRegression(double* buffer) {
    const meteointerpol::RegressionSet set = precipitation_->GetRegressionSet(0);
    if (set.a[1] < -precipitation_->N) return;
    undercatch::ElevationProfile profile;
    profile.h1 = set.h1;
    profile.h2 = set.h2;
    profile.a = set.a;
    profile.b = set.b;
    const double rain = k_.threshold + 1.0;
    // Temperature and wind at an elevation, without a place (no anisotropy turn).
    auto factorAt = [&](double z) {
        double t = rain, u = 0.0;
        if (temperature_ != nullptr) {
            t = InterpolateAtPoint(*temperature_, buffer, nodata, nodata, z);
            if (t < -temperature_->N) t = rain;
        }
        if (wind_ != nullptr) {
            u = InterpolateAtPoint(*wind_, buffer, nodata, nodata, z);
            if (u < -wind_->N) u = 0.0;
        }
        return undercatch::Factor(k_, t, u);
    };
    const undercatch::ElevationProfile fitted = undercatch::RefitProfile(profile, maxElevation, factorAt);
    precipitation_->SetRegressionSet(0, fitted.a, fitted.b, fitted.h2);
}

void precicorrclass::CorrectGrid() {
    if (doIt == 0 || precipitationGrid_ == nullptr) return;
    if (!regionsLookedUp_) {
        FindDecompositionGrids();
        regionsLookedUp_ = true;
    }
    Matrix& p = *precipitationGrid_;
    const Matrix* t = temperatureGrid_;
    const Matrix* w = windGrid_;
    const Matrix* regions = mpiRegions;
    const undercatch::Coefficients k = k_;
    const double limit = -precipitationN_, tLimit = -temperatureN_, wLimit = -windN_;
    const double gridNodata = nodata;
#pragma omp parallel for schedule(runtime) if (WorthThreads(firstRow, lastRow, ncols))
    for (int r = firstRow; r <= lastRow; ++r) {
        const bool ranged = basinColumns != nullptr && static_cast<std::size_t>(r) < basinColumns->size();
        const int c1 = std::max(ranged ? (*basinColumns)[static_cast<std::size_t>(r)].first : 1, 1);
        const int c2 = std::min(ranged ? (*basinColumns)[static_cast<std::size_t>(r)].last : ncols, ncols);
        for (int c = c1; c <= c2; ++c) {
            if (regions != nullptr && (*regions)[r][c] != rank) continue;
            if (p[r][c] < limit || p[r][c] == gridNodata) continue;
            // A cell without a valid temperature counts as rain, one without a valid wind (an
            // interpolation without any station yet holds nodata) as calm.
            const double tv = t != nullptr ? (*t)[r][c] : gridNodata;
            const double uv = w != nullptr ? (*w)[r][c] : gridNodata;
            const double tc = tv < tLimit || tv == gridNodata ? k.threshold + 1.0 : tv;
            const double uc = uv < wLimit || uv == gridNodata ? 0.0 : uv;
            p[r][c] *= undercatch::Factor(k, tc, uc);
        }
    }
}
