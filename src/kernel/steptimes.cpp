#include "kernel/steptimes.hpp"

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mpi.h>

#include "kernel/mpistate.hpp"

namespace {
template <class... Args>
void Append(std::string& text, const char* format, Args... args) {
    char line[256];
    const int n = std::snprintf(line, sizeof line, format, args...);
    if (n > 0) text.append(line, static_cast<std::size_t>(std::min(n, static_cast<int>(sizeof line) - 1)));
}

double ProcessorSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}
}  // namespace

StepTimes::StepTimes() {
    const char* value = std::getenv("TALVO_STEP_TIMES");
    enabled_ = value != nullptr && *value != '\0' && std::strcmp(value, "0") != 0;
}

StepTimes& StepTimes::Instance() {
    static StepTimes times;
    return times;
}

int StepTimes::Part(const char* name) {
    for (std::size_t i = 0; i < sums_.size(); ++i)
        if (sums_[i].name == name) return static_cast<int>(i);
    sums_.push_back(Sum{name});
    return static_cast<int>(sums_.size()) - 1;
}

void StepTimes::Add(int part, double work, double wait) {
    Sum& s = sums_[static_cast<std::size_t>(part)];
    s.work += work;
    s.wait += wait;
    ++s.count;
}

void StepTimes::Reset(bool enabled) {
    enabled_ = enabled;
    sums_.clear();
}

void StepTimes::Report() {
    if (!enabled_ || !MpiRunning()) return;
    int rank = 0, size = 1;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    MPI_Comm_size(MPI_COMM_WORLD, &size);
    // Per process: its processor time, then work and wait of each part.
    const int parts = static_cast<int>(sums_.size());
    int mostParts = parts, fewestParts = parts;
    MPI_Allreduce(&parts, &mostParts, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
    MPI_Allreduce(&parts, &fewestParts, 1, MPI_INT, MPI_MIN, MPI_COMM_WORLD);
    const int width = 1 + 2 * mostParts;
    std::vector<double> mine(static_cast<std::size_t>(width), 0.0);
    mine[0] = ProcessorSeconds();
    for (int p = 0; p < parts; ++p) {
        mine[static_cast<std::size_t>(1 + 2 * p)] = sums_[static_cast<std::size_t>(p)].work;
        mine[static_cast<std::size_t>(2 + 2 * p)] = sums_[static_cast<std::size_t>(p)].wait;
    }
    std::vector<double> all(rank == 0 ? static_cast<std::size_t>(width) * static_cast<std::size_t>(size) : 0);
    MPI_Gather(mine.data(), width, MPI_DOUBLE, all.data(), width, MPI_DOUBLE, 0, MPI_COMM_WORLD);
    // The table goes out in one write, beginning on a line of its own, while the other
    // processes wait, so that no other console text breaks its lines.
    if (rank == 0) {
        std::string text = "\n";
        Print(text, parts, size, width, fewestParts == mostParts, all);
        std::fwrite(text.data(), 1, text.size(), stderr);
        std::fflush(stderr);
    }
    MPI_Barrier(MPI_COMM_WORLD);
}

// Appends the table of the gathered sums (per process: processor time, then work and wait of
// each part) to text.
void StepTimes::Print(std::string& text, int parts, int size, int width, bool sameParts,
                      const std::vector<double>& all) const {
    if (!sameParts) {
        text += "step times: the processes timed different parts\n";
        return;
    }
    auto stats = [&](int column, double* least, double* mean, double* most) {
        *least = *most = all[static_cast<std::size_t>(column)];
        double sum = 0;
        for (int r = 0; r < size; ++r) {
            const double v = all[static_cast<std::size_t>(r * width + column)];
            *least = std::min(*least, v);
            *most = std::max(*most, v);
            sum += v;
        }
        *mean = sum / size;
    };
    Append(text, "step times of %d processes (seconds summed over the run; wait = barrier after the part)\n",
                 size);
    Append(text, "%-28s %7s %9s %9s %9s %9s %9s %9s\n", "part", "calls", "work min", "work mean", "work max",
                 "wait min", "wait mean", "wait max");
    for (int p = 0; p < parts; ++p) {
        double v[6];
        stats(1 + 2 * p, &v[0], &v[1], &v[2]);
        stats(2 + 2 * p, &v[3], &v[4], &v[5]);
        Append(text, "%-28s %7ld %9.3f %9.3f %9.3f %9.3f %9.3f %9.3f\n",
                     sums_[static_cast<std::size_t>(p)].name.c_str(), sums_[static_cast<std::size_t>(p)].count, v[0],
                     v[1], v[2], v[3], v[4], v[5]);
    }
    text += "work per process (process 0 first)\n";
    for (int p = 0; p < parts; ++p) {
        Append(text, "%-28s", sums_[static_cast<std::size_t>(p)].name.c_str());
        for (int r = 0; r < size; ++r)
            Append(text, " %7.3f", all[static_cast<std::size_t>(r * width + 1 + 2 * p)]);
        text += '\n';
    }
    text += "processor seconds per process:";
    for (int r = 0; r < size; ++r) Append(text, " %.2f", all[static_cast<std::size_t>(r * width)]);
    text += '\n';
}

TimedPart::TimedPart(const char* name) {
    StepTimes& times = StepTimes::Instance();
    if (!times.Enabled() || !MpiRunning()) return;
    part_ = times.Part(name);
    start_ = MPI_Wtime();
}

TimedPart::~TimedPart() {
    // A part left by an error does not meet the others: they may not come.
    if (part_ < 0 || std::uncaught_exceptions() > 0) return;
    const double worked = MPI_Wtime();
    MPI_Barrier(MPI_COMM_WORLD);
    StepTimes::Instance().Add(part_, worked - start_, MPI_Wtime() - worked);
}

PartSeconds::PartSeconds(std::initializer_list<const char*> names) : names_(names), seconds_(names.size(), 0.0) {}

bool PartSeconds::On() const { return StepTimes::Instance().Enabled() && MpiRunning(); }

void PartSeconds::Mark() {
    if (On()) mark_ = MPI_Wtime();
}

void PartSeconds::Add(int kind) {
    if (!On()) return;
    const double now = MPI_Wtime();
    seconds_[static_cast<std::size_t>(kind)] += now - mark_;
    mark_ = now;
}

void PartSeconds::Report() {
    if (!On()) return;
    StepTimes& times = StepTimes::Instance();
    for (std::size_t k = 0; k < names_.size(); ++k) {
        times.Add(times.Part(names_[k]), seconds_[k], 0.0);
        seconds_[k] = 0;
    }
}
