// The section "[snow_model]" of the storage content file: the outflows of the three glacier
// runoff storages per subbasin.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "kernel/statefiles.hpp"
#include "surface/snowmod.hpp"

void schneemodellklasse::StorageMismatch(const std::string& item, double controlValue, double fileValue) {
    *log << "FATAL: (snow model) error in storage file content reading " << item
         << ":\nvalue in actual control is:   " << controlValue << "\nbut value in storage file is: " << fileValue
         << "\nTalvo throws..." << "[end-entry]";
    throw ModelError(71);
}

void schneemodellklasse::WriteStorageFile(bool append) {
    if (flowControl == 0 || storageFileName.empty()) return;
    const std::string name = ExpandPath(outputPath, storageFileName);
    FileHandle f = OpenStateSection(name, append);
    if (!f) StateWriteFailed(*log, "snow model: cannot open the storage content file " + name + " for writing", errno);
    const int n = soilZones.zoneCount;
    std::string text = "[snow_model]\n" + StrFormat("%d (number of subasins)\n", n);
    if (n < 1) {
        text += "\n";
    } else {
        auto value = [](const std::vector<double>& a, int i) {
            return static_cast<std::size_t>(i) < a.size() ? a[static_cast<std::size_t>(i)] : 0.0;
        };
        for (int i = 1; i <= n; ++i) {
            text += StrFormat("%d\t%lf", i, value(Qice_slr, i)) + "(TG code and Qice_slr value)\n";
            text += StrFormat("%d\t%lf", i, value(Qfirn_slr, i)) + "(TG code and Qfirn_slr value)\n";
            text += StrFormat("%d\t%lf", i, value(Qsnow_slr, i)) + "(TG code and Qsnow_slr value)\n";
        }
        text += "\n";
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), f.get()) == text.size();
    if (!CloseStateSection(std::move(f)) || !written)
        StateWriteFailed(*log, "snow model: writing the storage content file " + name + " failed", errno);
}

void schneemodellklasse::ReadStorageFile(const std::string* fileName, unsigned mode) {
    if (flowControl == 0) return;
    if (fileName == nullptr || fileName->empty() || mode == 2 || mode == 4) return;
    storageFileName = *fileName;
    const std::size_t n = static_cast<std::size_t>(soilZones.zoneCount) + 1;
    if (mode == 0 || Qice_slr.size() < n || Qfirn_slr.size() < n || Qsnow_slr.size() < n) return;

    const std::string name = ExpandPath(inputPath, storageFileName);
    FileHandle f = OpenFile(name, "rt");
    if (!f) {
        *log << "WARNING: in snow/glacier model: error opening storage content file " << name << "[end-entry]";
        *log << "WARNING: glacier model will be run with cold start initialization values" << "[end-entry]";
        return;
    }
    char line[1202];
    bool found = false;
    while (std::fgets(line, sizeof line, f.get()) != nullptr) {
        if (std::strstr(line, "snow_model") != nullptr) {
            found = true;
            break;
        }
    }
    if (!found) {
        *log << "WARNING: in snow/glacier model: [snow_model] not found in storage content file " << name
             << "[end-entry]";
        *log << "WARNING: glacier model will be run with cold start initialization values" << "[end-entry]";
        return;
    }
    int count = -1;
    if (std::fscanf(f.get(), "%d", &count) != 1) count = -1;
    ReadLineRest(f.get());
    if (count != soilZones.zoneCount) StorageMismatch("number of subbasins", soilZones.zoneCount, count);
    std::vector<double>* arrays[3] = {&Qice_slr, &Qfirn_slr, &Qsnow_slr};
    const char* const labels[3] = {"Qice_slr", "Qfirn_slr", "Qsnow_slr"};
    for (int i = 1; i <= soilZones.zoneCount; ++i) {
        for (int k = 0; k < 3; ++k) {
            std::vector<double>* a = arrays[k];
            int code = -1;
            double value = 0;
            if (std::fscanf(f.get(), "%d%lf", &code, &value) != 2) code = -1;
            ReadLineRest(f.get());
            if (code != i) StorageMismatch("subbasin code", i, code);
            // A NaN or infinite outflow would run into the runoff of every later step.
            if (!std::isfinite(value)) {
                *log << "FATAL: (snow model) error in storage file content reading " << labels[k] << " of subbasin "
                     << i << " in " << name << ": the value " << value << " is not a finite number" << "[end-entry]";
                throw ModelError(71);
            }
            (*a)[static_cast<std::size_t>(i)] = value;
        }
    }
}
