#pragma once
// External file coupling: the model runs in lock-step with another program and nothing but
// files passes between them. At the start of each coupling period the incoming grids are read
// into grids of the grid store (after the time loop has waited for the other program's
// semaphore file); at its end the chosen grids and zone statistics are written as files, after
// which the time loop publishes the model's own semaphore file.
//
// The component works on behalf of a set-up object (its log, geometry, grid store, output
// flags and directory prefixes) and keeps the settings of "[ExternalCoupling]" and the
// accumulations of the outgoing grids. Coupling works with a single MPI process only.
#include <cstdint>
#include <string>
#include <vector>

#include "kernel/matrix.hpp"
#include "kernel/outputcodes.hpp"

class modelobject;

class ExternalCoupling {
public:
    // Longest write code text.
    static constexpr std::size_t kWriteCodeLength = 49;
    // Longest statistics title kept whole in a statistics file header.
    static constexpr std::size_t kTitleLength = 100;

    struct IncomingGrid {
        std::string fileName;
        std::string internalName;
        int fillCode = 0;
        int renameCode = 0;  // 1 rename to a dated name, 0 delete, other values keep the file
        Matrix* grid = nullptr;
    };
    struct OutgoingGrid {
        std::string fileName;
        std::string internalName;
        std::string writeCode;  // "Sum", "Mean", "SumTotal..." or any other text (the grid itself)
        Matrix* grid = nullptr;
        Matrix accumulation;  // all rows and columns for "Sum", "Mean" and "SumTotal..."
        // Per cell (row-major, 1-based), the period's steps without data, left out of the sum.
        std::vector<double> missingSteps;
    };
    struct OutgoingStatistic {
        std::string fileName;
        std::string entityName;
        std::string writeCode;
        int tableIndex = -1;        // entry of the table of statistics outputs
        std::vector<double> sums;   // running sums per value, 1-based
    };

    explicit ExternalCoupling(modelobject& owner) : owner_(owner) {}

    // Reads "[ExternalCoupling]" from the compiled control file (error 14 when it cannot be
    // opened, 10 for an unreadable setting, 1009 for a coupled run of several processes).
    void ReadSettings(const std::string& compiledControlFile);
    // Resolves the internal names of the grids (errors 1003 and 1004) and finds the statistics
    // of the entities in the table of statistics outputs (error 1005). The table itself is
    // never changed: the coupling keeps its own list of the entries it uses.
    void Link(const OutputCodeEntry* table, int entries);

    bool IsCoupled() const { return mode_ == 1; }
    int Mode() const { return mode_; }
    const std::string& SemaphoreFileName() const { return semaphoreFile_; }
    std::int64_t WaitInterval() const { return waitInterval_; }
    char PeriodLetter() const { return periodLetter_; }
    int ExternalTimeStep() const { return externalTimeStep_; }
    const std::string& OutgoingSemaphoreFileName() const { return outgoingSemaphore_; }
    const std::string& OutgoingSemaphoreContent() const { return outgoingContent_; }
    // True when an incoming grid has the internal name "GWTableExtern".
    bool HasExternalGWTable() const;

    // Reads every incoming grid, renames or deletes its file, then deletes the semaphore file.
    void ReadGrids(std::int64_t year, std::int64_t month, std::int64_t day, std::int64_t hour);
    // Adds the step to the accumulations (every step of a period but its last).
    void Accumulate();
    // The last step of a period: writes the outgoing grids and statistics files. The date is
    // that of the period's start; the flags tell whether the day, month or year has changed
    // since. zoneCount goes into the header of the statistics files. Every file is checked;
    // a failure is logged and thrown, so the semaphore file is never published after it.
    void Write(std::int64_t day, std::int64_t month, std::int64_t year, bool endOfDay, bool endOfMonth,
               bool endOfYear, int zoneCount);

    const std::vector<IncomingGrid>& Incoming() const { return incoming_; }
    const std::vector<OutgoingGrid>& Outgoing() const { return outgoing_; }
    const std::vector<OutgoingStatistic>& Statistics() const { return statistics_; }
    int StepCount() const { return stepCount_; }

    // Write codes that keep an accumulation, and whether it restarts after each write.
    static bool Accumulates(const std::string& code);
    static bool IsRunningTotal(const std::string& code);

private:
    void ReadGridLists(std::FILE* f, const std::string& controlFile);
    void AddStep(OutgoingGrid& g);
    void RestartAccumulation(OutgoingGrid& g);
    void WriteOutgoingGrid(OutgoingGrid& g, std::int64_t day, std::int64_t month, std::int64_t year, bool endOfDay,
                           bool endOfMonth, bool endOfYear);
    void WriteStatistic(OutgoingStatistic& s, int zoneCount);
    const Matrix* ZoneGrid() const;

    modelobject& owner_;
    int mode_ = 0;
    std::string semaphoreFile_;
    std::int64_t waitInterval_ = 100;
    char periodLetter_ = 'I';
    int externalTimeStep_ = 0;
    std::vector<IncomingGrid> incoming_;
    std::vector<OutgoingGrid> outgoing_;
    std::vector<OutgoingStatistic> statistics_;
    std::string outgoingSemaphore_;
    std::string outgoingContent_;
    int stepCount_ = 0;
    const OutputCodeEntry* table_ = nullptr;
    int tableEntries_ = 0;
};
