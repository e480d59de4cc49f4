#include "fixtures.h"

#include <webp/decode.h>
#include <webp/encode.h>
#include <webp/mux.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <random>
#include <stdexcept>

// Private copies of the stb codecs, so this file links next to the library's.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wunused-parameter"
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wpedantic"
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#endif
#define STB_IMAGE_STATIC
#define STBI_NO_STDIO
#define STB_IMAGE_IMPLEMENTATION
#include <stb_image.h>
#define STB_IMAGE_WRITE_STATIC
#define STBI_WRITE_NO_STDIO
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb_image_write.h>
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

namespace fixtures {

Rgba make_pattern(int width, int height, bool opaque) {
    Rgba img{width, height, std::vector<uint8_t>(static_cast<size_t>(width) * height * 4)};
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            uint8_t* p = &img.px[(static_cast<size_t>(y) * width + x) * 4];
            p[0] = static_cast<uint8_t>(x * 255 / (width > 1 ? width - 1 : 1));
            p[1] = static_cast<uint8_t>(y * 255 / (height > 1 ? height - 1 : 1));
            p[2] = static_cast<uint8_t>((x + y) * 7);
            p[3] = opaque ? 255 : static_cast<uint8_t>(128 + (x * 3 + y) % 128);
        }
    }
    return img;
}

Rgba make_solid(int width, int height, uint8_t r, uint8_t g, uint8_t b, uint8_t a) {
    Rgba img{width, height, {}};
    img.px.reserve(static_cast<size_t>(width) * height * 4);
    for (int i = 0; i < width * height; ++i) img.px.insert(img.px.end(), {r, g, b, a});
    return img;
}

namespace {

void append(void* ctx, void* data, int size) {
    auto* out = static_cast<Bytes*>(ctx);
    const auto* p = static_cast<const uint8_t*>(data);
    out->insert(out->end(), p, p + size);
}

}  // namespace

Bytes encode(Kind kind, const Rgba& img, int quality) {
    Bytes out;
    int ok = 0;
    const int w = img.width, h = img.height;
    switch (kind) {
        case kJpeg: ok = stbi_write_jpg_to_func(append, &out, w, h, 4, img.px.data(), quality); break;
        case kPng: ok = stbi_write_png_to_func(append, &out, w, h, 4, img.px.data(), w * 4); break;
        case kBmp: ok = stbi_write_bmp_to_func(append, &out, w, h, 4, img.px.data()); break;
        case kWebp: {
            uint8_t* data = nullptr;
            const size_t n = quality < 0 ? WebPEncodeLosslessRGBA(img.px.data(), w, h, w * 4, &data)
                                         : WebPEncodeRGBA(img.px.data(), w, h, w * 4, static_cast<float>(quality), &data);
            if (n != 0) out.assign(data, data + n);
            WebPFree(data);
            ok = n != 0;
            break;
        }
        default: break;
    }
    if (!ok) throw std::runtime_error("fixture encoding failed");
    return out;
}

Bytes top_down_bmp(const Rgba& img, int bits) {
    const size_t bpp = static_cast<size_t>(bits / 8);
    const size_t row = (img.width * bpp + 3) / 4 * 4;
    Bytes b(54 + row * img.height, 0);
    const auto put32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
    };
    b[0] = 'B';
    b[1] = 'M';
    put32(2, static_cast<uint32_t>(b.size()));
    put32(10, 54);
    put32(14, 40);
    put32(18, static_cast<uint32_t>(img.width));
    put32(22, static_cast<uint32_t>(-img.height));
    b[26] = 1;
    b[28] = static_cast<uint8_t>(bits);
    put32(34, static_cast<uint32_t>(row * img.height));
    for (int y = 0; y < img.height; ++y) {
        for (int x = 0; x < img.width; ++x) {
            const uint8_t* p = &img.px[(static_cast<size_t>(y) * img.width + x) * 4];
            uint8_t* q = &b[54 + y * row + x * bpp];
            q[0] = p[2], q[1] = p[1], q[2] = p[0];
            if (bpp == 4) q[3] = p[3];
        }
    }
    return b;
}

Bytes zlib(const Bytes& data) {
    int n = 0;
    unsigned char* z = stbi_zlib_compress(const_cast<uint8_t*>(data.data()), static_cast<int>(data.size()), &n, 8);
    if (z == nullptr) throw std::runtime_error("zlib compression failed");
    Bytes out(z, z + n);
    STBIW_FREE(z);
    return out;
}

Bytes zlib_zeros(size_t n) {
    Bytes out{0x78, 0x01};
    uint32_t bits = 0;
    int count = 0;
    const auto put = [&](uint32_t value, int width) {  // LSB first
        bits |= value << count;
        count += width;
        while (count >= 8) {
            out.push_back(static_cast<uint8_t>(bits));
            bits >>= 8;
            count -= 8;
        }
    };
    // Huffman codes go most significant bit first.
    const auto code = [&](uint32_t value, int width) {
        for (int i = width - 1; i >= 0; --i) put((value >> i) & 1, 1);
    };
    put(1, 1);         // the final block
    put(1, 2);         // fixed codes
    code(0x30, 8);     // literal 0
    for (size_t done = 1; done + 258 <= n; done += 258) {
        code(0xC5, 8);  // length 258
        code(0, 5);     // distance 1
    }
    code(0, 7);        // end of block
    if (count > 0) put(0, 8 - count);
    const size_t produced = 1 + (n - 1) / 258 * 258;
    const uint32_t adler = static_cast<uint32_t>(produced % 65521) << 16 | 1;
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(adler >> shift));
    return out;
}

uint8_t dc_level(int bx, int by) { return static_cast<uint8_t>(16 + (bx * 37 + by * 91) % 224); }

namespace {

void put16(Bytes& out, int v) { out.insert(out.end(), {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)}); }

// Entropy-coded bits, most significant first, with 0xFF bytes stuffed.
struct BitWriter {
    Bytes& out;
    uint32_t acc = 0;
    int n = 0;
    void put(uint32_t value, int bits) {
        for (int i = bits - 1; i >= 0; --i) {
            acc = (acc << 1) | ((value >> i) & 1u);
            if (++n == 8) {
                out.push_back(static_cast<uint8_t>(acc));
                if (acc == 0xFF) out.push_back(0);
                acc = 0;
                n = 0;
            }
        }
    }
    void flush() {
        while (n != 0) put(1, 1);
    }
};

}  // namespace

Bytes progressive_jpeg(int width, int height, int components, int scans, bool empty_scans) {
    Bytes out{0xFF, 0xD8};
    // Quantisation: 8 for DC, so a quantised DC of q decodes to a flat 128 + q.
    out.insert(out.end(), {0xFF, 0xDB});
    put16(out, 67);
    out.push_back(0);
    out.push_back(8);
    out.insert(out.end(), 63, 1);
    // Progressive frame, 8-bit, no subsampling, all components on table 0.
    out.insert(out.end(), {0xFF, 0xC2});
    put16(out, 8 + 3 * components);
    out.push_back(8);
    put16(out, height);
    put16(out, width);
    out.push_back(static_cast<uint8_t>(components));
    for (int c = 1; c <= components; ++c) out.insert(out.end(), {static_cast<uint8_t>(c), 0x11, 0});
    // DC table 0: categories 0..11, each a 4-bit code equal to its category.
    out.insert(out.end(), {0xFF, 0xC4});
    put16(out, 2 + 1 + 16 + 12);
    out.push_back(0x00);
    for (int len = 1; len <= 16; ++len) out.push_back(len == 4 ? 12 : 0);
    for (int k = 0; k < 12; ++k) out.push_back(static_cast<uint8_t>(k));

    const int bw = (width + 7) / 8, bh = (height + 7) / 8;
    for (int s = 0; s < scans; ++s) {
        // First DC scan of component 1 alone: Ss = Se = 0, Ah = Al = 0.
        out.insert(out.end(), {0xFF, 0xDA});
        put16(out, 8);
        out.insert(out.end(), {1, 1, 0x00, 0, 0, 0x00});
        if (s > 0 && empty_scans) continue;
        BitWriter bits{out};
        int pred = 0;
        for (int by = 0; by < bh; ++by) {
            for (int bx = 0; bx < bw; ++bx) {
                const int q = dc_level(bx, by) - 128;
                const int diff = q - pred;
                pred = q;
                int cat = 0;
                for (int a = diff < 0 ? -diff : diff; a != 0; a >>= 1) ++cat;
                bits.put(static_cast<uint32_t>(cat), 4);
                if (cat > 0) bits.put(static_cast<uint32_t>(diff >= 0 ? diff : diff + (1 << cat) - 1), cat);
            }
        }
        bits.flush();
    }
    out.insert(out.end(), {0xFF, 0xD9});
    return out;
}

namespace {

void put32le(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
}

void png_chunk(Bytes& out, const char* type, const Bytes& data) {
    put16(out, static_cast<int>(data.size() >> 16));
    put16(out, static_cast<int>(data.size() & 0xFFFF));
    const size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    const unsigned crc = stbiw__crc32(out.data() + start, static_cast<int>(out.size() - start));
    put16(out, static_cast<int>(crc >> 16));
    put16(out, static_cast<int>(crc & 0xFFFF));
}

}  // namespace

Bytes png_from_scanlines(int width, int height, int bit_depth, int colour_type, const Bytes& scanlines) {
    const auto chunk = [](Bytes& out, const char* type, const Bytes& data) { png_chunk(out, type, data); };
    Bytes header;
    put16(header, width >> 16);
    put16(header, width & 0xFFFF);
    put16(header, height >> 16);
    put16(header, height & 0xFFFF);
    header.insert(header.end(), {static_cast<uint8_t>(bit_depth), static_cast<uint8_t>(colour_type), 0, 0, 0});
    int len = 0;
    unsigned char* z = stbi_zlib_compress(const_cast<uint8_t*>(scanlines.data()), static_cast<int>(scanlines.size()), &len, 8);
    if (z == nullptr) throw std::runtime_error("zlib compression failed");
    const Bytes idat(z, z + len);
    STBIW_FREE(z);
    Bytes out{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    chunk(out, "IHDR", header);
    chunk(out, "IDAT", idat);
    chunk(out, "IEND", {});
    return out;
}

Bytes exif_block(int orientation, bool big_endian) {
    const auto put = [&](Bytes& b, uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) {
            const int shift = big_endian ? 8 * (bytes - 1 - i) : 8 * i;
            b.push_back(static_cast<uint8_t>(v >> shift));
        }
    };
    Bytes b = big_endian ? Bytes{'M', 'M'} : Bytes{'I', 'I'};
    put(b, 42, 2);
    put(b, 8, 4);                                  // IFD 0 right after the header
    put(b, 1, 2);                                  // one entry
    put(b, 0x0112, 2);                             // Orientation
    put(b, 3, 2);                                  // SHORT
    put(b, 1, 4);                                  // one value
    put(b, static_cast<uint32_t>(orientation), 2);
    put(b, 0, 2);                                  // the rest of the value field
    put(b, 0, 4);                                  // no next IFD
    return b;
}

Bytes with_exif(const Bytes& file, const Bytes& tiff) {
    switch (sniff(file)) {
        case kJpeg: {
            Bytes out(file.begin(), file.begin() + 2);
            out.insert(out.end(), {0xFF, 0xE1});
            put16(out, static_cast<int>(tiff.size() + 8));
            out.insert(out.end(), {'E', 'x', 'i', 'f', 0, 0});
            out.insert(out.end(), tiff.begin(), tiff.end());
            out.insert(out.end(), file.begin() + 2, file.end());
            return out;
        }
        case kPng: {
            const size_t after_ihdr = 8 + 12 + 13;
            Bytes out(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(after_ihdr));
            png_chunk(out, "eXIf", tiff);
            out.insert(out.end(), file.begin() + static_cast<std::ptrdiff_t>(after_ihdr), file.end());
            return out;
        }
        case kWebp: {
            Bytes out{'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'E', 'B', 'P'};
            if (std::memcmp(file.data() + 12, "VP8X", 4) == 0) {
                out.insert(out.end(), file.begin() + 12, file.end());
                out[20] |= 0x08;
            } else {
                int w = 0, h = 0;
                if (!WebPGetInfo(file.data(), file.size(), &w, &h)) throw std::runtime_error("not a WebP");
                Bytes vp8x{'V', 'P', '8', 'X', 10, 0, 0, 0, 0x08, 0, 0, 0};
                for (int v : {w - 1, h - 1}) vp8x.insert(vp8x.end(), {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16)});
                out.insert(out.end(), vp8x.begin(), vp8x.end());
                out.insert(out.end(), file.begin() + 12, file.end());
            }
            out.insert(out.end(), {'E', 'X', 'I', 'F', 0, 0, 0, 0});
            put32le(out, out.size() - 4, static_cast<uint32_t>(tiff.size()));
            out.insert(out.end(), tiff.begin(), tiff.end());
            if (tiff.size() % 2 != 0) out.push_back(0);
            put32le(out, 4, static_cast<uint32_t>(out.size() - 8));
            return out;
        }
        default: throw std::runtime_error("with_exif: not a JPEG, PNG or WebP");
    }
}

Bytes with_png_chunk(const Bytes& png, const char* type, const Bytes& data) {
    const auto after_ihdr = static_cast<std::ptrdiff_t>(8 + 12 + 13);
    Bytes out(png.begin(), png.begin() + after_ihdr);
    png_chunk(out, type, data);
    out.insert(out.end(), png.begin() + after_ihdr, png.end());
    return out;
}

namespace {

Bytes webp_with_chunk(const Bytes& file, const char* fourcc, const Bytes& data) {
    const WebPData image{file.data(), file.size()};
    WebPMux* mux = WebPMuxCreate(&image, 1);
    const WebPData chunk{data.data(), data.size()};
    WebPData out;
    WebPDataInit(&out);
    const bool ok = mux != nullptr && WebPMuxSetChunk(mux, fourcc, &chunk, 1) == WEBP_MUX_OK &&
                    WebPMuxAssemble(mux, &out) == WEBP_MUX_OK;
    WebPMuxDelete(mux);
    if (!ok) throw std::runtime_error("cannot add a WebP chunk");
    Bytes result(out.bytes, out.bytes + out.size);
    WebPDataClear(&out);
    return result;
}

void jpeg_segment(Bytes& out, uint8_t marker, const Bytes& head, const uint8_t* data, size_t size) {
    out.insert(out.end(), {0xFF, marker});
    put16(out, static_cast<int>(2 + head.size() + size));
    out.insert(out.end(), head.begin(), head.end());
    out.insert(out.end(), data, data + size);
}

const Bytes kIccHead{'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0};
const std::string kXmpHead("http://ns.adobe.com/xap/1.0/\0", 29);

}  // namespace

Bytes with_icc(const Bytes& file, const Bytes& icc, int segments, const std::vector<int>& order) {
    switch (sniff(file)) {
        case kJpeg: {
            Bytes out(file.begin(), file.begin() + 2);
            const size_t per = (icc.size() + static_cast<size_t>(segments) - 1) / static_cast<size_t>(segments);
            for (int i = 0; i < segments; ++i) {
                const int seq = order.empty() ? i + 1 : order[static_cast<size_t>(i)];
                Bytes head = kIccHead;
                head.push_back(static_cast<uint8_t>(seq));
                head.push_back(static_cast<uint8_t>(segments));
                const size_t at = std::min(icc.size(), static_cast<size_t>(seq - 1) * per);
                jpeg_segment(out, 0xE2, head, icc.data() + at, std::min(per, icc.size() - at));
            }
            out.insert(out.end(), file.begin() + 2, file.end());
            return out;
        }
        case kPng: {
            Bytes data{'P', '3', 0, 0};
            const Bytes z = zlib(icc);
            data.insert(data.end(), z.begin(), z.end());
            return with_png_chunk(file, "iCCP", data);
        }
        case kWebp: return webp_with_chunk(file, "ICCP", icc);
        default: throw std::runtime_error("with_icc: not a JPEG, PNG or WebP");
    }
}

Bytes with_srgb_chunk(const Bytes& png) { return with_png_chunk(png, "sRGB", Bytes{0}); }

Bytes with_xmp(const Bytes& file, const std::string& xmp) {
    switch (sniff(file)) {
        case kJpeg: {
            Bytes out(file.begin(), file.begin() + 2);
            jpeg_segment(out, 0xE1, Bytes(kXmpHead.begin(), kXmpHead.end()),
                         reinterpret_cast<const uint8_t*>(xmp.data()), xmp.size());
            out.insert(out.end(), file.begin() + 2, file.end());
            return out;
        }
        case kPng: {
            const std::string head("XML:com.adobe.xmp\0\0\0\0\0", 22);
            Bytes data(head.begin(), head.end());
            data.insert(data.end(), xmp.begin(), xmp.end());
            return with_png_chunk(file, "iTXt", data);
        }
        case kWebp: return webp_with_chunk(file, "XMP ", Bytes(xmp.begin(), xmp.end()));
        default: throw std::runtime_error("with_xmp: not a JPEG, PNG or WebP");
    }
}

Found find_metadata(const Bytes& b) {
    Found f;
    const auto be32 = [&](size_t at) {
        return uint32_t{b[at]} << 24 | uint32_t{b[at + 1]} << 16 | uint32_t{b[at + 2]} << 8 | b[at + 3];
    };
    switch (sniff(b)) {
        case kJpeg: {
            std::vector<Bytes> parts(256);
            for (size_t i = 2; i + 4 <= b.size() && b[i] == 0xFF && b[i + 1] != 0xDA;) {
                const size_t length = size_t{b[i + 2]} << 8 | b[i + 3];
                if (length < 2 || i + 2 + length > b.size()) return f.valid = false, f;
                const uint8_t* d = b.data() + i + 4;
                const size_t n = length - 2;
                if (b[i + 1] == 0xE1 && n >= 6 && std::memcmp(d, "Exif\0\0", 6) == 0) {
                    f.exif.assign(d + 6, d + n);
                } else if (b[i + 1] == 0xE1 && n >= 29 && std::memcmp(d, kXmpHead.data(), 29) == 0) {
                    f.xmp.assign(d + 29, d + n);
                } else if (b[i + 1] == 0xE2 && n >= 14 && std::memcmp(d, kIccHead.data(), 12) == 0) {
                    parts[d[12]].assign(d + 14, d + n);
                    ++f.icc_segments;
                }
                i += 2 + length;
            }
            for (const Bytes& p : parts) f.icc.insert(f.icc.end(), p.begin(), p.end());
            return f;
        }
        case kPng: {
            for (size_t i = 8; i + 12 <= b.size();) {
                const size_t n = be32(i);
                if (i + 12 + n > b.size()) return f.valid = false, f;
                const uint8_t* type = b.data() + i + 4;
                const uint8_t* d = type + 4;
                if (stbiw__crc32(const_cast<uint8_t*>(type), static_cast<int>(n + 4)) != be32(i + 8 + n)) f.valid = false;
                if (std::memcmp(type, "eXIf", 4) == 0) f.exif.assign(d, d + n);
                if (std::memcmp(type, "iTXt", 4) == 0 && n >= 22 && std::memcmp(d, "XML:com.adobe.xmp", 18) == 0) {
                    f.xmp.assign(d + 22, d + n);
                }
                if (std::memcmp(type, "iCCP", 4) == 0) {
                    const auto* nul = static_cast<const uint8_t*>(std::memchr(d, 0, n));
                    int len = 0;
                    char* icc = nul == nullptr ? nullptr
                                               : stbi_zlib_decode_malloc(reinterpret_cast<const char*>(nul + 2),
                                                                         static_cast<int>(d + n - nul - 2), &len);
                    if (icc == nullptr) f.valid = false;
                    else f.icc.assign(icc, icc + len);
                    STBI_FREE(icc);
                }
                i += 12 + n;
            }
            return f;
        }
        case kWebp: {
            const WebPData data{b.data(), b.size()};
            WebPMux* mux = WebPMuxCreate(&data, 0);
            if (mux == nullptr) return f.valid = false, f;
            WebPData chunk;
            if (WebPMuxGetChunk(mux, "EXIF", &chunk) == WEBP_MUX_OK) f.exif.assign(chunk.bytes, chunk.bytes + chunk.size);
            if (WebPMuxGetChunk(mux, "XMP ", &chunk) == WEBP_MUX_OK) f.xmp.assign(chunk.bytes, chunk.bytes + chunk.size);
            if (WebPMuxGetChunk(mux, "ICCP", &chunk) == WEBP_MUX_OK) f.icc.assign(chunk.bytes, chunk.bytes + chunk.size);
            WebPMuxDelete(mux);
            return f;
        }
        default: return f;
    }
}

Rgba stored_for(const Rgba& upright, int o) {
    const int uw = upright.width, uh = upright.height;
    const bool quarter = o >= 5;
    Rgba s{quarter ? uh : uw, quarter ? uw : uh, std::vector<uint8_t>(upright.px.size())};
    const int w = s.width, h = s.height;
    for (int y = 0; y < uh; ++y) {
        for (int x = 0; x < uw; ++x) {
            int sx = x, sy = y;
            switch (o) {
                case 2: sx = w - 1 - x; break;
                case 3: sx = w - 1 - x, sy = h - 1 - y; break;
                case 4: sy = h - 1 - y; break;
                case 5: sx = y, sy = x; break;
                case 6: sx = y, sy = h - 1 - x; break;
                case 7: sx = w - 1 - y, sy = h - 1 - x; break;
                case 8: sx = w - 1 - y, sy = x; break;
                default: break;
            }
            std::memcpy(&s.px[(static_cast<size_t>(sy) * w + sx) * 4], &upright.px[(static_cast<size_t>(y) * uw + x) * 4], 4);
        }
    }
    return s;
}

Kind sniff(const Bytes& b) {
    if (b.size() >= 2 && b[0] == 0xFF && b[1] == 0xD8) return kJpeg;
    if (b.size() >= 8 && std::memcmp(b.data(), "\x89PNG\r\n\x1a\n", 8) == 0) return kPng;
    if (b.size() >= 12 && std::memcmp(b.data(), "RIFF", 4) == 0 && std::memcmp(b.data() + 8, "WEBP", 4) == 0) return kWebp;
    if (b.size() >= 2 && b[0] == 'B' && b[1] == 'M') return kBmp;
    return kNone;
}

bool decode(const Bytes& bytes, Rgba& out) {
    int w = 0, h = 0;
    uint8_t* px = nullptr;
    const bool webp = sniff(bytes) == kWebp;
    if (webp) {
        px = WebPDecodeRGBA(bytes.data(), bytes.size(), &w, &h);
    } else {
        int n = 0;
        px = stbi_load_from_memory(bytes.data(), static_cast<int>(bytes.size()), &w, &h, &n, 4);
    }
    if (px == nullptr) return false;
    out.width = w;
    out.height = h;
    out.px.assign(px, px + static_cast<size_t>(w) * h * 4);
    if (webp) WebPFree(px); else stbi_image_free(px);
    return true;
}

Bytes read_file(const fs::path& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) throw std::runtime_error("cannot read " + path.string());
    return Bytes(std::istreambuf_iterator<char>(f), {});
}

void write_file(const fs::path& path, const Bytes& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!f) throw std::runtime_error("cannot write " + path.string());
}

void write_file(const fs::path& path, const std::string& text) {
    write_file(path, Bytes(text.begin(), text.end()));
}

uint64_t size_of(const fs::path& path) { return fs::file_size(path); }

TempDir::TempDir() {
    std::random_device rd;
    for (int i = 0; i < 100; ++i) {
        path_ = fs::temp_directory_path() / ("rastra-test-" + std::to_string(rd()));
        if (fs::create_directory(path_)) return;
    }
    throw std::runtime_error("cannot create a temporary directory");
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
}

std::string TempDir::operator/(const std::string& name) const { return (path_ / name).string(); }

}  // namespace fixtures
