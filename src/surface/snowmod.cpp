// Links of the snow model to the other sub-models, its accessors and its teardown.
#include "kernel/error.hpp"
#include "surface/snowmod.hpp"

#include "kernel/statefiles.hpp"
#include "setup/tracer_ini.hpp"

Matrix* schneemodellklasse::GetSolidSnowStorage() {
    if (flowControl == 0 || !constructed_) return nullptr;
    return &solid.data;
}

void schneemodellklasse::LinkPrecipitation(bool first) {
    if (flowControl == 0) return;
    interceptionFirst = first;
    if (waterInput != nullptr) return;
    if (first)
        waterInput = (*gridStore)[GetGridIndexOf3("throughfall0", "precipitation", "precipitation")].grid;
    else
        waterInput = (*gridStore)[GetGridIndex("precipitation")].grid;
}

void schneemodellklasse::ReadLakeModel(const std::string& section) {
    if (flowControl == 0) return;
    const int lakeIndex = FindGrid("lake_codes");
    if (lakeIndex <= 0) {
        *log << "INFO: no LAKE-grid was found in " << moduleName << "\n"
             << "Lake modelling is switched off for " << moduleName << "." << "[end-entry]";
        return;
    }
    FileHandle f = OpenFile(controlFileName, "rt");
    if (!f) {
        FailOnFile(*log, "error opening " + controlFileName, 28);
    }
    controlFile = std::move(f);
    int lakeFlow = 0;
    if (SeekSection(section, false)) ReadValue(ControlStream(), "%d", &lakeFlow, "flow control parameter for " + section);
    std::FILE* raw = controlFile.release();
    if (std::fclose(raw) != 0) {
        FailOnFile(*log, "error closing " + controlFileName + "after reading initialization method for " + section, 11);
    }
    // Response units keep lakes off for the snow model.
    lakesOn = lakeFlow != 0 && settings.spinUpSwitch == 0;
    if (!lakesOn) return;
    const int pond = FindGrid("ponding_storage") > 0 ? FindGrid("ponding_storage") : FindGrid("ponding_storage_top");
    if (pond <= 0) {
        lakesOn = false;
        *log << "FATAL: \n\n=======================================\n" << "!!!! ERROR !!!! \n\n"
             << "\nLAKE-grid was found, but no POND-Grid. For using lakes,"
             << "\nboth grids as well as the MAXPOND grid must be present."
             << "\n\n=======================================\n" << "[end-entry]";
        throw ModelError(28);
    }
    lakeCodes = (*gridStore)[lakeIndex].grid;
    pondingStorage = (*gridStore)[pond].grid;
}

void schneemodellklasse::LinkTracerGrids(unsigned& error, int count, const TracerDescriptor* descriptors,
                                         OutputCodeEntry* table, int tableCount) {
    error = 0;
    if (flowControl == 0) return;
    InitTracerGrids(error, count, descriptors, table, tableCount);
    if (error != 0) return;
    CatchIntoError(error, [&] {
        upstreamFlux.assign(static_cast<std::size_t>(std::max(count, 0)) + 1, nullptr);
        for (int t = 1; t <= count; ++t) {
            // After interception the snow takes its throughfall, with interception's concentration.
            int i = 0;
            if (interceptionFirst) i = FindGrid(StrFormat("concflux_tracer_%1d_%s", t, "interception_model"), true);
            if (i <= 0)
                i = GetGridIndexOf3(StrFormat("concflux_tracer_%1d_%s", t, "irrigation"),
                                    StrFormat("concflux_tracer_%1d_%s", t, "input"), "\x01no grid\x01");
            upstreamFlux[static_cast<std::size_t>(t)] = (*gridStore)[i].grid;
        }
    });
}

void schneemodellklasse::FreeTracerGrids() {
    if (flowControl != 0) teilmodellklasse::FreeTracerGrids();
}

void schneemodellklasse::SetQg(RunoffArray* qg) {
    if (flowControl == 0) return;
    Qg = qg;
    status = 1;
}

void schneemodellklasse::SetGlacierOutflows(std::vector<double> ice, std::vector<double> firn,
                                            std::vector<double> snowOnIce) {
    Qice_slr = std::move(ice);
    Qfirn_slr = std::move(firn);
    Qsnow_slr = std::move(snowOnIce);
}

void schneemodellklasse::FlushStatistics() {
    if (flowControl == 0) return;
    for (StatOutput* s : {&statOutflow, &statMeltOnly, &statStorage, &statDays, &statAge, &statSnow, &statRain,
                          &statAlbedo, &statSnowTemp, &statSurfTemp, &statInputMass, &statMobileMass,
                          &statDeposition, &statSnowWithoutGlaciers, &statFirnMelt, &statIceMelt, &statSnowOnIce,
                          &statGlacierTotal, &statFirnWE, &statBalanceSubbasin, &statBalanceGlacier, &statThaw})
        if (s->stat) s->stat->WriteLine();
    FlushTracerStatistics();
}

schneemodellklasse::~schneemodellklasse() {
    if (flowControl <= 0) return;
    // The section is appended once the soil model's runoff array is linked and the run ended
    // normally (a failed run leaves the earlier state as it was); a failure is logged by the
    // writer, never thrown out of here.
    if (status != 0 && statefiles::WritingState()) {
        ReleaseInDestructor([&] { WriteStorageFile(true); });
    }
    ReleaseInDestructor([&] { ReleaseAll(); });
}

void schneemodellklasse::ReleaseAll() {
    for (StatOutput* s : {&statOutflow, &statMeltOnly, &statStorage, &statDays, &statAge, &statSnow, &statRain,
                          &statAlbedo, &statSnowTemp, &statSurfTemp, &statInputMass, &statMobileMass,
                          &statDeposition, &statSnowWithoutGlaciers, &statFirnMelt, &statIceMelt, &statSnowOnIce,
                          &statGlacierTotal, &statFirnWE, &statBalanceSubbasin, &statBalanceGlacier, &statThaw}) {
        if (!s->stat) continue;
        s->stat->Release();
        s->stat.reset();
    }
    // Only the entries this model registered; a grid linked from the store stays.
    for (OwnGrid* g : {&solid, &liquid, &total, &daysSnow, &snowAge, &snowTemp, &surfTemp, &maxDeposition,
                       &elevOrderRow, &elevOrderCol, &inputMass, &mobileMass, &deposition, &snowFraction,
                       &rainFraction, &outflow, &meltOnly, &meltFirn, &meltIce, &firn, &massBalance, &oldMassBalance,
                       &solidG, &liquidG, &totalG, &meltG, &surfTempG, &snowTempG, &evaporationG, &fractionOld,
                       &codesOld, &snowFreeOwn, &snowCoverOwn}) {
        if (g->index > 0) ReleaseGrid(g->index);
        g->index = 0;
        g->data.reset();
    }
    firnStack.reset();
}
