#include "driver_fixtures.hpp"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <mpi.h>
#include <thread>

#include "kernel/error.hpp"
#include "kernel/signals.hpp"

namespace driver_test {

int Recorder::First(const std::string& c) const {
    auto it = std::find(calls.begin(), calls.end(), c);
    return it == calls.end() ? -1 : static_cast<int>(it - calls.begin());
}
int Recorder::Count(const std::string& c) const { return static_cast<int>(std::count(calls.begin(), calls.end(), c)); }

void TestSetup::Initialise(SubmodelSettings& s, SpinUpState& spinUp) {
    rec_.calls.push_back("setup.initialise");
    s = BaseSettings(*store_, zone_, index_, records_, "test.ctl");
    s.meteoCount = static_cast<int>(o_.inputs.size());
    s.meteoNames.assign(1, std::string());
    for (const auto& n : o_.inputs) s.meteoNames.push_back(n);
    s.warningSwitch = 1;
    memory_handling mh;
    for (int i = 0; i < o_.occupiedStoreEntries; ++i) fillers_.push_back(mh.matrix(1, 1, 1, 1, 1));
    for (int i = 0; i < o_.occupiedStoreEntries; ++i) (*store_)[2 + i].grid = &fillers_[static_cast<std::size_t>(i)];
    spinUp = o_.spinUp;
}

void TestSetup::SetEndDate(std::int64_t y, std::int64_t m, std::int64_t d, std::int64_t h) {
    Log("enddate:" + std::to_string(d) + "." + std::to_string(m) + "." + std::to_string(y) +
                         " " + std::to_string(h));
}

void TestSetup::WriteExternalOutput(std::int64_t d, std::int64_t m, std::int64_t y, bool endOfDay, bool endOfMonth,
                                    bool endOfYear) {
    Log("writeexternal:" + std::to_string(d) + "." + std::to_string(m) + "." +
                         std::to_string(y) + (endOfDay ? " D" : "") + (endOfMonth ? " M" : "") +
                         (endOfYear ? " Y" : ""));
}

void SteppingInput::GetDate(std::int64_t* h, std::int64_t* d, std::int64_t* m, std::int64_t* y) const {
    const Date& x = dates_[std::min(pos_, dates_.size() - 1)];
    *h = x.h;
    *d = x.d;
    *m = x.m;
    *y = x.y;
}

void SteppingInput::run(std::int64_t h, std::int64_t d, std::int64_t m, std::int64_t y) {
    if (RunBeforeReduction(h, d, m, y) == nullptr) return;
    Log("alone");
    statistics_->Step(y, m, d, h, 1);
}

zonalstatistic* SteppingInput::RunBeforeReduction(std::int64_t h, std::int64_t d, std::int64_t, std::int64_t) {
    ++steps;
    Log("run:" + std::to_string(d) + "/" + std::to_string(h));
    if (steps == interruptAt_) std::raise(SIGINT);
    if (steps == throwAtStep) throw ModelError(throwCode);
    if (!statistics_) return nullptr;
    statistics_->Reset();
    zoneFZT& zone = records_[1];
    zone.n = 1;
    zone.RelCellSum = 1;
    const int rank = talvo_test::Rank();
    if (rank == lateRank) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const double value = rankValues.empty() ? rank + 1 : rankValues[static_cast<std::size_t>(rank)];
    zone.sx = value * steps * factor_;
    return statistics_.get();
}

bool SteppingInput::DataEndWithThisStep() {
    const bool ending = steps + 1 == dataEndAtStep && talvo_test::Rank() == dataEndOnRank;
    if (ending) Log("dataend");
    return ending;
}

bool SteppingInput::StatisticsMayWrite() const { return steps + 1 == writeAtStep && talvo_test::Rank() == 0; }

int SteppingInput::BufferedDataEnd() const {
    if (talvo_test::Rank() == readOnRank) return -1;
    return steps + 1 == dataEndAtStep && talvo_test::Rank() == dataEndOnRank ? 1 : 0;
}

void SteppingInput::KeepStatistics(double factor) {
    factor_ = factor;
    records_.assign(2, zoneFZT{});
    int error = -1;
    statistics_ = std::make_unique<zonalstatistic>(&error, nullptr, nullptr, 1, 1, records_.data(), 1, 2001, 3,
                                                   name_ + "_zones.txt", "", 0, std::vector<int>{});
}

void SteppingInput::AdvanceRecords() {
    Log("advance");
    if (steps == failAtStep && talvo_test::Rank() == failOnRank) DeferFailure(failCode);
    if (rewound_) {
        rewound_ = false;
        return;
    }
    if (pos_ >= last_ || pos_ + 1 >= dates_.size()) {
        atEnd_ = true;
        return;
    }
    ++pos_;
}

void SteppingInput::Rewind() {
    Log("rewind");
    pos_ = 0;
    atEnd_ = false;
    last_ = dates_.size() - 1;
    // The first AdvanceRecords after a rewind reads the first record again.
    rewound_ = true;
}

AppHarness::AppHarness(const DomainOptions& o, const std::vector<Date>& dates, const std::string& menu,
                       int interruptAtStep)
    : o_(o), dates_(dates), menu_(menu), interruptAt_(interruptAtStep), log_(std::make_unique<DiagLog>("", 4)) {
    log_->SetConsole(console_);
}

AppHarness::~AppHarness() {
    SetInterruptTarget(nullptr);
    app_.reset();
    log_->Close();
}

int AppHarness::Build() {
    ApplicationHooks hooks;
    hooks.menuInput = &menu_;
    if (!o_.buildSetup)
        hooks.makeSetup = [this](unsigned& error, DiagLog*, const std::string&, OutputCodeEntry*, int, GridStore* store) {
            error = 0;
            return std::unique_ptr<ModelSetup>(std::make_unique<TestSetup>(rec, o_, store));
        };
    hooks.makeMeteoInput = [this](unsigned& error, DiagLog*, const std::string& name, const SubmodelSettings&,
                                  int) -> std::unique_ptr<MeteoInput> {
        error = 0;
        auto in = std::make_unique<SteppingInput>(rec, name, dates_, inputs.empty() ? interruptAt_ : 0);
        inputs.push_back(in.get());
        return in;
    };
    char program[] = "talvo", control[] = "test.ctl";
    char* argv[] = {program, control, nullptr};
    const int code = CodeOf([&] { app_ = std::make_unique<ModellApplication>(log_.get(), 2, argv, 1, std::move(hooks)); });
    if (code != 0) return code;
    SetInterruptTarget(&app_->ctrlCOption);
    ResetCtrlCHandler();
    return 0;
}

}  // namespace driver_test
