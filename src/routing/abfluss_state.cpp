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
    // The ponding storage that the run before wrote holds its lakes' water without the routing of
    // its last step: the lakes give the volume the section holds back to their cells (the
    // driver then sends it to the cells' processes).
    if (lakeModelling != 0)
        for (int n = 1; n <= nDesc; ++n) Description(n).DistributeLakeVolumes();
}
