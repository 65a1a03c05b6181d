// Special output on the 4 x 5 test domain, its rows divided among the processes: the header
// lines, the values at points of grids and stacks, fluxes summed over sub-steps, and the
// errors of the section. The files must be the same at any number of processes.
#include <gtest/gtest.h>

#include <filesystem>
#include <mpi.h>

#include "submodel/teilmod_pointoutput.hpp"
#include "submodel_fixtures.hpp"

using namespace submodel_test;

namespace {

class SpecialOutputTest : public DomainTest {
protected:
    void SetUp() override {
        DomainTest::SetUp();
        const int first = settings_.firstRow, last = settings_.lastRow;
        // The owner grid holds every row on process 0 and only the own rows elsewhere, as the
        // set-up's decomposition leaves it.
        const int lo = talvo_test::Rank() == 0 ? 1 : first, hi = talvo_test::Rank() == 0 ? 4 : last;
        regions_ = mh_.matrix(lo, hi, 1, 5, 4);
        for (int r = lo; r <= hi; ++r)
            for (int c = 1; c <= 5; ++c) regions_[r][c] = OwnerOfRow(r);
        moisture_ = mh_.matrix(first, last, 1, 5, 4);
        baseflow_ = mh_.matrix(first, last, 1, 5, 4);
        layers_ = mh_.matrix3d(first, last, 1, 5, 3, 4);
        for (int r = first; r <= last; ++r)
            for (int c = 1; c <= 5; ++c)
                for (int l = 0; l <= 3; ++l) layers_[r][c][l] = 100 * l + 10 * r + c;
        Put(2, "MPIRegions", &regions_, nullptr, 0);
        Put(3, "soil_moisture", &moisture_, nullptr, 0);
        Put(4, "soil_layers", nullptr, &layers_, 3);
        Put(5, "baseflow_grid", &baseflow_, nullptr, 0);
    }
    void TearDown() override {
        module_.reset();
        DomainTest::TearDown();
    }

    static int OwnerOfRow(int r) {
        const int size = talvo_test::Size();
        for (int p = 0; p < size; ++p)
            if (r >= p * 4 / size + 1 && r <= (p + 1) * 4 / size) return p;
        return -1;
    }
    void Put(int index, const std::string& name, Matrix* grid, Stack* stack, int levels) {
        GridStoreEntry& e = store_[index];
        e.grid = grid;
        e.stack = stack;
        e.levels = levels;
        e.fileName = name + ".asc";
        e.hasFileName = true;
        e.internalName = name;
        e.hasInternalName = true;
    }
    void SetOwn(Matrix& m, double base, bool flat = false) {
        for (int r = settings_.firstRow; r <= settings_.lastRow; ++r)
            for (int c = 1; c <= 5; ++c) m[r][c] = flat ? base : base + 10 * r + c;
    }
    // Builds the module from a "[special_output]" section; returns its error code.
    unsigned Build(const std::string& section, unsigned subSteps = 3) {
        WriteShared("test.ctl", ControlFile("[special_output]\n1 flow control\n60 time step\n" + section + "\n"));
        unsigned error = 0;
        module_ = std::make_unique<SpecialOutputClass>(settings_, subSteps, error, log_.get());
        return error;
    }
    // One time step with three sub-steps; the flux grid holds k in sub-step k.
    void TimeStep(std::int64_t day, double moisture) {
        for (int k = 1; k <= 3; ++k) {
            SetOwn(baseflow_, k, true);
            module_->Step(24, day, 1, 2020, 1, k);
        }
        SetOwn(moisture_, moisture);
        module_->Step(24, day, 1, 2020, 0, 0);
    }
    std::string Read(const std::string& file) {
        MPI_Barrier(MPI_COMM_WORLD);
        return talvo_test::ReadFile(file);
    }

    memory_handling mh_;
    Matrix regions_, moisture_, baseflow_;
    Stack layers_;
    std::unique_ptr<SpecialOutputClass> module_;
};

// The header text "ID" is no key: the entity's ID is the one after "ID =".
const char* const kTwoFiles =
    "numfiles = 2;\n"
    "{ header = ID; filename = points.txt;\n"
    "  entity { ID = soil_moisture; Symbol = SM; Xcoords = 1500, 3500; Ycoords = 3500 500; }\n"
    "  entity { ID = soil_layers; Symbol = L; Xcoords = 2500 2500; Ycoords = 1500,1500; Level = 2, 5; }\n"
    "}\n"
    "{ header = fluxes; filename = flux.txt;\n"
    "  entity { ID = baseflow_grid; Symbol = Q; Xcoords = 500; Ycoords = 2500; }\n"
    "  entity { ID = no_such_grid; Symbol = N; Xcoords = 500; Ycoords = 2500; }\n"
    "}\n";

TEST_F(SpecialOutputTest, BlocksOnOneLineOrOpeningTheirEntityOnTheFirstLineAreRead) {
    // The same two files as kTwoFiles, the first block on one line, the second opening its first
    // entity on its first line and closing two braces on its last.
    ASSERT_EQ(Build("numfiles = 2;\n"
                    "{ header = ID; filename = points.txt; entity { ID = soil_moisture; Symbol = SM; Xcoords = 1500, "
                    "3500; Ycoords = 3500 500; } entity { ID = soil_layers; Symbol = L; Xcoords = 2500 2500; "
                    "Ycoords = 1500,1500; Level = 2, 5; } }\n"
                    "{ header = fluxes; filename = flux.txt; entity { ID = baseflow_grid; Symbol = Q;\n"
                    "  Xcoords = 500; Ycoords = 2500; }\n"
                    "  entity { ID = no_such_grid; Symbol = N; Xcoords = 500; Ycoords = 2500; } }\n"),
              0u)
        << console_.str();
    ASSERT_EQ(module_->NumFiles(), 2);
    EXPECT_EQ(module_->File(0).Entities().size(), 2u);
    EXPECT_EQ(module_->File(1).Entities().size(), 2u);
    TimeStep(1, 1000);
    module_->FlushAll();
    EXPECT_EQ(Read("flux.txt"),
              "YY\tMM\tDD\tHH\tQ/1/2\tN/1/2\nfluxes\nYY\tMM\tDD\tHH\tQ/500/2500\tN/500/2500\n2020\t1\t1\t24\t6\t-9999\n");
}

TEST_F(SpecialOutputTest, FilesAreTheSameAtAnyNumberOfProcesses) {
    ASSERT_EQ(Build(kTwoFiles), 0u);
    ASSERT_EQ(module_->NumFiles(), 2);
    EXPECT_EQ(module_->File(0).Entities()[0]->ID, "soil_moisture");
    // The header waits under the temporary name until the first rows.
    EXPECT_EQ(Read("points.txt.part"),
              "YY\tMM\tDD\tHH\tSM/2/1\tSM/4/4\tL/3/3/2\tL/3/3/5\nID\n"
              "YY\tMM\tDD\tHH\tSM/1500/3500\tSM/3500/500\tL/2500/1500/2\tL/2500/1500/5\n");
    TimeStep(1, 1000);
    TimeStep(2, 2000);
    module_->FlushAll();
    // The level beyond the stack's three levels has no value; the missing grid neither; the
    // flux holds the sum of its three sub-steps.
    EXPECT_EQ(Read("points.txt"),
              "YY\tMM\tDD\tHH\tSM/2/1\tSM/4/4\tL/3/3/2\tL/3/3/5\nID\n"
              "YY\tMM\tDD\tHH\tSM/1500/3500\tSM/3500/500\tL/2500/1500/2\tL/2500/1500/5\n"
              "2020\t1\t1\t24\t1012\t1044\t233\t-9999\n"
              "2020\t1\t2\t24\t2012\t2044\t233\t-9999\n");
    EXPECT_EQ(Read("flux.txt"),
              "YY\tMM\tDD\tHH\tQ/1/2\tN/1/2\nfluxes\nYY\tMM\tDD\tHH\tQ/500/2500\tN/500/2500\n"
              "2020\t1\t1\t24\t6\t-9999\n2020\t1\t2\t24\t6\t-9999\n");
    if (talvo_test::Rank() == 0) {
        EXPECT_TRUE(Logged("(128 of 2097152 buffer-bytes)"));
    }
    EXPECT_EQ(module_->File(0).RowsInUse(), 0);
}

// A run that fails before its first rows leaves the files of the run before; one that fails
// after them keeps what it wrote; a file without rows is put in place at the normal end.
TEST_F(SpecialOutputTest, AFailedRunLeavesTheFilesOfTheRunBefore) {
    struct Run {
        Run() { SetNormalEndPending(true); }
        ~Run() { SetNormalEndPending(false); }
    };
    ASSERT_EQ(Build(kTwoFiles), 0u);
    TimeStep(1, 1000);
    module_->FlushAll();
    module_.reset();
    const std::string before = Read("points.txt");
    ASSERT_NE(before.find("2020\t1\t1\t24\t1012"), std::string::npos);
    {
        Run run;
        ASSERT_EQ(Build(kTwoFiles), 0u);
        TimeStep(1, 5000);
        module_.reset();
    }
    EXPECT_EQ(Read("points.txt"), before);
    EXPECT_EQ(Read("points.txt.part"), "");
    {
        Run run;
        ASSERT_EQ(Build(kTwoFiles), 0u);
        TimeStep(1, 5000);
        module_->FlushAll();
        TimeStep(2, 6000);
        module_.reset();
    }
    const std::string failed = Read("points.txt");
    EXPECT_NE(failed.find("2020\t1\t1\t24\t5012"), std::string::npos);
    // Rows held back when a run of several processes fails are not written.
    if (talvo_test::Size() == 1) {
        EXPECT_NE(failed.find("2020\t1\t2\t24\t6012"), std::string::npos);
    }
    ASSERT_EQ(Build(kTwoFiles), 0u);
    module_->FlushAll();
    EXPECT_EQ(Read("flux.txt"), "YY\tMM\tDD\tHH\tQ/1/2\tN/1/2\nfluxes\nYY\tMM\tDD\tHH\tQ/500/2500\tN/500/2500\n");
}

TEST_F(SpecialOutputTest, OneSubStepSamplesFluxesAtTheEndOfTheStep) {
    ASSERT_EQ(Build(kTwoFiles, 1), 0u);
    EXPECT_FALSE(module_->File(1).Entities()[0]->flux);
    SetOwn(baseflow_, 4, true);
    module_->Step(24, 1, 1, 2020, 1, 1);
    SetOwn(baseflow_, 0);
    module_->Step(24, 1, 1, 2020, 0, 0);
    module_->FlushAll();
    EXPECT_TRUE(Contains(Read("flux.txt"), "2020\t1\t1\t24\t21\t-9999\n"));
}

TEST_F(SpecialOutputTest, PointsAndCountsThatDoNotFitAreErrors) {
    auto entity = [](const std::string& body, const std::string& file = "e.txt") {
        return "numfiles = 1;\n{ header = h; filename = " + file + ";\nentity { ID = soil_moisture; Symbol = s; " +
               body + " }\n}\n";
    };
    // x = xll lies left of the first column; y = yll + nrows * cellsize above the first row.
    const struct {
        std::string section;
        unsigned code;
        const char* message;
    } cases[] = {
        {entity("Xcoords = 500 1500; Ycoords = 500;"), 1006,
         "count of X coordinates dos not match the number of Y coordinates for entity soil_moisture"},
        {entity("Xcoords = 500 1500; Ycoords = 500 500; Level = 1;"), 1007, ". EIther each point has a level or none has."},
        {entity("Xcoords = 500; Ycoords = 500; Level = -1;"), 1007, ""},
        {entity("Xcoords = 500 0; Ycoords = 500 500;"), 1008,
         "x-coordinate 0, defined as point 1 for entity soil_moisture, is located outside the actual grid."},
        {entity("Xcoords = 500; Ycoords = 4000;"), 1008, "y-coordinate 4000, defined as point 0"},
        {entity("Xcoords = 500; Ycoords = 1x5;"), 1008, ""},
        {"files = 1;\n", 104, ""},
        {"numfiles = 1;\n{ header = h; filename = e.txt;\nentity { ID = a;\n", 104, ""},
        {entity("Xcoords = 500; Ycoords = 500;", "missing/e.txt"), 1007,
         "error opening file for special output of file\nmissing/e.txt\n-> check file name, disk space or user rights"},
    };
    for (const auto& c : cases) {
        console_.str("");
        EXPECT_EQ(Build(c.section), c.code) << c.section;
        EXPECT_TRUE(Logged(c.message)) << c.section;
    }
    EXPECT_EQ(Build(entity("Xcoords = 500; Ycoords = 0;")), 0u);
    EXPECT_EQ(module_->File(0).Entities()[0]->rows[0], 4);
}

TEST_F(SpecialOutputTest, FileThatCannotBeAppendedToIsError65) {
    if (talvo_test::Rank() == 0) std::filesystem::create_directory("out");
    MPI_Barrier(MPI_COMM_WORLD);
    ASSERT_EQ(Build("numfiles = 1;\n{ header = h; filename = out/e.txt;\n"
                    "entity { ID = soil_moisture; Symbol = s; Xcoords = 500; Ycoords = 500; }\n}\n"),
              0u);
    TimeStep(1, 0);
    MPI_Barrier(MPI_COMM_WORLD);
    if (talvo_test::Rank() == 0) std::filesystem::remove_all("out");
    MPI_Barrier(MPI_COMM_WORLD);
    EXPECT_EQ(CodeOf([&] { module_->FlushAll(); }), 65);
    EXPECT_TRUE(Logged("\nerror opening file out/e.txt"));
}

TEST_F(SpecialOutputTest, SwitchedOffItReadsNothingAndWritesNothing) {
    WriteShared("test.ctl", ControlFile());
    unsigned error = 0;
    SpecialOutputClass module(settings_, 1, error, log_.get());
    EXPECT_EQ(module.GetFlowControl(), 0);
    module.Step(24, 1, 1, 2020, 0, 0);
    module.FlushAll();
    EXPECT_EQ(module.NumFiles(), 0);
}

}  // namespace
