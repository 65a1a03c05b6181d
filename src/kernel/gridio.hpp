#pragma once
// Pieces shared by the grid and stack readers and writers: format detection, a buffered
// scanner for text grids, MPI-IO files, and the agreement of all processes on an error so
// that a failure found by one process ends every process the same way instead of leaving
// the others waiting in a collective call.
#include <mpi.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "kernel/error.hpp"
#include "kernel/signals.hpp"

class modelobject;

namespace gridio {

// Longest file name the system handles.
constexpr std::size_t kMaxFileName = 1200;
constexpr double kBinaryNodata = -9999.0;
constexpr int kHeaderValues = 12;

enum class Format : int { Unknown = 0, Text = 1, Double = 2, Float = 3, Gif = 4 };

inline int ValueSize(Format f) { return f == Format::Float ? 4 : 8; }

// Tells text (first bytes equal to textMark), GIF ("GIF8") and binary double or float files
// apart and reads the 12 header values of a binary file. The stream is left after the header
// of a binary file and at its start otherwise.
Format DetectFormat(std::FILE* f, const char* textMark, std::array<double, kHeaderValues>* header);

// Reads whitespace-separated tokens and numbers from a stream, as "%s" and "%lf" do, through
// a large buffer.
class TextScanner {
public:
    explicit TextScanner(std::FILE* f);
    // The next whitespace-delimited token (any length); false at the end of the file.
    bool Token(std::string* out);
    // The next number; false when the text there is no number or the file has ended.
    bool Number(double* out);
    // Bytes of the stream read so far (from where the scanner started).
    long long Offset() const { return dropped_ + static_cast<long long>(pos_); }
    // True when only whitespace is left.
    bool AtEnd() { return !SkipSpace(); }
    // Appends every token that begins before byte limit (counted as Offset counts) to out as a
    // number, as Number reads them one after the other; a token running past limit is read whole.
    // False when a token is not one whole finite number (or too long to be one).
    bool NumbersBeginningBefore(long long limit, std::vector<double>* out);
    // Passes over the rest of a token the stream starts inside of (nothing when it starts on
    // whitespace).
    void SkipTokenRest();

private:
    void Refill();
    bool SkipSpace();
    // The token at the read position (after SkipSpace) as one whole finite number.
    bool WholeNumber(double* out);
    std::FILE* f_;
    std::vector<char> buf_;
    std::size_t pos_ = 0, end_ = 0;
    long long dropped_ = 0;
    bool eof_ = false;
};

// The number at the start of [start, end) as TextScanner::Number reads it; returns the first
// byte after it (start when the text there is no number). *end must be readable (a NUL).
const char* ParseNumber(const char* start, const char* end, double* out);

// The whitespace-separated numbers that begin in bytes [begin, end) of a stream whose values
// start at byte start (begin >= start), appended to out: the tokens of one share of the bytes,
// so that the shares of consecutive ranges together hold every token once, in order. False when
// a token there is not one whole finite number (or too long to be one): the caller then reads the
// stream as before to report the fault.
bool ParseByteShare(std::FILE* f, long long start, long long begin, long long end, std::vector<double>* out);

// The numbers that begin in bytes [begin, end) of file name (values from byte start; end < 0:
// to the end of the file), parsed in consecutive byte shares by a team of threads, each share
// from its own handle of the file, as ParseByteShare reads them: parts holds the shares' numbers
// in their order, so that together they are the numbers of one reading from begin. False when a
// share could not be read (the file, a seek, a token that is not one whole finite number).
bool ParseSharesOnThreads(const std::string& name, long long start, long long begin, long long end,
                          std::vector<std::vector<double>>* parts);

// Estimates of the tokens that begin in each of regions equal parts of bytes [begin, end) of file
// name (values from byte start), each from a count over the first eighth of its part, scaled to the
// whole part: the density of the values along the file at a small cost. False when the file could
// not be read.
bool SampleTokenStarts(const std::string& name, long long start, long long begin, long long end, int regions,
                       std::vector<double>* estimates);

// Runs f and returns the code of a ModelError it throws (0 when none).
template <class F>
int Attempt(F&& f) {
    try {
        f();
    } catch (const ModelError& e) {
        return e.code();
    }
    return 0;
}

// The largest error code of all processes (collective); the local code when not collective.
int AgreeOnError(int code, bool collective);
// Throws the agreed code when it is not 0.
void ThrowAgreed(int code, bool collective);

// Sends a text from process 0 to every process, whatever its length.
void BroadcastText(std::string* text);

// An MPI-IO file closed by its destructor when it was not closed explicitly (collective).
class MpiFile {
public:
    MpiFile() = default;
    ~MpiFile();
    MpiFile(const MpiFile&) = delete;
    MpiFile& operator=(const MpiFile&) = delete;
    // Collective open; returns the MPI error code.
    int Open(const std::string& name, int mode);
    // Collective close; returns the MPI error code.
    int Close();
    MPI_File get() const { return fh_; }

private:
    MPI_File fh_ = MPI_FILE_NULL;
};

// Ignores the interrupt signal while a file is read or written; at the end (also when an
// error leaves the scope) the given disposition is set: the default action after readers,
// the program's handler after writers.
class SignalScope {
public:
    explicit SignalScope(void (*after)()) : after_(after) { IgnoreCtrlC(); }
    ~SignalScope() { after_(); }
    SignalScope(const SignalScope&) = delete;
    SignalScope& operator=(const SignalScope&) = delete;

private:
    void (*after_)();
};

// Compares the header of a file with the model's grid measures; the file's xllcorner and
// yllcorner are replaced by their floor values. Returns 0 or 24; with logIt the mismatch is
// logged with both sets of measures.
int CheckMeasures(const modelobject& o, const std::string& name, std::array<double, kHeaderValues>* header,
                  bool logIt);

// Whether the n values from v on are all finite (true for n <= 0); no branch per value.
bool AllFinite(const double* v, std::ptrdiff_t n);

// The wait between two attempts to open a grid file (200 ms); tests replace it.
using RetryWait = void (*)(int retriesLeft);
void SetRetryWait(RetryWait wait);
RetryWait GetRetryWait();

}  // namespace gridio
