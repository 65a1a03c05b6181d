#pragma once
// Fixture of the set-up tests: a fresh working directory, a diagnostics log whose console
// output is captured, a grid store, and helpers to write control files and to run code that
// must fail with a given error code.
#include <memory>
#include <sstream>
#include <string>

#include "kernel/diaglog.hpp"
#include "kernel/error.hpp"
#include "kernel/gridstore.hpp"
#include "support/test_support.hpp"

namespace setup_test {

class SetupTest : public talvo_test::TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        log_ = std::make_unique<DiagLog>("diag.xml", 4);
        log_->SetConsole(console_);
        store_ = std::make_unique<GridStore>();
    }
    void TearDown() override {
        store_.reset();
        log_.reset();
        TempDirTest::TearDown();
    }
    std::string Console() const { return console_.str(); }
    bool Logged(const std::string& text) const { return Console().find(text) != std::string::npos; }

    // Runs f and returns the ModelError code it throws (0 when it throws nothing).
    template <class F>
    static int ErrorCode(F&& f) {
        try {
            f();
        } catch (const ModelError& e) {
            return e.code();
        }
        return 0;
    }

    std::ostringstream console_;
    std::unique_ptr<DiagLog> log_;
    std::unique_ptr<GridStore> store_;
};

// Number of non-overlapping occurrences of needle in text.
inline int Count(const std::string& text, const std::string& needle) {
    int n = 0;
    for (std::size_t p = text.find(needle); p != std::string::npos; p = text.find(needle, p + needle.size())) ++n;
    return n;
}

}  // namespace setup_test

#include <mpi.h>

namespace setup_test {
// Process 0 writes the file once every process is done with the old one; every process
// waits until it is there.
inline void WriteShared(const std::string& path, const std::string& text) {
    MPI_Barrier(MPI_COMM_WORLD);
    if (talvo_test::Rank() == 0) talvo_test::WriteFile(path, text);
    MPI_Barrier(MPI_COMM_WORLD);
}
}  // namespace setup_test
