#pragma once
// Fixture of the table tests: a control file in a fresh directory, read through a plain model
// object whose diagnostics log writes into a string.
#include <functional>
#include <memory>
#include <sstream>
#include <string>

#include "kernel/controlfile.hpp"
#include "kernel/diaglog.hpp"
#include "kernel/error.hpp"
#include "kernel/modelobject.hpp"
#include "support/test_support.hpp"

// The values of a table field as " v1 v2 ...", for golden dumps.
template <class T>
std::string List(const T& v) {
    std::string s;
    for (const auto& x : v) s += StrFormat(" %g", static_cast<double>(x));
    return s;
}

class TableTest : public talvo_test::TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        log_ = std::make_unique<DiagLog>("diag.xml", 4);
        log_->SetConsole(console_);
    }
    void TearDown() override {
        reader_.reset();
        log_.reset();
        TempDirTest::TearDown();
    }

    // A reader positioned nowhere yet, on a control file holding text (one file per process).
    modelobject& Reader(const std::string& text) {
        const std::string name = "control_" + std::to_string(talvo_test::Rank()) + ".txt";
        talvo_test::WriteFile(name, text);
        reader_ = std::make_unique<modelobject>(log_.get(), name, 0, false, false, ObjectRecord{});
        reader_->SetModuleName("tables");
        reader_->controlFile = OpenFile(name, "r");
        return *reader_;
    }

    // The error code f throws (0 when it returns).
    static int ErrorCode(const std::function<void()>& f) {
        try {
            f();
        } catch (const ModelError& e) {
            return e.code();
        }
        return 0;
    }

    DiagLog& Log() { return *log_; }
    std::string Console() const { return console_.str(); }
    bool Logged(const std::string& text) const { return console_.str().find(text) != std::string::npos; }

private:
    std::ostringstream console_;
    std::unique_ptr<DiagLog> log_;
    std::unique_ptr<modelobject> reader_;
};
