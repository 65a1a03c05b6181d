#pragma once
// The application: builds every sub-model from one control file, runs the time loop with its
// interrupt menu, synchronisation files and spin-up repetitions, and clears up.
#include <array>
#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <istream>
#include <memory>
#include <string>
#include <vector>

#include "driver/modapuzr_inputs.hpp"
#include "kernel/statefiles.hpp"
#include "kernel/zonegroups.hpp"
#include "driver/modapuzr_setup.hpp"
#include "submodel/teilmod.hpp"
#include "submodel/teilmod_pointoutput.hpp"

class DiagLog;
class tracer_ini_class;
class precicorrclass;
class RegionalSuperposition;
class expokorrklasse;
class verdunstungsmodellklasse;
class schneemodellklasse;
class interzeptionsmodellklasse;
class siltingupclass;
class unsatzonmodellklasse;
class surfaceroutingclass;
class irrigationclass;
class gwflowclass;
class abflussmodellklasse;

// Thrown by the time loop after the interrupt answer "cancel now": the program ends at once
// with this status, without the end-of-run outputs.
struct ImmediateEnd {
    int status;
};

// Replaceable parts of the application (tests give their own; empty members mean production).
struct ApplicationHooks {
    std::function<std::unique_ptr<ModelSetup>(unsigned& error, DiagLog* log, const std::string& controlFile,
                                              OutputCodeEntry* table, int tableCount, GridStore* store)>
        makeSetup;
    std::function<std::unique_ptr<MeteoInput>(unsigned& error, DiagLog* log, const std::string& name,
                                              const SubmodelSettings& settings, int gridIndex)>
        makeMeteoInput;
    // Where the interrupt menu reads its answer (standard input when null).
    std::istream* menuInput = nullptr;
};

class ModellApplication : public memory_handling {
public:
    static constexpr int kOutputCodeCount = 200;

    // argv[controlFileIndex] is the control file to run. Failures are logged and thrown.
    ModellApplication(DiagLog* log, int argc, char** argv, int controlFileIndex);
    ModellApplication(DiagLog* log, int argc, char** argv, int controlFileIndex, ApplicationHooks hooks);
    ~ModellApplication() override;
    ModellApplication(const ModellApplication&) = delete;
    ModellApplication& operator=(const ModellApplication&) = delete;

    // The time loop; returns 0, or 99 after "cancel with next interval". "Cancel now" throws
    // ImmediateEnd{98}.
    virtual int run();
    virtual void ClearMemory();
    // Busy-waits until the processor clock has advanced by ticks; returns the last reading.
    virtual std::clock_t Wait(std::clock_t ticks);
    // Returns 1 once the file exists; offers the short interrupt menu while waiting.
    virtual int WaitForFile(const std::string& name, std::clock_t ticks);
    void PreSpinUp();
    // Publishes a semaphore file through a temporary file and a rename.
    void WriteSemaphoreFile(const std::string& name, const char* text);

    // Sets the floating-point-error flag of the sub-models that report it; false when the
    // soil model's flag was already set. Called from the SIGFPE handler: atomic flags only.
    bool FlagFloatingPointError() noexcept;

    // Pending interrupt: 0 nothing pending; raised to 1 by the SIGINT handler.
    std::atomic<int> ctrlCOption{0};

    // ---- read by tests and by the program entry
    bool Built() const { return built_ != 0; }
    int EndFlag() const { return endFlag_; }
    std::int64_t CurrentHour() const { return hour_; }
    std::int64_t CurrentDay() const { return day_; }
    std::int64_t CurrentMonth() const { return month_; }
    std::int64_t CurrentYear() const { return year_; }
    bool InterceptionFirst() const { return interception_first; }
    const SubmodelSettings& Settings() const { return settings_; }
    int SubSteps() const { return numSubSteps_; }

private:
    void init(int argc, char** argv, int controlFileIndex);
    void BuildInputs();
    void BuildSubmodels(int argc, char** argv);
    void InitTracers();
    void LinkSubmodels();
    // Settings for a sub-model that uses the soil model's zone tables.
    SubmodelSettings WithSoilZones() const;
    template <class T>
    void Check(const std::unique_ptr<T>& object, unsigned error);

    void InterruptAgreement();
    // The step of the meteorological inputs, their zone statistics summed in one exchange.
    void RunInputs(std::int64_t h, std::int64_t d, std::int64_t m, std::int64_t y);
    // The start of a step: InterruptAgreement, AgreeAndStop(0) and EndWhereDataEnd, with one
    // exchange when no interrupt is pending and the inputs can tell their end without a read.
    void AgreeAtStepStart();
    // The menu of an agreed interrupt option (1: ask on process 0 and agree on the answer).
    void AnswerInterrupt(int option);
    int EndStatus() const;
    int AgreeOnMaximum(int value) const;
    // The maxima over all processes of count values in one exchange.
    void AgreeOnMaxima(const int* values, int* maxima, int count) const;
    // Runs work that only some processes do (the discharge routing lives on process 0) and
    // lets every process stop with the code of a failure on any of them: the others would
    // otherwise wait in their next exchange until the failing process aborts them all, and the
    // status the process manager reports for an abort is not reliably the code.
    void StopTogether(const std::function<void()>& work);
    // The same for pieces of work that every process runs (and in which some write on process 0
    // only): each piece runs on every process even after a failure of an earlier one, so that
    // every process takes part in the same exchanges; then every process stops with the highest
    // code.
    void StopTogetherAfterAll(const std::vector<std::function<void()>>& works);
    // Throws the highest code of all processes, if any; the processes without a failure of
    // their own say which code they stop with.
    void AgreeAndStop(int code);
    // The stop of AgreeAndStop once the processes agreed on the highest code.
    void StopWithAgreed(int code, int agreed);
    int ReadMenuAnswer();
    void EndAfterThisStep();
    // Input data that end with this step, before the end date, end the run with this step.
    void EndWhereDataEnd();
    void FlushBuffers();
    void TakeDate();
    void CheckModuleTimeSteps();
    // The sub-models stepped with a time step of their own (null where absent).
    std::array<const teilmodellklasse*, 10> SteppedModules() const;
    void Step(int& runNumber);
    bool CouplingIntervalBoundary(char letter) const;
    void RefreshFpeTargets() noexcept;
    void ClearFpeTargets() noexcept;
    void ReleaseObjects();

    int built_ = 0;
    DiagLog* log_;
    ApplicationHooks hooks_;
    std::int64_t prevHour_ = -1, prevDay_ = -1, prevMonth_ = -1, prevYear_ = -1;
    char couplingLetter_ = 'I';
    int loopIndex_ = 0;
    // The inputs of this step exchange their zone statistics one by one (AgreeAtStepStart).
    bool inputsOneByOne_ = false;
    // The team run of the inputs' zone sums (RunInputs), kept from step to step.
    ZoneGroupTasks inputStatisticsTasks_;
    int inputCount_ = 0;
    std::vector<std::string> inputNames_;  // 1-based
    short endFlag_ = 0;
    int interceptionMethod_ = 0;
    bool interception_first = false;
    std::string controlFileName_;
    std::string compiledFileName_;
    std::int64_t hour_ = 0, day_ = 0, month_ = 0, year_ = 0;
    // The date of the second step until the third step has compared the modules' time steps
    // with the model time step (stepCheck_ 0: no step yet, 1: first step taken, 2: second date
    // kept, 3: done).
    std::int64_t firstStep_[4] = {0, 0, 0, 0};
    int stepCheck_ = 0;
    SpinUpState spinUp_;
    SubmodelSettings settings_;
    int numSubSteps_ = 1;
    int rank_ = 0;
    int tracerCount_ = 0;
    const TracerDescriptor* tracerDescriptors_ = nullptr;

    // The owned objects, declared in the order they are built, so that whatever path ends the
    // application (even a throw out of a constructor, which runs no destructor body) deletes
    // them in reverse: no object outlives the grid store it releases its entries into.
    std::unique_ptr<GridStore> gridStore_;
    // The state files of this run: put in place at the end of a complete run, else dropped.
    StateFileSet stateFiles_;
    std::vector<OutputCodeEntry> outputCodes_;
    std::unique_ptr<ModelSetup> setup_;
    std::vector<std::unique_ptr<MeteoInput>> inputs_;  // 1-based, entry 0 empty
    std::unique_ptr<tracer_ini_class> tracerIni_;
    std::unique_ptr<RegionalSuperposition> regsuper_;
    std::unique_ptr<precicorrclass> precicorr_;
    std::unique_ptr<expokorrklasse> expokorr_;
    std::unique_ptr<verdunstungsmodellklasse> etp_;
    std::unique_ptr<schneemodellklasse> snow_;
    std::unique_ptr<interzeptionsmodellklasse> interception_;
    std::unique_ptr<siltingupclass> silting_;
    std::unique_ptr<unsatzonmodellklasse> soil_;
    std::unique_ptr<surfaceroutingclass> surfrout_;
    std::unique_ptr<irrigationclass> irrigation_;
    std::unique_ptr<gwflowclass> gwflow_;
    std::unique_ptr<abflussmodellklasse> routing_;
    std::unique_ptr<SpecialOutputClass> special_;

    // The sub-models whose floating-point-error flag the SIGFPE handler raises, in this order:
    // radiation correction, evapotranspiration, snow, interception, soil model, irrigation,
    // groundwater, discharge routing. Cleared before any of them is deleted.
    std::array<std::atomic<teilmodellklasse*>, 8> fpeTargets_{};
};
