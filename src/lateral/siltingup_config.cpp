// The section "[SiltingUpModel]": method, statistics, grid names, minimum rain pause per group
// of subbasins, readgrid, the parameters of the built-in laws and the block of formulas.
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "lateral/siltingup.hpp"

namespace {

const char* const kGroupHelp =
    "\npossible error by using the same parameters\nfor groups of subbasins:\nat least the first AND the last "
    "subbasin code have\nto be specified with all their parameters like this:\n(if the smallest code is 1 and the "
    "largest code is 8)\n1\t8\n3\t3\n8\t8\n14\t14\n0.4\t0.4\n0.01\t0.01\n0.1\t0.1\n..\t..\nThen, to all "
    "subcatchments with zone-codes ranging from 1 to 7 the \nparameters of subbasin 1 will be assigned!";
const char* const kErrorHead = "FATAL: \n-----------------error------------\n";
const char* const kKeyword = "SiltingUpExpressions";

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// One line of at most 1200 characters with its line feed; false at the end of the file.
bool ReadLine(std::FILE* f, std::string& line) {
    char buffer[1201];
    if (f == nullptr || std::fgets(buffer, sizeof buffer, f) == nullptr) return false;
    line = buffer;
    return true;
}

}  // namespace

void siltingupclass::ReadSection() {
    std::FILE* f = ControlStream();
    ReadMethodAndStatistics();
    ReadFileNameAndCode(f, &statRunoff.fileName, &statRunoff.code,
                        "name of the statistics for direct runoff from silting up model (QDSU) ");
    ReadGridName(disposition, "name of the silting-up-disposition-grid, ", "Writegrid for silting-up-disposition-grid, ");
    ReadGridName(rainPause, "name of the RAINPAUSE-grid, ", "Writegrid for RAINPAUSE-grid, ");
    ReadGridName(kineticEnergy, "name of the EKIN-grid, ", "Writegrid for EKIN-grid, ");
    ReadGridName(timeSinceTillage, "name of the TSBB-grid, ", "Writegrid for TSBB-grid, ");
    ReadGridName(directRunoff, "name of the QDSU-grid, ", "Writegrid for QDSU-grid, ");
    ReadSubbasinGroups();
    ReadReadGrid();
    if (method == 2) {
        const char* keys[8] = {"parameter A for method 2 (I_0) ",  "parameter B for method 2 (I_inf) ",
                               "parameter C for method 2 (I_inf) ", "parameter D for method 2 (I_inf) ",
                               "parameter E for method 2 (C_v) ",  "parameter F for method 2 (C_v) ",
                               "parameter G for method 2 (C_v) ",  "parameter H for method 2 (C_v) "};
        double* targets[8] = {&parameters.A, &parameters.B, &parameters.C, &parameters.D,
                              &parameters.E, &parameters.F, &parameters.G, &parameters.H};
        for (int i = 0; i < 8; ++i) ReadValue(f, "%lf", targets[i], keys[i]);
    }
    if (method == 3) {
        ReadExpressionBlock();
        SplitExpressions();
    }
}

void siltingupclass::ReadMethodAndStatistics() {
    // The first line holds the method alone, or (method 1) already the SDISP statistics.
    std::FILE* f = ControlStream();
    const char* key = "name of the statistics for silting disposition SDISP ";
    int ch;
    while (f != nullptr && (ch = std::fgetc(f)) != EOF) {
        if (!IsBlank(static_cast<char>(ch))) {
            std::ungetc(ch, f);
            break;
        }
    }
    std::string line;
    if (!ReadLine(f, line)) ControlFileError(key, moduleName);
    int first = 0;
    if (std::sscanf(line.c_str(), "%d", &first) == 1) {
        method = first;
        ReadFileNameAndCode(f, &statDisposition.fileName, &statDisposition.code, key);
    } else {
        method = 1;
        char name[1201] = {0};
        int code = 0;
        if (std::sscanf(line.c_str(), "%1200s%d", name, &code) != 2) ControlFileError(key, moduleName);
        statDisposition.fileName = name;
        statDisposition.code = code;
    }
}

void siltingupclass::ReadGridName(OwnGrid& grid, const char* nameKey, const char* codeKey) {
    ReadValue(ControlStream(), "%s", &grid.fileName, nameKey);
    ReadValue(ControlStream(), "%d", &grid.writeCode, codeKey);
}

void siltingupclass::ReadSubbasinGroups() {
    std::FILE* f = ControlStream();
    const int n = zoneCount;
    subbasinCodes.assign(static_cast<std::size_t>(n) + 1, 0);
    minRainPause.assign(static_cast<std::size_t>(n) + 1, 0.0);
    if (n < 1 || zoneRecords == nullptr || zoneIndex == nullptr) return;
    const int smallest = static_cast<int>((*zoneRecords)[1].zonenwert);
    const int largest = maxZoneCode;
    auto indexOf = [&](int code) {
        if (code < 0 || static_cast<std::size_t>(code) >= zoneIndex->size()) return 0;
        return (*zoneIndex)[static_cast<std::size_t>(code)];
    };

    // Both rows are read one line at a time, so that a missing value is reported in its own row:
    // the entry names the value that is missing (or the row that is too long), then shows the row.
    std::vector<double> numbers;
    std::string line;
    auto rowError = [&](const std::string& detail, const std::string& what, const char* after = "") {
        *log << kErrorHead << what << " for " << moduleName << after << kGroupHelp << "\n" << detail << "[end-entry]";
        throw ModelError(10);
    };
    if (!ReadNumberRow(f, &numbers, &line)) rowError("the subbasin code row is missing", "error reading code[0]");
    int previous = smallest, previousIndex = 1, last = 0;
    std::size_t used = 0;
    for (;;) {
        if (used == numbers.size())
            rowError(StrFormat("the code row \"%s\" ends before the largest subbasin code %d", line.c_str(), largest),
                     StrFormat("error reading code[%d]", last));
        const double value = numbers[used++];
        const int c = value >= 1 && value <= largest && value == std::floor(value) ? static_cast<int>(value) : 0;
        const int index = indexOf(c);
        if (c > largest || c < 1 || index < 1) {
            *log << kErrorHead << "error! there is no code " << value << " (from " << controlFileName
                 << ") for a subbasin in " << moduleName << kGroupHelp << "[end-entry]";
            throw ModelError(10);
        }
        subbasinCodes[static_cast<std::size_t>(index)] = c;
        if (index > previousIndex + 1) {
            if (previous > smallest || (previous == smallest && subbasinCodes[1] != 0)) {
                for (int i = previousIndex + 1; i < index; ++i) subbasinCodes[static_cast<std::size_t>(i)] = -1;
            } else {
                // The list starts above the smallest code: subbasin 1 and those up to this code
                // share the first value.
                subbasinCodes[1] = smallest;
                for (int i = 2; i <= index; ++i) subbasinCodes[static_cast<std::size_t>(i)] = -1;
            }
        }
        previous = c;
        previousIndex = index;
        last = c;
        if (c >= largest) break;
    }
    if (used < numbers.size())
        rowError(StrFormat("the code row \"%s\" goes on after the largest subbasin code %d", line.c_str(), largest),
                 "error reading the code row");
    std::vector<int> listedCodes;
    for (int i = 1; i <= n; ++i)
        if (subbasinCodes[static_cast<std::size_t>(i)] > 0) listedCodes.push_back(subbasinCodes[static_cast<std::size_t>(i)]);
    if (!ReadNumberRow(f, &numbers, &line)) line.clear();
    if (numbers.size() != listedCodes.size()) {
        const std::string detail = StrFormat("the row of minimum rain pauses \"%s\" holds %zu values where the code "
                                             "row lists %zu",
                                             line.c_str(), numbers.size(), listedCodes.size());
        if (numbers.size() > listedCodes.size()) rowError(detail, "error reading the row RainPause");
        rowError(detail, StrFormat("error reading RainPause[%d]", listedCodes[numbers.size()]), " (minimum rainpause)");
    }
    std::size_t next = 0;
    for (int i = 1; i <= n; ++i) {
        const std::size_t k = static_cast<std::size_t>(i);
        if (subbasinCodes[k] > 0) {
            minRainPause[k] = numbers[next++];
            RequireFinite(minRainPause[k], StrFormat("RainPause[%d] (minimum rainpause)", subbasinCodes[k]));
            RequireInRange(minRainPause[k],
                           StrFormat("RainPause[%d] (minimum rainpause, row \"%s\")", subbasinCodes[k], line.c_str()),
                           bound::NonNegative);
        } else {
            minRainPause[k] = minRainPause[k - 1];
        }
    }
}

void siltingupclass::ReadReadGrid() {
    std::FILE* f = ControlStream();
    if (f == nullptr || std::fscanf(f, "%d", &readGrid) != 1) {
        *log << kErrorHead << "error reading readgrid-Parameter for " << moduleName
             << "\npossible reason: parameter missing or a linefeed \nbefore the end of the parameter block"
             << "[end-entry]";
        throw ModelError(10);
    }
    ReadLineRest(f);
}

void siltingupclass::ReadExpressionBlock() {
    std::FILE* f = ControlStream();
    expressions.clear();
    const std::string quotedName = "\"" + controlFileName + "\"";
    const std::size_t keywordLength = std::strlen(kKeyword);
    std::string line;
    for (;;) {
        // An empty line or the end of the file ends the search before a block was found.
        if (!ReadLine(f, line) || line.find('\n') == std::string::npos || line[0] == '\n') {
            *log << "FATAL: no SiltingUpExpressios found (at least X, Y and Z must be initialized) in control file "
                 << quotedName << "[end-entry]";
            throw ModelError(402);
        }
        if (line.compare(0, keywordLength, kKeyword) != 0) continue;

        // "{" after the keyword, possibly on the following lines, with only blanks before it.
        std::string text = line.substr(keywordLength);
        auto blank = [](const std::string& s) {
            for (char ch : s)
                if (!IsBlank(ch)) return false;
            return true;
        };
        while (text.find('{') == std::string::npos && blank(text)) {
            std::string next;
            if (!ReadLine(f, next)) break;
            text += next;
        }
        const std::size_t open = text.find('{');
        if (open == std::string::npos || !blank(text.substr(0, open))) {
            *log << "FATAL: error looking for opening bracket \"{\" after \"" << kKeyword << "\" in control file "
                 << quotedName << "[end-entry]";
            throw ModelError(400);
        }
        while (text.find('}', open) == std::string::npos) {
            std::string next;
            if (!ReadLine(f, next)) {
                *log << "FATAL: error looking for closing bracket \"}\" after \"" << kKeyword << "\" in control file "
                     << quotedName << "[end-entry]";
                throw ModelError(401);
            }
            text += next;
        }
        std::string block = text.substr(open + 1, text.find('}', open) - open - 1);
        if (block.find(';') == std::string::npos) continue;

        // Expressions end with ";"; the text after the last one is dropped.
        block += ' ';
        std::size_t at = 0;
        for (std::size_t end; (end = block.find(';', at)) != std::string::npos; at = end + 1) {
            std::size_t start = at;
            while (start < end && IsBlank(block[start])) ++start;
            std::string expression;
            for (std::size_t i = start; i < end; ++i)
                if (!IsBlank(block[i])) expression += block[i];
            expressions.push_back(expression);
        }
        return;
    }
}

void siltingupclass::SplitExpressions() {
    firstCapacityExpression = expressions.size();
    for (std::size_t i = 0; i < expressions.size(); ++i) {
        if (expressions[i].find("V=") != std::string::npos) {
            firstCapacityExpression = i;
            break;
        }
    }
}
