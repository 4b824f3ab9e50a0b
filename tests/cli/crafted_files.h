// Image files built byte by byte, for headers that promise what the file does
// not hold: the tests and the fuzz corpus use the same builders.
#ifndef SORVIK_TESTS_CLI_CRAFTED_FILES_H
#define SORVIK_TESTS_CLI_CRAFTED_FILES_H

#include <algorithm>
#include <cstdint>
#include <string>

namespace sorvik::crafted {

inline void bigEndian32(std::string& out, std::uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(char((v >> shift) & 0xff));
}

inline std::uint32_t crc32(const std::string& bytes)
{
    std::uint32_t crc = 0xffffffffu;
    for (unsigned char b : bytes) {
        crc ^= b;
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

inline std::string pngChunk(const std::string& type, const std::string& data)
{
    std::string chunk;
    bigEndian32(chunk, std::uint32_t(data.size()));
    chunk += type + data;
    bigEndian32(chunk, crc32(type + data));
    return chunk;
}

// An 8-bit grey PNG whose header says width x height but whose data is an
// empty compressed stream: a few dozen bytes in all.
inline std::string pngPromising(std::uint32_t width, std::uint32_t height)
{
    std::string header;
    bigEndian32(header, width);
    bigEndian32(header, height);
    header += std::string("\x08\x00\x00\x00\x00", 5); // 8 bits, grey, deflate, no filter, no interlace
    const std::string emptyStream("\x78\x9c\x03\x00\x00\x00\x00\x01", 8);
    return std::string("\x89PNG\r\n\x1a\n", 8) + pngChunk("IHDR", header) + pngChunk("IDAT", emptyStream) +
           pngChunk("IEND", "");
}

// A little-endian, uncompressed 8-bit grey TIFF of one strip, its directory
// ahead of the data, holding only `dataBytes` of the width x height bytes it
// declares.
inline std::string tiffPromising(std::uint32_t width, std::uint32_t height, std::uint32_t dataBytes)
{
    std::string t("II*\0", 4);
    auto u16 = [&t](std::uint32_t v) { t.push_back(char(v & 0xff)); t.push_back(char((v >> 8) & 0xff)); };
    auto u32 = [&u16](std::uint32_t v) { u16(v & 0xffff); u16(v >> 16); };
    const std::uint32_t entries = 9;
    u32(8);
    u16(entries);
    const std::uint32_t dataOffset = 8 + 2 + entries * 12 + 4;
    auto entry = [&](std::uint32_t tag, std::uint32_t type, std::uint32_t value) {
        u16(tag);
        u16(type);
        u32(1);
        if (type == 3) {
            u16(value);
            u16(0);
        } else {
            u32(value);
        }
    };
    const std::uint64_t declared = std::uint64_t(width) * height;
    entry(256, 4, width);                      // ImageWidth
    entry(257, 4, height);                     // ImageLength
    entry(258, 3, 8);                          // BitsPerSample
    entry(259, 3, 1);                          // Compression: none
    entry(262, 3, 1);                          // Photometric: black is zero
    entry(273, 4, dataOffset);                 // StripOffsets
    entry(277, 3, 1);                          // SamplesPerPixel
    entry(278, 4, height);                     // RowsPerStrip
    entry(279, 4, std::uint32_t(std::min<std::uint64_t>(declared, 0xffffffffu))); // StripByteCounts
    u32(0);
    for (std::uint32_t i = 0; i < dataBytes; ++i)
        t.push_back(char((i * 7) & 0xff));
    return t;
}

// tiffPromising's file as three samples a pixel of another photometric
// interpretation (8: CIELab), which the image library reads but does not
// write. Its strip then holds a third of what it declares.
inline std::string asColour(std::string tiff, std::uint16_t photometric)
{
    // Directory entries from byte 10, twelve bytes each, the value in the last four.
    const auto set = [&tiff](int entry, std::uint16_t value) {
        const std::size_t at = 10 + std::size_t(entry) * 12 + 8;
        tiff[at] = char(value & 0xff);
        tiff[at + 1] = char(value >> 8);
    };
    set(4, photometric); // tag 262
    set(6, 3);           // tag 277, SamplesPerPixel
    return tiff;
}

} // namespace sorvik::crafted

#endif
