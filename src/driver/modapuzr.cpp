// Construction of the application: the set-up, the meteorological inputs, the tracer
// descriptions and every sub-model in a fixed order (producers before their consumers), then
// the hand-overs of the arrays per subbasin between them.
#include "driver/modapuzr.hpp"
#include "driver/unread_sections.hpp"

#include <initializer_list>
#include <optional>
#include <mpi.h>

#include "kernel/diaglog.hpp"
#include "kernel/error.hpp"
#include "kernel/statefiles.hpp"
#include "kernel/steptimes.hpp"
#include "kernel/replacingfile.hpp"
#include "lateral/gwflow.hpp"
#include "lateral/siltingup.hpp"
#include "lateral/surfrout.hpp"
#include "meteo/expokorr.hpp"
#include "meteo/meteoint.hpp"
#include "routing/abfluss.hpp"
#include "setup/tracer_ini.hpp"
#include "soil/unsatzon.hpp"
#include "surface/etpetr.hpp"
#include "surface/interzep.hpp"
#include "surface/irrigate.hpp"
#include "surface/snowmod.hpp"

ModellApplication::ModellApplication(DiagLog* log, int argc, char** argv, int controlFileIndex)
    : ModellApplication(log, argc, argv, controlFileIndex, ApplicationHooks{}) {}

ModellApplication::ModellApplication(DiagLog* log, int argc, char** argv, int controlFileIndex,
                                     ApplicationHooks hooks)
    : log_(log), hooks_(std::move(hooks)) {
    memLog_ = log;
    statefiles::BeginRun();
    // Tables that hold only their header wait for the normal end (ClearMemory).
    SetNormalEndPending(true);
    if (!hooks_.makeSetup) hooks_.makeSetup = MakeDefaultSetup;
    if (!hooks_.makeMeteoInput) hooks_.makeMeteoInput = MakeInterpolatorInput;
    int initialised = 0;
    MPI_Initialized(&initialised);
    if (initialised) MPI_Comm_rank(MPI_COMM_WORLD, &rank_);
    try {
        init(argc, argv, controlFileIndex);
    } catch (const ModelError&) {
        *log_ << "FATAL: exceptions in ModellApplication::init() caught!" << "[end-entry]";
        // No destructor runs for a constructor that throws: delete what was built here, in the
        // order of the end of a run.
        ReleaseObjects();
        throw;
    }
}

ModellApplication::~ModellApplication() {
    ClearFpeTargets();
    ReleaseObjects();
    SetNormalEndPending(false);
}

template <class T>
void ModellApplication::Check(const std::unique_ptr<T>& object, unsigned error) {
    if (error != 0) throw ModelError(static_cast<int>(error));
    if (!object) throw ModelError(103);
}

void ModellApplication::init(int argc, char** argv, int controlFileIndex) {
    *log_ << "file " << "modapuzr" << ", compiled at " << __DATE__ << ", " << __TIME__ << "[end-entry]";
    if (argc < 2) {
        *log_ << "FATAL: \nusage: talvovzo<32|64> <1.cntrl-file> [<2.cntrl-file> ... [n.cntrl-file]] "
                 "[-diagfile:<diagnostics_file> [-diaglevel:<FATAL|ERROR|WARNING|INFO|DEBUG>]] [-dumpmode] "
                 "[-closeAfterDump]\n"
              << "[end-entry]";
        throw ModelError(2);
    }
    controlFileName_ = std::string(argv[controlFileIndex]).substr(0, 1201);
    ClearSectionsSought();

    gridStore_ = std::make_unique<GridStore>();
    outputCodes_.assign(kOutputCodeCount + 1, OutputCodeEntry{});

    unsigned error = 0;
    // The parts of the set-up before the sub-models, each a row of the timing table of its own.
    std::optional<TimedPart> early(std::in_place, "set-up: control file");
    setup_ = hooks_.makeSetup(error, log_, controlFileName_, outputCodes_.data(), kOutputCodeCount, gridStore_.get());
    Check(setup_, error);
    early.reset();
    setup_->Initialise(settings_, spinUp_);
    setup_->SetStatus(1);
    compiledFileName_ = settings_.controlFileName;
    settings_.gridStore = gridStore_.get();
    settings_.outputCodes = outputCodes_.data();
    settings_.outputCodeCount = kOutputCodeCount;
    settings_.spinUpSwitch = spinUp_.spinUpSwitch;
    settings_.responseUnits = &spinUp_.responseUnits;
    inputCount_ = settings_.meteoCount;
    inputNames_ = settings_.meteoNames;
    inputNames_.resize(static_cast<std::size_t>(inputCount_) + 1);

    early.emplace("set-up: meteorological inputs");
    BuildInputs();

    early.emplace("set-up: tracer descriptions");
    tracerIni_ = std::make_unique<tracer_ini_class>(error, log_, compiledFileName_, settings_.textOutput,
                                                    settings_.doublePrecision, settings_.record, tracerCount_,
                                                    tracerDescriptors_);
    Check(tracerIni_, error);
    tracerIni_->SetStatus(1);
    early.reset();

    {
        TimedPart part("set-up of the sub-models");
        BuildSubmodels(argc, argv);
    }
    // The rest of the set-up, so that the table accounts for all of it up to the first step.
    std::optional<TimedPart> part(std::in_place, "set-up: tracer grids");
    InitTracers();

    SubmodelSettings routingSettings = WithSoilZones();
    routingSettings.endHour = settings_.startHour;
    routingSettings.endDay = settings_.startDay;
    routingSettings.endMonth = settings_.startMonth;
    routingSettings.endYear = settings_.startYear;
    // The routing carries every tracer: irrigation from rivers and reservoirs takes the
    // concentration of that water from it.
    // The network is read and checked on process 0 alone: its failure (a cycle, a bad rule) stops every
    // process here, not after the others have gone on to wait for process 0 in the next exchange.
    part.emplace("set-up: discharge routing");
    StopTogether([&] {
        routing_ =
            std::make_unique<abflussmodellklasse>(error, log_, routingSettings, tracerDescriptors_, tracerCount_);
        Check(routing_, error);
    });
    RefreshFpeTargets();

    part.emplace("set-up: links, lakes");
    LinkSubmodels();
    part.emplace("set-up: special output, end");

    special_ = std::make_unique<SpecialOutputClass>(settings_, static_cast<unsigned>(numSubSteps_), error, log_);
    Check(special_, error);
    setup_->LinkExternalGrids(outputCodes_.data(), kOutputCodeCount);

    WarnUnreadSections(*log_, compiledFileName_, controlFileName_);
    *log_ << "INFO: the grid store holds " << static_cast<long long>(gridStore_->HeldBytes())
          << " bytes on this process" << "[end-entry]";
    part.reset();
    *log_ << "end of initialization reached..." << "[end-entry]";
    built_ = 1;
}

void ModellApplication::BuildInputs() {
    inputs_.clear();
    inputs_.resize(1);
    for (loopIndex_ = 1; loopIndex_ <= inputCount_; ++loopIndex_) {
        const int index = FirstFreeGridEntry(*gridStore_);
        if (index >= 1000) {
            *log_ << "FATAL: no more free grids in memeory, (max. " << 1000 << ")!" << "[end-entry]";
            throw ModelError(12);
        }
        const std::string& name = inputNames_[static_cast<std::size_t>(loopIndex_)];
        unsigned error = 0;
        std::unique_ptr<MeteoInput> input = hooks_.makeMeteoInput(error, log_, name, settings_, index);
        Check(input, error);
        input->SetWarnings(settings_.warningSwitch);
        input->SetHourOffset(settings_.minToIntEnd / 60.0);
        if (name.find("irrigation_amounts") != std::string::npos) input->SetWarnings(0);
        input->SetStatus(1);
        inputs_.push_back(std::move(input));
    }
}

SubmodelSettings ModellApplication::WithSoilZones() const {
    SubmodelSettings s = settings_;
    s.zoneIndex = soil_->SoilZoneIndex();
    s.zoneRecords = soil_->SoilZoneRecords();
    s.zoneCount = soil_->SoilZoneCount();
    s.maxZoneCode = soil_->SoilMaxZoneCode();
    return s;
}

void ModellApplication::BuildSubmodels(int argc, char** argv) {
    unsigned error = 0;
    // Each sub-model's set-up is a timed part of its own (the processes meet after each).
    std::optional<TimedPart> part;
    part.emplace("set-up: superposition");
    regsuper_ = std::make_unique<RegionalSuperposition>(error, log_, settings_);
    Check(regsuper_, error);

    part.emplace("set-up: precipitation correction");
    std::vector<meteointerpol*> interpolators(inputs_.size(), nullptr);
    for (std::size_t i = 1; i < inputs_.size(); ++i) interpolators[i] = inputs_[i]->Interpolator();
    precicorr_ = std::make_unique<precicorrclass>(error, log_, interpolators, inputNames_, settings_);
    Check(precicorr_, error);
    precicorr_->SetMaxElevation(setup_->GetMaxElevation());
    precicorr_->SetStatus(1);

    part.emplace("set-up: radiation, temperature");
    expokorr_ = std::make_unique<expokorrklasse>(error, log_, settings_);
    Check(expokorr_, error);
    expokorr_->SetStatus(1);
    RefreshFpeTargets();

    part.emplace("set-up: evapotranspiration");
    etp_ = std::make_unique<verdunstungsmodellklasse>(error, log_, settings_);
    Check(etp_, error);
    etp_->SetCorrectionGrid(expokorr_->GetCorrectionGrid());
    RefreshFpeTargets();

    part.emplace("set-up: snow");
    snow_ = std::make_unique<schneemodellklasse>(error, log_, settings_);
    Check(snow_, error);
    snow_->SetCorrectionGrid(expokorr_->GetCorrectionGrid());
    etp_->SetSnowStorageGrid(snow_->GetSolidSnowStorage());
    etp_->SetSnowMethod(snow_->GetMethod());
    etp_->SetStatus(1);
    RefreshFpeTargets();

    part.emplace("set-up: interception");
    interception_ = std::make_unique<interzeptionsmodellklasse>(error, log_, settings_);
    Check(interception_, error);
    interceptionMethod_ = interception_->GetMethod();
    interception_first = interceptionMethod_ > 10;
    snow_->LinkPrecipitation(interception_first);
    RefreshFpeTargets();

    part.emplace("set-up: silting-up");
    silting_ = std::make_unique<siltingupclass>(error, log_, settings_);
    Check(silting_, error);
    silting_->UpdateInputGrid(interception_first);

    part.emplace("set-up: soil");
    numSubSteps_ = setup_->ReadSubsteps();
    // The soil model takes over the snow model's ranking of the zones.
    SubmodelSettings soilSettings = settings_;
    soilSettings.zoneRanking = snow_->SoilZoneRanking();
    soil_ = std::make_unique<unsatzonmodellklasse>(error, log_, soilSettings, static_cast<unsigned>(numSubSteps_));
    Check(soil_, error);
    RefreshFpeTargets();
    soil_->DrainablePoreVolume();
    soil_->SelectWaterInput(interception_first);
    bool dumpMode = false, closeAfterDump = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-dumpmode") dumpMode = true;
        if (arg == "-closeAfterDump") closeAfterDump = true;
    }
    soil_->SetDumpMode(dumpMode, closeAfterDump);

    // The lake settings read the section only where a lake grid exists; it is no stray section.
    NoteSectionSought("[lake_model]");
    etp_->ReadLakeModel("[lake_model]");
    snow_->ReadLakeModel("[lake_model]");

    part.emplace("set-up: surface routing");
    surfrout_ = std::make_unique<surfaceroutingclass>(error, log_, WithSoilZones(), static_cast<unsigned>(numSubSteps_));
    Check(surfrout_, error);
    part.emplace("set-up: irrigation");
    irrigation_ = std::make_unique<irrigationclass>(error, log_, WithSoilZones());
    Check(irrigation_, error);
    RefreshFpeTargets();
    part.emplace("set-up: groundwater");
    gwflow_ = std::make_unique<gwflowclass>(error, log_, WithSoilZones(), static_cast<unsigned>(numSubSteps_));
    Check(gwflow_, error);
    RefreshFpeTargets();

    etp_->SetNumSubSteps(static_cast<unsigned>(numSubSteps_));
    if (gwflow_->GetFlowControl() != 0) soil_->EnableGroundwater();
}

void ModellApplication::InitTracers() {
    unsigned error = 0;
    auto check = [&] {
        if (error != 0) throw ModelError(static_cast<int>(error));
    };
    OutputCodeEntry* table = outputCodes_.data();
    // A warm start of the soil model continues the tracer stores of snow, interception and
    // silting-up from their grid files. (Irrigation's and surface routing's stores are refilled
    // from their inputs in every step; their files are never written.)
    if (soil_->warmStart == 1)
        for (teilmodellklasse* m : std::initializer_list<teilmodellklasse*>{snow_.get(), interception_.get(),
                                                                          silting_.get()})
            m->warmStart = 1;
    irrigation_->InitTracerGrids(error, tracerCount_, tracerDescriptors_, table, kOutputCodeCount);
    check();
    // Of snow and interception the one that runs first publishes its tracer flux grid first: the
    // other takes its concentration from it.
    if (interception_first) {
        interception_->LinkTracerGrids(error, tracerCount_, tracerDescriptors_, table, kOutputCodeCount);
        check();
    }
    snow_->LinkTracerGrids(error, tracerCount_, tracerDescriptors_, table, kOutputCodeCount);
    check();
    if (!interception_first) {
        interception_->LinkTracerGrids(error, tracerCount_, tracerDescriptors_, table, kOutputCodeCount);
        check();
    }
    interception_->SetStatus(1);
    silting_->LinkTracerGrids(error, tracerCount_, tracerDescriptors_, table, kOutputCodeCount);
    check();
    silting_->SetStatus(1);
    gwflow_->CreateTracerGrids(error, tracerCount_, tracerDescriptors_, table, kOutputCodeCount);
    check();
    soil_->InitTracerGrids(error, tracerCount_, tracerDescriptors_, table, kOutputCodeCount);
    check();
    soil_->SetStatus(1);
    surfrout_->CreateTracerGrids(error, tracerCount_, tracerDescriptors_, table, kOutputCodeCount);
    check();
    surfrout_->SetStatus(1);
}

void ModellApplication::LinkSubmodels() {
    const bool routingActive = routing_->GetFlowControl() != 0;
    // The discharge routing is set up on process 0 alone; a failure there stops every process.
    StopTogether([&] {
        if (surfrout_->GetFlowControl() >= 1) {
            surfrout_->SetQBb(soil_->GetQBb());
            surfrout_->SetKelsqd(soil_->GetKelsqd());
            surfrout_->SetKelsqi(soil_->GetKelsqi());
            soil_->SetRouteImmediately(1);
            if (routingActive) routing_->SetRunoffSource(surfrout_->GetQg());
        } else if (routingActive) {
            routing_->SetRunoffSource(soil_->GetQg());
        }
    });
    routing_->InitLakeModel(interception_first);
    StopTogether([&] {
        if (!routingActive) return;
        routing_->CheckConnectionsAndInitRouting();
        routing_->SetIrrigationTable(irrigation_->GetIrrigationTable());
        gwflow_->SetRiverflowTable(soil_->GetRiverflowTable());
        routing_->SetRiverflowTable(soil_->GetRiverflowTable());
        routing_->ReadStorageState(soil_->GetStorageFileName(), soil_->warmStart);
        routing_->SetStatus(1);
    });
    // The lakes' start on process 0 (and a warm start's storage state) set the ponding storage
    // of the lake cells: it goes to the cells' processes once, here.
    routing_->DistributeLakePonding();
    irrigation_->SetRiverflowTable(soil_->GetRiverflowTable());
    irrigation_->SetQg(soil_->GetQg());
    irrigation_->LinkSoilTracerStores();
    // Irrigation takes the routing's arrays where the routing runs (process 0, which alone does
    // irrigation's cell work); without any routing every process stops here.
    if (!routing_->RunsOnProcessZeroOnly()) {
        irrigation_->SetMaxIrrigation(routing_->GetMaxIrrig(), routing_->GetMaxIrrigFromReservoirs());
        irrigation_->SetRoutingTarget(routing_->GetRoutingTarget());
        irrigation_->SetAbfrel(routing_->GetAbfrel());
    }
    irrigation_->SetStatus(1);
    // The soil model's start modes 1 and 3 read its state, the irrigation amounts among them.
    irrigation_->StartKeptAmounts(soil_->warmStart == 1 || soil_->warmStart == 3);
    gwflow_->SetQg(soil_->GetQg());
    gwflow_->SetStatus(1);
    if (snow_->GetFlowControl() != 0) {
        snow_->SetQg(soil_->GetQg());
        snow_->ReadStorageFile(soil_->GetStorageFileName(), soil_->warmStart);
        snow_->SetStatus(1);
    }
}

void ModellApplication::RefreshFpeTargets() noexcept {
    fpeTargets_[0].store(expokorr_.get());
    fpeTargets_[1].store(etp_.get());
    fpeTargets_[2].store(snow_.get());
    fpeTargets_[3].store(interception_.get());
    fpeTargets_[4].store(soil_.get());
    fpeTargets_[5].store(irrigation_.get());
    fpeTargets_[6].store(gwflow_.get());
    fpeTargets_[7].store(routing_.get());
}

void ModellApplication::ClearFpeTargets() noexcept {
    for (auto& t : fpeTargets_) t.store(nullptr);
}

bool ModellApplication::FlagFloatingPointError() noexcept {
    teilmodellklasse* soil = fpeTargets_[4].load();
    if (soil != nullptr && soil->FpeFlag() != 0) return false;
    for (auto& t : fpeTargets_) {
        teilmodellklasse* m = t.load();
        if (m != nullptr) m->fpeFlag.store(1);
    }
    return true;
}
