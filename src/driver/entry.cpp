#include "driver/entry.hpp"

#include <atomic>
#include <chrono>
#include <thread>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <mpi.h>
#include <omp.h>
#include <unistd.h>

#include "driver/modapuzr.hpp"
#include "driver/threads.hpp"
#include "kernel/diaglog.hpp"
#include "kernel/error.hpp"
#include "kernel/signals.hpp"
#include "kernel/steptimes.hpp"

#ifndef TALVO_VERSION_LABEL
#define TALVO_VERSION_LABEL "$Talvo-Vey 0.1$"
#endif
#ifndef TALVO_LAST_CHANGE
#define TALVO_LAST_CHANGE "$2026-12-06$"
#endif

namespace {

// The application being run; null before the first and between two control files.
std::atomic<ModellApplication*> g_currentApplication{nullptr};

void InstallFpeHandler() {
    struct sigaction sa {};
    sa.sa_handler = OnFloatingPointError;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGFPE, &sa, nullptr);
}

std::string VersionText() {
    std::string text = std::string(TALVO_VERSION_LABEL) + ", last change: " + TALVO_LAST_CHANGE +
                       ", compiled at " + __DATE__ + " " + __TIME__;
    if (text.size() > 1199) text.resize(1199);
    std::string out;
    for (char ch : text)
        if (ch != '$') out += ch;
    return out;
}

void WriteBanner(DiagLog& log) {
    log << std::string(76, '-').c_str() << "[end-entry]";
    log << "Talvo-Vey (MPI) " << "[end-entry]";
    log << "64-bit Version on Linux " << "[end-entry]";
    log << "Version: " << VersionText() << "[end-entry]";
    log << "Talvo-Vey: distributed water balance model for river basins\n"
           "(c) the Talvo developers\n"
           "This program comes without any warranty.\n"
           "Check every result against observations before using it.\n"
           "Report problems together with the control file and the diagnostics file.\n"
           "\n"
           "contact: the Talvo developers\n"
        << std::string(75, '-').c_str() << "[end-entry]";
    log.Console().flush();
}

bool StartsWith(const std::string& arg, const std::string& prefix) { return arg.compare(0, prefix.size(), prefix) == 0; }

// When every process fails at the same point, the first abort would kill the others before
// they have closed their diagnostics files and flushed their console text. Give them a short
// grace period to arrive; a process that fails alone never waits longer than that.
bool WaitForPeersBeforeAbort() {
    MPI_Request request;
    if (MPI_Ibarrier(MPI_COMM_WORLD, &request) != MPI_SUCCESS) return false;
    const double start = MPI_Wtime();
    int done = 0;
    while (!done && MPI_Wtime() - start < 10.0) {
        MPI_Test(&request, &done, MPI_STATUS_IGNORE);
        if (!done) usleep(1000);
    }
    if (done) usleep(100000);  // lets the process manager forward the last console lines
    return done != 0;
}

}  // namespace

std::string ToUpperCopy(std::string& text) {
    for (char& ch : text)
        if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
    return text;
}

int DiagLevelFromWord(std::string word) {
    const std::string w = ToUpperCopy(word);
    if (w == "FATAL") return 0;
    if (w == "ERROR") return 1;
    if (w == "WARNING") return 2;
    if (w == "INFO") return 3;
    return 4;
}

namespace {
bool IsKnownDiagLevelWord(std::string word) {
    const std::string w = ToUpperCopy(word);
    return w == "FATAL" || w == "ERROR" || w == "WARNING" || w == "INFO" || w == "DEBUG";
}

}  // namespace

static void ThreadReportRegion(ThreadReport* record) {
#pragma omp parallel
    {
        std::printf("This is OpenMP thread %d\n", omp_get_thread_num());
#pragma omp barrier
        if (omp_get_thread_num() == 0) {
            record->threads = omp_get_num_threads();
            std::printf("*** There are %d OpenMP threads total for MPI process %d\n", record->threads,
                        record->rank);
        }
    }
}

void PrintOpenMPThreads(ThreadReport* record) { ThreadReportRegion(record); }
void PrintOpenMPThreadsRemote(ThreadReport* record) { ThreadReportRegion(record); }

extern "C" void OnFloatingPointError(int) {
    InstallFpeHandler();
    ModellApplication* app = g_currentApplication.load();
    if (app == nullptr) return;
    if (!app->FlagFloatingPointError()) return;
    static const char text[] = "floating point error\n";
    ssize_t ignored = ::write(STDOUT_FILENO, text, sizeof text - 1);
    (void)ignored;
}

CommandLine ParseCommandLine(int argc, char** argv) {
    CommandLine options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i] != nullptr ? argv[i] : "";
        if (StartsWith(arg, "-diaglevel:")) {
            options.diagLevel = DiagLevelFromWord(arg.substr(11));
            options.unknownLevel = IsKnownDiagLevelWord(arg.substr(11)) ? std::string() : arg.substr(11);
        } else if (StartsWith(arg, "-diagfile:")) {
            options.diagFile = arg.substr(10);
        } else if (arg == "-dumpmode") {
            options.dumpMode = true;
        } else if (arg == "-closeAfterDump") {
            options.closeAfterDump = true;
        } else if (StartsWith(arg, "-")) {
            options.unknownOptions.push_back(arg);
        } else {
            options.controlFiles.push_back(i);
        }
    }
    return options;
}

int TalvoMain(int argc, char** argv) {
    // MPI's start is the first part of the timing table: it precedes every timed part.
    const auto beforeStart = std::chrono::steady_clock::now();
    MPI_Init(&argc, &argv);
    const auto started = std::chrono::steady_clock::now();
    int rank = 0, size = 1;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    MPI_Comm_size(MPI_COMM_WORLD, &size);
    SetDefaultThreadCount(MPI_COMM_WORLD);
    MPI_Barrier(MPI_COMM_WORLD);
    if (StepTimes& times = StepTimes::Instance(); times.Enabled()) {
        const std::chrono::duration<double> work = started - beforeStart, wait = std::chrono::steady_clock::now() - started;
        times.Add(times.Part("MPI start"), work.count(), wait.count());
    }

    std::unique_ptr<DiagLog> log;
    int exitCode = 0;
    try {
        // The banner and the threads' report, a row of the timing table (ends before the first control file).
        std::optional<TimedPart> banner(std::in_place, "start: banner, threads");
        const CommandLine options = ParseCommandLine(argc, argv);
        log = std::make_unique<DiagLog>(options.diagFile, options.diagLevel);
        if (!options.unknownLevel.empty())
            *log << "WARNING: unknown diagnostics level \"" << options.unknownLevel
                 << "\" in -diaglevel:, accepted are FATAL, ERROR, WARNING, INFO and DEBUG; DEBUG is used"
                 << "[end-entry]";
        g_currentApplication.store(nullptr);
        SetInterruptTarget(nullptr);

        WriteBanner(*log);
        ThreadReport record;
        if (rank == 0) {
            *log << "\n this is the MPI-Version of Talvo, here is instance " << 1 << " of " << size
                 << "[end-entry]";
            record.rank = 0;
            PrintOpenMPThreads(&record);
        } else {
            std::printf("\n this is the MPI-Version of Talvo, here is instance %d of %d\n", rank + 1, size);
            record.rank = rank;
            PrintOpenMPThreadsRemote(&record);
        }
        std::fflush(nullptr);
        log->Console().flush();
        // Every report is out before anything can abort the processes.
        MPI_Barrier(MPI_COMM_WORLD);

        // Options alone name no model to run: the same usage answer as no argument at all. So
        // does a misspelt option, before anything runs.
        for (const std::string& word : options.unknownOptions)
            *log << "ERROR: \"" << word << "\" is no option of talvo (nor a control file)" << "[end-entry]";
        if (argc == 1 || options.controlFiles.empty() || !options.unknownOptions.empty()) {
            *log << "FATAL: \nusage: talvovz[o]<32|64> <1-st cntrl-file> [<2-nd cntrl-file> ... [n-th cntrl-file]] "
                    "[-diagfile:<diagnostics_file> [-diaglevel:<FATAL|ERROR|WARNING|INFO|DEBUG>]] "
                    "[-dumpmode [-clsoeAfterDump]]\n"
                 << "[end-entry]";
            throw ModelError(2);
        }

        banner.reset();
        for (const int i : options.controlFiles) {
            auto app = std::make_unique<ModellApplication>(log.get(), argc, argv, i);
            exitCode = 0;
            g_currentApplication.store(app.get());
            SetInterruptTarget(&app->ctrlCOption);
            ResetCtrlCHandler();
            InstallFpeHandler();
            try {
                exitCode = app->run();
            } catch (const ImmediateEnd&) {
                // "Cancel now": the process ends without the end-of-run work, so the
                // application is neither cleared nor deleted (its deletion would write states).
                SetInterruptTarget(nullptr);
                g_currentApplication.store(nullptr);
                static_cast<void>(app.release());
                throw;
            }
            {
                // The end of the run (the last tables and grids, the states, the deletion of the
                // sub-models), a row of the timing table.
                TimedPart end("end of the run");
                app->ClearMemory();
                // The handlers must never see an application that is being deleted.
                SetInterruptTarget(nullptr);
                g_currentApplication.store(nullptr);
                app.reset();
            }
        }
        StepTimes::Instance().Report();
        *log << "exitcode " << exitCode << "[end-entry]";
        *log << "o.k.\n\nthe end." << "[end-entry]";
    } catch (const ImmediateEnd& end) {
        // Every process agreed on the answer, so all of them end here together.
        if (log) {
            log->Close();
            log.reset();
        }
        std::fflush(nullptr);
        MPI_Finalize();
        return end.status;
    } catch (const ModelError& e) {
        SetInterruptTarget(nullptr);
        g_currentApplication.store(nullptr);
        const int code = e.code();
        if (log) {
            *log << "FATAL: Exception " << code << " caught at top level!" << "[end-entry]";
            *log << "FATAL: Program aborted with exit code " << code << "[end-entry]";
            log->Close();
            log.reset();
        }
        std::fflush(nullptr);
        // When every process has stopped with the agreed code, all of them end normally with
        // it: the process manager then reports that code reliably, where an abort's status can
        // be lost in the race between the process ending and being killed.
        if (WaitForPeersBeforeAbort()) {
            MPI_Finalize();
            return code;
        }
        MPI_Abort(MPI_COMM_WORLD, code);
        // Should the abort ever return, the failure must still show in the exit status.
        return code;
    }
    MPI_Finalize();
    log.reset();
    return exitCode;
}
