// Test fixtures: images built in code, encoded and decoded through the same
// dependencies the library uses, and scratch directories.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace fixtures {

namespace fs = std::filesystem;

enum Kind { kNone = 0, kJpeg = 1, kPng = 2, kBmp = 3, kWebp = 4 };

struct Rgba {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> px;  // width * height * 4, rows top to bottom
};

using Bytes = std::vector<uint8_t>;

// A deterministic colour gradient with varying alpha (alpha 255 when opaque).
Rgba make_pattern(int width, int height, bool opaque = false);
Rgba make_solid(int width, int height, uint8_t r, uint8_t g, uint8_t b, uint8_t a);

// Encodes an image; WebP is lossless when quality < 0, lossy otherwise.
Bytes encode(Kind kind, const Rgba& img, int quality = 90);

// A progressive JPEG of 1 or 3 components whose scans carry only the first
// component's DC coefficients: every 8x8 block is one flat grey, dc_level(bx,
// by), and the other components are never sent (their coefficients must count
// as zero: neutral colour). `scans` DC scans are written; with `empty_scans`
// every scan after the first carries no data. Ends with EOI.
Bytes progressive_jpeg(int width, int height, int components, int scans, bool empty_scans = false);
uint8_t dc_level(int bx, int by);

// A PNG from raw scanlines (each starting with its filter byte), compressed
// with zlib, with correct CRCs.
Bytes png_from_scanlines(int width, int height, int bit_depth, int colour_type, const Bytes& scanlines);

// A BMP stored top-down (negative height, as Windows' DIB sections write
// it), 24-bit (alpha dropped) or 32-bit BI_RGB (alpha kept).
Bytes top_down_bmp(const Rgba& img, int bits);

// A TIFF block whose IFD 0 holds one Orientation tag (SHORT, count 1).
Bytes exif_block(int orientation, bool big_endian = false);
// The file with an EXIF block added where its format keeps one: a JPEG APP1
// "Exif" segment after SOI, a PNG eXIf chunk after IHDR, or an EXIF chunk of
// an extended WebP (a VP8X header is added when the file has none).
Bytes with_exif(const Bytes& file, const Bytes& tiff);
// The image to store so that a viewer applying EXIF orientation o shows
// `upright`.
Rgba stored_for(const Rgba& upright, int orientation);

// ---- colour profiles and metadata carriers ----

// The file with an ICC profile added where its format keeps one: JPEG APP2
// "ICC_PROFILE" segments after SOI (the profile split evenly over `segments`
// of them, numbered in order unless `order` gives the sequence numbers to
// write, e.g. {2, 1}), a PNG iCCP chunk after IHDR (zlib-compressed), an
// extended WebP's ICCP chunk (added through libwebp's mux library).
Bytes with_icc(const Bytes& file, const Bytes& icc, int segments = 1, const std::vector<int>& order = {});
// A PNG with an sRGB chunk after IHDR.
Bytes with_srgb_chunk(const Bytes& png);
// The file with an XMP packet: a JPEG APP1 segment, a PNG iTXt chunk, a WebP
// "XMP " chunk.
Bytes with_xmp(const Bytes& file, const std::string& xmp);
// A PNG chunk with its length and CRC, after IHDR.
Bytes with_png_chunk(const Bytes& png, const char* type, const Bytes& data);
// zlib data as PNG keeps it.
Bytes zlib(const Bytes& data);
// A zlib stream of n zero bytes (a multiple of 258 plus one), made directly
// with fixed Huffman codes: an inflation bomb about 1/1270 of its size.
Bytes zlib_zeros(size_t n);

// What a file carries, read independently of the library: EXIF (the TIFF
// block), XMP, the ICC profile (JPEG segments put together in order) and the
// number of JPEG APP2 segments it took. `valid` is false when a PNG chunk's
// CRC is wrong or a container is malformed.
struct Found {
    Bytes exif, xmp, icc;
    int icc_segments = 0;
    bool valid = true;
};
Found find_metadata(const Bytes& file);

// Kind by signature, and RGBA pixels decoded from a file's bytes.
Kind sniff(const Bytes& bytes);
bool decode(const Bytes& bytes, Rgba& out);

Bytes read_file(const fs::path& path);
void write_file(const fs::path& path, const Bytes& bytes);
void write_file(const fs::path& path, const std::string& text);
uint64_t size_of(const fs::path& path);

// A fresh directory under the system's temporary directory, removed with
// everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& path() const { return path_; }
    // Path of name inside the directory, as a narrow string for the C API.
    std::string operator/(const std::string& name) const;

private:
    fs::path path_;
};

}  // namespace fixtures
