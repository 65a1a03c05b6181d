// GIF images as grids: decoding (LZW, interlacing, extensions, damaged files), bilinear
// resampling, the index conversion and the grid reader's entry point.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "gif_encoder.hpp"
#include "kernel/gifreader.hpp"
#include "kernel_fixture.hpp"

namespace {
using gif_test::Bytes;
using gif_test::GifOptions;

// Deterministic pixels: 0 noise (worst case for LZW), 1 smooth ramps, 2 one colour.
Bytes Pixels(int w, int h, int kind, int colours) {
    Bytes px(static_cast<std::size_t>(w) * h);
    std::uint32_t state = 12345;
    for (int r = 0; r < h; ++r) {
        for (int c = 0; c < w; ++c) {
            int v = 0;
            if (kind == 0) {
                state = state * 1664525u + 1013904223u;
                v = static_cast<int>(state >> 24);
            } else if (kind == 1) {
                v = (r / 3 + c / 5) * 7;
            } else {
                v = 3;
            }
            px[static_cast<std::size_t>(r) * w + c] = static_cast<std::uint8_t>(v % colours);
        }
    }
    return px;
}

Matrix Decode(const Bytes& gif, int* w, int* h) {
    GifReader reader(gif);
    reader.ReadHeader(w, h);
    memory_handling mem;
    Matrix m = mem.matrix(1, *h, 1, *w, *h);
    reader.ReadImage(m);
    return m;
}

// The text of the GifError the image raises, or "" when it decodes.
std::string DecodeError(const Bytes& gif, int w = 8, int h = 8) {
    try {
        GifReader reader(gif);
        memory_handling mem;
        Matrix m = mem.matrix(1, h, 1, w, h);
        reader.ReadImage(m);
    } catch (const GifError& e) {
        return e.what();
    }
    return "";
}

void ExpectPixels(const Matrix& m, const Bytes& px, int w, int h) {
    for (int r = 1; r <= h; ++r)
        for (int c = 1; c <= w; ++c)
            ASSERT_EQ(m[r][c], px[static_cast<std::size_t>(r - 1) * w + (c - 1)]) << "pixel " << r << "/" << c;
}
}  // namespace

TEST(GifReader, DecodesEveryCodeWidthAndFullTables) {
    struct Case {
        int w, h, kind, minCodeSize;
        bool clearWhenFull;
    };
    // Noise of 100 x 90 pixels fills the 4096-entry table more than once.
    const Case cases[] = {{1, 1, 2, 2, true},    {7, 3, 0, 2, true},     {13, 11, 1, 3, true},
                          {100, 90, 0, 8, true}, {100, 90, 0, 8, false}, {300, 200, 1, 8, true},
                          {64, 64, 0, 4, true},  {64, 64, 0, 4, false},  {500, 3, 2, 8, true}};
    for (const Case& k : cases) {
        SCOPED_TRACE(testing::Message() << k.w << "x" << k.h << " kind " << k.kind << " code size " << k.minCodeSize
                                        << (k.clearWhenFull ? "" : " deferred clear"));
        const Bytes px = Pixels(k.w, k.h, k.kind, 1 << k.minCodeSize);
        GifOptions o;
        o.minCodeSize = k.minCodeSize;
        o.clearWhenFull = k.clearWhenFull;
        int w = 0, h = 0;
        const Matrix m = Decode(gif_test::Encode(k.w, k.h, px, o), &w, &h);
        EXPECT_EQ(w, k.w);
        EXPECT_EQ(h, k.h);
        ExpectPixels(m, px, k.w, k.h);
    }
}

TEST(GifReader, PutsInterlacedRowsBackInOrder) {
    for (int h : {1, 2, 3, 5, 8, 9, 17, 33}) {
        SCOPED_TRACE(h);
        const Bytes px = Pixels(6, h, 1, 256);
        GifOptions o;
        o.interlaced = true;
        int w = 0, hh = 0;
        ExpectPixels(Decode(gif_test::Encode(6, h, px, o), &w, &hh), px, 6, h);
    }
}

TEST(GifReader, SkipsExtensionsAndColourTables) {
    const Bytes px = Pixels(9, 7, 1, 128);
    GifOptions plain;
    plain.globalTable = false;
    plain.gif87 = true;
    GifOptions decorated;
    decorated.localTable = true;
    decorated.tableBits = 2;
    decorated.blocksBefore = {gif_test::CommentExtension(std::string(300, 'c')), gif_test::ApplicationExtension(),
                              gif_test::PlainTextExtension(), gif_test::GraphicsControl()};
    int w = 0, h = 0;
    const Matrix a = Decode(gif_test::Encode(9, 7, px, plain), &w, &h);
    const Matrix b = Decode(gif_test::Encode(9, 7, px, decorated), &w, &h);
    ExpectPixels(a, px, 9, 7);
    ExpectPixels(b, px, 9, 7);
}

TEST(GifReader, ExtensionErrorsCarryTheirTexts) {
    const Bytes px = Pixels(4, 4, 1, 4);
    GifOptions o;
    o.blocksBefore = {gif_test::Extension(0x02, "x")};
    EXPECT_EQ(DecodeError(gif_test::Encode(4, 4, px, o)), "invalid extension type ID \"0x2\" found");
    o.blocksBefore = {gif_test::Extension(0xAB, "x")};
    EXPECT_EQ(DecodeError(gif_test::Encode(4, 4, px, o)), "invalid extension type ID \"0xAB\" found");
    o.blocksBefore = {gif_test::GraphicsControl(false)};
    EXPECT_EQ(DecodeError(gif_test::Encode(4, 4, px, o)),
              "Graphics COntrol extension found, but block end not found as 0x00 after 4 bytes");
}

TEST(GifReader, RefusesDamagedFiles) {
    const Bytes px = Pixels(20, 20, 0, 256);
    const Bytes good = gif_test::Encode(20, 20, px);
    // Every cut of the file short of its trailer fails with a text, none reads out of bounds.
    for (std::size_t n = 0; n + 1 < good.size(); ++n) {
        const Bytes cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n));
        EXPECT_NE(DecodeError(cut, 20, 20), "") << "cut at " << n;
    }
    // Only the trailer missing: the image is complete.
    EXPECT_EQ(DecodeError(Bytes(good.begin(), good.end() - 1), 20, 20), "");

    Bytes notGif = good;
    notGif[4] = '8';
    EXPECT_EQ(DecodeError(notGif), "not a GIF87a or GIF89a file");

    GifOptions o;
    o.globalTable = false;
    Bytes unknown = gif_test::Encode(4, 4, Pixels(4, 4, 1, 4), o);
    unknown.insert(unknown.begin() + 13, 0x99);
    EXPECT_EQ(DecodeError(unknown), "unknown block type 0x99 found");

    Bytes trailerOnly = gif_test::Encode(4, 4, Pixels(4, 4, 1, 4), o);
    trailerOnly.resize(13);
    trailerOnly.push_back(0x3B);
    EXPECT_EQ(DecodeError(trailerOnly), "no image found");

    o.minCodeSize = 9;
    EXPECT_EQ(DecodeError(gif_test::Encode(4, 4, Pixels(4, 4, 1, 4), o)), "invalid LZW minimum code size 9");

    // A screen without pixels is refused before anything is allocated for it.
    int w = -1, h = -1;
    GifReader empty(Bytes{'G', 'I', 'F', '8', '9', 'a', 0, 0, 5, 0, 0, 0, 0});
    EXPECT_THROW(empty.ReadHeader(&w, &h), GifError);
}

TEST(GifReader, RefusesInvalidCodesAndShortImages) {
    // Screen 4 x 4, no tables, minimum code size 2: clear (4), then code 7 before the table
    // holds it.
    Bytes head{'G', 'I', 'F', '8', '9', 'a', 4, 0, 4, 0, 0, 0, 0, 0x2C, 0, 0, 0, 0, 4, 0, 4, 0, 0, 2};
    auto image = [&](const Bytes& data) {
        Bytes gif = head;
        gif_test::PutSubBlocks(gif, data, 255);
        gif.push_back(0x3B);
        return DecodeError(gif, 4, 4);
    };
    auto codes = [](std::initializer_list<int> list) {
        gif_test::BitWriter bits;
        for (int code : list) bits.Put(code, 3);
        return bits.Finish();
    };
    EXPECT_EQ(image(codes({4, 1, 7})), "invalid LZW code 7");
    // The first code after a clear code must be a literal.
    EXPECT_EQ(image(codes({4, 6})), "invalid LZW code 6");
    // A frame of 4 x 4 whose data end after 10 pixels.
    EXPECT_EQ(image(gif_test::LzwEncode(Pixels(10, 1, 1, 4), 2)), "image data ends after 10 of 16 pixels");
    // Sub-blocks that end without an end code, here at once.
    EXPECT_EQ(image(Bytes{}), "image data ends after 0 of 16 pixels");
}

TEST(GifReader, DropsPixelsOutsideTheMatrix) {
    // A 6 x 6 frame at column 2, row 3 of a 5 x 5 screen; the part outside is dropped.
    const Bytes px = Pixels(6, 6, 1, 256);
    GifOptions o;
    o.left = 2;
    o.top = 3;
    o.frameWidth = 6;
    o.frameHeight = 6;
    int w = 0, h = 0;
    const Matrix m = Decode(gif_test::Encode(5, 5, px, o), &w, &h);
    for (int r = 1; r <= 5; ++r) {
        for (int c = 1; c <= 5; ++c) {
            const double expected = (r > 3 && c > 2) ? px[static_cast<std::size_t>(r - 4) * 6 + (c - 3)] : 0.0;
            EXPECT_EQ(m[r][c], expected) << r << "/" << c;
        }
    }
    // A matrix smaller than the screen takes what fits.
    GifReader reader(gif_test::Encode(30, 20, Pixels(30, 20, 0, 256)));
    memory_handling mem;
    Matrix small = mem.matrix(1, 3, 1, 4, 3);
    reader.ReadImage(small);
    EXPECT_EQ(small.rowCount(), 3);
}

namespace {
// An image of h rows and w columns whose pixel (r, c) is 10 r + c.
Matrix RampImage(memory_handling& mem, int w, int h) {
    Matrix image = mem.matrix(1, h, 1, w, h);
    for (int r = 1; r <= h; ++r)
        for (int c = 1; c <= w; ++c) image[r][c] = 10 * r + c;
    return image;
}
}  // namespace

TEST(GifToGrid, SamplesPixelsAtTheCellCorners) {
    memory_handling mem;
    const Matrix image = RampImage(mem, 4, 3);
    Matrix grid = mem.matrix(1, 3, 1, 4, 3);
    // The image sits half a cell south-west of the model grid: each cell's lower-left corner is a
    // pixel centre, so the pixels come through unchanged.
    GifReader::ToGrid(image, 1, 4, 1, 3, grid, 1, 4, 1, 3, nullptr, 99.5, 199.5, 1.0, 100.0, 200.0, 1.0);
    for (int r = 1; r <= 3; ++r)
        for (int c = 1; c <= 4; ++c) EXPECT_DOUBLE_EQ(grid[r][c], 10 * r + c) << r << "/" << c;

    // Shifted by half a pixel in x and a quarter in y: bilinear weights.
    GifReader::ToGrid(image, 1, 4, 1, 3, grid, 1, 3, 1, 2, nullptr, 99.0, 199.25, 1.0, 100.0, 200.0, 1.0);
    // Cell (2, 1): x = 100, y = 200; column 1 and 2 half each; row 3 at 3/4, row 2 at 1/4.
    EXPECT_DOUBLE_EQ(grid[2][1], 0.75 * (31 + 32) / 2 + 0.25 * (21 + 22) / 2);
}

TEST(GifToGrid, ClampsToTheBorderAndHonoursNodataAndMask) {
    memory_handling mem;
    Matrix image = RampImage(mem, 3, 3);
    Matrix grid = mem.matrix(1, 2, 1, 3, 2);
    // Model cells far east and north of a 3 x 3 image at (0, 0) with cell size 1.
    GifReader::ToGrid(image, 1, 3, 1, 3, grid, 1, 3, 1, 2, nullptr, 0.0, 0.0, 1.0, 50.0, 70.0, 1.0);
    EXPECT_DOUBLE_EQ(grid[1][1], 13);  // top-right pixel
    GifReader::ToGrid(image, 1, 3, 1, 3, grid, 1, 3, 1, 2, nullptr, 0.0, 0.0, 1.0, -50.0, -70.0, 1.0);
    EXPECT_DOUBLE_EQ(grid[2][3], 31);  // bottom-left pixel

    image[3][1] = -9999.0;
    Matrix mask = mem.matrix(1, 2, 1, 3, 2);
    mask[1][2] = -9999.5;
    GifReader::ToGrid(image, 1, 3, 1, 3, grid, 1, 3, 1, 2, &mask, 0.0, 0.0, 1.0, -50.0, -70.0, 1.0);
    EXPECT_DOUBLE_EQ(grid[2][3], -9999.0);
    EXPECT_DOUBLE_EQ(grid[1][2], -9999.5);
    EXPECT_DOUBLE_EQ(grid[1][1], -9999.0);
}

TEST(GifIndexToValue, TwoExponentialRanges) {
    memory_handling mem;
    Matrix grid = mem.matrix(1, 1, 1, 8, 1);
    const double in[] = {0, 1, 10, 10.5, 250, 251, 255, -9999};
    for (int c = 1; c <= 8; ++c) grid[1][c] = in[c - 1];
    GifReader::IndexToValue(grid, 1, 8, 1, 1, 10, 2.0, 0.1, 3.0, 0.01);
    const double want[] = {0, 2 * std::exp(0.1), 2 * std::exp(1.0), 3 * std::exp(0.105), 3 * std::exp(2.5), -9999,
                           -9999, -9999};
    for (int c = 1; c <= 8; ++c) EXPECT_DOUBLE_EQ(grid[1][c], want[c - 1]) << c;

    grid[1][5] = 250;
    GifReader::IndexToValue(grid, 5, 5, 1, 1, 250, 2.0, 0.1, 3.0, 0.01);
    EXPECT_DOUBLE_EQ(grid[1][5], 2.0 * std::exp(25.0));
}

class GifGridTest : public talvo_test::KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        obj_ = MakeObject(4, 3);
        obj_->xllcorner = 1000;
        obj_->yllcorner = 2000;
        obj_->cellsize = 100;
    }
    // Reads name_ and returns the error code (0 when read).
    int Read(Matrix& grid) {
        return talvo_test::ErrorCode([&] { ReadGifGrid(*obj_, name_, grid); });
    }
    const std::string name_ = "image_" + std::to_string(talvo_test::Rank()) + ".gif";
};

TEST_F(GifGridTest, ReadsAConvertedGridForAModelObject) {
    // Pixels 0..250 and above: the image matches the model grid half a cell south-west.
    const Bytes px{0, 1, 2, 3, 100, 200, 250, 251, 7, 8, 9, 255};
    gif_test::WriteBytes(name_, gif_test::Encode(4, 3, px));
    obj_->SetReferenceValues(950, 1950, 100, nullptr);
    obj_->SetGifConversion(100, 1.0, 0.01, 2.0, 0.001);
    Matrix grid = obj_->matrix(1, 3, 1, 4, 3);
    ASSERT_EQ(Read(grid), 0) << Console();
    for (int r = 1; r <= 3; ++r) {
        for (int c = 1; c <= 4; ++c) {
            const double v = px[static_cast<std::size_t>(r - 1) * 4 + (c - 1)];
            const double expected = v == 0 ? 0 : v <= 100 ? std::exp(0.01 * v) : v <= 250 ? 2.0 * std::exp(0.001 * v)
                                                                                           : -9999.0;
            EXPECT_DOUBLE_EQ(grid[r][c], expected) << r << "/" << c;
        }
    }
}

TEST_F(GifGridTest, FailuresAreLoggedAndThrownAs22) {
    obj_->SetReferenceValues(950, 1950, 100, nullptr);
    Matrix grid = obj_->matrix(1, 3, 1, 4, 3);
    EXPECT_EQ(Read(grid), 22);
    EXPECT_NE(Console().find("error reading GIF " + name_ + " (file cannot be opened)\n"), std::string::npos)
        << Console();

    GifOptions o;
    o.blocksBefore = {gif_test::Extension(0x02, "")};
    gif_test::WriteBytes(name_, gif_test::Encode(4, 3, Bytes(12, 1), o));
    EXPECT_EQ(Read(grid), 22);
    EXPECT_NE(Console().find("error reading GIF " + name_ + " (invalid extension type ID \"0x2\" found)\n"),
              std::string::npos)
        << Console();
    log_->Close();
    const std::string xml = talvo_test::ReadFile(log_->FileName());
    EXPECT_NE(xml.find("<line level=\"0\" description= \"error reading GIF " + name_), std::string::npos) << xml;

    // Without a georeference the image cannot be placed.
    gif_test::WriteBytes(name_, gif_test::Encode(4, 3, Bytes(12, 1)));
    obj_->SetReferenceValues(0, 0, 0, nullptr);
    EXPECT_EQ(Read(grid), 22);
}
