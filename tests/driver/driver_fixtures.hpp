#pragma once
// A small domain for the driver tests: a 4 x 5 zone grid held whole on every process, a set-up
// that hands it out without reading grid files and records what the time loop asks of it, and
// a meteorological input that steps through a list of dates.
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "driver/modapuzr.hpp"
#include "kernel/zonestat.hpp"
#include "submodel/submodel_fixtures.hpp"

namespace driver_test {

using namespace submodel_test;

struct Recorder {
    std::vector<std::string> calls;
    bool Has(const std::string& c) const { return First(c) >= 0; }
    int First(const std::string& c) const;  // -1 when absent
    int Count(const std::string& c) const;
};

struct DomainOptions {
    std::vector<std::string> inputs;  // names of the meteorological inputs
    SpinUpState spinUp;
    bool coupled = false;
    char couplingLetter = 'I';
    int occupiedStoreEntries = 0;  // entries filled before the inputs are built
    bool buildSetup = false;       // this build's set-up reading test.ctl instead of the recording one
};

class TestSetup : public ModelSetup {
public:
    TestSetup(Recorder& rec, const DomainOptions& o, GridStore* store) : rec_(rec), o_(o), store_(store) {}
    void Initialise(SubmodelSettings& s, SpinUpState& spinUp) override;
    double GetMaxElevation() override { return 1234.5; }
    int ReadSubsteps() override { return 1; }
    void SetStatus(int) override {}
    void SetEndDate(std::int64_t y, std::int64_t m, std::int64_t d, std::int64_t h) override;
    void UpdatePeriodicGrids(std::int64_t, std::int64_t, std::int64_t, std::int64_t) override { Log("periodic"); }
    void UpdateDynamicLanduseParameters(std::int64_t, std::int64_t, std::int64_t, std::int64_t, int step) override {
        Log("landuse:" + std::to_string(step));
    }
    void WriteStandardGrids(std::int64_t, std::int64_t, std::int64_t, std::int64_t) override { Log("writestd"); }
    void WriteVariableGrids(std::int64_t, std::int64_t, std::int64_t, std::int64_t) override { Log("writevar"); }
    void ResetStandardGridStatistics() override { Log("statreset"); }
    void AddStandardGridStatistics() override { Log("statadd"); }
    void StepStandardGridStatistics(std::int64_t, std::int64_t, std::int64_t, std::int64_t) override { Log("statstep"); }
    void WriteStandardGridStatisticLines() override { Log("statflush"); }
    bool IsExternallyCoupled() override { return o_.coupled; }
    char GetCouplingModeLetter() override { return o_.couplingLetter; }
    std::string GetSemaphoreFileName() override { return "incoming.sem"; }
    long GetCouplingWaitInterval() override { return 100; }
    void ReadExternalGrids(std::int64_t h, std::int64_t d, std::int64_t, std::int64_t) override {
        Log("readexternal:" + std::to_string(d) + "/" + std::to_string(h));
    }
    bool HasExternalGWTable() override { return false; }
    double GetExternalTimeStep() override { return 0; }
    void WriteExternalOutput(std::int64_t d, std::int64_t m, std::int64_t y, bool endOfDay, bool endOfMonth,
                             bool endOfYear) override;
    void AccumulateExternalOutput() override { Log("accumulate"); }
    std::string GetExternalSemaphoreFileName() override { return "outgoing.sem"; }
    const char* GetExternalSemaphoreContent() override { return "ready\n"; }
    void LinkExternalGrids(OutputCodeEntry*, int) override { Log("linkexternal"); }

private:
    void Log(const std::string& call) { rec_.calls.push_back("setup." + call); }
    Recorder& rec_;
    DomainOptions o_;
    GridStore* store_;
    Matrix zone_;
    std::vector<Matrix> fillers_;
    std::vector<int> index_;
    std::vector<zoneFZT> records_;
};

struct Date {
    std::int64_t h, d, m, y;
};

// A meteorological input that steps through dates; at the step whose number is
// interruptAtStep its run raises SIGINT, as a user pressing Ctrl-C would. At the end of step
// failAtStep, on process failOnRank, it leaves failCode waiting, as a table that process fails
// to write does.
class SteppingInput : public MeteoInput {
public:
    SteppingInput(Recorder& rec, std::string name, std::vector<Date> dates, int interruptAtStep)
        : rec_(rec), name_(std::move(name)), dates_(std::move(dates)), last_(dates_.size() - 1),
          interruptAt_(interruptAtStep) {}
    int Method() const override { return method; }
    void SetWarnings(int value) override { warnings = value; }
    void SetHourOffset(double hours) override { hourOffset = hours; }
    void SetStatus(int word) override { status = word; }
    void GetDate(std::int64_t* h, std::int64_t* d, std::int64_t* m, std::int64_t* y) const override;
    void ComputeElevationRegression(int) override { Log("regression"); }
    void run(std::int64_t h, std::int64_t d, std::int64_t m, std::int64_t y) override;
    zonalstatistic* RunBeforeReduction(std::int64_t h, std::int64_t d, std::int64_t m, std::int64_t y) override;
    bool DataEndWithThisStep() override;
    int BufferedDataEnd() const override;
    bool StatisticsMayWrite() const override;
    void WriteOutputGrid() override { Log("write"); }
    void AdvanceRecords() override;
    bool IsAtEnd() const override { return atEnd_; }
    void EndAtCurrentDate() override {
        Log("endnow");
        last_ = pos_;
    }
    void FlushStatistics() override { Log("flush"); }
    void Rewind() override;

    int method = 1;
    int warnings = -1;
    double hourOffset = -1;
    int status = 0;
    int steps = 0;
    int failAtStep = 0;
    int failOnRank = 0;
    int failCode = 0;
    // On process dataEndOnRank the data end with step dataEndAtStep (before the end date); on
    // process readOnRank telling that needs a read.
    int dataEndAtStep = 0;
    int dataEndOnRank = 0;
    int readOnRank = -1;
    // Process 0 says that the statistics' table may be written in step writeAtStep.
    int writeAtStep = 0;
    // At step throwAtStep the step of every process throws throwCode.
    int throwAtStep = 0;
    int throwCode = 0;
    // Zone statistics of one zone, one row of means a step: in step k every process adds the
    // value (rank + 1) x k x factor with weight 1 (run exchanges them alone and logs "alone").
    // Null until KeepStatistics. Where rankValues is given, process p adds rankValues[p] x k x
    // factor instead; process lateRank reaches the exchange 20 ms after the others.
    void KeepStatistics(double factor);
    std::vector<double> rankValues;
    int lateRank = -1;
    const zonalstatistic* Statistics() const { return statistics_.get(); }

private:
    void Log(const std::string& call) { rec_.calls.push_back(name_ + "." + call); }
    Recorder& rec_;
    std::string name_;
    std::vector<Date> dates_;
    std::size_t pos_ = 0;
    std::size_t last_ = 0;
    bool atEnd_ = false;
    bool rewound_ = false;
    int interruptAt_;
    double factor_ = 0;
    std::vector<zoneFZT> records_;
    std::unique_ptr<zonalstatistic> statistics_;
};

// One application over the test domain, with its log captured.
class AppHarness {
public:
    AppHarness(const DomainOptions& o, const std::vector<Date>& dates, const std::string& menu = "",
               int interruptAtStep = 0);
    ~AppHarness();
    ModellApplication& app() { return *app_; }
    std::string Console() const { return console_.str(); }
    // Builds the application; returns the error code of a failed construction (0 when built).
    int Build();

    Recorder rec;
    std::vector<SteppingInput*> inputs;  // observers, owned by the application

private:
    DomainOptions o_;
    std::vector<Date> dates_;
    std::istringstream menu_;
    int interruptAt_;
    std::ostringstream console_;
    std::unique_ptr<DiagLog> log_;
    std::unique_ptr<ModellApplication> app_;
};

}  // namespace driver_test
