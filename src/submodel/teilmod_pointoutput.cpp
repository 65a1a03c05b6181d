// Special output: the section "[special_output]" with its file blocks and entities, the key
// lookup of the block texts, and the values of the points.
#include "submodel/teilmod_pointoutput.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <exception>

#include "kernel/strhelp.hpp"
#include "setup/setupfiles.hpp"

namespace special_output_keys {

namespace {
bool IsKeyChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_'; }

// A whole key at offset p: no key character before it, "=" after it and blanks.
bool WholeKeyAt(const std::string& text, std::size_t p, const std::string& key) {
    if (p > 0 && IsKeyChar(text[p - 1])) return false;
    std::size_t q = p + key.size();
    while (q < text.size() && std::isspace(static_cast<unsigned char>(text[q]))) ++q;
    return q < text.size() && text[q] == '=';
}
}  // namespace

std::size_t FindKey(const std::string& text, const std::string& key, bool last) {
    if (key.empty()) return std::string::npos;
    std::size_t found = std::string::npos;
    for (std::size_t p = text.find(key); p != std::string::npos; p = text.find(key, p + 1)) {
        if (!WholeKeyAt(text, p, key)) continue;
        found = p;
        if (!last) break;
    }
    return found;
}

bool ValueText(const std::string& text, const std::string& key, bool last, std::string* value) {
    const std::size_t k = FindKey(text, key, last);
    if (k == std::string::npos) return false;
    const std::size_t eq = text.find('=', k + key.size());
    const std::size_t end = text.find(';', eq);
    if (end == std::string::npos) return false;
    *value = text.substr(eq + 1, end - eq - 1);
    return true;
}

bool ReadIntValue(const std::string& text, const std::string& key, long* value) {
    std::string v;
    if (!ValueText(text, key, false, &v)) return false;
    char* end = nullptr;
    const long n = std::strtol(v.c_str(), &end, 10);
    if (end == v.c_str()) return false;
    *value = n;
    return true;
}

std::string ReadStringValue(const std::string& text, const std::string& key) {
    std::string v;
    if (!ValueText(text, key, false, &v)) return std::string();
    std::vector<std::string> words;
    SplitString(v, " \t\r\n", words);
    return words.empty() ? std::string() : words.front();
}

namespace {
template <class T, class Convert>
bool ReadList(const std::string& text, const std::string& key, std::vector<T>* values, std::string* bad,
              Convert convert) {
    values->clear();
    std::string v;
    if (!ValueText(text, key, true, &v)) return true;
    std::vector<std::string> pieces;
    SplitString(v, "\t ;,\r\n", pieces);
    for (const std::string& piece : pieces) {
        if (piece.empty()) continue;
        T number{};
        if (!convert(piece, &number)) {
            *bad = piece;
            return false;
        }
        values->push_back(number);
    }
    return true;
}
}  // namespace

bool ReadDoubleList(const std::string& text, const std::string& key, std::vector<double>* values, std::string* bad) {
    return ReadList(text, key, values, bad, [](const std::string& p, double* x) {
        char* end = nullptr;
        *x = std::strtod(p.c_str(), &end);
        return end != p.c_str() && *end == '\0' && std::isfinite(*x);
    });
}

bool ReadIntList(const std::string& text, const std::string& key, std::vector<std::int32_t>* values,
                 std::string* bad) {
    return ReadList(text, key, values, bad, [](const std::string& p, std::int32_t* x) {
        char* end = nullptr;
        const long n = std::strtol(p.c_str(), &end, 10);
        if (end == p.c_str() || *end != '\0' || n < INT32_MIN || n > INT32_MAX) return false;
        *x = static_cast<std::int32_t>(n);
        return true;
    });
}

std::string ExtractEntityBlock(const std::string& text, std::size_t* pos) {
    const std::size_t open = text.find('{', *pos);
    if (open == std::string::npos) return std::string();
    const std::size_t close = text.find('}', open);
    if (close == std::string::npos) return std::string();
    *pos = close + 1;
    return text.substr(open, close - open + 1);
}

}  // namespace special_output_keys

namespace {

// Grids whose values are fluxes per sub-step: with several sub-steps their column holds the
// sum over the sub-steps instead of the value at the end of the step.
constexpr const char* kFluxNames[] = {
    "baseflow",          "irrigation_amounts",   "macropore_infiltration", "groundwater_recharge",
    "Capillar_Uprise",   "Percolation",          "DirectRunoffSiltingUp",  "directflow",
    "interflow",         "infiltration_excess",  "total_infiltration",     "drainage_flow",
    "river_infiltration", "river_exfiltration",  "q_down",                 "SurfaceRoutingFluxes",
    "SurfaceRoutingTotalInput", "SurfaceRoutingQIn", "SurfaceRoutingQOut", "gw_flow_x_",
    "gw_flow_y_",        "gw_leakage_"};

// One line of the control file, whatever its length; false at the end of the file.
bool ReadWholeLine(std::FILE* f, std::string* line) {
    line->clear();
    int ch;
    while ((ch = std::fgetc(f)) != EOF) {
        line->push_back(static_cast<char>(ch));
        if (ch == '\n') break;
    }
    return !line->empty();
}

}  // namespace

using namespace special_output_keys;

SpecialOutputEntity::SpecialOutputEntity(DiagLog* log_, const std::string& text, teilmodellklasse& owner,
                                         unsigned numSubSteps_)
    : log(log_),
      xll(owner.xllcorner),
      yll(owner.yllcorner),
      cellsize(owner.cellsize),
      ncols(owner.ncols),
      nrows(owner.nrows),
      numSubSteps(numSubSteps_) {
    ID = ReadStringValue(text, "ID");
    Symbol = ReadStringValue(text, "Symbol");
    ReadPoints(text);
    LocatePoints();
    gridIndex = ID.empty() ? 0 : owner.FindGrid(ID, true);
    if (numSubSteps >= 2) {
        for (const char* name : kFluxNames)
            if (ID.find(name) != std::string::npos) flux = true;
    }
    accumulation = flux ? 1 : 0;
}

void SpecialOutputEntity::ReadPoints(const std::string& text) {
    std::string bad;
    const char* key = "Xcoords";
    bool ok = ReadDoubleList(text, key, &x, &bad);
    if (ok) ok = ReadDoubleList(text, key = "Ycoords", &y, &bad);
    if (ok) ok = ReadIntList(text, key = "Level", &levels, &bad);
    if (!ok) {
        *log << "FATAL: Error in section [special_output]: \"" << bad << "\" in " << key << " of entity " << ID
             << " is not a number." << "[end-entry]";
        throw ModelError(std::string(key) == "Level" ? 1007 : 1008);
    }
    if (x.size() != y.size()) {
        *log << "FATAL: Error in section [special_output]: count of X coordinates dos not match the number of Y "
                "coordinates for entity "
             << ID << "[end-entry]";
        throw ModelError(1006);
    }
    if (!levels.empty() && levels.size() != x.size()) {
        *log << "FATAL: Error in section [special_output]: number of levels dos not match the number of X and Y "
                "coordinates for entity "
             << ID << ". EIther each point has a level or none has." << "[end-entry]";
        throw ModelError(1007);
    }
    for (std::size_t i = 0; i < levels.size(); ++i) {
        if (levels[i] >= 0) continue;
        *log << "FATAL: Error in section [special_output]: level " << levels[i] << ", defined as point "
             << static_cast<long>(i) << " for entity " << ID << ", is negative." << "[end-entry]";
        throw ModelError(1007);
    }
    numPoints = static_cast<int>(x.size());
}

void SpecialOutputEntity::LocatePoints() {
    for (int i = 0; i < numPoints; ++i) {
        const auto k = static_cast<std::size_t>(i);
        const double c = std::ceil((x[k] - xll) / cellsize);
        if (!(c >= 1 && c <= ncols)) {
            *log << "FATAL: Error in section [special_output]: x-coordinate " << x[k] << ", defined as point " << i
                 << " for entity " << ID << ", is located outside the actual grid." << "[end-entry]";
            throw ModelError(1008);
        }
        const double r = nrows - std::floor((y[k] - yll) / cellsize);
        if (!(r >= 1 && r <= nrows)) {
            *log << "FATAL: Error in section [special_output]: y-coordinate " << y[k] << ", defined as point " << i
                 << " for entity " << ID << ", is located outside the actual grid." << "[end-entry]";
            throw ModelError(1008);
        }
        columns.push_back(static_cast<std::int32_t>(c));
        rows.push_back(static_cast<std::int32_t>(r));
    }
}

bool SpecialOutputEntity::Value(int i, teilmodellklasse& owner, double* value) const {
    if (gridIndex < 1 || owner.gridStore == nullptr) return false;
    const auto k = static_cast<std::size_t>(i);
    const int r = rows[k], c = columns[k];
    if (!OwnsCell(owner, r, c)) return false;
    const GridStoreEntry& e = (*owner.gridStore)[gridIndex];
    if (e.stack != nullptr && HasLevels()) {
        const Stack& s = *e.stack;
        const int level = levels[k];
        if (!s.holds(r) || c < 1 || c > std::min(ncols, s.ncols()) || level > e.levels || level > s.levels())
            return false;
        *value = s[r][c][level];
        return true;
    }
    // A stack without levels given has no 2-D values unless the entry also holds a grid.
    return HeldValue(e.grid, r, c, value);
}

SpecialOutputClass::SpecialOutputClass(const SubmodelSettings& s, unsigned numSubSteps_, unsigned& error,
                                       DiagLog* log_)
    : teilmodellklasse(log_, "special_output", s, numSubSteps_) {
    error = 0;
    try {
        ReadSection();
    } catch (const ModelError& e) {
        error = static_cast<unsigned>(e.code());
    } catch (const std::exception&) {
        error = 104;
    }
}

SpecialOutputClass::~SpecialOutputClass() = default;

void SpecialOutputClass::ReadSection() {
    ReadModuleSection(false);
    if (flowControl == 0) return;
    FindDecompositionGrids();
    LogBanner("teilmod");
    std::FILE* f = ControlStream();
    std::string line;
    ReadWholeLine(f, &line);
    long count = 0;
    if (!ReadIntValue(line, "numfiles", &count)) {
        *log << "FATAL: Error in section [special_output]: \"numfiles = <number>;\" expected after the time step"
             << "[end-entry]";
        throw ModelError(104);
    }
    numfiles = static_cast<int>(std::clamp(count, 0L, 100000L));
    for (int i = 0; i < numfiles; ++i) {
        // The block runs until a "}" has been read and every "{" is closed. Every brace counts,
        // those of the first line too: counted by lines that hold one, a block on one line would
        // never close, and a first line that also opens its first entity would end the block
        // at that entity's "}" and leave the block's own to the next file.
        std::string block;
        ReadWholeLine(f, &block);
        auto braces = [](const std::string& text) {
            return static_cast<int>(std::count(text.begin(), text.end(), '{') - std::count(text.begin(), text.end(), '}'));
        };
        int depth = braces(block);
        while (block.find('}') == std::string::npos || depth > 0) {
            if (!ReadWholeLine(f, &line)) {
                *log << "FATAL: Error in section [special_output]: the block of output file " << i + 1
                     << " is not closed by \"}\"" << "[end-entry]";
                throw ModelError(104);
            }
            block += line;
            depth += braces(line);
        }
        files.push_back(std::make_unique<SpecialOutputFile>(log, block, *this, numSubSteps));
    }
    if (std::fclose(controlFile.release()) != 0) {
        FailOnFile(*log, "error closing " + controlFileName, 11);
    }
}

void SpecialOutputClass::Step(std::int64_t hour_, std::int64_t day_, std::int64_t month_, std::int64_t year_,
                              int subStep, int k) {
    if (flowControl == 0) return;
    for (auto& f : files) f->Step(hour_, day_, month_, year_, subStep, k);
}

void SpecialOutputClass::FlushAll() {
    if (flowControl == 0) return;
    for (auto& f : files) {
        if (f->RowsInUse() > 0) f->Flush();
        // At the normal end a file without rows is put in place with its header alone.
        if (!NormalEndPending()) f->FinishTable();
    }
}
