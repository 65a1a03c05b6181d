#include "support/test_support.hpp"

#include <cstdlib>
#include <fstream>
#include <mpi.h>
#include <sstream>
#include <vector>

namespace talvo_test {

int Rank() {
    int r = 0;
    MPI_Comm_rank(MPI_COMM_WORLD, &r);
    return r;
}

int Size() {
    int s = 1;
    MPI_Comm_size(MPI_COMM_WORLD, &s);
    return s;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

void TempDirTest::SetUp() {
    oldDir_ = std::filesystem::current_path();
    std::vector<char> name(4096, '\0');
    if (Rank() == 0) {
        std::string tmpl = (std::filesystem::temp_directory_path() / "talvo_test_XXXXXX").string();
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        if (mkdtemp(buf.data()) == nullptr) std::abort();
        std::copy(buf.begin(), buf.end(), name.begin());
    }
    MPI_Bcast(name.data(), static_cast<int>(name.size()), MPI_CHAR, 0, MPI_COMM_WORLD);
    dir_ = std::string(name.data());
    std::filesystem::current_path(dir_);
    MPI_Barrier(MPI_COMM_WORLD);
}

void TempDirTest::TearDown() {
    MPI_Barrier(MPI_COMM_WORLD);
    std::filesystem::current_path(oldDir_);
    if (Rank() == 0) {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    MPI_Barrier(MPI_COMM_WORLD);
}

}  // namespace talvo_test
