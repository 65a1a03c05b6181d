#pragma once
// A small domain for the sub-model tests: a 4 x 5 zone grid held whole on every process, the
// settings a sub-model is built with, a control file with every sub-model switched off and a
// fresh working directory with a captured log.
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "kernel/diaglog.hpp"
#include "kernel/error.hpp"
#include "kernel/gridstore.hpp"
#include "submodel/teilmod.hpp"
#include "support/test_support.hpp"

namespace submodel_test {

// Sections of every sub-model with flow control 0 between `before` and `after` (the first
// section of a name wins, so `before` can switch one on).
std::string ControlFile(const std::string& before = "", const std::string& after = "");

// "[landuse_table]" with one meadow and "[soil_table]" with one loam of the given codes.
std::string ParameterTables(int landuseCode, int soilCode);

// Process 0 writes the file that every process reads; the others wait for it.
void WriteShared(const std::string& path, const std::string& text);

// Whether text holds needle; a failure shows the text.
::testing::AssertionResult Contains(const std::string& text, const std::string& needle);

// The code of the ModelError that f throws, 0 when it returns.
template <class F>
int CodeOf(F&& f) {
    try {
        f();
    } catch (const ModelError& e) {
        return e.code();
    }
    return 0;
}

// Zone grid codes; -9999 outside the basin.
extern const double kZones[4][5];

// The settings of the test domain: rows in bands over the processes, zones 3, 5 and 9.
SubmodelSettings BaseSettings(GridStore& store, Matrix& zone, std::vector<int>& index,
                              std::vector<zoneFZT>& records, const std::string& controlFile);

// A fresh directory and a log whose console text the test reads.
class LoggedTest : public talvo_test::TempDirTest {
protected:
    void SetUp() override;
    void TearDown() override;
    ::testing::AssertionResult Logged(const std::string& text) const { return Contains(console_.str(), text); }
    std::ostringstream console_;
    std::unique_ptr<DiagLog> log_;
};

// The same with the test domain's settings and grid store.
class DomainTest : public LoggedTest {
protected:
    void SetUp() override;
    GridStore store_;
    Matrix zone_;
    std::vector<int> index_;
    std::vector<zoneFZT> records_;
    SubmodelSettings settings_;
};

}  // namespace submodel_test
