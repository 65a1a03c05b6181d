// The time loop: interrupt agreement, the step order of the sub-models, the end test, the
// external coupling and the spin-up repetitions; and the temperature-only pre-spin-up.
#include <algorithm>
#include <cctype>
#include <exception>
#include <iomanip>
#include <iostream>
#include <mpi.h>

#include "driver/modapuzr.hpp"
#include "kernel/diaglog.hpp"
#include "kernel/error.hpp"
#include "kernel/signals.hpp"
#include "kernel/steptimes.hpp"
#include "kernel/zonerecord.hpp"
#include "kernel/zonestat.hpp"
#include "lateral/gwflow.hpp"
#include "lateral/siltingup.hpp"
#include "lateral/surfrout.hpp"
#include "meteo/expokorr.hpp"
#include "meteo/meteoinput.hpp"
#include "meteo/meteoint.hpp"
#include "routing/abfluss.hpp"
#include "soil/unsatzon.hpp"
#include "surface/etpetr.hpp"
#include "surface/interzep.hpp"
#include "surface/irrigate.hpp"
#include "surface/snowmod.hpp"

namespace {
// Longest menu answer taken from the input; the rest of a longer word is left unread.
constexpr int kAnswerWidth = 64;
}  // namespace

int ModellApplication::AgreeOnMaximum(int value) const {
    int size = 1;
    int initialised = 0;
    MPI_Initialized(&initialised);
    if (initialised) MPI_Comm_size(MPI_COMM_WORLD, &size);
    if (size <= 1) return value;
    int result = value;
    MPI_Allreduce(&value, &result, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
    return result;
}

void ModellApplication::AgreeOnMaxima(const int* values, int* maxima, int count) const {
    int size = 1;
    int initialised = 0;
    MPI_Initialized(&initialised);
    if (initialised) MPI_Comm_size(MPI_COMM_WORLD, &size);
    if (size <= 1) {
        std::copy(values, values + count, maxima);
        return;
    }
    MPI_Allreduce(values, maxima, count, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
}

void ModellApplication::StopTogether(const std::function<void()>& work) {
    int code = 0;
    try {
        work();
    } catch (const ModelError& e) {
        code = e.code();
    }
    AgreeAndStop(code);
}

void ModellApplication::StopTogetherAfterAll(const std::vector<std::function<void()>>& works) {
    int code = 0;
    for (const std::function<void()>& work : works) {
        try {
            work();
        } catch (const ModelError& e) {
            if (code == 0) code = e.code();
        }
    }
    AgreeAndStop(code);
}

void ModellApplication::AgreeAndStop(int code) {
    if (code == 0) code = TakeDeferredFailure();
    StopWithAgreed(code, AgreeOnMaximum(code));
}

void ModellApplication::StopWithAgreed(int code, int agreed) {
    if (agreed == 0) return;
    if (code == 0)
        *log_ << "FATAL: another process stopped with error " << agreed << "; this process stops with it"
              << "[end-entry]";
    throw ModelError(agreed);
}

// One word; its first character as a decimal digit, 0 when it is none or input has ended.
int ModellApplication::ReadMenuAnswer() {
    std::istream& in = hooks_.menuInput != nullptr ? *hooks_.menuInput : std::cin;
    std::string word;
    if (!(in >> std::setw(kAnswerWidth) >> word) || word.empty()) return 0;
    const unsigned char first = static_cast<unsigned char>(word[0]);
    return std::isdigit(first) ? first - '0' : 0;
}

void ModellApplication::InterruptAgreement() {
    // The pending interrupt is taken in one step, so that one arriving while the processes
    // agree stays pending for the next step instead of being overwritten.
    AnswerInterrupt(AgreeOnMaximum(ctrlCOption.exchange(0)));
}

void ModellApplication::AgreeAtStepStart() {
    // The pending interrupt, the failure waiting from the step before and whether the data end
    // with this step (as far as the records read already tell: 2 when a file must be read),
    // agreed in one exchange.
    // Also whether an input's table may be written in this step: its entry in the log of process
    // 0 must then come before the next input's, so that the inputs exchange one by one.
    int ending = 0, writing = 0;
    for (loopIndex_ = 1; loopIndex_ <= inputCount_; ++loopIndex_) {
        const MeteoInput& in = *inputs_[static_cast<std::size_t>(loopIndex_)];
        const int known = in.BufferedDataEnd();
        ending = std::max(ending, known < 0 ? 2 : known);
        if (in.StatisticsMayWrite()) writing = 1;
    }
    const int mine[4] = {ctrlCOption.exchange(0), TakeDeferredFailure(), ending, writing};
    int agreed[4] = {0, 0, 0, 0};
    AgreeOnMaxima(mine, agreed, 4);
    inputsOneByOne_ = agreed[3] != 0;
    if (agreed[0] != 0) {
        // The menu may flush the tables, whose own failure must not come before the waiting one,
        // and may end the run with this step: the failure waits again and the three follow one
        // another, each with its own exchange.
        DeferFailure(mine[1]);
        AnswerInterrupt(agreed[0]);
        AgreeAndStop(0);
        EndWhereDataEnd();
        return;
    }
    ResetCtrlCHandler();
    StopWithAgreed(mine[1], agreed[1]);
    if (agreed[2] > 1) {
        EndWhereDataEnd();
        return;
    }
    // Every input could tell without a read: asked again, the inputs whose data end name their
    // file, and the agreed answer stands.
    for (loopIndex_ = 1; loopIndex_ <= inputCount_; ++loopIndex_) inputs_[static_cast<std::size_t>(loopIndex_)]->DataEndWithThisStep();
    if (agreed[2] != 0) EndAfterThisStep();
}

void ModellApplication::AnswerInterrupt(int option) {
    int answer = 0;
    if (option == 1 && rank_ == 0) {
        *log_ << "SKIP: \n\nCtrl-C: cancel the model? \n0 = no (continue)\n1 = cancel with next interval (writing all "
                 "grids and buffers)\n2 = cancel now without saving buffers!\n3 = flush buffers and go on\n\nchoose "
                 "one of the above options: "
              << "[end-entry]";
        answer = ReadMenuAnswer();
    }
    // Only the menu's answer on process 0 needs an exchange; without the menu it is 0 everywhere.
    option = option == 1 ? AgreeOnMaximum(answer) : 0;
    switch (option) {
        case 0:
            break;
        case 1:
            EndAfterThisStep();
            ctrlCOption.store(99);
            break;
        case 2:
            *log_ << "WARNING: program manually killed by pressing Ctrl-C and selecting 2!" << "[end-entry]";
            throw ImmediateEnd{98};
        case 3:
            FlushBuffers();
            break;
        default:
            break;
    }
    ResetCtrlCHandler();
}

// Every input interpolates its grid and sums its zone statistics on this process; the sums of
// all inputs then travel to process 0 in one exchange, so that the processes wait once for the
// slowest instead of once per input, and each input's table takes its row in input order. In a
// step where a table may be written (agreed at the step's start) each input exchanges alone. An
// input that fails has failed on every process (the date check, the grid reads and the splines
// agree); the inputs before it still take their rows, as when each exchanged on its own.
void ModellApplication::RunInputs(std::int64_t h, std::int64_t d, std::int64_t m, std::int64_t y) {
    if (inputsOneByOne_) {
        for (loopIndex_ = 1; loopIndex_ <= inputCount_; ++loopIndex_) inputs_[static_cast<std::size_t>(loopIndex_)]->run(h, d, m, y);
        return;
    }
    std::vector<zonalstatistic*> done;
    // The zone sums that would take a team of threads each (an input's few zones keep only a few
    // threads busy) are made for all inputs in one team run after the last input.
    std::vector<meteointerpol*> together;
    std::exception_ptr failure;
    for (loopIndex_ = 1; loopIndex_ <= inputCount_; ++loopIndex_) {
        try {
            MeteoInput& input = *inputs_[static_cast<std::size_t>(loopIndex_)];
            meteointerpol* p = input.Interpolator();
            zonalstatistic* s = nullptr;
            if (p != nullptr) {
                if (p->RunBeforeReduction(h, d, m, y, true)) together.push_back(p);
                s = &p->ZoneStatistics();
            } else {
                s = input.RunBeforeReduction(h, d, m, y);
            }
            if (s != nullptr && s->active()) done.push_back(s);
        } catch (...) {
            failure = std::current_exception();
            break;
        }
    }
    meteointerpol::AccumulateStatisticsTogether(together, inputStatisticsTasks_);
    std::vector<zoneFZT*> records;
    std::vector<int> highest;
    for (const zonalstatistic* s : done) {
        records.push_back(s->records());
        highest.push_back(s->zoneCount());
    }
    ReduceZoneRecordSets(records, highest, true);
    for (zonalstatistic* s : done) s->StepReduced(y, m, d, h);
    if (failure) std::rethrow_exception(failure);
}

// The period ends with the current step; every sub-model ends its run at its date.
void ModellApplication::EndAfterThisStep() {
    for (loopIndex_ = 1; loopIndex_ <= inputCount_; ++loopIndex_) inputs_[static_cast<std::size_t>(loopIndex_)]->EndAtCurrentDate();
    TakeDate();
    const std::int64_t y = year_, m = month_, d = day_, h = hour_;
    expokorr_->SetEndDate(y, m, d, h);
    regsuper_->SetEndDate(y, m, d, h);
    etp_->SetEndDate(y, m, d, h);
    snow_->SetEndDate(y, m, d, h);
    interception_->SetEndDate(y, m, d, h);
    silting_->SetEndDate(y, m, d, h);
    irrigation_->SetEndDate(y, m, d, h);
    soil_->SetEndDate(y, m, d, h);
    surfrout_->SetEndDate(y, m, d, h);
    gwflow_->SetEndDate(y, m, d, h);
    routing_->SetEndDate(y, m, d, h);
    setup_->SetEndDate(y, m, d, h);
    special_->SetEndDate(y, m, d, h);
}

// Station data that end before the end date are found one record ahead, so that the run ends
// through the normal end at its last complete step: the end-of-run grids and run means are
// written as at the end date. Every input is asked, so that each one that ends is named.
void ModellApplication::EndWhereDataEnd() {
    int ending = 0;
    for (loopIndex_ = 1; loopIndex_ <= inputCount_; ++loopIndex_)
        if (inputs_[static_cast<std::size_t>(loopIndex_)]->DataEndWithThisStep()) ending = 1;
    if (AgreeOnMaximum(ending) != 0) EndAfterThisStep();
}

// Menu choice "flush buffers and go on".
void ModellApplication::FlushBuffers() {
    for (loopIndex_ = 1; loopIndex_ <= inputCount_; ++loopIndex_) inputs_[static_cast<std::size_t>(loopIndex_)]->FlushStatistics();
    regsuper_->FlushStatistics();
    etp_->FlushStatistics();
    snow_->FlushStatistics();
    interception_->FlushStatistics();
    silting_->WriteStatistics();
    irrigation_->FlushStatistics();
    soil_->WriteOutputs();
    surfrout_->FlushStatistics();
    gwflow_->FlushStatistics();
    routing_->WriteOutputs();
    setup_->WriteStandardGridStatisticLines();
    special_->FlushAll();
}

void ModellApplication::TakeDate() {
    if (inputCount_ < 1) {
        hour_ = day_ = month_ = year_ = -9999;
        return;
    }
    inputs_[1]->GetDate(&hour_, &day_, &month_, &year_);
}

std::array<const teilmodellklasse*, 10> ModellApplication::SteppedModules() const {
    return {expokorr_.get(), etp_.get(),  snow_.get(),     interception_.get(), silting_.get(),
            soil_.get(),     surfrout_.get(), irrigation_.get(), gwflow_.get(),   routing_.get()};
}

void ModellApplication::CheckModuleTimeSteps() {
    if (inputCount_ < 1 || stepCheck_ >= 3) return;
    // The step between the second and the third date: the data readers have checked by then that
    // the first interval is the one that follows (a missing second record is theirs to name).
    if (stepCheck_ == 0) {
        stepCheck_ = 1;
        return;
    }
    const auto modules = SteppedModules();
    if (stepCheck_ == 1) {
        firstStep_[0] = hour_, firstStep_[1] = day_, firstStep_[2] = month_, firstStep_[3] = year_;
        stepCheck_ = 2;
        // A run that ends with its second record has no third date: its one interval is
        // compared with the time step of the first module that runs.
        for (const teilmodellklasse* module : modules) {
            if (module == nullptr || module->GetFlowControl() == 0) continue;
            for (loopIndex_ = 1; loopIndex_ <= inputCount_; ++loopIndex_)
                inputs_[static_cast<std::size_t>(loopIndex_)]->CheckOnlyInterval(module->GetTimeStep());
            break;
        }
        return;
    }
    stepCheck_ = 3;
    // The model time step is the step of the meteorological data; a module stepped with
    // another length would turn its rates per step into wrong amounts.
    const std::int64_t minutes = MinutesBetween({firstStep_[0], firstStep_[1], firstStep_[2], firstStep_[3]},
                                                {hour_, day_, month_, year_});
    if (minutes <= 0) return;
    for (const teilmodellklasse* module : modules) {
        if (module == nullptr || module->GetFlowControl() == 0 || module->GetTimeStep() == minutes) continue;
        *log_ << "FATAL: error in control file, time step in minutes; section [" << module->ModuleName()
              << "]: the time step of " << module->GetTimeStep() << " minutes differs from the model time step of "
              << minutes << " minutes (the step of the meteorological data)!" << "[end-entry]";
        throw ModelError(17);
    }
}

bool ModellApplication::CouplingIntervalBoundary(char letter) const {
    switch (letter) {
        case 'I':
            return true;
        case 'H':
            return hour_ != prevHour_;
        case 'D':
            return day_ != prevDay_;
        case 'M':
            return month_ != prevMonth_;
        case 'Y':
            return year_ != prevYear_;
        default:
            return false;
    }
}

// 99 after "cancel with next interval", else 0; an interrupt still pending when the period
// ends is no status.
int ModellApplication::EndStatus() const { return ctrlCOption.load() == 99 ? 99 : 0; }

int ModellApplication::run() {
    try {
        if (spinUp_.spinUpSwitch > 0) {
            if (spinUp_.doTemperaturePreSpinUp > 0) PreSpinUp();
            if (spinUp_.repeatCnt < 1) {
                endFlag_ = 1;
                return EndStatus();
            }
        }
        if (endFlag_ != 0) return EndStatus();
        int runNumber = 1;
        for (;;) {
            Step(runNumber);
            if (spinUp_.spinUpSwitch == 1 && endFlag_ != 0) {
                // A run cancelled from the menu is not repeated.
                if (runNumber >= spinUp_.repeatCnt || ctrlCOption.load() == 99) return EndStatus();
                *log_ << "INFO: SpinUp reached end of defined time range for run #" << runNumber
                      << ", resetting inputs and starting again now (repetition " << (runNumber + 1) << " of "
                      << spinUp_.repeatCnt << ")" << "[end-entry]";
                endFlag_ = 0;
                for (loopIndex_ = 1; loopIndex_ <= inputCount_; ++loopIndex_) {
                    inputs_[static_cast<std::size_t>(loopIndex_)]->Rewind();
                    inputs_[static_cast<std::size_t>(loopIndex_)]->AdvanceRecords();
                }
                ++runNumber;
            }
            if (endFlag_ != 0) return EndStatus();
        }
    } catch (const ModelError&) {
        *log_ << "FATAL: Exception in Modellapplication::run() caught!" << "[end-entry]";
        throw;
    }
}

void ModellApplication::Step(int&) {
    TimedPart stepPart("whole step");
    {
        TimedPart part("interrupts and failures");
        // A failure that one process found in the step before stops every process now.
        AgreeAtStepStart();
    }
    TakeDate();
    CheckModuleTimeSteps();
    const std::int64_t h = hour_, d = day_, m = month_, y = year_;

    const bool coupled = setup_->IsExternallyCoupled();
    if (coupled) {
        couplingLetter_ = setup_->GetCouplingModeLetter();
        if (CouplingIntervalBoundary(couplingLetter_)) {
            WaitForFile(setup_->GetSemaphoreFileName(), static_cast<std::clock_t>(setup_->GetCouplingWaitInterval()));
            prevHour_ = h;
            prevDay_ = d;
            prevMonth_ = m;
            prevYear_ = y;
            setup_->ReadExternalGrids(h, d, m, y);
            if (setup_->HasExternalGWTable()) soil_->ApplyExternalGWTable();
        }
    }

    const bool superposition = regsuper_->GetFlowControl() != 0;
    {
        TimedPart part("meteorological inputs");
        for (loopIndex_ = 1; loopIndex_ <= inputCount_; ++loopIndex_) {
            MeteoInput& in = *inputs_[static_cast<std::size_t>(loopIndex_)];
            if (in.Method() == 10 || in.Method() == 11) in.ComputeElevationRegression(0);
        }
        if (!superposition) precicorr_->CorrectStations();
        RunInputs(h, d, m, y);
    }
    {
        TimedPart part("superposition, correction");
        regsuper_->run(h, d, m, y);
        if (superposition) precicorr_->CorrectGrid();
    }

    // The step length of the day's mean temperature: the time step of the modules that run (every
    // one of them has the model's, as checked above). Only where no module runs a step counts as
    // a day.
    int stepMinutes = 1440;
    for (const teilmodellklasse* module : SteppedModules()) {
        if (module == nullptr || module->GetFlowControl() == 0) continue;
        stepMinutes = module->GetTimeStep();
        break;
    }
    {
        TimedPart part("periodic grids, land use");
        setup_->UpdatePeriodicGrids(h, d, m, y);
        setup_->UpdateDynamicLanduseParameters(h, d, m, y, stepMinutes);
    }
    {
        TimedPart part("meteorological output");
        for (loopIndex_ = 1; loopIndex_ <= inputCount_; ++loopIndex_) inputs_[static_cast<std::size_t>(loopIndex_)]->WriteOutputGrid();
        regsuper_->WriteStatistics();
    }

    {
        TimedPart part("radiation, temperature");
        expokorr_->run(h, d, m, y);
    }
    {
        TimedPart part("evapotranspiration");
        etp_->PotentialEvapotranspirationStep(h, d, m, y);
    }
    {
        TimedPart part("irrigation");
        irrigation_->run(h, d, m, y);
        etp_->SnowEvaporationOnGlacier(h, d, m, y);
    }
    {
        TimedPart part("snow, interception");
        if (interception_first) {
            {
                TimedPart inner("interception");
                interception_->run(h, d, m, y);
            }
            snow_->run(h, d, m, y);
        } else {
            snow_->run(h, d, m, y);
            TimedPart inner("interception");
            interception_->run(h, d, m, y);
        }
    }
    {
        TimedPart part("silting-up");
        silting_->run(h, d, m, y);
    }

    {
        TimedPart part("begin of the soil step");
        soil_->BeginTimeStep(h, d, m, y);
        surfrout_->ShiftFlowTimeZones(h, d, m, y);
        etp_->InterceptionEvaporationOutput(h, d, m, y);
        gwflow_->BeginTimeStep(h, d, m, y);
    }
    const int subSteps = static_cast<int>(soil_->GetNumSubSteps());
    for (int j = 1; j <= subSteps; ++j) {
        {
            TimedPart part("soil");
            soil_->run(h, d, m, y);
        }
        {
            TimedPart part("surface routing");
            surfrout_->run(h, d, m, y);
        }
        {
            TimedPart part("groundwater");
            etp_->SubStep();
            gwflow_->run(h, d, m, y);
        }
        special_->Step(h, d, m, y, 1, j);
    }

    {
        TimedPart part("soil: drainable pores, runoff");
        soil_->DrainablePoreVolume();
        soil_->ComputeSubbasinRunoff();
    }
    {
        TimedPart part("flow time zones");
        surfrout_->RouteFlowTimeZones(h, d, m, y);
    }
    {
        TimedPart part("evapotranspiration output");
        etp_->AfterSoilStep(h, d, m, y);
    }
    {
        TimedPart part("groundwater output");
        gwflow_->WriteOutputs(h, d, m, y);
    }
    {
        TimedPart part("discharge routing");
        StopTogether([&] { routing_->run(h, d, m, y); });
    }

    {
        TimedPart part("standard grids, statistics");
        setup_->WriteStandardGrids(h, d, m, y);
        setup_->WriteVariableGrids(h, d, m, y);
        setup_->ResetStandardGridStatistics();
        setup_->AddStandardGridStatistics();
        setup_->StepStandardGridStatistics(h, d, m, y);
        special_->Step(h, d, m, y, 0, 0);
    }

    if (inputCount_ < 1) {
        endFlag_ = 1;
    } else {
        bool allAtEnd = true;
        for (loopIndex_ = 1; loopIndex_ <= inputCount_; ++loopIndex_) {
            MeteoInput& in = *inputs_[static_cast<std::size_t>(loopIndex_)];
            in.AdvanceRecords();
            if (!in.IsAtEnd()) allAtEnd = false;
        }
        if (allAtEnd) endFlag_ = 1;
    }

    if (coupled) {
        TakeDate();
        couplingLetter_ = setup_->GetCouplingModeLetter();
        if (couplingLetter_ == 'I' || endFlag_ != 0 || CouplingIntervalBoundary(couplingLetter_)) {
            // The period began at the previous coupling date; the new date tells what ended.
            setup_->WriteExternalOutput(prevDay_, prevMonth_, prevYear_, day_ != prevDay_, month_ != prevMonth_,
                                        year_ != prevYear_);
            WriteSemaphoreFile(setup_->GetExternalSemaphoreFileName(), setup_->GetExternalSemaphoreContent());
        } else {
            setup_->AccumulateExternalOutput();
        }
    }
}

void ModellApplication::PreSpinUp() {
    if (inputCount_ < 1 || inputNames_[1] != "temperature") {
        *log_ << "FATAL: temperature interpolation not found. This is required for pre-SpinUp! (no regions should be "
                 "used for pre-SpinUp)"
              << "[end-entry]";
        throw ModelError(1035);
    }
    MeteoInput& temperature = *inputs_[1];
    const double offsetHours = settings_.minToIntEnd / 60.0;
    while (endFlag_ == 0) {
        InterruptAgreement();
        temperature.GetDate(&hour_, &day_, &month_, &year_);
        const std::int64_t h = hour_, d = day_, m = month_, y = year_;
        if (temperature.Method() == 10 || temperature.Method() == 11) temperature.ComputeElevationRegression(0);
        if (static_cast<double>(h) + offsetHours == 24.0)
            *log_ << std::setw(20) << "temperature pre-SpinUp " << static_cast<long>(d) << "." << static_cast<long>(m)
                  << "." << static_cast<long>(y) << " " << static_cast<long>(h) << ". h " << "[end-entry]";
        temperature.run(h, d, m, y);
        temperature.WriteOutputGrid();
        soil_->PreSpinUpDegreeDays(h, d, m, y);
        temperature.AdvanceRecords();
        if (temperature.IsAtEnd()) break;
    }
    endFlag_ = 1;
    *log_ << "INFO: pre-SpinUp reached end of defined time range. Soil-temperatures are going to be set now."
          << "[end-entry]";
    soil_->PreSpinUpInitTemperatures();
    endFlag_ = 0;
    temperature.Rewind();
    temperature.AdvanceRecords();
}
