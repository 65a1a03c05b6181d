#pragma once
// A model object with its own diagnostics log (console captured) and grid store, in a fresh
// working directory shared by all processes.
#include <mpi.h>

#include <csignal>
#include <memory>
#include <sstream>
#include <string>

#include "kernel/modelobject.hpp"
#include "support/test_support.hpp"

namespace talvo_test {

class KernelTest : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        log_ = std::make_unique<DiagLog>("diag.xml", 4);
        log_->SetConsole(console_);
        store_ = std::make_unique<GridStore>();
        obj_ = MakeObject();
    }
    void TearDown() override {
        obj_.reset();
        store_.reset();
        log_.reset();
        TempDirTest::TearDown();
    }
    // A model object on this test's log and store, with the given geometry.
    std::unique_ptr<modelobject> MakeObject(int ncols = 5, int nrows = 4) {
        auto o = std::make_unique<modelobject>(log_.get(), "control.txt", 0, false, false, ObjectRecord{});
        o->SetModuleName("testmodule");
        o->gridStore = store_.get();
        o->ncols = ncols;
        o->nrows = nrows;
        o->firstRow = 1;
        o->lastRow = nrows;
        o->xllcorner = 100.5;
        o->yllcorner = 200.25;
        o->cellsize = 50;
        o->nodata = -9999;
        return o;
    }
    std::string Console() const { return console_.str(); }
    void ClearConsole() { console_.str(""); }

    std::ostringstream console_;
    std::unique_ptr<DiagLog> log_;
    std::unique_ptr<GridStore> store_;
    std::unique_ptr<modelobject> obj_;
};

// Runs f, expecting it to throw ModelError; returns the code (0 when nothing was thrown).
template <class F>
int ErrorCode(F&& f) {
    try {
        f();
    } catch (const ModelError& e) {
        return e.code();
    }
    return 0;
}

// Process 0 writes the file, then every process may read it.
inline void Share(const std::string& path, const std::string& content) {
    if (Rank() == 0) WriteFile(path, content);
    MPI_Barrier(MPI_COMM_WORLD);
}

// Reads a file process 0 has written; no process goes on before all have read it.
inline std::string ReadShared(const std::string& path) {
    MPI_Barrier(MPI_COMM_WORLD);
    std::string text = ReadFile(path);
    MPI_Barrier(MPI_COMM_WORLD);
    return text;
}

inline void (*SigintHandler())(int) {
    struct sigaction sa {};
    sigaction(SIGINT, nullptr, &sa);
    return sa.sa_handler;
}

}  // namespace talvo_test
