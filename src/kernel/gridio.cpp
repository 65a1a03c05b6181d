#include "kernel/gridio.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <omp.h>

#include "kernel/controlfile.hpp"

namespace gridio {

Format DetectFormat(std::FILE* f, const char* textMark, std::array<double, kHeaderValues>* header) {
    header->fill(0.0);
    const std::size_t markLength = std::strlen(textMark);
    char head[8] = {};
    const std::size_t got = std::fread(head, 1, markLength, f);
    if (got == markLength && std::memcmp(head, textMark, markLength) == 0) {
        std::rewind(f);
        return Format::Text;
    }
    std::rewind(f);
    if (std::fread(head, 1, 4, f) == 4 && std::memcmp(head, "GIF8", 4) == 0) {
        std::rewind(f);
        return Format::Gif;
    }
    std::rewind(f);
    std::array<double, kHeaderValues> d{};
    if (std::fread(d.data(), sizeof(double), kHeaderValues, f) == kHeaderValues && d[5] == kBinaryNodata) {
        *header = d;
        return Format::Double;
    }
    std::rewind(f);
    std::array<float, kHeaderValues> s{};
    if (std::fread(s.data(), sizeof(float), kHeaderValues, f) == kHeaderValues &&
        s[5] == static_cast<float>(kBinaryNodata)) {
        for (int i = 0; i < kHeaderValues; ++i) (*header)[static_cast<std::size_t>(i)] = s[static_cast<std::size_t>(i)];
        return Format::Float;
    }
    std::rewind(f);
    return Format::Unknown;
}

namespace {
constexpr std::size_t kChunk = 1 << 16;
// A number must lie whole in the buffer; no number of a grid file comes near this length.
constexpr std::size_t kWindow = 4096;

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }
}  // namespace

TextScanner::TextScanner(std::FILE* f) : f_(f), buf_(kChunk + kWindow + 1) {}

void TextScanner::Refill() {
    if (eof_) return;
    if (pos_ > 0) {
        std::memmove(buf_.data(), buf_.data() + pos_, end_ - pos_);
        end_ -= pos_;
        dropped_ += static_cast<long long>(pos_);
        pos_ = 0;
    }
    while (!eof_ && end_ < kChunk) {
        const std::size_t n = std::fread(buf_.data() + end_, 1, kChunk + kWindow - end_, f_);
        end_ += n;
        if (n == 0) eof_ = true;
    }
    buf_[end_] = '\0';
}

bool TextScanner::SkipSpace() {
    for (;;) {
        while (pos_ < end_ && IsSpace(buf_[pos_])) ++pos_;
        if (pos_ < end_) return true;
        if (eof_) return false;
        Refill();
    }
}

bool TextScanner::Token(std::string* out) {
    if (!SkipSpace()) return false;
    out->clear();
    for (;;) {
        const std::size_t start = pos_;
        while (pos_ < end_ && !IsSpace(buf_[pos_])) ++pos_;
        out->append(buf_.data() + start, pos_ - start);
        if (pos_ < end_ || eof_) return true;
        Refill();
        if (pos_ >= end_) return true;
    }
}

bool TextScanner::Number(double* out) {
    if (!SkipSpace()) return false;
    if (end_ - pos_ < kWindow) Refill();
    buf_[end_] = '\0';
    // A NUL inside the file would end strtod early; such a byte is no part of a number.
    const char* start = buf_.data() + pos_;
    double v = 0;
    const char* stop = ParseNumber(start, buf_.data() + end_, &v);
    if (stop == start) return false;
    if (static_cast<std::size_t>(stop - buf_.data()) >= end_ && !eof_) return false;
    pos_ = static_cast<std::size_t>(stop - buf_.data());
    *out = v;
    return true;
}

namespace {
// A plain decimal ("-9999", "12", "0.25"): an optional minus, digits, optionally a point and
// more digits, at most 15 digits in all, followed by whitespace, a NUL or the end. Its digits
// make a whole number below 2^53 and its power of ten (at most 10^15) is exact, so the one
// correctly rounded division is the value from_chars and strtod round to. Null for any other
// text, which those read.
inline const char* PlainDecimal(const char* start, const char* end, double* out) {
    static constexpr double kPowers[16] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                           1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    const char* p = start;
    const bool negative = p < end && *p == '-';
    if (negative) ++p;
    std::uint64_t digits = 0;
    int count = 0, decimals = 0;
    auto take = [&] {
        const char* first = p;
        for (; p < end && *p >= '0' && *p <= '9'; ++p) {
            if (++count > 15) return false;
            digits = digits * 10 + static_cast<std::uint64_t>(*p - '0');
        }
        return p > first;
    };
    if (!take()) return nullptr;
    if (p < end && *p == '.') {
        ++p;
        const int before = count;
        if (!take()) return nullptr;
        decimals = count - before;
    }
    if (p < end && *p != '\0' && !IsSpace(*p)) return nullptr;
    const double v = static_cast<double>(digits) / kPowers[decimals];
    *out = negative ? -v : v;
    return p;
}
}  // namespace

const char* ParseNumber(const char* start, const char* end, double* out) {
    if (const char* stop = PlainDecimal(start, end, out)) return stop;
    // from_chars rounds as strtod does and is several times faster; it reads no leading '+',
    // no hexadecimal number and no value out of range, so these, and non-finite words, are
    // left to strtod, which gives every number its usual meaning.
    double v = 0;
    const auto [stop, ec] = std::from_chars(start, end, v);
    if (ec == std::errc() && *stop != 'x' && *stop != 'X' && std::isfinite(v)) {
        *out = v;
        return stop;
    }
    char* last = nullptr;
    v = std::strtod(start, &last);
    if (last == start) return start;
    *out = v;
    return last;
}

bool TextScanner::WholeNumber(double* out) {
    // Number keeps kWindow bytes ahead of a number; a token near that length is left to it, as
    // is every token that is not one whole finite number.
    constexpr std::size_t kLongest = 1000;
    if (end_ - pos_ < kWindow) Refill();
    buf_[end_] = '\0';
    // A plain decimal ending at whitespace or the end of the file is the whole token.
    double plain = 0;
    const char* stop = PlainDecimal(buf_.data() + pos_, buf_.data() + end_, &plain);
    if (stop != nullptr && (stop == buf_.data() + end_ || IsSpace(*stop))) {
        *out = plain;
        pos_ = static_cast<std::size_t>(stop - buf_.data());
        return true;
    }
    std::size_t tokenEnd = pos_;
    while (tokenEnd < end_ && !IsSpace(buf_[tokenEnd])) ++tokenEnd;
    if (tokenEnd - pos_ > kLongest) return false;
    double v = 0;
    const char* start = buf_.data() + pos_;
    if (ParseNumber(start, buf_.data() + end_, &v) != buf_.data() + tokenEnd || !std::isfinite(v)) return false;
    *out = v;
    pos_ = tokenEnd;
    return true;
}

namespace {
// Whitespace as IsSpace takes it, looked up.
struct SpaceTable {
    bool space[256] = {};
    constexpr SpaceTable() {
        for (const char c : {' ', '\t', '\n', '\r', '\v', '\f'}) space[static_cast<unsigned char>(c)] = true;
    }
};
constexpr SpaceTable kSpaces;
inline bool Blank(char c) { return kSpaces.space[static_cast<unsigned char>(c)]; }

// PlainDecimal where more bytes lie ahead than a plain decimal can take (it stops after at
// most 15 digits, a sign and a point): the same value and stop, or null, without the checks
// against the end.
inline const char* PlainDecimalAhead(const char* p, double* out) {
    static constexpr double kPowers[16] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                           1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    const bool negative = *p == '-';
    p += negative ? 1 : 0;
    std::uint64_t digits = 0;
    int count = 0;
    const char* first = p;
    for (; static_cast<unsigned>(*p - '0') <= 9; ++p) {
        if (++count > 15) return nullptr;
        digits = digits * 10 + static_cast<std::uint64_t>(*p - '0');
    }
    if (p == first) return nullptr;
    int decimals = 0;
    if (*p == '.') {
        first = ++p;
        for (; static_cast<unsigned>(*p - '0') <= 9; ++p) {
            if (++count > 15) return nullptr;
            digits = digits * 10 + static_cast<std::uint64_t>(*p - '0');
        }
        if (p == first) return nullptr;
        decimals = static_cast<int>(p - first);
    }
    if (*p != '\0' && !Blank(*p)) return nullptr;
    const double v = static_cast<double>(digits) / kPowers[decimals];
    *out = negative ? -v : v;
    return p;
}

// The first bytes of a token and the blank after it (at most 8), kept to know the same token again
// by one comparison: a grid's values come in runs (nodata around the basin, classes, the cells of
// one coarser cell), and equal bytes read as the same number.
class RepeatedToken {
public:
    // Keeps the token of length bytes before the blank at p (p + 8 readable), whose value is v.
    void Keep(const char* p, std::size_t length, double v) {
        length_ = length + 1 <= 8 ? length + 1 : 0;
        if (length_ == 0) return;
        mask_ = length_ == 8 ? ~std::uint64_t{0}
                : std::endian::native == std::endian::little ? (std::uint64_t{1} << (8 * length_)) - 1
                                                             : ~std::uint64_t{0} << (64 - 8 * length_);
        bytes_ = Load(p) & mask_;
        value_ = v;
    }
    // The bytes the kept token and its blank take when they begin at p (p + 8 readable), else 0.
    std::size_t At(const char* p) const { return length_ != 0 && (Load(p) & mask_) == bytes_ ? length_ : 0; }
    double value() const { return value_; }

private:
    static std::uint64_t Load(const char* p) {
        std::uint64_t x = 0;
        std::memcpy(&x, p, sizeof x);
        return x;
    }
    std::uint64_t mask_ = 0, bytes_ = 0;
    std::size_t length_ = 0;
    double value_ = 0;
};
}  // namespace

bool TextScanner::NumbersBeginningBefore(long long limit, std::vector<double>* out) {
    double v = 0;
    RepeatedToken last;
    while (SkipSpace() && Offset() < limit) {
        // While a window of bytes lies ahead (far more than a plain decimal takes), the plain
        // decimals and the blanks after them are taken in place, as WholeNumber and SkipSpace
        // take them; any other token as WholeNumber reads it. Nothing moves the buffer in
        // place, so the places a token may begin at end once, before the window or the limit.
        const char* const base = buf_.data();
        std::size_t at = pos_;
        const long long before = limit - dropped_;
        const std::size_t bound =
            end_ < kWindow || before <= 0 ? 0 : std::min(end_ - kWindow + 1, static_cast<std::size_t>(before));
        while (at < bound) {
            if (const std::size_t same = last.At(base + at)) {
                out->push_back(last.value());
                at += same;
            } else {
                const char* stop = PlainDecimalAhead(base + at, &v);
                if (stop == nullptr || !Blank(*stop)) break;
                out->push_back(v);
                last.Keep(base + at, static_cast<std::size_t>(stop - (base + at)), v);
                at = static_cast<std::size_t>(stop - base);
            }
            while (at < end_ && Blank(base[at])) ++at;
        }
        if (at != pos_) {
            pos_ = at;
            continue;
        }
        if (!WholeNumber(&v)) return false;
        out->push_back(v);
    }
    return true;
}

void TextScanner::SkipTokenRest() {
    for (;;) {
        while (pos_ < end_ && !IsSpace(buf_[pos_])) ++pos_;
        if (pos_ < end_ || eof_) return;
        Refill();
    }
}

bool ParseByteShare(std::FILE* f, long long start, long long begin, long long end, std::vector<double>* out) {
    // From the byte before the share: a token running into the share from there is an earlier
    // share's.
    const long long from = begin > start ? begin - 1 : begin;
    if (fseeko(f, from, SEEK_SET) != 0) return false;
    TextScanner s(f);
    if (begin > start) s.SkipTokenRest();
    return s.NumbersBeginningBefore(end - from, out);
}

bool ParseSharesOnThreads(const std::string& name, long long start, long long begin, long long end,
                          std::vector<std::vector<double>>* parts) {
    // A share smaller than this parses faster than a thread opens the file and starts on it.
    constexpr long long kShareBytes = 1 << 16;
    if (end < 0) {
        const FileHandle f = OpenFile(name, "rb");
        if (!f || fseeko(f.get(), 0, SEEK_END) != 0) return false;
        end = static_cast<long long>(ftello(f.get()));
    }
    if (begin < start || end < begin) return false;
    const long long span = end - begin;
    const int n = static_cast<int>(std::clamp<long long>(span / kShareBytes, 1, omp_get_max_threads()));
    parts->assign(static_cast<std::size_t>(n), {});
    const auto byteOf = [&](int i) { return begin + span / n * i + span % n * i / n; };
    int failed = 0;
#pragma omp parallel for schedule(static, 1) num_threads(n) reduction(+ : failed) if (n > 1)
    for (int i = 0; i < n; ++i) {
        std::vector<double>& part = (*parts)[static_cast<std::size_t>(i)];
        try {
            // A guess of the count (a value and its blank take several bytes); the part grows past it.
            part.reserve(static_cast<std::size_t>((byteOf(i + 1) - byteOf(i)) / 4 + 16));
            const FileHandle f = OpenFile(name, "rb");
            if (!f || !ParseByteShare(f.get(), start, byteOf(i), byteOf(i + 1), &part)) ++failed;
        } catch (...) {
            ++failed;
        }
    }
    return failed == 0;
}

namespace {
// Whitespace as IsSpace takes it (1, else 0), in a form the compiler turns into byte-wide vector
// comparisons.
inline unsigned char BlankBit(unsigned char c) {
    return static_cast<unsigned char>((c == ' ') | (static_cast<unsigned char>(c - 9) <= 4));
}
// 1 where a token begins at the second byte.
inline unsigned char StartBit(unsigned char before, unsigned char c) {
    return static_cast<unsigned char>(BlankBit(before) & (BlankBit(c) ^ 1));
}

// Reads bytes [from, to) of f into buf after one byte: the byte before from (a blank when from is
// start, so that a token there begins). False when the bytes could not all be read.
bool ReadWithPrevious(std::FILE* f, long long start, long long from, long long to, std::vector<unsigned char>* buf) {
    const std::size_t length = static_cast<std::size_t>(to - from);
    buf->resize(length + 1);
    (*buf)[0] = ' ';
    const long long at = from > start ? from - 1 : from;
    if (fseeko(f, at, SEEK_SET) != 0) return false;
    unsigned char* into = buf->data() + (from > start ? 0 : 1);
    const std::size_t want = length + (from > start ? 1 : 0);
    return std::fread(into, 1, want, f) == want;
}

// Token starts among bytes buf[1..length] (buf[0]: the byte before them).
long long CountStarts(const unsigned char* buf, std::size_t length) {
    // Summed in byte-wide runs (fewer than 256 starts each), which the vector units add 16 or 32
    // bytes at a time, without widening every byte.
    constexpr std::size_t kRun = 254;
    long long count = 0;
    for (std::size_t i = 1; i <= length;) {
        const std::size_t stop = std::min(length + 1, i + kRun);
        unsigned char run = 0;
        for (; i < stop; ++i) run = static_cast<unsigned char>(run + StartBit(buf[i - 1], buf[i]));
        count += run;
    }
    return count;
}
}  // namespace

bool SampleTokenStarts(const std::string& name, long long start, long long begin, long long end, int regions,
                       std::vector<double>* estimates) {
    estimates->assign(static_cast<std::size_t>(regions), 0.0);
    if (begin < start || end < begin || regions < 1) return false;
    const FileHandle f = OpenFile(name, "rb");
    if (!f) return false;
    const long long span = end - begin;
    std::vector<unsigned char> buf;
    for (int i = 0; i < regions; ++i) {
        const long long from = begin + span / regions * i + span % regions * i / regions;
        const long long to = begin + span / regions * (i + 1) + span % regions * (i + 1) / regions;
        if (to <= from) continue;
        const long long sample = std::max<long long>(1, (to - from) / 8);
        if (!ReadWithPrevious(f.get(), start, from, from + sample, &buf)) return false;
        (*estimates)[static_cast<std::size_t>(i)] =
            static_cast<double>(CountStarts(buf.data(), static_cast<std::size_t>(sample))) *
            static_cast<double>(to - from) / static_cast<double>(sample);
    }
    return true;
}

int AgreeOnError(int code, bool collective) {
    if (!collective) return code;
    int agreed = 0;
    MPI_Allreduce(&code, &agreed, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
    return agreed;
}

void ThrowAgreed(int code, bool collective) {
    const int agreed = AgreeOnError(code, collective);
    if (agreed != 0) throw ModelError(agreed);
}

void BroadcastText(std::string* text) {
    long long length = static_cast<long long>(text->size());
    MPI_Bcast(&length, 1, MPI_LONG_LONG, 0, MPI_COMM_WORLD);
    text->resize(static_cast<std::size_t>(length));
    if (length > 0) MPI_Bcast(text->data(), static_cast<int>(length), MPI_CHAR, 0, MPI_COMM_WORLD);
}

MpiFile::~MpiFile() {
    if (fh_ != MPI_FILE_NULL) MPI_File_close(&fh_);
}

int MpiFile::Open(const std::string& name, int mode) {
    return MPI_File_open(MPI_COMM_WORLD, name.c_str(), mode, MPI_INFO_NULL, &fh_);
}

int MpiFile::Close() {
    if (fh_ == MPI_FILE_NULL) return MPI_SUCCESS;
    return MPI_File_close(&fh_);
}

namespace {
void SleepBeforeRetry(int) { std::this_thread::sleep_for(std::chrono::milliseconds(200)); }
RetryWait g_retryWait = SleepBeforeRetry;
}  // namespace

void SetRetryWait(RetryWait wait) { g_retryWait = wait ? wait : SleepBeforeRetry; }
RetryWait GetRetryWait() { return g_retryWait; }

}  // namespace gridio
