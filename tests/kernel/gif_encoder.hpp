#pragma once
// A small GIF writer for the tests and the fuzz seeds: LZW compression with code sizes growing
// to 12 bits, a clear code when the table is full (or, optionally, a full table kept as it is),
// interlacing, colour tables and extension blocks.
#include <cstdint>
#include <fstream>
#include <string>
#include <unordered_map>
#include <vector>

namespace gif_test {

using Bytes = std::vector<std::uint8_t>;

struct GifOptions {
    int minCodeSize = 8;
    bool gif87 = false;
    bool globalTable = true;
    int tableBits = 7;  // a colour table holds 2^(tableBits+1) entries
    bool localTable = false;
    bool interlaced = false;
    bool clearWhenFull = true;
    bool trailer = true;
    int subBlockSize = 255;
    // Raw blocks written between the colour table and the image (extensions).
    std::vector<Bytes> blocksBefore;
    // Frame placement; width and height 0 mean the whole screen.
    int left = 0, top = 0, frameWidth = 0, frameHeight = 0;
};

class BitWriter {
public:
    void Put(int code, int bits) {
        buffer_ |= static_cast<std::uint32_t>(code) << count_;
        count_ += bits;
        while (count_ >= 8) {
            out_.push_back(static_cast<std::uint8_t>(buffer_ & 0xFF));
            buffer_ >>= 8;
            count_ -= 8;
        }
    }
    Bytes Finish() {
        if (count_ > 0) out_.push_back(static_cast<std::uint8_t>(buffer_ & 0xFF));
        buffer_ = 0;
        count_ = 0;
        return out_;
    }

private:
    Bytes out_;
    std::uint32_t buffer_ = 0;
    int count_ = 0;
};

// LZW code stream of the pixels (not yet cut into sub-blocks).
inline Bytes LzwEncode(const Bytes& pixels, int minCodeSize, bool clearWhenFull = true) {
    const int clear = 1 << minCodeSize;
    const int end = clear + 1;
    int next = end + 1;
    int codeSize = minCodeSize + 1;
    int codesSinceClear = 0;
    std::unordered_map<int, int> table;
    BitWriter bits;
    bits.Put(clear, codeSize);
    int prefix = -1;
    for (std::uint8_t p : pixels) {
        if (prefix < 0) {
            prefix = p;
            continue;
        }
        const int key = (prefix << 8) | p;
        auto it = table.find(key);
        if (it != table.end()) {
            prefix = it->second;
            continue;
        }
        bits.Put(prefix, codeSize);
        ++codesSinceClear;
        if (next < 4096) {
            table[key] = next++;
            if (next > (1 << codeSize) && codeSize < 12) ++codeSize;
        }
        if (next == 4096 && clearWhenFull) {
            bits.Put(clear, codeSize);
            table.clear();
            next = end + 1;
            codeSize = minCodeSize + 1;
            codesSinceClear = 0;
        }
        prefix = p;
    }
    if (prefix >= 0) {
        bits.Put(prefix, codeSize);
        ++codesSinceClear;
        // The reader adds one more entry after this code (unless it is the first after a clear)
        // and may widen its codes with it.
        if (codesSinceClear >= 2 && next == (1 << codeSize) && codeSize < 12) ++codeSize;
    }
    bits.Put(end, codeSize);
    return bits.Finish();
}

inline void Put16(Bytes& out, int v) {
    out.push_back(static_cast<std::uint8_t>(v & 0xFF));
    out.push_back(static_cast<std::uint8_t>((v >> 8) & 0xFF));
}

inline void PutSubBlocks(Bytes& out, const Bytes& data, int blockSize) {
    for (std::size_t i = 0; i < data.size(); i += static_cast<std::size_t>(blockSize)) {
        const std::size_t n = std::min(data.size() - i, static_cast<std::size_t>(blockSize));
        out.push_back(static_cast<std::uint8_t>(n));
        out.insert(out.end(), data.begin() + static_cast<std::ptrdiff_t>(i),
                   data.begin() + static_cast<std::ptrdiff_t>(i + n));
    }
    out.push_back(0);
}

inline void PutColourTable(Bytes& out, int tableBits) {
    const int entries = 2 << tableBits;
    for (int i = 0; i < entries; ++i) {
        out.push_back(static_cast<std::uint8_t>(i));
        out.push_back(static_cast<std::uint8_t>(255 - i));
        out.push_back(static_cast<std::uint8_t>(i * 7));
    }
}

// Rows of an interlaced image in stored order.
inline std::vector<int> InterlaceOrder(int height) {
    std::vector<int> order;
    const int start[] = {0, 4, 2, 1};
    const int step[] = {8, 8, 4, 2};
    for (int pass = 0; pass < 4; ++pass)
        for (int r = start[pass]; r < height; r += step[pass]) order.push_back(r);
    return order;
}

// The image part of a file: descriptor, local table and data (pixels row by row from the top,
// frameWidth x frameHeight of them).
inline Bytes ImageBlock(const Bytes& pixels, int frameWidth, int frameHeight, const GifOptions& o) {
    Bytes out;
    out.push_back(0x2C);
    Put16(out, o.left);
    Put16(out, o.top);
    Put16(out, frameWidth);
    Put16(out, frameHeight);
    std::uint8_t packed = 0;
    if (o.localTable) packed |= static_cast<std::uint8_t>(0x80 | o.tableBits);
    if (o.interlaced) packed |= 0x40;
    out.push_back(packed);
    if (o.localTable) PutColourTable(out, o.tableBits);
    Bytes stream = pixels;
    if (o.interlaced) {
        stream.clear();
        for (int r : InterlaceOrder(frameHeight))
            stream.insert(stream.end(), pixels.begin() + static_cast<std::ptrdiff_t>(r) * frameWidth,
                          pixels.begin() + static_cast<std::ptrdiff_t>(r + 1) * frameWidth);
    }
    out.push_back(static_cast<std::uint8_t>(o.minCodeSize));
    PutSubBlocks(out, LzwEncode(stream, o.minCodeSize, o.clearWhenFull), o.subBlockSize);
    return out;
}

inline Bytes Encode(int width, int height, const Bytes& pixels, const GifOptions& o = GifOptions()) {
    Bytes out;
    const std::string sig = o.gif87 ? "GIF87a" : "GIF89a";
    out.insert(out.end(), sig.begin(), sig.end());
    Put16(out, width);
    Put16(out, height);
    out.push_back(o.globalTable ? static_cast<std::uint8_t>(0x80 | 0x70 | o.tableBits) : 0x70);
    out.push_back(0);  // background colour
    out.push_back(0);  // aspect ratio
    if (o.globalTable) PutColourTable(out, o.tableBits);
    for (const Bytes& b : o.blocksBefore) out.insert(out.end(), b.begin(), b.end());
    const int fw = o.frameWidth > 0 ? o.frameWidth : width;
    const int fh = o.frameHeight > 0 ? o.frameHeight : height;
    const Bytes image = ImageBlock(pixels, fw, fh, o);
    out.insert(out.end(), image.begin(), image.end());
    if (o.trailer) out.push_back(0x3B);
    return out;
}

inline Bytes Extension(std::uint8_t label, const std::string& text) {
    Bytes out{0x21, label};
    Bytes data;
    for (char ch : text) data.push_back(static_cast<std::uint8_t>(ch));
    PutSubBlocks(out, data, 255);
    return out;
}
inline Bytes CommentExtension(const std::string& text) { return Extension(0xFE, text); }
inline Bytes ApplicationExtension() {
    Bytes out{0x21, 0xFF, 11, 'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0', 3, 1, 0, 0, 0};
    return out;
}
inline Bytes PlainTextExtension() {
    Bytes out{0x21, 0x01, 12, 0, 0, 0, 0, 10, 0, 10, 0, 8, 8, 1, 0};
    PutSubBlocks(out, Bytes{'h', 'i'}, 255);
    return out;
}
// Graphics control block of four bytes; `terminated` false leaves out its 0x00 end.
inline Bytes GraphicsControl(bool terminated = true) {
    Bytes out{0x21, 0xF9, 4, 0x01, 10, 0, 3};
    if (terminated) out.push_back(0);
    return out;
}

inline void WriteBytes(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace gif_test
