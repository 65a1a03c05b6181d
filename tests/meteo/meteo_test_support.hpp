#pragma once
// Fixture of the meteorological input tests: a fresh directory, a diagnostics log whose console
// text the test can inspect, and files written once by process 0 for every process to read.
#include <mpi.h>

#include <memory>
#include <sstream>
#include <string>

#include "kernel/diaglog.hpp"
#include "kernel/error.hpp"
#include "support/test_support.hpp"

namespace meteo_test {

class MeteoFileTest : public talvo_test::TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        log = std::make_unique<DiagLog>("diag.xml", 4);
        log->SetConsole(console);
    }
    void TearDown() override {
        log.reset();
        TempDirTest::TearDown();
    }
    // Written by process 0 once every process is done with an earlier file of that name;
    // every process may read it after the second barrier.
    static void Share(const std::string& name, const std::string& text) {
        MPI_Barrier(MPI_COMM_WORLD);
        if (talvo_test::Rank() == 0) talvo_test::WriteFile(name, text);
        MPI_Barrier(MPI_COMM_WORLD);
    }
    static std::size_t Count(const std::string& text, const std::string& piece) {
        std::size_t n = 0;
        for (std::size_t p = text.find(piece); p != std::string::npos; p = text.find(piece, p + piece.size())) ++n;
        return n;
    }
    // The error code an operation throws, 0 when it returns.
    template <class F>
    static int ErrorOf(F&& f) {
        try {
            f();
        } catch (const ModelError& e) {
            return e.code();
        }
        return 0;
    }
    std::string Console() const { return console.str(); }
    bool Logged(const std::string& text) const { return console.str().find(text) != std::string::npos; }
    // True when the diagnostics file holds a FATAL entry.
    bool FatalLogged() const { return talvo_test::ReadFile(log->FileName()).find("level=\"0\"") != std::string::npos; }

    std::ostringstream console;
    std::unique_ptr<DiagLog> log;
};

// A station file with the three stations used throughout: altitudes 100, 200, 300.
inline std::string StationHeaderText(const std::string& extraColumns = "") {
    return "Station data, test basin\n"
           "YY MM DD HH " + extraColumns + "100 200 300\n"
           "YY MM DD HH " + extraColumns + "1000 2000 3000\n"
           "YY MM DD HH " + extraColumns + "5000 6000 7000\n"
           "anything on the fifth line\n";
}

}  // namespace meteo_test
