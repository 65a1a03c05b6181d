#pragma once
// GIF images (87a/89a) read as grids: the pixel values are the colour indices (the colours
// themselves are never used). The image is decoded, resampled bilinearly onto the model grid
// and its indices are turned into values with two exponential ranges.
#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "kernel/matrix.hpp"

class modelobject;

// A decoding failure; its text becomes part of the "error reading GIF" message.
class GifError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class GifReader {
public:
    // Reads the file; a file that cannot be opened makes every later read fail.
    explicit GifReader(const std::string& fileName);
    // Decodes an image held in memory.
    explicit GifReader(std::vector<std::uint8_t> bytes);
    ~GifReader();
    GifReader(const GifReader&) = delete;
    GifReader& operator=(const GifReader&) = delete;

    // Width and height of the logical screen; throws GifError when the header cannot be read.
    void ReadHeader(int* width, int* height);
    // Decodes every image of the file into a matrix of height rows x width columns (1-based,
    // pixel (1, 1) top left); pixels outside the matrix are dropped, interlaced images are
    // put back into row order. Throws GifError.
    void ReadImage(Matrix& image);

    // Bilinear resampling of the image onto the target grid; cells outside the image take the
    // nearest border pixels, cells whose mask value is -9999 or less take the mask value.
    static void ToGrid(const Matrix& image, int imageFirstCol, int imageLastCol, int imageFirstRow,
                       int imageLastRow, Matrix& target, int firstCol, int lastCol, int firstRow, int lastRow,
                       const Matrix* mask, double imageXll, double imageYll, double imageCellsize, double xll,
                       double yll, double cellsize);
    // Index 0 stays 0, 1..split is a1 exp(b1 v), split..250 is a2 exp(b2 v), above 250 nodata.
    static void IndexToValue(Matrix& grid, int firstCol, int lastCol, int firstRow, int lastRow, int split,
                             double a1, double b1, double a2, double b2);

private:
    struct Frame {
        int left = 0, top = 0, width = 0, height = 0;
        bool interlaced = false;
        std::int64_t pixels() const { return static_cast<std::int64_t>(width) * height; }
    };

    std::uint8_t Byte();
    void Skip(std::size_t n);
    void ReadBytes(std::uint8_t* target, std::size_t n);
    void SkipSubBlocks();
    void SkipColourTable(std::uint8_t packed);
    void ReadSignatureAndScreen();
    void ReadExtension();
    void ReadFrame(Matrix& image);

    // LZW decoding of one image's data sub-blocks.
    void Decode(Matrix& image, const Frame& frame, int minCodeSize);
    void ResetCodeTable();
    int NextCode();
    void PutPixel(Matrix& image, const Frame& frame, std::uint8_t value);

    std::vector<std::uint8_t> bytes_;
    std::size_t pos_ = 0;
    bool opened_ = false;

    std::array<std::uint8_t, 6> signature_{};
    std::array<std::uint8_t, 7> screen_{};
    std::array<std::uint8_t, 9> descriptor_{};

    // Code table: each entry is a prefix code plus one byte; firstByte_ is the first byte of
    // the whole string, so the table never has to be walked to find it.
    static constexpr int kMaxCodes = 4096;
    std::vector<std::uint16_t> prefix_;
    std::vector<std::uint8_t> suffix_;
    std::vector<std::uint8_t> firstByte_;
    std::vector<std::uint8_t> stringStack_;
    int minCodeSize_ = 0, clearCode_ = 0, endCode_ = 0, nextCode_ = 0;
    int codeSize_ = 0;  // bits per code, at most 12
    std::uint32_t bitBuffer_ = 0;
    int bitCount_ = 0;
    std::size_t blockLeft_ = 0;
    bool dataEnded_ = false;

    // Pixel placement of the current image.
    std::vector<int> rowOrder_;
    std::int64_t pixel_ = 0;
    int frameCol_ = 0, frameRow_ = 0;
};

// Reads the GIF file `fileName` into `grid` for `obj` (on the process that reads whole grids):
// the image is georeferenced by the object's reference values (SetReferenceValues), masked by
// its reference mask, resampled onto the object's grid (rows 1..nrows, columns 1..ncols, rows
// the grid does not hold are skipped) and converted with the object's GIF conversion
// parameters (SetGifConversion). Any failure is logged as
// "FATAL: error reading GIF <fileName> (<text>)" and thrown as ModelError(22).
void ReadGifGrid(modelobject& obj, const std::string& fileName, Matrix& grid);
