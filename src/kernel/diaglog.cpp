#include "kernel/diaglog.hpp"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <iostream>
#include <mpi.h>

#include "kernel/error.hpp"

namespace {

constexpr const char* kEndMark = "[end-entry]";
constexpr std::size_t kEndMarkLength = 11;

// Prefixes in the order the console cut checks them, with their levels.
struct Prefix {
    const char* text;
    int level;
};
constexpr Prefix kPrefixes[] = {{"SKIP: ", DiagLog::Skip},   {"DEBUG: ", DiagLog::Debug},
                                {"INFO: ", DiagLog::Info},   {"WARNING: ", DiagLog::Warning},
                                {"ERROR: ", DiagLog::Error}, {"FATAL: ", DiagLog::Fatal}};

const Prefix* FindPrefix(const std::string& text) {
    for (const Prefix& p : kPrefixes) {
        if (text.rfind(p.text, 0) == 0) return &p;
    }
    return nullptr;
}

bool EndsEntry(const std::string& text) {
    return text.size() >= kEndMarkLength &&
           text.compare(text.size() - kEndMarkLength, kEndMarkLength, kEndMark) == 0;
}

std::string RankTag(int rank) {
    std::string n = std::to_string(rank);
    if (n.size() < 2) n.insert(0, 2 - n.size(), ' ');
    return "(mpi-rank " + n + ") ";
}

}  // namespace

std::string DiagLog::ProcessFileName(const std::string& name, int rank) {
    // Only a "." of the last path component counts, so "run.d/diag" becomes "run.d/diag_0.xml".
    std::size_t slash = name.find_last_of('/');
    std::size_t dot = name.find_last_of('.');
    std::string r("_");
    r += std::to_string(rank);
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) {
        return name.substr(0, dot) + r + name.substr(dot);
    }
    return name + r + ".xml";
}

std::string DiagLog::Escape(const std::string& text) {
    std::string s;
    s.reserve(text.size() + 16);
    for (char ch : text) {
        switch (ch) {
            case '&': s += "&amp;"; break;
            case '\n': s += ';'; break;
            case '<': s += "&lt;"; break;
            case '>': s += "&gt;"; break;
            case '\'': s += "&apos;"; break;
            case '"': s += "&quot;"; break;
            default: s += ch;
        }
    }
    // XML comments may not hold "--" followed by "-": shrink every run of hyphens to two.
    std::size_t pos;
    while ((pos = s.find("---")) != std::string::npos) s.erase(pos, 1);
    return s;
}

std::string DiagLog::TimeStamp() {
    std::time_t now = std::time(nullptr);
    std::tm tmv{};
    localtime_r(&now, &tmv);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tmv);
    return buf;
}

DiagLog::DiagLog(const std::string& fileName, int maxLevel) : console_(&std::cout), maxLevel_(maxLevel) {
    int initialised = 0;
    MPI_Initialized(&initialised);
    if (initialised) {
        MPI_Comm_rank(MPI_COMM_WORLD, &rank_);
        MPI_Comm_size(MPI_COMM_WORLD, &size_);
    }
    std::string name = fileName.empty() ? std::string("Talvo_Diag.xml") : fileName;
    fileName_ = ProcessFileName(name, rank_);
    file_.open(fileName_, std::ios::out | std::ios::trunc);
    if (!file_.is_open()) {
        const int reason = errno;
        std::cout << RankTag(rank_) << "\n ----- Warning -----\n error opening diagnostics output file "
                  << fileName_ << "\n";
        std::cerr << "Talvo (process " << rank_ << "): cannot create the diagnostics file " << fileName_ << ": "
                  << std::strerror(reason) << std::endl;
        std::cout << RankTag(rank_)
                  << "\nusing default name Talvo_Diag.xml in actual working directory\n -------------------\n\n"
                  << "\n";
        // Each process keeps a file of its own even here, so processes never share one.
        const std::string fallback = ProcessFileName("Talvo_Diag.xml", rank_);
        file_.clear();
        file_.open(fallback, std::ios::out | std::ios::trunc);
        if (!file_.is_open()) {
            const int fallbackReason = errno;
            std::cout << RankTag(rank_) << "Error opening diagnostics output file " << fallback << "\n";
            std::cerr << "Talvo (process " << rank_ << "): cannot create the diagnostics file " << fallback << ": "
                      << std::strerror(fallbackReason) << std::endl;
            std::cout.flush();
            throw ModelError(320);
        }
        fileName_ = fallback;
    }
    file_ << "<?xml version='1.0' encoding='UTF-8'?>\n";
    file_ << "<Diag version=\"1.2\" xmlns=\"http://www.wldelft.nl/fews/PI\" \n";
    file_ << "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" \n";
    file_ << "xsi:schemaLocation=\"http://www.wldelft.nl/fews/PI "
             "http://fews.wldelft.nl/schemas/version1.0/pi-schemas/pi_diag.xsd\">\n";
    file_ << "\t<line level=\"3\" description= \"" << Escape("Talvo start at " + TimeStamp()) << "\"/>\n";
    file_.flush();
    ReportFileFailure();
}

DiagLog::~DiagLog() { Close(); }

void DiagLog::ReportFileFailure() {
    if (failureReported_ || !file_.is_open() || file_.good()) return;
    const int reason = errno;
    failureReported_ = true;
    std::cerr << "Talvo (process " << rank_ << "): the diagnostics file " << fileName_
              << " cannot be written, its entries are lost: " << std::strerror(reason) << std::endl;
}

void LogSystemReason(DiagLog& log, int error) {
    if (error == 0) return;
    log << "ERROR: reason given by the operating system: " << std::string(std::strerror(error)) << "[end-entry]";
}

void LogMpiFileReason(DiagLog& log, int mpiError) {
    if (mpiError == MPI_SUCCESS) return;
    char text[MPI_MAX_ERROR_STRING];
    int length = 0;
    if (MPI_Error_string(mpiError, text, &length) != MPI_SUCCESS) return;
    log << "ERROR: reason given by the MPI library: " << std::string(text, static_cast<std::size_t>(length))
        << "[end-entry]";
}

void FailOnFile(DiagLog& log, const std::string& text, int code) { FailOnFile(log, text, code, errno); }

void FailOnFile(DiagLog& log, const std::string& text, int code, int reason) {
    log << "FATAL: " << text << "[end-entry]";
    LogSystemReason(log, reason);
    throw ModelError(code);
}

void DiagLog::Close() {
    if (closed_) return;
    closed_ = true;
    if (!FileUsable()) return;
    if (!atEntryStart_ && !suppressed_) file_ << "\"/>\n";
    file_ << "\t<line level=\"3\" description= \"" << Escape("Talvo finished at " + TimeStamp()) << "\"/>\n";
    file_ << "</Diag>\n";
    file_.flush();
    ReportFileFailure();
    file_.close();
    if (file_.fail() && !failureReported_) {
        failureReported_ = true;
        std::cerr << "Talvo (process " << rank_ << "): the diagnostics file " << fileName_
                  << " cannot be closed: " << std::strerror(errno) << std::endl;
    }
}

void DiagLog::OpenEntry(int level, bool closePrevious) {
    if (closePrevious && !atEntryStart_ && ToFile()) file_ << "\"/>\n";
    level_ = level;
    suppressed_ = level_ > maxLevel_;
    if (ToFile()) file_ << "\t<line level=\"" << level_ << "\" description= \"";
    atEntryStart_ = false;
}

void DiagLog::WriteXmlText(const std::string& text) {
    std::string body = text;
    if (const Prefix* p = FindPrefix(text)) {
        body = text.substr(std::char_traits<char>::length(p->text));
        OpenEntry(p->level, true);
    } else if (atEntryStart_) {
        OpenEntry(Debug, false);
    }
    const bool ends = EndsEntry(body);
    prepared_ = Escape(ends ? body.substr(0, body.size() - kEndMarkLength) : body);
    if (ends) prepared_ += "\"/>";
}

void DiagLog::WriteXmlValue() {
    if (atEntryStart_) {
        OpenEntry(Debug, false);
    } else {
        suppressed_ = level_ > maxLevel_;
    }
}

DiagLog& DiagLog::operator<<(const char* text) {
    if (text == nullptr) text = "(null)";
    std::string whole(text);
    const bool ends = EndsEntry(whole);
    std::string shown = ends ? whole.substr(0, whole.size() - kEndMarkLength) : whole;
    if (const Prefix* p = FindPrefix(shown)) shown.erase(0, std::char_traits<char>::length(p->text));
    if (!shown.empty()) *console_ << shown;
    WriteXmlText(whole);
    if (ToFile()) file_ << prepared_;
    if (ends) {
        *console_ << "\n";
        console_->flush();
        if (ToFile()) {
            file_ << "\n";
            file_.flush();
            ReportFileFailure();
        }
        atEntryStart_ = true;
        suppressed_ = false;
    }
    return *this;
}

DiagLog& DiagLog::operator<<(const std::string& text) {
    // Pieces such as file names: shown unchanged on the console, never ending the entry.
    *console_ << text;
    WriteXmlText(text);
    if (ToFile()) file_ << prepared_;
    return *this;
}

template <class T>
DiagLog& DiagLog::WriteNumber(T value) {
    *console_ << value;
    WriteXmlValue();
    if (ToFile()) file_ << value;
    return *this;
}

DiagLog& DiagLog::operator<<(int value) { return WriteNumber(value); }
DiagLog& DiagLog::operator<<(long value) { return WriteNumber(value); }
DiagLog& DiagLog::operator<<(long long value) { return WriteNumber(value); }
DiagLog& DiagLog::operator<<(double value) { return WriteNumber(value); }

DiagLog& DiagLog::operator<<(decltype(std::setw(0)) width) {
    *console_ << width;
    WriteXmlValue();
    if (ToFile()) file_ << width;
    return *this;
}
