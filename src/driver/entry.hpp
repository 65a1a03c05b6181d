#pragma once
// The program entry: options, diagnostics log, banner, thread report and the loop over the
// control files named on the command line.
#include <string>
#include <vector>

struct ThreadReport {
    int rank = 0;
    int threads = 0;
};

int TalvoMain(int argc, char** argv);

// The options of the command line: every "-diagfile:" and "-diaglevel:" (the last one of each
// counts), "-dumpmode" and "-closeAfterDump"; every other argument names a control file.
struct CommandLine {
    std::string diagFile;
    int diagLevel = 4;
    std::string unknownLevel;       // the last -diaglevel: word that names no level, else empty
    std::vector<int> controlFiles;  // positions in argv, in their order
    // Arguments that begin with "-" but are no option (a misspelt option is no control file).
    std::vector<std::string> unknownOptions;
    bool dumpMode = false;
    bool closeAfterDump = false;
};
CommandLine ParseCommandLine(int argc, char** argv);

// Upper-cases the ASCII letters of text in place and returns a copy.
std::string ToUpperCopy(std::string& text);
// "FATAL" 0, "ERROR" 1, "WARNING" 2, "INFO" 3, anything else 4 (compared upper-cased).
int DiagLevelFromWord(std::string word);
void PrintOpenMPThreads(ThreadReport* record);
void PrintOpenMPThreadsRemote(ThreadReport* record);
// The SIGFPE handler.
extern "C" void OnFloatingPointError(int signal);
