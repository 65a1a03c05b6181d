// "[SpinUp]" and the hydrologic response units. A unit is either a combination of classes of
// chosen grids (a key of one "%04.0lf'" text per class grid) or a value of a given unit grid;
// each process numbers the units of its own cells in the order it meets them.
#include "setup/spinup.hpp"

#include <mpi.h>

#include <cmath>
#include <filesystem>
#include <map>

#include "kernel/modelobject.hpp"
#include "setup/setupfiles.hpp"

namespace {

constexpr const char* kUnitName = "HydrologicResponseUnits";
constexpr const char* kMasterName = "MasterHydrologicResponseUnits";
constexpr double kMaxClass = 9999;

struct ClassGrid {
    std::string id;
    double width = 0;
    std::string method;
    const Matrix* data = nullptr;
};

// The unit grids of one call: where they are and the units found so far.
class UnitBuilder {
public:
    UnitBuilder(modelobject& o, std::vector<HydrologicResponseUnit>& units) : o_(o), units_(units) {
        units_.clear();
        units_.push_back(HydrologicResponseUnit{});
        // Rows the set-up keeps of a shared grid: all on process 0, the own rows and one more
        // on each side elsewhere.
        first_ = o.rank == 0 ? 1 : std::max(1, o.firstRow - 1);
        last_ = o.rank == 0 ? o.nrows : std::min(o.nrows, o.lastRow + 1);
    }

    void ReadClassGrids(int count) {
        for (int j = 0; j < count; ++j) {
            ClassGrid g;
            std::FILE* f = o_.ControlStream();
            if (ReadControlWord(f, &g.id) != 1 || std::fscanf(f, "%lf", &g.width) != 1 ||
                ReadControlWord(f, &g.method) != 1 || !(g.width > 0) || !std::isfinite(g.width))
                o_.ControlFileError(" error reading HRU defintions ", o_.moduleName);
            ReadLineRest(f);
            const int index = o_.GetGridIndexOf3(g.id, "[" + g.id + "]", g.id);
            g.data = (*o_.gridStore)[index].grid;
            if (g.data == nullptr) {
                *o_.log << "FATAL: class grid " << g.id << " of the hydrologic response units holds no 2-D grid"
                        << "[end-entry]";
                throw ModelError(33);
            }
            classGrids_.push_back(std::move(g));
        }
    }

    void RegisterClassifiedGrids(const RegisterUnitGrid& registerGrid) {
        const char* noRoom = "FATAL: when trying to create HRU grid: no free grid found in memory (max position ";
        allFile_ = "All_HydrologicResponseUnits";
        masterFile_ = "Master_HydrologicResponseUnits";
        allIndex_ = registerGrid(allFile_, kUnitName, first_, last_, noRoom);
        masterIndex_ = registerGrid(masterFile_, kMasterName, first_, last_, noRoom);
        Grids().first->fill(o_.nodata);
        Grids().second->fill(o_.nodata);
    }

    // Every cell of the stored rows within the basin columns: the classes of the class grids
    // up to the first nodata value form the key of the cell's unit.
    void Classify() {
        auto [all, master] = Grids();
        std::string key;
        for (int r = first_; r <= last_; ++r) {
            if (!all->holds(r) || !master->holds(r)) continue;
            int c1 = 1, c2 = o_.ncols;
            ColumnRangeOf(r, &c1, &c2);
            for (int c = c1; c <= c2; ++c) {
                double v = 0;
                if (!HeldValue(classGrids_[0].data, r, c, &v) || v == o_.nodata) continue;
                if (!ValidOwnCell(r, c)) continue;
                key.clear();
                for (std::size_t j = 0; j < classGrids_.size(); ++j) {
                    const ClassGrid& g = classGrids_[j];
                    HeldValue(g.data, r, c, &v);
                    const double cls = HydrologicClass(v, g.width, g.method);
                    if (cls > kMaxClass) {
                        *o_.log << "FATAL: Creating HRUs resulted in a re-classify result of " << cls << " for grid "
                                << g.id << " at row=" << r << " and col=" << c
                                << ". Only 10'000 Classes are allowed for each grid. Choose a larger class width or "
                                   "use lg2 spacing to reduce the amount of HRUs."
                                << "[end-entry]";
                        throw ModelError(1031);
                    }
                    key += HydrologicClassKey(cls);
                    if (j + 1 < classGrids_.size() &&
                        (!HeldValue(classGrids_[j + 1].data, r, c, &v) || v == o_.nodata))
                        break;
                }
                Assign(key, r, c, *all, *master);
            }
        }
    }

    // A unit grid given in the store: its values, renumbered 1, 2, ... per process.
    void RegisterGivenGrids(const RegisterUnitGrid& registerGrid) {
        allIndex_ = o_.FindGrid(kUnitName, true);
        if (allIndex_ <= 0 || (*o_.gridStore)[allIndex_].grid == nullptr) {
            *o_.log << "FATAL: standard grid with identifier " << kUnitName
                    << " not found (Hydrologic Respond Units, HRU; used for SpinUp mode)" << "[end-entry]";
            throw ModelError(1030);
        }
        allFile_ = (*o_.gridStore)[allIndex_].fileName;
        masterFile_ = kMasterName;
        masterIndex_ = registerGrid(masterFile_, kMasterName, first_, last_,
                                    "FATAL: when trying to create HRUMaster grid: no free grid found in memory (max "
                                    "position ");
        Grids().second->fill(o_.nodata);
    }

    // Cells outside the basin and nodata values form no unit; cells of other processes are
    // numbered by their owners.
    void Renumber() {
        auto [all, master] = Grids();
        const Matrix* zone = (*o_.gridStore)[1].grid;
        for (int r = first_; r <= last_; ++r) {
            if (!all->holds(r) || zone == nullptr || !zone->holds(r)) continue;
            for (int c = 1; c <= std::min(o_.ncols, zone->ncols()); ++c)
                if ((*zone)[r][c] == o_.nodata) (*all)[r][c] = o_.nodata;
        }
        for (int r = std::max(1, o_.firstRow); r <= std::min(o_.nrows, o_.lastRow); ++r) {
            if (!all->holds(r) || !master->holds(r)) continue;
            int c1 = 1, c2 = o_.ncols;
            ColumnRangeOf(r, &c1, &c2);
            for (int c = c1; c <= c2; ++c) {
                const double v = (*all)[r][c];
                if (v == o_.nodata || !std::isfinite(v) || !ValidOwnCell(r, c)) continue;
                Assign(StrFormat("%0.lf", v), r, c, *all, *master);
            }
        }
    }

    // Every process writes its part, process 0 the gathered whole grids. A renumbered given
    // grid is never written over the file it was read from.
    void Write() {
        const std::string allWhole = WholeFileName(allFile_);
        const std::string names[2] = {allFile_, masterFile_};
        const int indices[2] = {allIndex_, masterIndex_};
        int error = 0;
        try {
            for (int k = 0; k < 2; ++k)
                o_.WriteGrid(StrFormat("%s_%03d", names[k].c_str(), o_.rank), *(*o_.gridStore)[indices[k]].grid,
                             o_.textOutput, o_.doublePrecision);
        } catch (const ModelError& e) {
            error = e.code();
        }
        Agree(error);
        o_.MPIGatherGrid(allIndex_);
        o_.MPIGatherGrid(masterIndex_);
        try {
            if (o_.rank == 0) {
                o_.WriteGrid(allWhole, *(*o_.gridStore)[allIndex_].grid, o_.textOutput, o_.doublePrecision);
                o_.WriteGrid(masterFile_, *(*o_.gridStore)[masterIndex_].grid, o_.textOutput, o_.doublePrecision);
            }
        } catch (const ModelError& e) {
            error = e.code();
        }
        Agree(error);
    }

    // Ends every process with the highest code of any of them.
    void Agree(int error) {
        const int agreed = AgreeOnError(error);
        if (agreed == 0) return;
        if (error == 0)
            *o_.log << "FATAL: Creating HRUs failed on another MPI process (error " << agreed << ")"
                    << "[end-entry]";
        throw ModelError(agreed);
    }

private:
    std::pair<Matrix*, Matrix*> Grids() const {
        return {(*o_.gridStore)[allIndex_].grid, (*o_.gridStore)[masterIndex_].grid};
    }

    void ColumnRangeOf(int r, int* c1, int* c2) const {
        if (o_.basinColumns == nullptr || r >= static_cast<int>(o_.basinColumns->size())) return;
        const ColumnRange& range = (*o_.basinColumns)[static_cast<std::size_t>(r)];
        *c1 = std::max(1, range.first);
        *c2 = std::min(o_.ncols, range.last);
    }

    bool ValidOwnCell(int r, int c) const {
        double zone = 0;
        return HeldValue((*o_.gridStore)[1].grid, r, c, &zone) && zone != o_.nodata && OwnsCell(o_, r, c);
    }

    void Assign(const std::string& key, int r, int c, Matrix& all, Matrix& master) {
        const auto found = known_.find(key);
        if (found != known_.end()) {
            all[r][c] = static_cast<double>(found->second);
            return;
        }
        const std::uint64_t id = units_.size();
        units_.push_back(HydrologicResponseUnit{id, key, r, c, 0});
        known_.emplace(key, id);
        all[r][c] = static_cast<double>(id);
        master[r][c] = static_cast<double>(id);
    }

    // The name process 0 writes the whole unit grid under; the given grid's own name unless
    // that is the file it was read from.
    std::string WholeFileName(const std::string& name) const {
        if (name == "All_HydrologicResponseUnits") return name;
        namespace fs = std::filesystem;
        const fs::path in = modelobject::ExpandPath(o_.inputPath, name);
        const fs::path out = modelobject::ExpandPath(o_.outputPath, name);
        std::error_code e1, e2;
        const bool same = fs::exists(in, e1) && fs::exists(out, e2)
                              ? fs::equivalent(in, out, e1)
                              : fs::weakly_canonical(in, e1) == fs::weakly_canonical(out, e2);
        if (!same) return name;
        if (o_.rank == 0)
            *o_.log << "INFO: the renumbered hydrologic response units are written to All_HydrologicResponseUnits, "
                       "not over their input file "
                    << in.string() << "[end-entry]";
        return "All_HydrologicResponseUnits";
    }

    modelobject& o_;
    std::vector<HydrologicResponseUnit>& units_;
    std::vector<ClassGrid> classGrids_;
    std::map<std::string, std::uint64_t> known_;
    int first_ = 1, last_ = 0;
    int allIndex_ = 0, masterIndex_ = 0;
    std::string allFile_, masterFile_;
};

}  // namespace

double HydrologicClass(double value, double width, const std::string& method) {
    const double v = method.find("sqrt") != std::string::npos ? std::sqrt(std::fabs(value)) : value;
    return std::floor(v / width);
}

std::string HydrologicClassKey(double classValue) { return StrFormat("%04.0lf'", classValue); }

SpinUpSettings CreateHydrologicResponseUnits(modelobject& o, const std::string& compiledControlFile,
                                             std::vector<HydrologicResponseUnit>* units,
                                             const RegisterUnitGrid& registerGrid) {
    *o.log << "DEBUG: Creating HRUs" << "[end-entry]";
    int initialised = 0;
    MPI_Initialized(&initialised);
    if (initialised) {
        MPI_Comm_rank(MPI_COMM_WORLD, &o.rank);
        MPI_Comm_size(MPI_COMM_WORLD, &o.size);
    }
    SpinUpSettings s;
    ControlFileScope control(o, compiledControlFile, "FATAL: Error opening ", 28);
    if (!o.SeekSection("[SpinUp]", false)) return s;
    std::FILE* f = control.stream();
    o.ReadValue(f, "%d", &s.spinUpSwitch, "SpinUp-switch not found");
    if (s.spinUpSwitch == 0) return s;
    o.ReadValue(f, "%d", &s.doTemperaturePreSpinUp, "doTemperaturePreSpinUp not found");
    o.ReadValue(f, "%d", &s.repeatCnt, "repeatCnt not found");
    int classGrids = 0;
    o.ReadValue(f, "%d", &classGrids, "numGrids not found");
    if (classGrids < 0) o.ControlFileError("numGrids not found", o.moduleName);

    std::vector<HydrologicResponseUnit> local;
    UnitBuilder builder(o, units != nullptr ? *units : local);
    if (classGrids > 0) {
        // The classified units take the name of a given unit grid: with both, the sub-models would
        // find the given grid's values, which are no unit numbers.
        if (o.FindGrid(kUnitName, true) > 0) {
            *o.log << "FATAL: [SpinUp] makes the hydrologic response units from " << classGrids
                   << " class grid(s), but the standard grid " << kUnitName
                   << " gives them as well: keep one of the two" << "[end-entry]";
            throw ModelError(17);
        }
        builder.ReadClassGrids(classGrids);
        builder.RegisterClassifiedGrids(registerGrid);
        control.Close();
        // A class beyond the limit may be met by one process only: all end with its code.
        int error = 0;
        try {
            builder.Classify();
        } catch (const ModelError& e) {
            error = e.code();
        }
        builder.Agree(error);
    } else {
        control.Close();
        builder.RegisterGivenGrids(registerGrid);
        builder.Renumber();
    }
    builder.Write();
    return s;
}
