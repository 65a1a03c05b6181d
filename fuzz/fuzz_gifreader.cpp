// Arbitrary bytes through the GIF decoder, then through the resampling and the index
// conversion. Screens of any size are decoded into a matrix of at most 64 x 64 pixels, so
// the bounds of every pixel write are what is exercised, not the allocator.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "kernel/gifreader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    GifReader reader(std::vector<std::uint8_t>(data, data + size));
    int width = 0, height = 0;
    try {
        reader.ReadHeader(&width, &height);
    } catch (const GifError&) {
        width = height = 1;
    }
    const int w = std::clamp(width, 1, 64), h = std::clamp(height, 1, 64);
    memory_handling mem;
    Matrix image = mem.matrix(1, h, 1, w, h);
    try {
        reader.ReadImage(image);
    } catch (const GifError&) {
        return 0;
    }
    Matrix grid = mem.matrix(1, 8, 1, 8, 8);
    GifReader::ToGrid(image, 1, w, 1, h, grid, 1, 8, 1, 8, nullptr, 0.0, 0.0, 1.5, -3.0, -2.0, 2.0);
    GifReader::IndexToValue(grid, 1, 8, 1, 8, 100, 0.5, 0.02, 1.0, 0.01);
    return 0;
}
