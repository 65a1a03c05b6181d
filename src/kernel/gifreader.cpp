#include "kernel/gifreader.hpp"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>

#include "kernel/controlfile.hpp"
#include "kernel/modelobject.hpp"

namespace {
constexpr std::uint8_t kExtensionIntroducer = 0x21;
constexpr std::uint8_t kImageSeparator = 0x2C;
constexpr std::uint8_t kTrailer = 0x3B;
constexpr double kNodata = -9999.0;
constexpr int kMaxCodeSize = 12;

// Image rows of an interlaced image in the order they are stored: every 8th row from row 0,
// every 8th from row 4, every 4th from row 2, then every 2nd from row 1.
std::vector<int> InterlacedRowOrder(int height) {
    std::vector<int> order;
    order.reserve(static_cast<std::size_t>(height));
    constexpr int kStart[] = {0, 4, 2, 1};
    constexpr int kStep[] = {8, 8, 4, 2};
    for (int pass = 0; pass < 4; ++pass)
        for (int r = kStart[pass]; r < height; r += kStep[pass]) order.push_back(r);
    return order;
}

int Clamp(double v, int lo, int hi) {
    if (!(v >= lo)) return lo;
    if (v > hi) return hi;
    return static_cast<int>(v);
}
}  // namespace

GifReader::GifReader(const std::string& fileName) {
    std::ifstream in(fileName, std::ios::binary);
    if (!in.is_open()) return;
    bytes_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    opened_ = true;
}

GifReader::GifReader(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)), opened_(true) {}

GifReader::~GifReader() = default;

std::uint8_t GifReader::Byte() {
    if (pos_ >= bytes_.size()) throw GifError("unexpected end of file");
    return bytes_[pos_++];
}

void GifReader::Skip(std::size_t n) {
    if (n > bytes_.size() - pos_) throw GifError("unexpected end of file");
    pos_ += n;
}

void GifReader::ReadBytes(std::uint8_t* target, std::size_t n) {
    if (n > bytes_.size() - pos_) throw GifError("unexpected end of file");
    std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(pos_), n, target);
    pos_ += n;
}

void GifReader::SkipSubBlocks() {
    for (std::uint8_t size = Byte(); size != 0; size = Byte()) Skip(size);
}

void GifReader::SkipColourTable(std::uint8_t packed) {
    if (packed & 0x80) Skip(3u * (2u << (packed & 0x07)));
}

void GifReader::ReadSignatureAndScreen() {
    if (!opened_) throw GifError("file cannot be opened");
    pos_ = 0;
    ReadBytes(signature_.data(), signature_.size());
    ReadBytes(screen_.data(), screen_.size());
    const std::string sig(signature_.begin(), signature_.end());
    if (sig != "GIF87a" && sig != "GIF89a") throw GifError("not a GIF87a or GIF89a file");
}

void GifReader::ReadHeader(int* width, int* height) {
    ReadSignatureAndScreen();
    *width = screen_[0] | (screen_[1] << 8);
    *height = screen_[2] | (screen_[3] << 8);
    // The file is not needed any more: ReadImage starts again from the signature.
    pos_ = 0;
    if (*width == 0 || *height == 0) throw GifError(StrFormat("image has no pixels (%d x %d)", *width, *height));
}

void GifReader::ReadImage(Matrix& image) {
    ReadSignatureAndScreen();
    SkipColourTable(screen_[4]);
    bool imageRead = false;
    for (;;) {
        // A file that ends after a complete image only lacks its trailer.
        if (pos_ >= bytes_.size() && imageRead) break;
        const std::uint8_t introducer = Byte();
        if (introducer == kTrailer) break;
        if (introducer == kExtensionIntroducer) {
            ReadExtension();
        } else if (introducer == kImageSeparator) {
            ReadFrame(image);
            imageRead = true;
        } else {
            throw GifError(StrFormat("unknown block type 0x%X found", introducer));
        }
    }
    if (!imageRead) throw GifError("no image found");
}

void GifReader::ReadExtension() {
    const std::uint8_t label = Byte();
    switch (label) {
        case 0x01:  // plain text
        case 0xFE:  // comment
        case 0xFF:  // application
            SkipSubBlocks();
            return;
        case 0xF9: {  // graphics control: one block of the given size, then the terminator
            const std::uint8_t size = Byte();
            Skip(size);
            if (Byte() != 0x00)
                throw GifError(StrFormat(
                    "Graphics COntrol extension found, but block end not found as 0x00 after %d bytes", size));
            return;
        }
        default:
            throw GifError(StrFormat("invalid extension type ID \"0x%X\" found", label));
    }
}

void GifReader::ReadFrame(Matrix& image) {
    ReadBytes(descriptor_.data(), descriptor_.size());
    Frame frame;
    frame.left = descriptor_[0] | (descriptor_[1] << 8);
    frame.top = descriptor_[2] | (descriptor_[3] << 8);
    frame.width = descriptor_[4] | (descriptor_[5] << 8);
    frame.height = descriptor_[6] | (descriptor_[7] << 8);
    frame.interlaced = (descriptor_[8] & 0x40) != 0;
    SkipColourTable(descriptor_[8]);
    const int minCodeSize = Byte();
    Decode(image, frame, minCodeSize);
}

void GifReader::ResetCodeTable() {
    nextCode_ = endCode_ + 1;
    codeSize_ = minCodeSize_ + 1;
}

int GifReader::NextCode() {
    while (bitCount_ < codeSize_) {
        if (blockLeft_ == 0) {
            if (dataEnded_) return -1;
            blockLeft_ = Byte();
            if (blockLeft_ == 0) {
                dataEnded_ = true;
                return -1;
            }
        }
        bitBuffer_ |= static_cast<std::uint32_t>(Byte()) << bitCount_;
        bitCount_ += 8;
        --blockLeft_;
    }
    const int code = static_cast<int>(bitBuffer_ & ((1u << codeSize_) - 1));
    bitBuffer_ >>= codeSize_;
    bitCount_ -= codeSize_;
    return code;
}

void GifReader::PutPixel(Matrix& image, const Frame& frame, std::uint8_t value) {
    if (pixel_ >= frame.pixels()) return;
    const int frameRow = frame.interlaced ? rowOrder_[static_cast<std::size_t>(frameRow_)] : frameRow_;
    const int row = frame.top + frameRow + 1;
    const int col = frame.left + frameCol_ + 1;
    if (row <= image.rowCount() && col <= image.ncols() && image.holds(row)) image[row][col] = value;
    ++pixel_;
    if (++frameCol_ == frame.width) {
        frameCol_ = 0;
        ++frameRow_;
    }
}

void GifReader::Decode(Matrix& image, const Frame& frame, int minCodeSize) {
    // Literal codes are byte values; below 2 the code width could not grow in step with the table.
    if (minCodeSize < 2 || minCodeSize > 8)
        throw GifError(StrFormat("invalid LZW minimum code size %d", minCodeSize));
    minCodeSize_ = minCodeSize;
    clearCode_ = 1 << minCodeSize;
    endCode_ = clearCode_ + 1;
    prefix_.assign(kMaxCodes, 0);
    suffix_.assign(kMaxCodes, 0);
    firstByte_.assign(kMaxCodes, 0);
    stringStack_.assign(kMaxCodes + 1, 0);
    for (int i = 0; i < clearCode_; ++i) suffix_[i] = firstByte_[i] = static_cast<std::uint8_t>(i);
    ResetCodeTable();

    // An interlaced image sends its rows in four passes; they are put back in image order, as
    // rows stored in the order of the stream would scramble the grid.
    rowOrder_ = frame.interlaced ? InterlacedRowOrder(frame.height) : std::vector<int>();
    pixel_ = 0;
    frameCol_ = frameRow_ = 0;
    bitBuffer_ = 0;
    bitCount_ = 0;
    blockLeft_ = 0;
    dataEnded_ = false;

    int previous = -1;
    for (;;) {
        const int code = NextCode();
        if (code < 0 || code == endCode_) break;
        if (code == clearCode_) {
            ResetCodeTable();
            previous = -1;
            continue;
        }
        if (previous < 0) {
            // The first code after a clear code has nothing to extend: it must be a literal.
            if (code > clearCode_) throw GifError(StrFormat("invalid LZW code %d", code));
        } else {
            if (code > nextCode_ || (code == nextCode_ && nextCode_ >= kMaxCodes))
                throw GifError(StrFormat("invalid LZW code %d", code));
            if (nextCode_ < kMaxCodes) {
                // A code not yet in the table stands for the previous string plus its own first byte.
                const std::uint8_t first = code < nextCode_ ? firstByte_[code] : firstByte_[previous];
                prefix_[nextCode_] = static_cast<std::uint16_t>(previous);
                suffix_[nextCode_] = first;
                firstByte_[nextCode_] = firstByte_[previous];
                ++nextCode_;
                if (nextCode_ == (1 << codeSize_) && codeSize_ < kMaxCodeSize) ++codeSize_;
            }
        }
        // Walk the string back to its literal, then give it out from the front.
        std::size_t depth = 0;
        int c = code;
        while (c > endCode_) {
            stringStack_[depth++] = suffix_[c];
            c = prefix_[c];
        }
        stringStack_[depth++] = static_cast<std::uint8_t>(c);
        while (depth > 0) PutPixel(image, frame, stringStack_[--depth]);
        previous = code;
    }
    // Whatever follows the end code up to the block terminator carries no pixels.
    if (!dataEnded_) {
        Skip(blockLeft_);
        SkipSubBlocks();
    }
    if (pixel_ < frame.pixels())
        throw GifError(StrFormat("image data ends after %lld of %lld pixels", static_cast<long long>(pixel_),
                                 static_cast<long long>(frame.pixels())));
}

void GifReader::ToGrid(const Matrix& image, int imageFirstCol, int imageLastCol, int imageFirstRow,
                       int imageLastRow, Matrix& target, int firstCol, int lastCol, int firstRow, int lastRow,
                       const Matrix* mask, double imageXll, double imageYll, double imageCellsize, double xll,
                       double yll, double cellsize) {
    imageLastCol = std::min(imageLastCol, image.ncols());
    const int height = imageLastRow;
    for (int row = lastRow; row >= firstRow; --row) {
        if (!target.holds(row)) continue;
        const double y = yll + (lastRow - row) * cellsize;
        const bool masked = mask && mask->holds(row);
        // Image row r holds y between the centres of rows r and r - 1 (north of r).
        const double k = std::floor((y - (imageYll + 0.5 * imageCellsize)) / imageCellsize);
        const double r = height - k;
        const int r0 = Clamp(r, imageFirstRow, imageLastRow);
        const int r1 = Clamp(r - 1, imageFirstRow, imageLastRow);
        const double fy = (y - (imageYll + (k + 0.5) * imageCellsize)) / imageCellsize;
        const double* p0 = image.holds(r0) ? image[r0] : nullptr;
        const double* p1 = image.holds(r1) ? image[r1] : nullptr;
        for (int col = firstCol; col <= std::min(lastCol, target.ncols()); ++col) {
            if (masked && col <= mask->ncols() && (*mask)[row][col] <= kNodata) {
                target[row][col] = (*mask)[row][col];
                continue;
            }
            if (!p0 || !p1) {
                target[row][col] = kNodata;
                continue;
            }
            const double x = xll + (col - 1) * cellsize;
            const double j = std::floor((x - (imageXll + 0.5 * imageCellsize)) / imageCellsize);
            const double c = 1 + j;
            const int c0 = Clamp(c, imageFirstCol, imageLastCol);
            const int c1 = Clamp(c + 1, imageFirstCol, imageLastCol);
            const double a = p0[c0], b = p0[c1], n0 = p1[c0], n1 = p1[c1];
            if (a <= kNodata || b <= kNodata || n0 <= kNodata || n1 <= kNodata) {
                target[row][col] = kNodata;
                continue;
            }
            const double fx = (x - (imageXll + (j + 0.5) * imageCellsize)) / imageCellsize;
            target[row][col] = (1 - fx) * (1 - fy) * a + fx * (1 - fy) * b + (1 - fx) * fy * n0 + fx * fy * n1;
        }
    }
}

void GifReader::IndexToValue(Matrix& grid, int firstCol, int lastCol, int firstRow, int lastRow, int split,
                             double a1, double b1, double a2, double b2) {
    for (int row = firstRow; row <= lastRow; ++row) {
        if (!grid.holds(row)) continue;
        double* values = grid[row];
        for (int col = firstCol; col <= std::min(lastCol, grid.ncols()); ++col) {
            const double v = values[col];
            if (!(v > kNodata) || v == 0) continue;
            if (v <= split)
                values[col] = a1 * std::exp(b1 * v);
            else if (v <= 250)
                values[col] = a2 * std::exp(b2 * v);
            else
                values[col] = kNodata;
        }
    }
}

void ReadGifGrid(modelobject& obj, const std::string& fileName, Matrix& grid) {
    try {
        if (!(obj.refCellsize > 0)) throw GifError("no georeference set for GIF images");
        GifReader reader(fileName);
        int width = 0, height = 0;
        reader.ReadHeader(&width, &height);
        Matrix image = obj.matrix(1, height, 1, width, height);
        reader.ReadImage(image);
        GifReader::ToGrid(image, 1, width, 1, height, grid, 1, obj.ncols, 1, obj.nrows, obj.refMask, obj.refX,
                          obj.refY, obj.refCellsize, obj.xllcorner, obj.yllcorner, obj.cellsize);
        GifReader::IndexToValue(grid, 1, obj.ncols, 1, obj.nrows, obj.gifSplit, obj.gifA1, obj.gifB1, obj.gifA2,
                                obj.gifB2);
    } catch (const GifError& e) {
        if (obj.log)
            *obj.log << "FATAL: error reading GIF " << fileName << " (" << std::string(e.what()) << ")"
                     << "[end-entry]";
        throw ModelError(22);
    }
}

void modelobject::SetGifConversion(int split, double a1, double b1, double a2, double b2) {
    gifSplit = split;
    gifA1 = a1;
    gifB1 = b1;
    gifA2 = a2;
    gifB2 = b2;
}
