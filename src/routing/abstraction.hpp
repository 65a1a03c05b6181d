#pragma once
// An abstraction (AL element of a routing description): takes water out of the channel at the
// outlet of its routing subbasin each step — a share above a threshold, a series of a file, or
// an amount of a seasonal rule — and either hands it to an internal inflow of another routing
// subbasin or records what left the basin in its output file.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "kernel/replacingfile.hpp"
#include "kernel/tstable.hpp"
#include "routing/rules.hpp"

class DiagLog;
class routingclass;
struct TracerDescriptor;

namespace routing {

enum AbstractionMode : int {
    kAbstractionNone = 0,
    kAbstractionIntern = 3,
    kAbstractionExtern = 4,
    kAbstractionFromFile = 5,
    kAbstractionInternRule = 6,
    kAbstractionExternRule = 7,
    kAbstractionFromReservoir = 8,
};

class Abstraction {
public:

    Abstraction(int code, DiagLog& log, const TracerDescriptor* tracers, int nTr, const std::string& outputPath,
                double areaNumerator, double areaDivisor, double dt);
    // Ends the output file (EndOutput) where the routing did not.
    ~Abstraction();
    Abstraction(const Abstraction&) = delete;
    Abstraction& operator=(const Abstraction&) = delete;

    // Parses the mode and its values from the text behind "=" of the element (pos is moved
    // behind what was read), opens the input table at the start date and creates the output
    // file with its head (the file of the run before stays in place until the first rows or
    // the normal end).
    void ReadMode(const std::string& text, std::size_t& pos, int year, int month, int day, int hour);
    // Reads "[abstraction_rule_abstraction_<code>]" for the rule modes 6, 7 and 8.
    void ReadRules(std::FILE* controlFile);
    // The area (km2, before the area factor) of the routing subbasin became `area`: values in mm
    // per step follow it.
    void SetArea(double area);
    // The internal inflow this abstraction feeds: the receiving description, the flow index of
    // its first tributary (0: none) and its area values.
    void Connect(const routingclass* receiver, int receivingIndex, int tributaryIndex, double area, double factor);

    // Modes 3-7: the amount (mm per step) taken from the available flow Q (mm per step) of which
    // A (mm per step) is already taken; A grows by it. Never negative, never above Q - A.
    double Abstract(double& A, double Q, int year, int month, int day, int hour);
    // Mode 8: the rate (m3/s) taken from a reservoir holding V m3.
    double Step(int year, int month, int day, int hour, double V);
    // Rule amount (mm per step) of modes 6-8 for the flow Q (m3/s).
    double RuleAmount(int month, int day, double Q);

    void AddRow(int year, int month, int day, int hour, const std::vector<double>& values);
    // Appends the buffered rows to the output file.
    void Flush();
    // The end of the output file: its last rows and, at the normal end, a file with its head
    // alone; in a run that failed, a file this run has not yet put in place stays as it was.
    void EndOutput();

    int Code() const { return code_; }
    int Mode() const { return mode_; }
    bool Internal() const {
        return mode_ == kAbstractionIntern || mode_ == kAbstractionInternRule || mode_ == kAbstractionFromReservoir;
    }
    bool Connected() const { return receivingIndex_ >= 0; }
    double Threshold() const { return threshold_; }
    double Maximum() const { return maximum_; }
    double Area() const { return areaDivisor_ != 0 ? areaNumerator_ / areaDivisor_ : 0.0; }
    // Mean rate (m3/s) of the step of a mode-8 abstraction, set by its reservoir.
    double rate = 0;
    int BufferCapacity() const { return capacity_; }
    int BufferedRows() const { return rows_; }
    const std::string& OutputFile() const { return outputFile_; }

private:
    [[noreturn]] void Fatal(const std::string& text, int code);
    bool HasFile() const {
        return mode_ == kAbstractionExtern || mode_ == kAbstractionFromFile || mode_ == kAbstractionExternRule;
    }
    // Discharge (m3/s) of the receiving description's first tributary, 0 when not linked.
    double TributaryFlow() const;
    void OpenInput(int year, int month, int day, int hour);
    void CreateOutput();

    int code_ = 0;
    int mode_ = kAbstractionNone;
    DiagLog* log_ = nullptr;
    const TracerDescriptor* tracers_ = nullptr;
    int nTr_ = 0;
    std::string outputPath_;
    double areaNumerator_ = 0, areaDivisor_ = 1, dt_ = 60;
    double threshold_ = 0, fraction_ = 0, maximum_ = 0;
    std::string outputFile_, inputFile_;
    TableFile table_;
    std::unique_ptr<TimeSeriesTable> input_;
    int column_ = 0;
    bool nodataWarned_ = false;
    RuleTable rule_;
    // Output rows: date and nTr + 1 values each.
    std::vector<double> buffer_;
    int capacity_ = 1, rows_ = 0;
    // Connection to an internal inflow.
    const routingclass* receiver_ = nullptr;
    int receivingIndex_ = -1, tributaryIndex_ = 0;
    double linkArea_ = 0, linkFactor_ = 1;
};

}  // namespace routing
