#pragma once
// Sections of the control file that no model object looked for: a misspelt section name would
// otherwise leave its module with defaults (or switched off) without a word.
#include <istream>
#include <string>
#include <vector>

class DiagLog;

// Section names of a control-file text: the first token of a line when it is enclosed in
// square brackets, each name once, in the order of the file.
std::vector<std::string> SectionsOfControlText(std::istream& text);

// The candidate with the smallest edit distance to name (the first of equally near ones),
// empty when there is no candidate.
std::string NearestSection(const std::string& name, const std::vector<std::string>& candidates);

// Logs one WARNING per section of the compiled control file that was never looked for, with the
// nearest section that was; the entries name the file as shownName (the file the user wrote).
void WarnUnreadSections(DiagLog& log, const std::string& compiledControlFile, const std::string& shownName);
