// The section "[routing_model]" of the storage content file: written first at the end of a run
// (the other models append theirs), read back at the start of a warm run.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "kernel/statefiles.hpp"
#include "routing/abfluss.hpp"
#include "routing/state_reader.hpp"

namespace {
const char* const kDefaultStorageFile = "storage.ftz";
}  // namespace

int abflussmodellklasse::CountSubstring(const std::string& line, const std::string& text) const {
    return routing::CountKeyword(line, text.c_str());
}

void abflussmodellklasse::StorageMismatch(const std::string& name, double controlValue, double fileValue) {
    routing::StorageMismatch(*log, name, controlValue, fileValue);
}

void abflussmodellklasse::WriteStorageState() {
    if (!Active()) return;
    const bool given = !storageFileName.empty();
    const std::string name = ExpandPath(outputPath, given ? storageFileName : kDefaultStorageFile);
    // The routing starts the state file; the other models append their sections before the
    // application puts the whole file in place.
    const std::string failure =
        given ? "couldn\xB4t open file \"" + name +
                    "\" \n(model version doesn\xB4t support this feature or write access error)"
              : "couldn\xB4t open file " + name +
                    " \n(no filename was given or model version \ndoesn\xB4t support this feature or the current user "
                    "has no write access)";
    FileHandle f = OpenStateSection(name, false);
    if (!f) StateWriteFailed(*log, failure, errno);
    std::fprintf(f.get(), "[routing_model]\n");
    for (int n = 1; n <= nDesc; ++n) Description(n).WriteStorage(f.get());
    if (irrigationTable != nullptr) WriteIrrigationAvailability(f.get());
    std::fprintf(f.get(), "\n");
    if (!CloseStateSection(std::move(f))) StateWriteFailed(*log, failure, errno);
}

void abflussmodellklasse::ReadStorageState(const std::string* fileName, unsigned startMode) {
    if (!Active()) return;
    if (fileName != nullptr) storageFileName = fileName->substr(0, kLineLength);
    if (startMode == 0 || startMode == 2 || startMode == 4 || storageFileName.empty()) return;
    const std::string name = ExpandPath(inputPath, storageFileName);
    FileHandle f = OpenFile(name, "rt");
    if (!f) FailOnFile(*log, "error opening storage content file " + name, 64);
    char line[kLineLength + 2];
    bool found = false;
    while (std::fgets(line, sizeof line, f.get()) != nullptr)
        if (std::strstr(line, "routing_model") != nullptr) {
            found = true;
            break;
        }
    if (!found) Fatal("error looking for the section routing_model in " + name, 71);
    for (int n = 1; n <= nDesc; ++n) Description(n).ReadStorage(f.get(), name);
    if (irrigationTable != nullptr) ReadIrrigationAvailability(f.get(), name);
    // The ponding storage that the run before wrote holds its lakes' water without the routing of
    // its last step: the lakes give the volume the section holds back to their cells (the
    // driver then sends it to the cells' processes).
    if (lakeModelling != 0)
        for (int n = 1; n <= nDesc; ++n) Description(n).DistributeLakeVolumes();
}

namespace {
const char* const kAvailabilityTitle = "irrigation availability";
}  // namespace

// Irrigation runs before the routing in a step and takes what the routing's last step left
// available in the rivers and the reservoirs; without these rows the first step of a warm start
// would find nothing available and irrigate nothing from surface water. Full precision: the
// values are the routing's own, not a printed statistic.
void abflussmodellklasse::WriteIrrigationAvailability(std::FILE* f) const {
    std::fprintf(f, "%s (rivers, then reservoirs: rows 0=runoff, 1...%d = tracers; columns subbasins 1...%d)\n",
                 kAvailabilityTitle, nTr, nSb);
    for (const RunoffArray* a : {&maxirrig, &maxirrigFromReservoirs})
        for (int t = 0; t <= nTr; ++t) {
            for (int s = 1; s <= nSb; ++s) std::fprintf(f, "%.17g ", (*a)[static_cast<std::size_t>(t)][static_cast<std::size_t>(s)]);
            std::fprintf(f, "\n");
        }
}

// A state file written without irrigation has no such rows: nothing is available then, as in a
// cold start.
void abflussmodellklasse::ReadIrrigationAvailability(std::FILE* f, const std::string& name) {
    char line[kLineLength + 2];
    bool found = false;
    while (!found && std::fgets(line, sizeof line, f) != nullptr) {
        if (line[0] == '[') return;  // the next section
        found = std::strstr(line, kAvailabilityTitle) != nullptr;
    }
    if (!found) return;
    routing::StateReader in(f, name, *log);
    for (RunoffArray* a : {&maxirrig, &maxirrigFromReservoirs})
        for (int t = 0; t <= nTr; ++t)
            for (int s = 1; s <= nSb; ++s) (*a)[static_cast<std::size_t>(t)][static_cast<std::size_t>(s)] = in.Value();
}
