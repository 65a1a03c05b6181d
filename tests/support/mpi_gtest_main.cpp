// gtest main for MPI: every process runs the same tests in the same order; process 0 prints
// the usual report, the others print only their failures; all exit with the same status.
#include <gtest/gtest.h>
#include <mpi.h>

#include <cstdio>
#include <cstring>
#include <cstdlib>

#include "kernel/hotloop.hpp"

namespace {
class FailurePrinter : public ::testing::EmptyTestEventListener {
public:
    explicit FailurePrinter(int rank) : rank_(rank) {}
    void OnTestPartResult(const ::testing::TestPartResult& r) override {
        if (r.failed())
            std::printf("[rank %d] %s:%d: failure\n%s\n", rank_, r.file_name() ? r.file_name() : "?", r.line_number(),
                        r.summary());
    }
    void OnTestEnd(const ::testing::TestInfo& info) override {
        if (info.result()->Failed())
            std::printf("[rank %d] FAILED %s.%s\n", rank_, info.test_suite_name(), info.name());
    }

private:
    int rank_;
};
}  // namespace

int main(int argc, char** argv) {
    MPI_Init(&argc, &argv);
    ::testing::InitGoogleTest(&argc, argv);
    // TALVO_TEST_PLAIN_PATHS=1: the tests run the plain paths that a processor without AVX2
    // takes instead of the hand-written AVX2 ones.
    if (const char* plain = std::getenv("TALVO_TEST_PLAIN_PATHS"); plain != nullptr && std::strcmp(plain, "1") == 0)
        plainPathsOnly = true;
    int rank = 0;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    if (rank != 0) {
        auto& listeners = ::testing::UnitTest::GetInstance()->listeners();
        delete listeners.Release(listeners.default_result_printer());
        listeners.Append(new FailurePrinter(rank));
    }
    int local = RUN_ALL_TESTS();
    int global = 0;
    MPI_Allreduce(&local, &global, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
    MPI_Finalize();
    return global;
}
