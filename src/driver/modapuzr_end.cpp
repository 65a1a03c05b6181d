// Synchronisation files of a coupled run and the clean-up at the end of a run.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <functional>
#include <iomanip>
#include <iostream>
#include <vector>

#include "driver/modapuzr.hpp"
#include "kernel/diaglog.hpp"
#include "kernel/error.hpp"
#include "kernel/replacingfile.hpp"
#include "kernel/signals.hpp"
#include "kernel/statefiles.hpp"
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

std::clock_t ModellApplication::Wait(std::clock_t ticks) {
    const std::clock_t start = std::clock();
    std::clock_t now = start;
    while (now < start + ticks) now = std::clock();
    return now;
}

int ModellApplication::WaitForFile(const std::string& name, std::clock_t ticks) {
    try {
        *log_ << "waiting for external synchronisation file " << name << "...";
        for (;;) {
            if (std::FILE* f = std::fopen(name.c_str(), "rb")) {
                std::fclose(f);
                *log_ << "found it! " << "[end-entry]";
                return 1;
            }
            if (ctrlCOption.load() != 0) {
                ctrlCOption.store(0);
                *log_ << "SKIP: \n\nCtrl-C pressed while waiting for " << name
                      << "\nCancel the model? \n0 = no (continue)\n2 = cancel now without saving buffers!\n\nchoose "
                         "one of the above options: "
                      << "[end-entry]";
                std::istream& in = hooks_.menuInput != nullptr ? *hooks_.menuInput : std::cin;
                std::string word;
                long answer = 0;
                if (in >> std::setw(64) >> word) answer = std::strtol(word.c_str(), nullptr, 10);
                if (answer > 3 || answer < 0) answer = 0;
                if (answer == 2) throw ModelError(98);
                ctrlCOption.store(static_cast<int>(answer));
                ResetCtrlCHandler();
            }
            Wait(ticks);
            ResetCtrlCHandler();
        }
    } catch (const ModelError&) {
        *log_ << "FATAL: Exception in Modellapplication::WaitForFile() caught!" << "[end-entry]";
        throw;
    }
}

namespace {

// Creates (truncating) the file with the text; on failure false and the reason.
bool WriteWholeFile(const std::string& name, const char* text, std::string* why) {
    FileHandle f = OpenFile(name, "wb");
    if (!f) {
        *why = "cannot create " + name + ": " + std::strerror(errno);
        return false;
    }
    if ((text != nullptr && std::fputs(text, f.get()) < 0) || std::fflush(f.get()) != 0) {
        *why = "cannot write " + name + ": " + std::strerror(errno);
        return false;
    }
    if (std::fclose(f.release()) != 0) {
        *why = "cannot close " + name + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool RenameFile(const std::string& from, const std::string& to, std::string* why) {
    if (std::rename(from.c_str(), to.c_str()) == 0) return true;
    *why = "cannot rename " + from + " to " + to + ": " + std::strerror(errno);
    return false;
}

}  // namespace

// The coupled program must never see a half-written semaphore file, so it is written under a
// temporary name and renamed. When the target lies on another file system, the temporary file
// is written again next to the target, so that the last step is still a rename. Any failure
// ends the run: a semaphore file that is not there would let the coupled program wait forever.
void ModellApplication::WriteSemaphoreFile(const std::string& name, const char* text) {
    static const std::string kTemporary = "Talvo_Vey_temporary_semaphore.file";
    IgnoreCtrlC();
    std::string why;
    bool ok = WriteWholeFile(kTemporary, text, &why);
    if (ok && std::rename(kTemporary.c_str(), name.c_str()) != 0) {
        if (errno == EXDEV) {
            const std::size_t slash = name.find_last_of('/');
            const std::string nearTarget = (slash == std::string::npos ? std::string() : name.substr(0, slash + 1)) +
                                           kTemporary;
            ok = WriteWholeFile(nearTarget, text, &why) && RenameFile(nearTarget, name, &why);
            if (!ok) std::remove(nearTarget.c_str());
        } else {
            ok = false;
            why = "cannot rename " + kTemporary + " to " + name + ": " + std::strerror(errno);
        }
    }
    if (name != kTemporary) std::remove(kTemporary.c_str());
    ResetCtrlCHandler();
    if (!ok) {
        *log_ << "FATAL: error publishing the semaphore file " << name << " (" << why << ")" << "[end-entry]";
        throw ModelError(18);
    }
}

void ModellApplication::ClearMemory() {
    try {
        *log_ << "reached end of simulation sucessfully" << "[end-entry]";
        SetNormalEndPending(false);
        if (built_ != 0) {
            // The tables are written on process 0: a failure there (a full disk) stops every
            // process with its code once all have written theirs.
            std::vector<std::function<void()>> flushes;
            for (int i = 1; i <= inputCount_; ++i)
                flushes.emplace_back([this, i] { inputs_[static_cast<std::size_t>(i)]->FlushStatistics(); });
            flushes.emplace_back([this] { regsuper_->FlushStatistics(); });
            flushes.emplace_back([this] { etp_->FlushStatistics(); });
            flushes.emplace_back([this] { snow_->FlushStatistics(); });
            flushes.emplace_back([this] { interception_->FlushStatistics(); });
            flushes.emplace_back([this] { irrigation_->FlushStatistics(); });
            flushes.emplace_back([this] { silting_->WriteStatistics(); });
            flushes.emplace_back([this] { soil_->WriteOutputs(); });
            flushes.emplace_back([this] { surfrout_->FlushStatistics(); });
            flushes.emplace_back([this] { gwflow_->FlushStatistics(); });
            flushes.emplace_back([this] { routing_->WriteOutputs(); });
            flushes.emplace_back([this] { special_->FlushAll(); });
            flushes.emplace_back([this] { setup_->WriteStandardGridStatisticLines(); });
            StopTogetherAfterAll(flushes);

            snow_->FreeTracerGrids();
            interception_->FreeTracerGrids();
            silting_->FreeTracerGrids();
            irrigation_->FreeTracerGrids();
            gwflow_->FreeTracerGrids();
            regsuper_->FreeTracerGrids();

            // End-of-run work that writes the state file: discharge routing starts it, the
            // soil model and surface routing append (the snow model appends when deleted).
            const bool routingActive = routing_->GetFlowControl() != 0;
            statefiles::BeginWritingState();
            routing_->Finish();
            soil_->ModelEnd(routingActive);
            surfrout_->ModelEnd(routingActive || soil_->GetFlowControl() != 0);
        } else {
            for (std::size_t i = 1; i < inputs_.size(); ++i)
                if (inputs_[i]) inputs_[i]->SetStatus(0);
            for (modelobject* o : std::initializer_list<modelobject*>{
                     tracerIni_.get(), regsuper_.get(), precicorr_.get(), expokorr_.get(), etp_.get(), snow_.get(),
                     interception_.get(), silting_.get(), soil_.get(), surfrout_.get(), irrigation_.get(),
                     gwflow_.get(), routing_.get(), special_.get()})
                if (o != nullptr) o->SetStatus(0);
            if (setup_) setup_->SetStatus(0);
        }
        *log_ << "o.k.\n" << "[end-entry]";
        *log_ << "deleting modules..." << "[end-entry]";
        ReleaseObjects();
        // Every module has written its state section (the snow model when deleted). A section
        // that failed on any process stops every process before a state file is put in place;
        // otherwise the state files replace those of the run before only now, whole.
        const int deferred = TakeDeferredFailure();
        AgreeAndStop(deferred != 0 ? deferred : stateFiles_.Failed() ? 18 : 0);
        StopTogether([this] { stateFiles_.Commit(*log_); });
    } catch (const ModelError&) {
        *log_ << "FATAL: Exception in Modellapplication::ClearMemory() caught!" << "[end-entry]";
        throw;
    }
}

// Deletes the objects in the order of the end of a run; the grid store goes last, since the
// objects release their entries when they are deleted.
void ModellApplication::ReleaseObjects() {
    ClearFpeTargets();
    built_ = 0;
    while (inputs_.size() > 1) inputs_.pop_back();
    tracerIni_.reset();
    routing_.reset();
    gwflow_.reset();
    irrigation_.reset();
    silting_.reset();
    surfrout_.reset();
    soil_.reset();
    interception_.reset();
    snow_.reset();
    etp_.reset();
    expokorr_.reset();
    regsuper_.reset();
    precicorr_.reset();
    special_.reset();
    setup_.reset();
    outputCodes_.clear();
    spinUp_.responseUnits.clear();
    gridStore_.reset();
}
