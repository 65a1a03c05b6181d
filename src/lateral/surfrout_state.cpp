// State section "[SurfaceRoutingModel]" of the storage content file: the travel-time zone
// records of direct runoff and interflow and the two linear storages of every tracer and
// subbasin, so that a run split in two continues like one run.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include <mpi.h>

#include "kernel/statefiles.hpp"
#include "lateral/surfrout.hpp"

namespace {

const char* const kExplanation =
    ". This means that the actual model run will not initialize the flow travel time zones for direct runoff and "
    "interflow, as it was before version 9.08.06.";

// Skips the rest of the current line.
void SkipLine(std::FILE* f) {
    int ch;
    while ((ch = std::fgetc(f)) != EOF && ch != '\n') {
    }
}

}  // namespace

void surfaceroutingclass::WriteStorageFile(bool append) {
    const std::string name = ExpandPath(outputPath, storageFileName);
    FileHandle f = OpenStateSection(name, append);
    if (!f) StateWriteFailed(*log, "error opening storage content file " + name + " for writing", errno);
    std::FILE* out = f.get();
    std::fprintf(out, "[SurfaceRoutingModel]\n");
    std::fprintf(out, "%d (number of subasins)\n", zoneCount);
    std::fprintf(out, "%d (number of tracers)\n", tracerCount);
    for (int t = 0; t <= tracerCount; ++t) {
        std::fprintf(out, "%d (0=runoff, 1...9 = tracers)\n", t);
        for (int s = 1; s <= zoneCount; ++s) {
            const int mz = static_cast<int>(maxzeit[static_cast<std::size_t>(s)]);
            std::fprintf(out, "%d %d (zone %d and maxzeit)\n", s, mz, s);
            for (int z = 1; z <= mz; ++z) {
                const zoneFZT d = WithExactSums(ZoneQD(t, s)[z], ExactQD(t, s)[z]);
                const zoneFZT i = WithExactSums(ZoneQI(t, s)[z], ExactQI(t, s)[z]);
                std::fprintf(out, "%lg %lg %lg %lg %lg (zoneFZT_QD.n/.sx/.zonenwert/.rel/.RelCellSum)\n", d.n, d.sx,
                             d.zonenwert, d.rel, d.RelCellSum);
                std::fprintf(out, "%lg %lg %lg %lg %lg (zoneFZT_QI.n/.sx/.zonenwert/.rel/.RelCellSum)\n", i.n, i.sx,
                             i.zonenwert, i.rel, i.RelCellSum);
            }
            const std::size_t ti = static_cast<std::size_t>(t), si = static_cast<std::size_t>(s);
            std::fprintf(out, "%g (QDd[%d][%d])\n", QDd[ti][si], t, s);
            std::fprintf(out, "%g (QIi[%d][%d])\n", QIi[ti][si], t, s);
        }
    }
    std::fprintf(out, "\n");
    if (!CloseStateSection(std::move(f))) StateWriteFailed(*log, "error writing storage content file " + name, errno);
}

void surfaceroutingclass::ReadVelocityStack() {
    // Each pass starts the velocity iteration of a cell from its velocities of the pass before,
    // so a warm start takes them from the stack the run before wrote; a stack that is never
    // written (write code 0, a code that writes only its statistics, or no run before) leaves
    // the start values of a cold start, as a missing state section leaves its zones.
    if (velocityStackCode == 0) return;
    int present = 0;
    if (rank == 0) {
        FileHandle probe = OpenFile(ExpandPath(inputPath, velocityStackName), "rb");
        present = probe ? 1 : 0;
    }
    if (size > 1) MPI_Bcast(&present, 1, MPI_INT, 0, MPI_COMM_WORLD);
    if (present == 0) {
        *log << "WARNING: no velocity stack " << velocityStackName << " to start from in " << moduleName
             << "; the velocities start as in a cold start" << "[end-entry]";
        return;
    }
    Stack read;
    const int levels = ReadStack(velocityStackName, &read);
    if (levels != kLevels) {
        *log << "FATAL: wrong number of levels in stack " << velocityStackName << " (there are " << levels
             << " level, it must be " << kLevels << "[end-entry]";
        throw ModelError(13);
    }
    for (int r = firstRow; r <= lastRow; ++r) {
        if (!read.holds(r)) continue;
        for (int c = 1; c <= ncols; ++c)
            if (OwnBasinCell(r, c)) std::copy(read[r][c], read[r][c] + kLevels + 1, velocity[r][c]);
    }
}

void surfaceroutingclass::StorageMismatch(const std::string& key, double inControl, double inFile) {
    *log << "FATAL: error in storage file content reading " << key << ":\nvalue in actual control is:   " << inControl
         << "\nbut value in storage file is: " << inFile << "\nTalvo throws..." << "[end-entry]";
    throw ModelError(71);
}

void surfaceroutingclass::ReadCheckStorageValue(std::FILE* f, double value, const std::string& key) {
    double read = 0;
    // An unreadable value (a truncated file) is a mismatch, never an unread number.
    if (std::fscanf(f, "%lf", &read) != 1) StorageMismatch(key, value, std::nan(""));
    SkipLine(f);
    if (read != 0 ? std::fabs((read - value) / read) > 1e-5 : value != 0) StorageMismatch(key, value, read);
}

void surfaceroutingclass::ReadStorageFile() {
    const std::string name = ExpandPath(inputPath, storageFileName);
    FileHandle handle = OpenFile(name, "rt");
    if (!handle) {
        *log << "WARNING: error opening storage content file " << name << kExplanation << "[end-entry]";
        return;
    }
    std::FILE* f = handle.get();
    char line[1201];
    bool found = false;
    while (std::fgets(line, sizeof line, f) != nullptr)
        if (std::strstr(line, "SurfaceRoutingModel") != nullptr) {
            found = true;
            break;
        }
    if (!found) {
        *log << "WARNING: error locking for the section [" << "SurfaceRoutingModel" << "] in " << name << kExplanation
             << "[end-entry]";
        return;
    }
    ReadCheckStorageValue(f, zoneCount, "number of subbasins");
    ReadCheckStorageValue(f, tracerCount, "number of tracers");
    auto requireFinite = [&](double v, const char* label) { RequireFiniteStorage(*log, v, label, name); };
    for (int t = 0; t <= tracerCount; ++t) {
        ReadCheckStorageValue(f, t, "actual tracers(0=runoff)");
        for (int s = 1; s <= zoneCount; ++s) {
            int sr = 0, mz = 0;
            const int got = std::fscanf(f, "%d%d", &sr, &mz);
            SkipLine(f);
            if (got < 1 || sr != s) StorageMismatch("actual zone", s, got < 1 ? std::nan("") : sr);
            const int expected = static_cast<int>(maxzeit[static_cast<std::size_t>(s)]);
            if (got < 2 || mz != expected) StorageMismatch("maxzeit of actual subbasin", expected, got < 2 ? std::nan("") : mz);
            for (int z = 1; z <= mz; ++z) {
                for (int set = 0; set < 2; ++set) {
                    zoneFZT& rec = set == 0 ? ZoneQD(t, s)[z] : ZoneQI(t, s)[z];
                    const int n =
                        std::fscanf(f, "%lf %lf %lf %lf %lf", &rec.n, &rec.sx, &rec.zonenwert, &rec.rel, &rec.RelCellSum);
                    SkipLine(f);
                    if (n != 5)
                        StorageMismatch(set == 0 ? "number of fields for zonal statistics QD"
                                                 : "number of fields for zonal statistics QI",
                                        5, n < 0 ? 0 : n);
                    const char* label = set == 0 ? "zoneFZT_QD" : "zoneFZT_QI";
                    for (const double v : {rec.n, rec.sx, rec.zonenwert, rec.rel, rec.RelCellSum}) requireFinite(v, label);
                }
            }
            const std::size_t ti = static_cast<std::size_t>(t), si = static_cast<std::size_t>(s);
            if (std::fscanf(f, "%lf", &QDd[ti][si]) != 1) StorageMismatch("QDd", QDd[ti][si], std::nan(""));
            SkipLine(f);
            requireFinite(QDd[ti][si], "QDd");
            if (std::fscanf(f, "%lf", &QIi[ti][si]) != 1) StorageMismatch("QIi", QIi[ti][si], std::nan(""));
            SkipLine(f);
            requireFinite(QIi[ti][si], "QIi");
        }
    }
}
