#pragma once
// One routing description: the routing subbasin (TG) with its tributary channels (OL), channels
// of several joined subbasins (SUMTRIB), inflows (ZL), abstractions (AL) and reservoirs (SP).
// It builds the water-level/discharge table of every channel, checks its area against the zone
// grid, reads its external inflows, fills the river records of its channels and holds the delay
// lines of its flow indices.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "kernel/modelobject.hpp"
#include "kernel/tstable.hpp"
#include "routing/abstraction.hpp"
#include "routing/channel.hpp"
#include "routing/channel_pass.hpp"
#include "routing/description.hpp"
#include "routing/flow_history.hpp"
#include "routing/reservoir.hpp"
#include "submodel/teilmod.hpp"

struct riverflow_table;
struct TracerDescriptor;
namespace routing {
class StateReader;
}

// What a description is built with.
struct RoutingDescriptionArgs {
    DiagLog* log = nullptr;
    std::string controlFileName;
    bool textOutput = false, doublePrecision = false;
    ObjectRecord record;
    GridStore* gridStore = nullptr;
    double dt = 60;            // time step, minutes
    double area = 0;           // A_TG, km2
    double factor = 1;         // f_TG, area factor ("AErel")
    int nSb = 0;               // subbasins of the zone table
    int nSub = 1;              // time sub-intervals of a step
    routing::ElementCounts counts;
    int tgCode = 0;
    SubbasinValues* zoneSize = nullptr;    // abfrel[0]: [0] basin area km2, [i] share of subbasin i
    SubbasinValues* zoneFactor = nullptr;  // abfrel[1]
    const std::vector<int>* zoneIndex = nullptr;
    int nTr = 0;
    const TracerDescriptor* tracers = nullptr;
    bool lakeModelling = false;
    int lakeReadGrids = 0;
    const routing::LakeGrids* lakeGrids = nullptr;  // with lake modelling: the grids of the lakes
};

// The observed discharge of the routing model: 21 rows (row 10 = current step) of ncol+1 values.
using ObservationWindow = std::vector<std::vector<double>>;

class routingclass : public modelobject {
public:
    explicit routingclass(const RoutingDescriptionArgs& args);
    ~routingclass() override;

    // Logs the teardown and frees the elements and delay lines.
    virtual void FreeMemory();

    // --- element creation, in the order the description names the elements
    // Builds channel element k; returns its total delay-line length. values: km, kf, bm, bf, D,
    // Mm, Mf, I, L, A of the description (<= 0 takes the default).
    virtual int SetChannel(int k, int code, const std::vector<int>& joined, int nSub, int observedFlag, double qmin,
                           double qmax, double n, const double values[10]);
    virtual void SetInflow(int k, int code, int mode, const std::string& fileName, int firstRow, int column,
                           int year, int month, int day, int hour, double value);
    virtual void SetAblaufModus(std::FILE* controlFile, int k, routing::TextCursor& cursor, int nSub, int year,
                                int month, int day, int hour);
    virtual void SetSpeicherParams(std::FILE* controlFile, int k, routing::TextCursor& cursor, int nSub);
    virtual void CheckArea();
    virtual void WriteWQTables();

    // --- links and flow arrays
    virtual void SetIrrigationTable(std::vector<zoneFZT>* table) { irrigationTable_ = table; }
    virtual void SetIrrigationArrays(RunoffArray* maxirrig, RunoffArray* fromReservoirs) {
        maxirrig_ = maxirrig;
        maxirrigFromReservoirs_ = fromReservoirs;
    }
    virtual void FillRiverflowTable(riverflow_table* table, int description);
    virtual void RefreshRiverflowTable();
    virtual void ReadInflows(RunoffArray& working, int year, int month, int day, int hour);
    // Keeps the routing model's arrays (working runoff, the step's runoff history by flow index,
    // sub-interval and tracer, observed discharge) and fills the delay lines of every flow index.
    virtual void AllocFlowArrays(RunoffArray* working, routing::FlowHistory* history,
                                 const ObservationWindow* window, const std::vector<int>* observedColumns);
    virtual void InitChannelFlows();
    // One time step of the description; a zero date (month 0) routes without irrigation, river
    // exchange or output rows.
    virtual void Route(int year, int month, int day, int hour);
    // Asks the processor for the data of a Route a few descriptions ahead, in three stages, each
    // of which reads only what the stage before brought in: the description's own fields that a
    // step reads (they stand together), then the elements and the series, then the channel data.
    void PrefetchFields() const {
        const char* first = reinterpret_cast<const char*>(&tgCode_);
        const char* last = reinterpret_cast<const char*>(&reservoirWithdrawal_);
        for (const char* p = first; p <= last; p += 64) __builtin_prefetch(p);
        __builtin_prefetch(last);
    }
    void Prefetch() const {
        for (const Element& el : elements_) {
            const char* p = reinterpret_cast<const char*>(&el);
            const char* end = reinterpret_cast<const char*>(&el.table.share + 1);
            for (; p < end; p += 64) __builtin_prefetch(p);
            __builtin_prefetch(end - 1);
        }
        for (const void* p : {static_cast<const void*>(stepElements_.data()), static_cast<const void*>(outlet_.data()),
                              static_cast<const void*>(work_.data()), static_cast<const void*>(lineData_.data())})
            __builtin_prefetch(p);
    }
    // The same for the channel data behind it (class tables, storages, delay lines): reads the
    // description's own fields, so it follows a Prefetch one description earlier.
    void PrefetchChannels() const {
        for (std::size_t k = 1; k < elements_.size(); ++k) {
            const Element& el = elements_[k];
            for (const void* p : {static_cast<const void*>(el.table.delta.data()),
                                  static_cast<const void*>(el.table.share.data()), static_cast<const void*>(el.table.bucketClass.data()),
                                  static_cast<const void*>(el.Qaus.data()), static_cast<const void*>(el.qvzuq.data()),
                                  static_cast<const void*>(el.writePos.data())})
                __builtin_prefetch(p);
        }
        // Every cache line of the delay lines: a pass reads and rewrites them whole.
        for (std::size_t y = 0; y < lineData_.size(); y += 8) __builtin_prefetch(lineData_.data() + y, 1);
    }
    // Writes the buffered rows of the abstractions and reservoirs.
    virtual void FlushElementFiles();
    // Rule sections of the abstractions, then of the reservoirs with their first outflow.
    virtual void ReadAbstractionRules(std::FILE* controlFile);
    virtual void ReadReservoirRules(std::FILE* controlFile);
    // With lake modelling: every reservoir with cells becomes a lake on the lake grids (which hold every
    // lake cell by now), takes its volume from its cells or gives them its initial volume, and
    // computes its first outflow again.
    void InitLakes();
    // Every lake gives its volume to its cells (after its volume was read from the state).
    void DistributeLakeVolumes();
    // Reservoir-withdrawal total (mm per step) of the last step.
    virtual double GetReservoirWithdrawal() const { return reservoirWithdrawal_; }
    // The state block of the description in the storage content file.
    virtual void WriteStorage(std::FILE* f) const;
    virtual void ReadStorage(std::FILE* f, const std::string& path);
    // Largest travel time (h) of the slowest class over the channel elements, 0 without any.
    double LargestFlowTime() const;

    // --- small operations
    virtual int MaxStorageElements(int nMin) const;
    virtual int WQClassIndex(int k, double q) const;
    virtual double MaxOfSeries(const std::vector<double>& series) const;
    virtual double Multiply(double a, double b) const { return a * b; }
    virtual double MixConcentration(double a, double b, double wa, double wb) const;
    virtual double ScaleByDifference(double a, double b, double c) const { return b == c ? 0.0 : a * b / (b - c); }
    // Depth h, hydraulic radius R and velocity v of the discharge Q in a rectangle of width b,
    // iterated from the velocity v holds on entry.
    virtual void ManningVelocity(double Q, double b, double& h, double& R, double& v, int maxIter, double M,
                                 double sqrtI, double tol) const {
        const routing::ManningResult r = routing::ManningVelocity(Q, b, v, M, sqrtI, maxIter, tol);
        h = r.h;
        R = r.R;
        v = r.v;
    }
    virtual double M3sToMm(double Q, double A, double dt) const { return routing::M3sToMm(Q, A, dt); }
    virtual double MmToM3s(double q, double A, double dt) const { return routing::MmToM3s(q, A, dt); }

    // One channel or inflow element.
    // What the step reads stands first, so that it shares few cache lines.
    struct Element {
        int code = 0;
        bool built = false;
        double cm = 0, cf = 0;  // retention factors exp(-1/k)
        double areaWeight = 0;
        routing::SubChannelRows Qaus;  // [sub-channel][sub-interval]
        std::vector<double> qvzuq;
        std::vector<int> writePos;
        routing::WQTable table;
        routing::ChannelParams p;
        std::vector<int> joined;  // "&"-joined codes of a SUMTRIB channel
    };
    struct InflowElement {
        int code = 0;
        int mode = 0;
        std::string fileName;
        std::unique_ptr<TimeSeriesTable> table;
    };

    // Flow index of element k: zone index of its code, or nSb + code for an inflow.
    int FlowIndex(int k) const;
    int TributaryCount() const { return nOL_ + nSUM_; }
    const Element& ElementAt(int k) const { return elements_[static_cast<std::size_t>(k)]; }
    const InflowElement& InflowAt(int z) const { return inflows_[static_cast<std::size_t>(z)]; }
    // Constant of inflow z for tracer t.
    double InflowConstant(int t, int z) const { return inflowConst_[static_cast<std::size_t>(t)][static_cast<std::size_t>(z)]; }
    // Delay line of tracer t at flow index i (empty when none).
    routing::TracerLine<const double> DelayLine(int t, int i) const;
    double Area() const { return areaTG_; }
    double Factor() const { return factorTG_; }
    int TGCode() const { return tgCode_; }
    int SubIntervals() const { return nSub_; }
    int ObservedFlag() const { return observedFlag_; }

    int AbstractionCount() const { return nAL_; }
    int ReservoirCount() const { return nSP_; }
    int InflowCount() const { return nZL_; }
    int AbstractionCode(int a) const { return abstractionCodes_[static_cast<std::size_t>(a)]; }
    routing::Abstraction& AbstractionAt(int a) { return *abstractions_[static_cast<std::size_t>(a)]; }
    const routing::Abstraction& AbstractionAt(int a) const { return *abstractions_[static_cast<std::size_t>(a)]; }
    routing::Reservoir& ReservoirAt(int r) { return *reservoirs_[static_cast<std::size_t>(r)]; }
    const routing::Reservoir& ReservoirAt(int r) const { return *reservoirs_[static_cast<std::size_t>(r)]; }

private:
    [[noreturn]] void Fatal(const std::string& text, int code);
    void PrepareRouting();
    void WithdrawFromTributaries();
    void TakeRiverExchange(const Element& el);
    // Combines the joined subbasins of a SUMTRIB channel into its own flow index; returns the
    // sum of their area weights.
    double JoinSubbasins(const Element& el, std::size_t own);
    void FillWorkSeries(std::size_t i);
    void PassChannel(Element& el, double* lines);
    void AddToOutlet(int k, const Element& el, std::size_t i, double joinedArea);
    void CloseOutlet(std::size_t tg);
    void WithdrawAtOutlet(std::size_t tg);
    // Irrigation counts its water in mm over the irrigated subbasin's own cells, the outlet in
    // mm over the TG area: the ratio subbasin mm per outlet mm (0 without irrigated share).
    double IrrigationMmPerOutletMm(std::size_t tg) const;
    void RouteOutletElements(int year, int month, int day, int hour);
    // An internal abstraction hands its water (m3/s) and the tracers of its source to its inflow.
    void FeedInternalInflow(const routing::Abstraction& al, double water, const std::vector<double>& tracers);
    // State block pieces. A history block holds, for every sub-channel, the nSub sub-intervals
    // that left in the last step and the values of the largest delay, sub-channel after
    // sub-channel: count = the element's delay-line length.
    void WriteHistoryBlock(std::FILE* f, int i, int count, const char* kind) const;
    void WriteSubChannels(std::FILE* f, const Element& el, int t) const;
    void WriteRiverRecord(std::FILE* f, int i) const;
    void ReadHistoryBlock(routing::StateReader& r, int i, int count);
    void ReadSubChannels(routing::StateReader& r, Element& el);
    // Where each sub-channel's stored water ends, from its delay line.
    void RestoreWritePositions(Element& el, int i);
    void ReadRiverRecord(routing::StateReader& r, int i);
    int ZoneIndexOf(int code) const;
    void AllocateOutletSeries();
    routing::TracerLine<double> Line(int t, int i);
    int LineSlot(int i) const;
    // Slot of flow index i with lines of at least length entries (a new slot when there is none).
    int EnsureSlot(int i, std::size_t length);
    void FillLine(int i, int length);
    void WriteTableFile(int k, std::FILE* f) const;
    // The FATAL entry of a water-level/discharge table that cannot be written (the run goes on).
    void WQTableFailed(const std::string& name) const;
    // At the normal end the tables are put in place; otherwise their temporary files go.
    void FinishWQTables();

    // The fields a step reads come first and together (a step touches few cache lines of a
    // description); the set-up's follow.
    int tgCode_ = 0;
    int nSb_ = 0;
    int nTr_ = 0;
    int nSub_ = 1;
    int nOL_ = 0, nSUM_ = 0, nAmp_ = 0, nZL_ = 0, nAL_ = 0, nSP_ = 0;
    int observedFlag_ = 0;
    bool prepared_ = false;  // stepElements_, tg_ and the half-lives are set up
    double dt_ = 60;
    double areaTG_ = 0, factorTG_ = 1;
    SubbasinValues* zoneSize_ = nullptr;
    SubbasinValues* zoneFactor_ = nullptr;
    std::vector<zoneFZT>* irrigationTable_ = nullptr;
    RunoffArray* maxirrig_ = nullptr;
    riverflow_table* riverflow_ = nullptr;
    RunoffArray* working_ = nullptr;
    routing::FlowHistory* history_ = nullptr;
    std::vector<Element> elements_;         // 0..K+nZL; 0 is the TG's own zone
    // Per element (1..K+nZL) what the step needs of its flow: the flow index, the start of its
    // delay lines in lineData_ and whether a channel passes the water on; tg_ is the flow index
    // of the TG's own zone. Set before the first step and again after the lines were laid out
    // anew or an element was set.
    struct StepElement {
        std::size_t flow = 0;
        std::size_t lines = 0;
        bool pass = false;
    };
    std::vector<StepElement> stepElements_;
    std::size_t tg_ = 0;
    // Outlet and work series of tracer t at [t * (nSub + 1) + sub-interval].
    std::vector<double> outlet_, work_;
    double& Outlet(int t, int s) { return outlet_[static_cast<std::size_t>(t * (nSub_ + 1) + s)]; }
    // The work series has its tracers side by side: tracer t of sub-interval s at [s * (nTr + 1) + t].
    double& Work(int t, int s) { return work_[static_cast<std::size_t>(s * (nTr_ + 1) + t)]; }
    // Delay lines, all in one block so that a step streams through them: slot n (flow index
    // lineIndex_[n]) holds lineLength_[n] positions from lineStart_[n] on, each with the values
    // of tracers 0..nTr side by side.
    std::vector<double> lineData_;
    // Scratch of the routing step: the half-lives (days) and decay factors.
    std::vector<double> halfLives_;
    double availableOutletFlow_ = 0;  // mm
    double reservoirWithdrawal_ = 0;  // mm

    const TracerDescriptor* tracerDescriptors_ = nullptr;
    bool lakeModelling_ = false;
    int lakeReadGrids_ = 0;
    const std::vector<int>* zoneIndex_ = nullptr;
    std::vector<InflowElement> inflows_;    // 1..nZL
    std::vector<std::vector<double>> inflowConst_;  // [tracer][inflow]
    std::vector<int> abstractionCodes_, reservoirCodes_;
    std::vector<std::unique_ptr<routing::Abstraction>> abstractions_;  // 1..nAL
    std::vector<std::unique_ptr<routing::Reservoir>> reservoirs_;      // 1..nSP
    std::vector<routing::Abstraction*> abstractionPtrs_;               // all, in order
    const routing::LakeGrids* lakeGrids_ = nullptr;
    std::vector<double> elementVector_;  // water (m3/s) and tracers of an abstraction or inflow
    int inflowDate_[4] = {0, 0, 0, 0};
    std::vector<double> outletShares_;  // sub-interval s's share of the outlet's water
    std::vector<double> loads_, loadSums_, abstraction_, fillTracers_;

    RunoffArray* maxirrigFromReservoirs_ = nullptr;
    const ObservationWindow* window_ = nullptr;
    const std::vector<int>* observedColumns_ = nullptr;
    std::vector<int> lineIndex_;
    std::vector<std::size_t> lineStart_, lineLength_;
    std::vector<std::unique_ptr<TableFile>> wqTables_;     // "wq_table.*", "wq_tabZL.*" until the end
    routing::DecayTable decay_;
};
