// Writes the demo's sample inputs, drawn procedurally: a JPEG photo-like
// scene, a PNG logo with transparency, a BMP page scan, a WebP banner, an
// upper-case .JPEG name, and a text file that is not an image.
//
//   rastra-make-samples OUTPUT_DIR
#include <webp/encode.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#define STB_IMAGE_WRITE_STATIC
#define STBI_WRITE_NO_STDIO
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb_image_write.h>
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

namespace {

struct Image {
    int w, h;
    std::vector<uint8_t> px;
    Image(int w_, int h_) : w(w_), h(h_), px(static_cast<size_t>(w_) * h_ * 4) {}
    uint8_t* at(int x, int y) { return &px[(static_cast<size_t>(y) * w + x) * 4]; }
};

uint8_t clamp8(double v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v + 0.5); }

Image scene(int w, int h) {
    Image img(w, h);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const double t = static_cast<double>(y) / h;
            double r = 70 + 120 * t, g = 130 + 80 * t, b = 230 - 60 * t;  // sky
            const double sun = std::hypot(x - w * 0.72, y - h * 0.3);
            if (sun < h * 0.1) r = 255, g = 220, b = 120;
            const double hill = h * (0.62 + 0.08 * std::sin(x * 0.012) + 0.04 * std::sin(x * 0.031 + 1.0));
            if (y > hill) {
                const double d = (y - hill) / h;
                r = 40 + 60 * d + 10 * std::sin(x * 0.3) ;
                g = 120 - 50 * d + 12 * std::sin(y * 0.2);
                b = 50;
            }
            uint8_t* p = img.at(x, y);
            p[0] = clamp8(r); p[1] = clamp8(g); p[2] = clamp8(b); p[3] = 255;
        }
    }
    return img;
}

Image logo(int size) {
    Image img(size, size);
    const double c = size / 2.0;
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            const double d = std::hypot(x - c, y - c) / c;
            const double ring = std::exp(-std::pow((d - 0.7) / 0.12, 2));
            const double dot = d < 0.3 ? 1.0 : 0.0;
            uint8_t* p = img.at(x, y);
            p[0] = clamp8(230 * ring + 40 * dot);
            p[1] = clamp8(90 + 100 * dot);
            p[2] = clamp8(200 * dot + 60 * ring);
            p[3] = clamp8(255 * std::fmax(ring, dot));
        }
    }
    return img;
}

Image page(int w, int h) {
    Image img(w, h);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const bool margin = x < w / 10 || x > w * 9 / 10 || y < h / 12;
            const int line = (y - h / 12) / 24;
            const bool ink = !margin && (y - h / 12) % 24 < 9 && ((x / 7 + line * 3) % 11) != 0 &&
                             x < w * 9 / 10 - (line % 4) * 37;
            const uint8_t v = ink ? 60 : static_cast<uint8_t>(236 + (x * 7 + y * 13) % 12);
            uint8_t* p = img.at(x, y);
            p[0] = v; p[1] = v; p[2] = static_cast<uint8_t>(v - 8); p[3] = 255;
        }
    }
    return img;
}

Image banner(int w, int h) {
    Image img(w, h);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const double a = std::sin(x * 0.02 + y * 0.01), bb = std::cos(y * 0.05 - x * 0.004);
            uint8_t* p = img.at(x, y);
            p[0] = clamp8(128 + 100 * a); p[1] = clamp8(90 + 60 * bb); p[2] = clamp8(180 - 70 * a * bb); p[3] = 255;
        }
    }
    return img;
}

void append(void* ctx, void* data, int size) {
    auto* out = static_cast<std::vector<uint8_t>*>(ctx);
    out->insert(out->end(), static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + size);
}

bool save(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!f) std::fprintf(stderr, "rastra-make-samples: cannot write %s\n", path.string().c_str());
    return static_cast<bool>(f);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: rastra-make-samples OUTPUT_DIR\n");
        return 2;
    }
    const std::filesystem::path dir = argv[1];
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);

    bool ok = true;
    std::vector<uint8_t> bytes;
    const auto encode = [&](auto&& writer) { bytes.clear(); return writer() != 0; };

    Image photo = scene(1600, 1067);
    ok &= encode([&] { return stbi_write_jpg_to_func(append, &bytes, photo.w, photo.h, 4, photo.px.data(), 92); }) &&
          save(dir / "hills.jpg", bytes);
    Image holiday = scene(1200, 1600);
    ok &= encode([&] { return stbi_write_jpg_to_func(append, &bytes, holiday.w, holiday.h, 4, holiday.px.data(), 88); }) &&
          save(dir / "Holiday.JPEG", bytes);
    Image mark = logo(640);
    ok &= encode([&] { return stbi_write_png_to_func(append, &bytes, mark.w, mark.h, 4, mark.px.data(), mark.w * 4); }) &&
          save(dir / "logo.png", bytes);
    Image scan = page(900, 1200);
    {
        // 24-bit BMP from the RGBA page.
        std::vector<uint8_t> rgb;
        rgb.reserve(static_cast<size_t>(scan.w) * scan.h * 3);
        for (size_t i = 0; i < scan.px.size(); i += 4) rgb.insert(rgb.end(), {scan.px[i], scan.px[i + 1], scan.px[i + 2]});
        ok &= encode([&] { return stbi_write_bmp_to_func(append, &bytes, scan.w, scan.h, 3, rgb.data()); }) &&
              save(dir / "scan.bmp", bytes);
    }
    Image wide = banner(1800, 450);
    {
        uint8_t* out = nullptr;
        const size_t n = WebPEncodeRGBA(wide.px.data(), wide.w, wide.h, wide.w * 4, 80.0f, &out);
        ok &= n != 0 && save(dir / "banner.webp", std::vector<uint8_t>(out, out + n));
        WebPFree(out);
    }
    const std::string note = "Not an image: rastra skips files without an image extension.\n";
    ok &= save(dir / "notes.txt", std::vector<uint8_t>(note.begin(), note.end()));

    if (!ok) return 1;
    std::printf("samples written to %s\n", dir.string().c_str());
    return 0;
}
