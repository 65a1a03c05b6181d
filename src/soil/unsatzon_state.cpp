// The soil model's section of the storage content file: written at the end of a run, read
// back by a warm start. The per-subbasin parameters are written so that a warm start can see
// that the control file changed; the travel-time zone records and the subbasin storages are
// the state restored.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "kernel/statefiles.hpp"
#include "soil/unsatzon.hpp"

namespace {
std::size_t U(int i) { return static_cast<std::size_t>(i); }

constexpr int kLineLength = 1200;
constexpr int kMismatchCode = 71;

// Skips the rest of the current line (the label after the values).
void SkipLine(std::FILE* f) {
    char line[kLineLength + 1];
    if (std::fgets(line, sizeof line, f) == nullptr) return;
    // A label longer than the buffer still ends with its line.
    while (std::strchr(line, '\n') == nullptr && std::fgets(line, sizeof line, f) != nullptr) {
    }
}
}  // namespace

void unsatzonmodellklasse::WriteStorageState(bool append) {
    if (flowControl == 0 || !constructed) return;
    const std::string name = ExpandPath(outputPath, config.storageFileName);
    FileHandle file = OpenStateSection(name, append);
    auto failed = [&] { StateWriteFailed(*log, "error writing storage content file " + name, errno); };
    if (!file) failed();
    std::FILE* f = file.get();
    const int n = soilZones.zoneCount;
    const SubbasinParameters& p = subbasins;
    int bad = 0;
    auto put = [&](int written) {
        if (written < 0) bad = 1;
    };
    put(std::fprintf(f, "[unsatzon_model]\n%d (number of subasins)\n", n));
    for (int s = 1; s <= n; ++s) put(std::fprintf(f, "%.0f\t", p.subbasin_codes[U(s)]));
    put(std::fprintf(f, "(code)\n"));
    struct Row {
        const SubbasinValues* values;
        const char* label;
    };
    const Row rows[] = {
        {&p.kelsqd, "(kelsqd in min)"},
        {&p.kelsqi, "(kelsqi in min)"},
        {&p.flussdichte, "(drainage density)"},
        {&p.kelsqlat, "(inverse recession constant for baseflow [needed when using no groundwater model])"},
        {&p.Q0, "(max. baseflow [needed when using no groundwater model])"},
        {&p.SR_Anteil, "(surface runoff fraction of snowmelt)"}};
    for (const Row& row : rows) {
        for (int s = 1; s <= n; ++s) put(std::fprintf(f, "%g ", (*row.values)[U(s)]));
        put(std::fprintf(f, "%s\n", row.label));
    }
    put(std::fprintf(f, "%d (number of tracers)\n", tracerCount));
    for (int t = 0; t <= tracerCount; ++t) {
        put(std::fprintf(f, "%d (0=runoff, 1...9 = tracers)\n", t));
        for (int s = 1; s <= n; ++s) {
            const int Z = zonesPerSubbasin.empty() ? 0 : zonesPerSubbasin[U(s)];
            put(std::fprintf(f, "%d %d (zone %d and maxzeit)\n", s, Z, s));
            for (int z = 1; z <= Z; ++z) {
                const zoneFZT d = WithExactSums(zoneFZT_QD[U(t)][U(s)][U(z)], exactQD[U(t)][U(s)][U(z)]);
                const zoneFZT i = WithExactSums(zoneFZT_QI[U(t)][U(s)][U(z)], exactQI[U(t)][U(s)][U(z)]);
                put(std::fprintf(f, "%lg %lg %lg %lg %lg (zoneFZT_QD.n/.sx/.zonenwert/.rel/.RelCellSum)\n", d.n,
                                 d.sx, d.zonenwert, d.rel, d.RelCellSum));
                put(std::fprintf(f, "%lg %lg %lg %lg %lg (zoneFZT_QI.n/.sx/.zonenwert/.rel/.RelCellSum)\n", i.n,
                                 i.sx, i.zonenwert, i.rel, i.RelCellSum));
            }
            const double qd = QDd.empty() ? 0.0 : QDd[U(t)][U(s)];
            const double qi = QIi.empty() ? 0.0 : QIi[U(t)][U(s)];
            put(std::fprintf(f, "%g (QDd[%d][%d])\n%g (QIi[%d][%d])\n", qd, t, s, qi, t, s));
        }
    }
    put(std::fprintf(f, "\n"));
    if (!CloseStateSection(std::move(file)) || bad != 0) failed();
}

void unsatzonmodellklasse::StorageMismatch(const char* label, double control, double stored) {
    *log << "FATAL: error in storage file content reading " << label << ":\nvalue in actual control is:   "
         << control << "\nbut value in storage file is: " << stored << "\nTalvo throws..." << "[end-entry]";
    throw ModelError(kMismatchCode);
}

void unsatzonmodellklasse::ReadStorageValue(std::FILE* f, double control, const char* label) {
    double stored = 0;
    // A value that cannot be read (cut or edited file) is a mismatch, never a stale value.
    if (std::fscanf(f, "%lf", &stored) != 1) StorageMismatch(label, control, std::nan(""));
    const bool differs =
        stored != 0.0 ? std::fabs((stored - control) / stored) > 1e-5 : control != 0.0;
    if (differs) StorageMismatch(label, control, stored);
}

void unsatzonmodellklasse::ReadStorageState() {
    if (flowControl == 0) return;
    const std::string name = ExpandPath(inputPath, config.storageFileName);
    FileHandle file = OpenFile(name, "rt");
    if (!file) {
        FailOnFile(*log, "error opening storage content file " + name, 64);
    }
    std::FILE* f = file.get();
    char line[kLineLength + 1];
    bool found = false;
    while (!found && std::fgets(line, sizeof line, f) != nullptr) found = std::strstr(line, "unsatzon_model") != nullptr;
    if (!found) {
        *log << "FATAL: error locking for the section [unsatzon_model] in " << name << "[end-entry]";
        throw ModelError(kMismatchCode);
    }
    // An integer that cannot be read counts as -1 (no count or code is negative).
    auto readInt = [&](int expected, const char* label) {
        int stored = -1;
        if (std::fscanf(f, "%d", &stored) != 1) stored = -1;
        if (stored != expected) StorageMismatch(label, expected, stored);
    };
    const int n = soilZones.zoneCount;
    readInt(n, "number of subbasins");
    SkipLine(f);
    for (int s = 1; s <= n; ++s) readInt(static_cast<int>(subbasins.subbasin_codes[U(s)]), "subbasin code");
    SkipLine(f);
    const SubbasinParameters& p = subbasins;
    const std::pair<const SubbasinValues*, const char*> rows[] = {{&p.kelsqd, "m"},         {&p.kelsqi, "kelsqi"},
                                                                  {&p.flussdichte, "flussdichte"},
                                                                  {&p.kelsqlat, "kelsqlat"}, {&p.Q0, "Q0"},
                                                                  {&p.SR_Anteil, "SR_Anteil"}};
    for (const auto& row : rows) {
        for (int s = 1; s <= n; ++s) ReadStorageValue(f, (*row.first)[U(s)], row.second);
        SkipLine(f);
    }
    readInt(tracerCount, "number of tracers");
    SkipLine(f);
    auto requireFinite = [&](double v, const char* label) { RequireFiniteStorage(*log, v, label, name); };
    auto readRecord = [&](zoneFZT& z, const char* label) {
        zoneFZT v;
        const int got = std::fscanf(f, "%lf %lf %lf %lf %lf", &v.n, &v.sx, &v.zonenwert, &v.rel, &v.RelCellSum);
        if (got != 5) StorageMismatch(label, 5, got < 0 ? 0 : got);
        for (double x : {v.n, v.sx, v.zonenwert, v.rel, v.RelCellSum}) requireFinite(x, label);
        z = v;
        SkipLine(f);
    };
    auto readStorage = [&](double& target, const char* label) {
        double v = 0;
        if (std::fscanf(f, "%lf", &v) != 1) StorageMismatch(label, target, std::nan(""));
        requireFinite(v, label);
        target = v;
        SkipLine(f);
    };
    for (int t = 0; t <= tracerCount; ++t) {
        readInt(t, "actual tracers(0=runoff)");
        SkipLine(f);
        for (int s = 1; s <= n; ++s) {
            readInt(s, "actual zone");
            const int Z = zonesPerSubbasin[U(s)];
            readInt(Z, "maxzeit of actual subbasin");
            SkipLine(f);
            for (int z = 1; z <= Z; ++z) {
                readRecord(zoneFZT_QD[U(t)][U(s)][U(z)], "number of fields for zonal statistics QD");
                readRecord(zoneFZT_QI[U(t)][U(s)][U(z)], "number of fields for zonal statistics QI");
            }
            readStorage(QDd[U(t)][U(s)], "QDd");
            readStorage(QIi[U(t)][U(s)], "QIi");
        }
    }
}
