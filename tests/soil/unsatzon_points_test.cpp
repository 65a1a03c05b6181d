// The control point's files: only the owner writes, each file gets its own value range, an
// empty buffer is not written and a file that cannot be opened stops the run.
#include <gtest/gtest.h>
#include <mpi.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "kernel/error.hpp"
#include "kernel/replacingfile.hpp"
#include "unsatzon_fixture.hpp"

using namespace soil_test;

namespace {
std::vector<std::string> Lines(const std::string& name) {
    std::ifstream in(name);
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}

int Fields(const std::string& line) {
    int n = 1;
    for (char ch : line) n += ch == '\t';
    return n;
}

class SoilPointTest : public SoilModelTest {
protected:
    void SetUp() override {
        SoilModelTest::SetUp();
        SoilSection s;
        s.controlRow = 2;
        s.controlCol = 3;
        ASSERT_EQ(Build(s.Text()), 0u) << console_.str();
    }
    void Fill(int records) {
        for (int i = 0; i < records; ++i) {
            model_->BeginTimeStep(i, 2, 6, 2020);
            for (int b = 0; b < 6; ++b) {
                std::vector<double> v(static_cast<std::size_t>(model_->pointBuffers[static_cast<std::size_t>(b)].values));
                for (std::size_t k = 0; k < v.size(); ++k) v[k] = 100.0 * b + static_cast<double>(k) + 0.5 * i;
                model_->AddPointRecord(b, v);
            }
        }
    }
};
}  // namespace

TEST_F(SoilPointTest, OwnerWritesEveryFileWithItsRange) {
    const bool owner = Own(2, 3);
    EXPECT_EQ(model_->controlPointHere, owner);
    int owners = owner ? 1 : 0;
    MPI_Allreduce(MPI_IN_PLACE, &owners, 1, MPI_INT, MPI_SUM, MPI_COMM_WORLD);
    EXPECT_EQ(owners, 1);
    if (!owner) {
        model_->WriteOutputs();
        return;
    }
    Fill(2);
    console_.str("");
    model_->WriteOutputs();
    // Files in the order of the flush, each logged with its buffer use.
    const std::string log = console_.str();
    EXPECT_LT(log.find("write qbot.txt"), log.find("write theta.txt"));
    EXPECT_LT(log.find("write theta.txt"), log.find("write hhyd.txt"));
    EXPECT_LT(log.find("write hhyd.txt"), log.find("write other.txt"));
    EXPECT_LT(log.find("write other.txt"), log.find("write etr.txt"));
    EXPECT_LT(log.find("write etr.txt"), log.find("write qi.txt"));
    EXPECT_NE(log.find(StrFormat("(%d of 2097152 buffer-bytes)", (10 * 8 + 32) * 2)), std::string::npos);
    const auto theta = Lines("theta.txt"), etr = Lines("etr.txt"), other = Lines("other.txt");
    ASSERT_EQ(theta.size(), 3u);
    ASSERT_EQ(etr.size(), 3u);
    ASSERT_EQ(other.size(), 3u);
    // Date words, then the layers 1..10; one more for the evaporation file; 18 + 6 V others.
    EXPECT_EQ(Fields(theta[1]), 4 + 10);
    EXPECT_EQ(Fields(etr[1]), 4 + 11);
    EXPECT_EQ(Fields(other[1]), 4 + 18 + 6 * model_->n_veg_layers);
    EXPECT_EQ(theta[1].substr(0, 20), "2020\t6\t2\t0\t101\t102\t1");
    EXPECT_EQ(theta[2].substr(0, 16), "2020\t6\t2\t1\t101.5");
    EXPECT_EQ(etr[1].substr(0, 18), "2020\t6\t2\t0\t300\t301");
    // An empty buffer neither opens its file nor logs.
    console_.str("");
    model_->WriteOutputs();
    EXPECT_EQ(console_.str().find("write "), std::string::npos);
    EXPECT_EQ(Lines("theta.txt").size(), 3u);
}

TEST_F(SoilPointTest, ModelEndFlushesWhatIsLeft) {
    if (Own(2, 3)) Fill(1);
    model_->ModelEnd(false);
    if (Own(2, 3)) {
        EXPECT_EQ(Lines("hhyd.txt").size(), 2u);
    }
}

// Within a run (the normal end still pending) a model that ends without it has failed: a file
// that holds only its header leaves the file of the run before in place; a file this run has
// already put in place gets the records it still holds.
TEST_F(SoilPointTest, AFailedRunLeavesTheFilesOfTheRunBefore) {
    // Only the owner of the control point writes and reads its files; every process builds.
    const bool owner = Own(2, 3);
    if (owner) Fill(1);
    model_->ModelEnd(false);
    model_.reset();
    const auto before = owner ? Lines("hhyd.txt") : std::vector<std::string>{};
    if (owner) {
        ASSERT_EQ(before.size(), 2u);
    }
    struct Run {
        Run() { SetNormalEndPending(true); }
        ~Run() { SetNormalEndPending(false); }
    };
    SoilSection s;
    s.controlRow = 2;
    s.controlCol = 3;
    {
        Run run;
        ASSERT_EQ(Build(s.Text()), 0u) << console_.str();
        if (owner) Fill(3);
        model_.reset();
    }
    if (owner) {
        EXPECT_EQ(Lines("hhyd.txt"), before);
        EXPECT_TRUE(Lines("hhyd.txt.part").empty());
    }
    {
        Run run;
        ASSERT_EQ(Build(s.Text()), 0u) << console_.str();
        if (owner) Fill(2);
        model_->WriteOutputs();
        if (owner) Fill(1);
        model_.reset();
    }
    if (owner) {
        EXPECT_EQ(Lines("hhyd.txt").size(), 4u);
        EXPECT_TRUE(Lines("hhyd.txt.part").empty());
    }
}

TEST_F(SoilPointTest, UnopenableFileStops) {
    if (!Own(2, 3)) return;
    Fill(1);
    // The header waits under the temporary name; a folder in its place cannot be written.
    ASSERT_EQ(std::remove("qbot.txt.part"), 0);
    ASSERT_EQ(mkdir("qbot.txt.part", 0700), 0);
    EXPECT_EQ(submodel_test::CodeOf([&] { model_->WriteOutputs(); }), 65);
    EXPECT_TRUE(Logged("error opening file qbot.txt"));
    EXPECT_TRUE(Logged("reason given by the operating system"));
    rmdir("qbot.txt.part");
}

namespace {
std::vector<double> Numbers(const std::string& line) {
    std::istringstream in(line);
    std::vector<double> v;
    for (double x; in >> x;) v.push_back(x);
    return v;
}
}  // namespace

TEST_F(SoilPointTest, TheRunningModelAppendsOneRecordPerCallAndWritesFullBuffers) {
    unsigned error = 0;
    model_->InitTracerGrids(error, 0, nullptr, nullptr, 0);
    model_->SelectWaterInput(false);
    ASSERT_EQ(error, 0u);
    const bool owner = Own(2, 3);
    // Room for two records: the second call fills the buffers and writes them.
    for (auto& b : model_->pointBuffers) b.capacity = 2;
    auto call = [&](int day) {
        model_->BeginTimeStep(24, day, 6, 2020);
        model_->run(24, day, 6, 2020);
        model_->ComputeSubbasinRunoff();
    };
    call(1);
    if (owner) {
        // The header waits under the temporary name until the first records.
        EXPECT_EQ(Lines("theta.txt.part").size(), 1u);
        EXPECT_TRUE(Lines("theta.txt").empty());
    }
    call(2);
    if (owner) {
        EXPECT_EQ(Lines("theta.txt").size(), 3u);
        EXPECT_EQ(Lines("other.txt").size(), 3u);
        EXPECT_TRUE(Lines("theta.txt.part").empty());
    }
    call(3);
    // The values of the third call, as the cell's grids and stacks hold them.
    double theta5 = 0, direct = 0, transpiration = 0, evaporation = 0, interflow = 0;
    if (owner) {
        theta5 = Level("theta", 2, 3, 5);
        direct = Value("directflow", 2, 3);
        transpiration = Value("real_transpiration1", 2, 3);
        evaporation = Value("real_evaporation", 2, 3);
        interflow = Value("interflow", 2, 3);
    }
    model_->WriteOutputs();
    if (!owner) return;
    const auto theta = Lines("theta.txt"), other = Lines("other.txt"), etr = Lines("etr.txt"),
               qi = Lines("qi.txt"), hhyd = Lines("hhyd.txt"), qbot = Lines("qbot.txt");
    for (const auto* f : {&theta, &other, &etr, &qi, &hhyd, &qbot}) ASSERT_EQ(f->size(), 4u);
    EXPECT_EQ(theta[3].substr(0, 12), "2020\t6\t3\t24\t");
    const std::vector<double> t = Numbers(theta[3]), o = Numbers(other[3]), e = Numbers(etr[3]), q = Numbers(qi[3]);
    ASSERT_EQ(t.size(), 14u);
    EXPECT_NEAR(t[4 + 4], theta5, 1e-5 * theta5);
    ASSERT_EQ(o.size(), static_cast<std::size_t>(4 + 18 + 6 * model_->n_veg_layers));
    EXPECT_NEAR(o[4], direct, 1e-5 * std::fabs(direct) + 1e-12);
    // Per layer the water the roots took adds up to the transpiration; element 0 is the evaporation.
    double roots = 0;
    for (std::size_t k = 5; k < e.size(); ++k) roots += e[k];
    EXPECT_NEAR(roots, transpiration, 1e-4 * transpiration + 1e-9);
    EXPECT_NEAR(e[4], evaporation, 1e-5 * evaporation + 1e-12);
    double lateral = 0;
    for (std::size_t k = 4; k < q.size(); ++k) lateral += q[k];
    EXPECT_GE(lateral, interflow - 1e-4 * std::fabs(interflow) - 1e-9);
}
