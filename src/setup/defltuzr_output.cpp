// Output control of the run: "[output_interval]" with its keys, "[output_list]",
// "[coordinates]", "[meteo_data_count]" and "[meteo_names]".
#include <cmath>
#include <filesystem>
#include <system_error>

#include "setup/defltuzr.hpp"

namespace {
// Longest name of a meteorological input.
constexpr std::size_t kMeteoNameLength = 200;

// The control-file errors of the output control name no module: the module name is empty
// while they are read.
class AnonymousModule {
public:
    explicit AnonymousModule(std::string& name) : name_(name), saved_(name) { name_.clear(); }
    ~AnonymousModule() { name_ = saved_; }
    AnonymousModule(const AnonymousModule&) = delete;
    AnonymousModule& operator=(const AnonymousModule&) = delete;

private:
    std::string& name_;
    std::string saved_;
};

// The directory keys are put in front of every file name as they stand: a key that names an
// existing folder without the closing "/" makes names beside the folder, not in it.
void WarnPrefixNamingFolder(DiagLog& log, const char* key, const std::string& prefix, const char* example) {
    if (prefix.empty() || prefix.back() == '/') return;
    std::error_code error;
    if (!std::filesystem::is_directory(prefix, error)) return;
    log << "WARNING: " << key << " = " << prefix << " names a folder but does not end with \"/\": it is put in "
        << "front of every file name as it stands, so the files are written as \"" << prefix + example
        << "\" and so on, beside the folder; write \"" << prefix + "/" << "\" to use the folder" << "[end-entry]";
}

bool IsBlankLine(const std::string& line) {
    for (char ch : line) {
        if (ch == '\n') return true;
        if (ch != ' ' && ch != '\t') return false;
    }
    return true;
}
}  // namespace

void defaultini::ReadOutputControl(const std::string& name) {
    controlFile = OpenFile(name, "r");
    if (!controlFile) {
        FailOnFile(*log, "Error opening " + name, 28);
    }
    AnonymousModule anonymous(moduleName);
    std::FILE* f = ControlStream();

    SeekSection("[output_interval]", true);
    ReadValue(f, "%d", &outputInterval_, "output control");
    // Every sub-model runs every outputInterval_-th step and divides by it.
    if (outputInterval_ < 1) {
        *log << "WARNING: output interval " << outputInterval_ << " in [output_interval] is below 1, 1 is used instead"
             << "[end-entry]";
        outputInterval_ = 1;
    }
    // The switches and the minutes are taken as far as they can be read.
    int second = 0;
    std::fscanf(f, "%d", &second);
    ReadLineRest(f);
    meteoOption_ = static_cast<unsigned>(second) > 1 ? 1 : second;
    int third = 0;
    std::fscanf(f, "%d", &third);
    ReadLineRest(f);
    thirdSwitch_ = static_cast<unsigned>(third) > 1 ? 0 : third;
    double minutes = 0;
    ReadOptionalValue(f, "%lf", &minutes, "min_to_int_end in minutes");
    // A negative shift is no shift.
    minToIntEnd_ = minutes > 0 ? minutes : 0;

    // Key lines up to the first empty line (or a line without line end, or the end of the file).
    for (;;) {
        std::string line = ReadLineRest(f);
        if (line.empty() || line.back() != '\n') break;
        const std::size_t start = line.find_first_not_of(" \t");
        line.erase(0, start == std::string::npos ? line.size() : start);
        if (IsBlankLine(line)) break;
        const std::size_t eq = line.find('=');
        const std::string value = eq == std::string::npos ? std::string() : line.substr(eq + 1);
        int flag = 0;
        char token[kLineLength + 1] = {};
        if (line.find("WriteAsciiGrids") != std::string::npos) {
            if (std::sscanf(value.c_str(), "%d", &flag) == 1) textOutput = flag != 0;
        } else if (line.find("WriteDoubleGrids") != std::string::npos) {
            if (std::sscanf(value.c_str(), "%d", &flag) == 1) doublePrecision = flag != 0;
        } else if (line.find("InitialStateDirectory") != std::string::npos) {
            if (std::sscanf(value.c_str(), "%1200s", token) == 1) inputPath = token;
        } else if (line.find("DefaultOutputDirectory") != std::string::npos) {
            if (std::sscanf(value.c_str(), "%1200s", token) == 1) outputPath = token;
        }
    }
    if (rank == 0) {
        WarnPrefixNamingFolder(*log, "DefaultOutputDirectory", outputPath, "Qg.txt");
        WarnPrefixNamingFolder(*log, "InitialStateDirectory", inputPath, "soilstate.txt");
    }

    SeekSection("[output_list]", true);
    ReadCountOrNone(f, &outputListCount_, "number of subbasins in output list");
    // Codes are kept as they are read, so that a count larger than the list fails on the
    // first missing code instead of reserving room for it.
    outputListCodes_.assign(1, outputListCount_);
    for (int i = 1; i <= outputListCount_; ++i) {
        int code = 0;
        ReadValue(f, "%d", &code, "codes in output-list");
        outputListCodes_.push_back(code);
    }
    for (int i = 2; i <= outputListCount_; ++i) {
        if (outputListCodes_[static_cast<std::size_t>(i)] <= outputListCodes_[static_cast<std::size_t>(i) - 1]) {
            *log << "FATAL: \nError in control file: order of subbasin codes in output_list!\n"
                    "if output should be written for a specified set of subbasins,\n"
                    "(specified by a statcode of 5 for averaging in time or 6 for summing in time)\n"
                    "than the codes has to be arranged in ascendend order\n.look in [output_list]\n"
                 << "[end-entry]";
            throw ModelError(97);
        }
    }

    SeekSection("[coordinates]", true);
    // Places on the earth and a shift of the clock by less than a day: a date shifted by more
    // would leave the calendar.
    ReadBoundedValue(f, "%lf", &latitude_, "geographic latitude", bound::Within(-90, 90));
    ReadBoundedValue(f, "%lf", &longitude_, "geographic longitude", bound::Within(-360, 360));
    ReadBoundedValue(f, "%lf", &referenceMeridian_, "reference meridian", bound::Within(-360, 360));
    ReadBoundedValue(f, "%lf", &timeShift_, "time shift of data time to lokal time", bound::Within(-24, 24));

    SeekSection("[meteo_data_count]", true);
    ReadCountOrNone(f, &meteoCount_, "number of meteorological variables");
    SeekSection("[meteo_names]", true);
    meteoNames_.assign(1, std::string());
    for (int i = 1; i <= meteoCount_; ++i) {
        // Each name must be there (a NUL byte reads as an empty one) and fit its 200
        // characters; the header of the next section is no name.
        const std::string key = StrFormat("name %d of the meteorological variables in [meteo_names]", i);
        std::string name;
        ReadValue(f, "%s", &name, key);
        if (name.empty() || name.size() > kMeteoNameLength || name[0] == '[') ControlFileError(key, moduleName);
        meteoNames_.push_back(name);
    }

    CloseControlFile();
}
