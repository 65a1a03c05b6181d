#include "driver/unread_sections.hpp"

#include <algorithm>
#include <fstream>
#include <sstream>

#include "kernel/controlfile.hpp"
#include "kernel/diaglog.hpp"

namespace {
bool IsSectionToken(const std::string& token) {
    return token.size() > 2 && token.front() == '[' && token.back() == ']' &&
           token.find('[', 1) == std::string::npos && token.find(']') == token.size() - 1;
}

std::size_t EditDistance(const std::string& a, const std::string& b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            const std::size_t change = diagonal + (a[i - 1] == b[j - 1] ? 0 : 1);
            row[j] = std::min({above + 1, row[j - 1] + 1, change});
            diagonal = above;
        }
    }
    return row[b.size()];
}
}  // namespace

std::vector<std::string> SectionsOfControlText(std::istream& text) {
    std::vector<std::string> sections;
    std::string line;
    while (std::getline(text, line)) {
        std::istringstream words(line);
        std::string first;
        if (!(words >> first) || !IsSectionToken(first)) continue;
        if (std::find(sections.begin(), sections.end(), first) == sections.end()) sections.push_back(first);
    }
    return sections;
}

std::string NearestSection(const std::string& name, const std::vector<std::string>& candidates) {
    std::string best;
    std::size_t bestDistance = 0;
    for (const std::string& c : candidates) {
        const std::size_t d = EditDistance(name, c);
        if (best.empty() || d < bestDistance) {
            best = c;
            bestDistance = d;
        }
    }
    return best;
}

void WarnUnreadSections(DiagLog& log, const std::string& compiledControlFile, const std::string& shownName) {
    std::ifstream in(compiledControlFile);
    if (!in) return;
    const std::vector<std::string>& known = SectionsSought();
    for (const std::string& section : SectionsOfControlText(in)) {
        if (SectionWasSought(section)) continue;
        log << "WARNING: section " << section << " of " << shownName << " is read by no module";
        const std::string nearest = NearestSection(section, known);
        if (!nearest.empty()) log << "; the nearest known section is " << nearest;
        log << "[end-entry]";
    }
}
