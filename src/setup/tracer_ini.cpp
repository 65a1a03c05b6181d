// Reader of "[substance_transport]": the number of tracers, then one line per tracer whose
// keys may stand anywhere in that line.
#include "setup/tracer_ini.hpp"

#include <cstdio>

namespace {
const std::string kMaxConcUnits[] = {"mg/l", "g/l", "kg/kg", "Kg/Kg"};

// Position just after the first '=' that follows the key at pos, or npos.
std::size_t ValueAfterEquals(const std::string& line, std::size_t pos) {
    const std::size_t eq = line.find('=', pos);
    return eq == std::string::npos ? eq : eq + 1;
}
}  // namespace

tracer_ini_class::tracer_ini_class(unsigned& error, DiagLog* log_, const std::string& controlFileName_,
                                   bool textOutput_, bool doublePrecision_, const ObjectRecord& record, int& count,
                                   const TracerDescriptor*& descriptors)
    : modelobject(log_, controlFileName_, 0, textOutput_, doublePrecision_, record) {
    SetModuleName("tracer_ini");
    error = 0;
    try {
        ReadSection();
    } catch (const ModelError& e) {
        error = static_cast<unsigned>(e.code());
    } catch (...) {
        error = 103;
    }
    count = count_;
    descriptors = count_ > 0 ? descriptors_.data() : nullptr;
}

void tracer_ini_class::TracerError(const std::string& text) {
    *log << ("FATAL: " + text + "[end-entry]").c_str();
    throw ModelError(56);
}

void tracer_ini_class::ReadSection() {
    controlFile = OpenFile(controlFileName, "r");
    if (!controlFile) {
        FailOnFile(*log, "error opening " + controlFileName, 28);
    }
    // The section is required, also for a run without tracers (a count of 0).
    SeekSection("[substance_transport]", true);
    int n = 0;
    ReadValue(ControlStream(), "%i", &n, " number of tracers in ");
    if (n > kMaxTracers) {
        *log << "FATAL: not more than 9 tracer species are allowed at one time (they need a very lot of memory!)"
             << "[end-entry]";
        throw ModelError(58);
    }
    count_ = n > 0 ? n : 0;
    descriptors_.assign(static_cast<std::size_t>(count_) + 1, TracerDescriptor{});
    for (int i = 1; i <= count_; ++i) {
        *log << "reading parameters for tracer " << i << " ..." << "[end-entry]";
        const std::string line = ReadLineRest(ControlStream());
        ReadName(i, line);
        ReadRadioactivity(i, line);
        ReadConcentrations(i, line);
        ReadOutputs(i, line);
        *log << "done." << "[end-entry]";
    }
    CloseControlFile();
}

void tracer_ini_class::CloseControlFile() {
    if (std::fclose(controlFile.release()) != 0) {
        FailOnFile(*log, "error closing " + controlFileName, 11);
    }
}

void tracer_ini_class::ReadName(int i, const std::string& line) {
    char token[4] = {};
    std::sscanf(line.c_str(), "%3s", token);
    std::string name(token);
    name.resize(3, '_');
    // An empty line reads as no name: "___", still padded as the short names are.
    for (char& ch : name) {
        if (ch == '\0') ch = '_';
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
    }
    descriptors_[static_cast<std::size_t>(i)].name = name;
    for (int j = 1; j < i; ++j) {
        if (descriptors_[static_cast<std::size_t>(j)].name != name) continue;
        *log << ("FATAL: \n----------- ERROR in substance_transport ---------\n\nsubstance #" + std::to_string(i) +
                 " and substance #" + std::to_string(j) + " have the same\nfirst 3 chars (lowercase) in its name (" +
                 name + " <-> " + name + ")\n\n--------------------------------------------------\n" + "[end-entry]")
                    .c_str();
        throw ModelError(59);
    }
}

void tracer_ini_class::ReadRadioactivity(int i, const std::string& line) {
    TracerDescriptor& t = descriptors_[static_cast<std::size_t>(i)];
    const std::string n = std::to_string(i);
    if (line.find("non_radioactive") != std::string::npos) {
        t.radioactive = 0;
        t.half_time = -9999.0;
    } else if (line.find("radioactive") != std::string::npos) {
        t.radioactive = 1;
        const std::size_t key = line.find("half_time");
        if (key == std::string::npos)
            TracerError("error in tracer_info_table tracer " + n + ": need a \"half_time = xxxx d\" sequence!");
        const std::size_t value = ValueAfterEquals(line, key);
        if (value == std::string::npos)
            TracerError("error reading half_time for tracer " + n + ": no \"half_time =\" found!");
        double days = 0;
        char unit[kLineLength + 1] = {};
        if (std::sscanf(line.c_str() + value, "%lf%1200s", &days, unit) != 2)
            TracerError("error reading half_time for tracer " + n);
        if (std::string(unit) != "d")
            TracerError("error reading half_time for tracer " + n + ": no \"d\" for measure found!");
        if (!(days > 0)) TracerError("error in half_time for tracer " + n + ": must be greater than 0!");
        t.half_time = days;
    } else {
        TracerError("error reading parameters for tracer " + n + ":\n need a key word \"radioactive\" or " +
                    "\"non_radioactive\"\n(may be, the number of tracers (" + std::to_string(count_) +
                    ") is wrong?\n");
    }

    if (line.find("non_evaporating") != std::string::npos) {
        t.evaporating = 0;
    } else if (line.find("evaporating") != std::string::npos) {
        t.evaporating = 1;
    } else {
        TracerError("error reading parameters for tracer " + n + ":\n need a key word \"evaporating\" or " +
                    "\"non_evaporating\"\n(may be, the number of tracers (" + std::to_string(count_) +
                    ") is wrong?");
    }
}

void tracer_ini_class::ReadConcentrations(int i, const std::string& line) {
    TracerDescriptor& t = descriptors_[static_cast<std::size_t>(i)];
    const std::string n = std::to_string(i);
    // Position of the value of a "key = value" concentration; the messages differ only in the
    // "!" after the read error.
    auto valueOf = [&](const char* key) {
        const std::size_t pos = line.find(key);
        if (pos == std::string::npos)
            TracerError("error reading parameters for tracer " + n + ":\nneed a key word \"" + key + " = xxxx\"");
        const std::size_t value = ValueAfterEquals(line, pos);
        if (value == std::string::npos)
            TracerError(std::string("error reading ") + key + " for tracer " + n + ": no \"" + key + " =\" found!");
        return value;
    };
    std::size_t value = valueOf("min_conc");
    if (std::sscanf(line.c_str() + value, "%lf", &t.min_conc) != 1)
        TracerError("error reading min_conc for tracer " + n);

    value = valueOf("max_conc");
    char unit[kLineLength + 1] = {};
    const int got = std::sscanf(line.c_str() + value, "%lf%1200s", &t.max_conc, unit);
    if (got < 1) TracerError("error reading max_conc for tracer " + n);
    const std::string measure = got == 2 ? std::string(unit) : std::string("kg/kg");
    bool allowed = false;
    for (const std::string& u : kMaxConcUnits) allowed = allowed || measure == u;
    if (!allowed)
        TracerError("error reading max_conc for tracer " + n +
                    ":\nwrong measure (only mg/l, g/l or kg/kg resp. no measure are allowed!)\nread here: " + measure);

    value = valueOf("soilini");
    if (std::sscanf(line.c_str() + value, "%lf", &t.soilini) != 1)
        TracerError("error reading soilini for tracer " + n + "!");
    value = valueOf("gwini");
    if (std::sscanf(line.c_str() + value, "%lf", &t.gwini) != 1)
        TracerError("error reading gwini for tracer " + n + "!");
}

void tracer_ini_class::ReadOutputs(int i, const std::string& line) {
    TracerDescriptor& t = descriptors_[static_cast<std::size_t>(i)];
    const std::string n = std::to_string(i);
    auto valueOf = [&](const char* what) {
        const std::string key = std::string(what) + " =";
        const std::size_t pos = line.find(key);
        if (pos == std::string::npos)
            TracerError(std::string("error reading ") + what + " for tracer " + n + ":\nneed a key word \"" + what +
                        " = xxxx\"");
        return pos + key.size();
    };
    auto readCode = [&](const char* what, std::int32_t* target) {
        int code = 0;
        if (std::sscanf(line.c_str() + valueOf(what), "%d", &code) != 1)
            TracerError(std::string("error reading ") + what + " for tracer " + n + "!");
        *target = code;
    };
    auto readText = [&](const char* what, std::string* target) {
        char text[300] = {};
        if (std::sscanf(line.c_str() + valueOf(what), "%299s", text) != 1)
            TracerError(std::string("error reading ") + what + " for tracer " + n + "!");
        *target = text;
    };
    readCode("statcode", &t.statcode);
    readCode("gridcode", &t.gridcode);
    readText("path", &t.path);
    readText("statext", &t.statext);
    readText("gridext", &t.gridext);
}
