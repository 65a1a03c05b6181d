#include "routing_harness.hpp"

#include <sstream>

#include "kernel/controlfile.hpp"

using namespace submodel_test;

namespace routing_test {

std::string Channel(double km, double L, double A, double kf) {
    return StrFormat(" = %g = %g = 10 = 50 = 1 = 30 = 20 = 0.001 = %g = %g", km, kf < 0 ? km : kf, L, A);
}

std::string Section(const std::string& network, int nSub, long statCode, const std::string& descriptors, int offset,
                    int flowControl, const std::string& line3) {
    return "[routing_model]\n" + std::to_string(flowControl) + " flow control\n60 time step\n" +
           (line3.empty() ? "10 10 1 " + std::to_string(nSub) : line3) +
           "  qmin qmax intervals sub-intervals\nQstat.txt " + std::to_string(statCode) +
           "  name of the Qstatfiles for\nobserved.txt  name of spec.discharge files for\n" + descriptors +
           std::to_string(offset) + "  offset of the goodness of fit\n" + network + "end of the descriptions\n";
}

std::string OutputInterval(int unit) {
    return "[output_interval]\n1 run interval\n0 warnings\n" + std::to_string(unit) + " unit of routed discharge\n\n";
}

std::vector<std::vector<double>> ElementFileRows(const std::string& file) {
    std::istringstream in(talvo_test::ReadFile(file));
    std::string line;
    std::vector<std::vector<double>> rows;
    for (int n = 0; std::getline(in, line); ++n) {
        if (n < 3) continue;
        std::istringstream l(line);
        std::vector<double> v;
        for (double x; l >> x;) v.push_back(x);
        rows.push_back(v);
    }
    return rows;
}

Date StepDate(int n) {
    const int total = 24 + n;
    return Date{2020, 1, 1 + (total - 1) / 24, (total - 1) % 24 + 1};
}

void RoutingHarness::SetUp() {
    DomainTest::SetUp();
    settings_.endHour = settings_.startHour;
    settings_.endDay = settings_.startDay;
    settings_.endMonth = settings_.startMonth;
    settings_.endYear = settings_.startYear;
}

void RoutingHarness::SetZones(double area, double s3, double s5, double s9) {
    records_[0].rel = area;
    records_[1].rel = s3;
    records_[2].rel = s5;
    records_[3].rel = s9;
}

unsigned RoutingHarness::Build(const std::string& section, int unit, int nTr, double halfLife) {
    WriteShared("test.ctl", ControlFile(section, OutputInterval(unit)));
    tracers_.assign(static_cast<std::size_t>(nTr + 1), TracerDescriptor{});
    for (int t = 1; t <= nTr; ++t) {
        TracerDescriptor& d = tracers_[static_cast<std::size_t>(t)];
        d.name = "tr" + std::to_string(t);
        d.radioactive = halfLife > 0 ? 1 : 0;
        d.half_time = halfLife > 0 ? halfLife : -9999.0;
        d.statext = "txt";
        d.statcode = 2001;
    }
    unsigned error = 0;
    model_ = std::make_unique<abflussmodellklasse>(error, log_.get(), settings_, tracers_.data(), nTr);
    qg_.assign(static_cast<std::size_t>(nTr + 1), std::vector<double>(4, 0.0));
    return error;
}

void RoutingHarness::Start() {
    model_->SetRunoffSource(&qg_);
    model_->CheckConnectionsAndInitRouting();
    model_->SetIrrigationTable(nullptr);
    model_->SetStatus(1);
}

void RoutingHarness::Step(int n) {
    const Date d = StepDate(n);
    model_->SetEndDate(d.year, d.month, d.day, d.hour);
    model_->run(d.hour, d.day, d.month, d.year);
    model_->WriteOutputs();
}

double RoutingHarness::Routed(int code, int tracer) const {
    return model_->working[static_cast<std::size_t>(tracer)][static_cast<std::size_t>(index_[static_cast<std::size_t>(code)])];
}

}  // namespace routing_test
