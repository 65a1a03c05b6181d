#pragma once
// A routing model over the shared test domain (zones 3, 5 and 9 as subbasins 1, 2 and 3) fed
// by a runoff array the test owns and fills per step, as the soil model would.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "routing/abfluss.hpp"
#include "setup/tracer_ini.hpp"
#include "submodel/submodel_fixtures.hpp"

namespace routing_test {

// A channel line: km, kf, bm, bf, D, Mm, Mf, I, L, A.
std::string Channel(double km, double L, double A = 100, double kf = -1);

// "[routing_model]" with one class per table (qmin = qmax = 10) unless line3 says otherwise.
std::string Section(const std::string& network, int nSub = 1, long statCode = 2001,
                    const std::string& descriptors = "0\n", int offset = 0, int flowControl = 1,
                    const std::string& line3 = "");

// "[output_interval]" with the routed discharge in the given unit.
std::string OutputInterval(int unit);

// Date of step n (0-based) hourly from 1.1.2020 24 h.
struct Date {
    int year, month, day, hour;
};
Date StepDate(int n);

// The rows of an abstraction or reservoir file after its three head lines, as numbers.
std::vector<std::vector<double>> ElementFileRows(const std::string& file);

class RoutingHarness : public submodel_test::DomainTest {
protected:
    void SetUp() override;
    // Zone shares of subbasins 3, 5, 9 in a basin of `area` km2.
    void SetZones(double area, double s3, double s5, double s9);
    // Builds the model; with nTr tracers of the given half-life (days, <= 0: none).
    unsigned Build(const std::string& section, int unit = 1, int nTr = 0, double halfLife = 0);
    // Links the runoff array, checks the connections and routes the initialisation passes.
    void Start();
    // Routes step n with the runoff now in qg_ and writes the outputs.
    void Step(int n);
    static bool Root() { return talvo_test::Rank() == 0; }
    // Working runoff (mm per step) of the subbasin with the zone code.
    double Routed(int code, int tracer = 0) const;

    std::unique_ptr<abflussmodellklasse> model_;
    RunoffArray qg_;
    std::vector<TracerDescriptor> tracers_;
};

}  // namespace routing_test
