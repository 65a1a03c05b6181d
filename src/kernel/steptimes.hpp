#pragma once
// Optional timing of the parts of a run, for finding what keeps the processes from scaling.
// Off unless the environment sets TALVO_STEP_TIMES (to anything but "0"); off, a timed part
// costs one test of a flag. On, each process sums per named part the time it works in the part
// and the time it then waits in a barrier for the slowest process (the imbalance of the part),
// and process 0 prints a table to the standard error at the end of the run: per part the least,
// mean and largest work and wait over the processes, and each process's processor time.
// Every process must pass the same timed parts in the same order (the barriers pair up).
#include <initializer_list>
#include <string>
#include <vector>

class StepTimes {
public:
    // The one timer of the process; reads the environment on first use.
    static StepTimes& Instance();
    bool Enabled() const { return enabled_; }

    // Index of a named part (created on first use, in order of first use).
    int Part(const char* name);
    void Add(int part, double workSeconds, double waitSeconds);

    // Collective: gathers every process's sums and prints the table on process 0. Does
    // nothing when the timer is off or MPI is not running.
    void Report();

    // Enables or disables the timer (tests); clears the sums.
    void Reset(bool enabled);

    struct Sum {
        std::string name;
        double work = 0;
        double wait = 0;
        long count = 0;
    };
    const std::vector<Sum>& Sums() const { return sums_; }

private:
    StepTimes();
    void Print(std::string& text, int parts, int size, int width, bool sameParts, const std::vector<double>& all) const;
    bool enabled_ = false;
    std::vector<Sum> sums_;
};

// Times the enclosing scope as the named part; at its end the processes meet in a barrier.
class TimedPart {
public:
    explicit TimedPart(const char* name);
    ~TimedPart();
    TimedPart(const TimedPart&) = delete;
    TimedPart& operator=(const TimedPart&) = delete;

private:
    int part_ = -1;
    double start_ = 0;
};

// Finer rows of a timed part: the seconds of the kinds of work one process does inside it
// (passes, waits for halo rows, agreements), added up between marks without a barrier, as the
// enclosing part ends in one. Every process must hand over the same kinds in the same order.
// Off, a mark costs one test of a flag.
class PartSeconds {
public:
    explicit PartSeconds(std::initializer_list<const char*> names);
    // Starts the clock of the next Add.
    void Mark();
    // Adds the seconds since the last mark (or Add) to kind (index into the names).
    void Add(int kind);
    // Hands the sums to the table as one call of each kind and clears them.
    void Report();

private:
    bool On() const;
    std::vector<const char*> names_;
    std::vector<double> seconds_;
    double mark_ = 0;
};
