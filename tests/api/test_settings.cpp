// The settings interface: settings objects, conversions in memory and on
// files that return their own outcome, probing, planning, and many threads
// converting at once with results equal to one thread's and to the
// process-wide interface's.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "fixtures.h"
#include "profiles.h"
#include "rastra.h"

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <sys/mman.h>
#endif

namespace {

using fixtures::Bytes;
using fixtures::Kind;

struct SettingsDeleter {
    void operator()(rastra_settings* s) const { rastra_settings_free(s); }
};
using SettingsPtr = std::unique_ptr<rastra_settings, SettingsDeleter>;

// One way of converting, given to a settings object and, where it can be
// said there, to the process-wide context.
struct Way {
    const char* name;
    int32_t box_w = 0, box_h = 0;
    int32_t format = RASTRA_FORMAT_AUTO;
    int32_t quality = 90;
    const char* watermark = nullptr;
    int32_t auto_orient = 0;
    int32_t color = RASTRA_COLOR_IGNORE;
    uint32_t keep = 0;
    int32_t codecs = RASTRA_CODECS_REFERENCE;

    SettingsPtr object() const {
        SettingsPtr s(rastra_settings_new());
        rastra_settings_set_resize(s.get(), box_w, box_h);
        rastra_settings_set_format(s.get(), format);
        rastra_settings_set_quality(s.get(), quality);
        if (watermark != nullptr) rastra_settings_set_watermark(s.get(), watermark, 20, 0.7f);
        rastra_settings_set_auto_orient(s.get(), auto_orient);
        rastra_settings_set_color(s.get(), color);
        rastra_settings_set_keep_metadata(s.get(), keep);
        rastra_settings_set_codecs(s.get(), codecs);
        return s;
    }
    // The same settings process-wide; BMP is reached through the output's
    // extension in automatic mode.
    void apply_globally() const {
        rastra_init();
        rastra_set_resize(box_w, box_h);
        rastra_set_format(format == RASTRA_FORMAT_BMP ? RASTRA_FORMAT_AUTO : format);
        rastra_set_quality(quality);
        if (watermark != nullptr) rastra_set_watermark(watermark, 20, 0.7f);
        rastra_set_auto_orient(auto_orient);
        rastra_set_color(color);
        rastra_set_keep_metadata(keep);
        rastra_set_codecs(codecs);
    }
};

const char* ext_of(Kind k) {
    switch (k) {
        case fixtures::kJpeg: return "jpg";
        case fixtures::kPng: return "png";
        case fixtures::kBmp: return "bmp";
        default: return "webp";
    }
}

// The output name a setup writes for an input of kind k: the fixed format's
// extension, or the input's in automatic mode (what memory conversion keeps).
std::string output_name(const Way& s, Kind in, const std::string& stem) {
    static const Kind kByFormat[] = {fixtures::kPng, fixtures::kJpeg, fixtures::kWebp, fixtures::kBmp};
    const Kind k = s.format == RASTRA_FORMAT_AUTO ? (in == fixtures::kNone ? fixtures::kPng : in) : kByFormat[s.format];
    return stem + "." + ext_of(k);
}

struct Sample {
    std::string name;
    Kind kind;  // the kind its name says; kNone for files that are not images
    Bytes bytes;
};

// Every kind of input, photographs and damaged files among them.
std::vector<Sample> mixed_inputs() {
    const fixtures::Rgba photo = fixtures::make_pattern(301, 197, true);
    const fixtures::Rgba clear = fixtures::make_pattern(64, 96);
    const Bytes jpg = fixtures::encode(fixtures::kJpeg, photo, 85);
    const Bytes webp = fixtures::encode(fixtures::kWebp, clear, 70);
    return {
        {"photo.jpg", fixtures::kJpeg, jpg},
        {"progressive.jpg", fixtures::kJpeg, fixtures::progressive_jpeg(80, 48, 3, 3)},
        {"turned.jpg", fixtures::kJpeg, fixtures::with_exif(jpg, fixtures::exif_block(6))},
        {"mirrored.png", fixtures::kPng,
         fixtures::with_exif(fixtures::encode(fixtures::kPng, clear), fixtures::exif_block(2, true))},
        {"clear.png", fixtures::kPng, fixtures::encode(fixtures::kPng, clear)},
        {"scan.bmp", fixtures::kBmp, fixtures::encode(fixtures::kBmp, photo)},
        {"clear.webp", fixtures::kWebp, webp},
        {"turned.webp", fixtures::kWebp, fixtures::with_exif(webp, fixtures::exif_block(8))},
        {"lossless.webp", fixtures::kWebp, fixtures::encode(fixtures::kWebp, clear, -1)},
        {"cut.jpg", fixtures::kJpeg, Bytes(jpg.begin(), jpg.begin() + static_cast<std::ptrdiff_t>(jpg.size() / 2))},
        {"cut.webp", fixtures::kWebp, Bytes(webp.begin(), webp.begin() + 40)},
        {"fake.png", fixtures::kPng, Bytes{'n', 'o', 't', ' ', 'a', 'n', ' ', 'i', 'm', 'a', 'g', 'e'}},
        {"phone.jpg", fixtures::kJpeg,
         fixtures::with_icc(fixtures::with_xmp(fixtures::with_exif(jpg, fixtures::exif_block(8)), "<x:xmpmeta/>"),
                            fixtures::make_profile(fixtures::Profile::kDisplayP3), 3)},
        {"camera.webp", fixtures::kWebp,
         fixtures::with_icc(fixtures::encode(fixtures::kWebp, clear, -1), fixtures::make_profile(fixtures::Profile::kAdobeRgb))},
    };
}

const Way kSetups[] = {
    {"defaults"},
    {"png box watermark", 120, 90, RASTRA_FORMAT_PNG, 90, "rastra 14"},
    {"jpeg upright srgb exif xmp", 100, 0, RASTRA_FORMAT_JPEG, 40, nullptr, 1, RASTRA_COLOR_SRGB,
     RASTRA_KEEP_EXIF | RASTRA_KEEP_XMP},
    {"webp upright watermark profile kept", 0, 64, RASTRA_FORMAT_WEBP, 75, "(c) x", 1, RASTRA_COLOR_KEEP},
    {"png srgb", 0, 0, RASTRA_FORMAT_PNG, 90, nullptr, 0, RASTRA_COLOR_SRGB},
    {"fast jpeg halved", 150, 100, RASTRA_FORMAT_JPEG, 85, nullptr, 1, RASTRA_COLOR_SRGB, 0, RASTRA_CODECS_FAST},
    {"fast png", 0, 0, RASTRA_FORMAT_PNG, 90, "fast", 0, RASTRA_COLOR_IGNORE, RASTRA_KEEP_EXIF, RASTRA_CODECS_FAST},
    {"bmp", 50, 50, RASTRA_FORMAT_BMP, 90},
};

// What one conversion gave: the bytes, or the message.
struct Result {
    int32_t ok = 0;
    Bytes bytes;
    std::string message;
    bool operator==(const Result& o) const { return ok == o.ok && bytes == o.bytes && message == o.message; }
};

Result in_memory(const rastra_settings* s, const Bytes& input) {
    void* out = nullptr;
    size_t size = 0;
    char error[RASTRA_ERROR_CAPACITY];
    Result r;
    r.ok = rastra_convert(s, input.data(), input.size(), &out, &size, error, sizeof error);
    if (out != nullptr) r.bytes.assign(static_cast<uint8_t*>(out), static_cast<uint8_t*>(out) + size);
    rastra_free(out);
    r.message = error;
    return r;
}

Result on_disk(const rastra_settings* s, const std::string& in, const std::string& out) {
    char error[RASTRA_ERROR_CAPACITY];
    Result r;
    r.ok = rastra_convert_file(s, in.c_str(), out.c_str(), error, sizeof error);
    if (r.ok == 1) r.bytes = fixtures::read_file(out);
    r.message = error;
    return r;
}

// A message with the file's paths, as the memory interface says it.
std::string as_memory_message(std::string m, const std::string& in, const std::string& out) {
    if (m.compare(0, 14, "process_file: ") == 0) m.replace(0, 14, "convert: ");
    if (auto p = m.find(in); p != std::string::npos) m.replace(p, in.size(), "input");
    if (auto p = m.find(out); p != std::string::npos) m.replace(p, out.size(), "output");
    return m;
}

// size bytes of address space that read as zeros and cost no memory until
// written. With the head only, reading past the first kHead bytes faults, so
// a test sees whether anything beyond them is read.
class Zeros {
public:
    static constexpr std::size_t kHead = 64 * 1024;
    Zeros(uint64_t size, bool head_only) : size_(static_cast<std::size_t>(size)) {
#if defined(_WIN32)
        void* p = VirtualAlloc(nullptr, size_, head_only ? MEM_RESERVE : MEM_RESERVE | MEM_COMMIT,
                               head_only ? PAGE_NOACCESS : PAGE_READWRITE);
        if (p != nullptr && head_only && VirtualAlloc(p, kHead, MEM_COMMIT, PAGE_READWRITE) == nullptr) {
            VirtualFree(p, 0, MEM_RELEASE);
            p = nullptr;
        }
        data_ = static_cast<uint8_t*>(p);
#else
        void* p = mmap(nullptr, size_, head_only ? PROT_NONE : PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (p != MAP_FAILED && head_only && mprotect(p, kHead, PROT_READ | PROT_WRITE) != 0) {
            munmap(p, size_);
            p = MAP_FAILED;
        }
        data_ = p == MAP_FAILED ? nullptr : static_cast<uint8_t*>(p);
#endif
    }
    ~Zeros() {
        if (data_ == nullptr) return;
#if defined(_WIN32)
        VirtualFree(data_, 0, MEM_RELEASE);
#else
        munmap(data_, size_);
#endif
    }
    Zeros(const Zeros&) = delete;
    Zeros& operator=(const Zeros&) = delete;
    uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }

private:
    uint8_t* data_ = nullptr;
    std::size_t size_;
};

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override { rastra_init(); }
    std::string put(const std::string& name, const Bytes& bytes) {
        fixtures::write_file(dir / name, bytes);
        return dir / name;
    }
    fixtures::TempDir dir;
};

}  // namespace

TEST_F(SettingsTest, EightThreadsGiveOneThreadsBytesAndTheProcessWideOnes) {
    const std::vector<Sample> inputs = mixed_inputs();
    fixtures::fs::create_directory(dir.path() / "in");
    for (const Sample& in : inputs) fixtures::write_file(dir.path() / "in" / in.name, in.bytes);
    std::vector<SettingsPtr> objects;
    for (const Way& s : kSetups) objects.push_back(s.object());

    struct Job {
        std::size_t input, setup;
        std::string out;  // output path below the run's directory
    };
    std::vector<Job> jobs;
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        for (std::size_t k = 0; k < std::size(kSetups); ++k) {
            jobs.push_back({i, k, output_name(kSetups[k], inputs[i].kind, std::to_string(i) + "-" + std::to_string(k))});
        }
    }
    const auto in_path = [&](const Job& j) { return (dir.path() / "in" / inputs[j.input].name).string(); };
    const auto out_path = [&](const std::string& run, const Job& j) { return (dir.path() / run / j.out).string(); };

    // One thread: the process-wide interface, then both settings functions.
    for (const char* run : {"global", "file", "memory-0", "file-8"}) fixtures::fs::create_directory(dir.path() / run);
    std::vector<Result> files(jobs.size()), memory(jobs.size());
    for (std::size_t n = 0; n < jobs.size(); ++n) {
        const Job& j = jobs[n];
        kSetups[j.setup].apply_globally();
        Result global;
        global.ok = rastra_process_file(in_path(j).c_str(), out_path("global", j).c_str());
        if (global.ok == 1) global.bytes = fixtures::read_file(out_path("global", j));
        global.message = rastra_last_error();

        files[n] = on_disk(objects[j.setup].get(), in_path(j), out_path("file", j));
        memory[n] = in_memory(objects[j.setup].get(), inputs[j.input].bytes);
        const std::string what = inputs[j.input].name + " with " + kSetups[j.setup].name;
        EXPECT_EQ(files[n], global) << what;
        EXPECT_EQ(memory[n].ok, global.ok) << what;
        EXPECT_EQ(memory[n].bytes, global.bytes) << what;
        EXPECT_EQ(memory[n].message, as_memory_message(global.message, in_path(j), out_path("global", j))) << what;
    }
    // Every kind of outcome is in the set.
    EXPECT_GT(std::count_if(files.begin(), files.end(), [](const Result& r) { return r.ok == 1; }), 40);
    EXPECT_GE(std::count_if(files.begin(), files.end(), [](const Result& r) { return r.ok == 0; }), 10);

    // Eight threads in shuffled order, sharing the settings objects, beside
    // this thread converting through the process-wide interface.
    std::vector<std::size_t> order(jobs.size());
    for (std::size_t n = 0; n < order.size(); ++n) order[n] = n;
    std::shuffle(order.begin(), order.end(), std::mt19937(14));
    std::vector<Result> files8(jobs.size()), memory8(jobs.size());
    std::atomic<std::size_t> next{0};
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (std::size_t n; (n = next.fetch_add(1)) < order.size();) {
                const Job& j = jobs[order[n]];
                files8[order[n]] = on_disk(objects[j.setup].get(), in_path(j), out_path("file-8", j));
                memory8[order[n]] = in_memory(objects[j.setup].get(), inputs[j.input].bytes);
            }
        });
    }
    kSetups[1].apply_globally();
    int32_t global_runs = 0;
    std::thread global([&] {
        do {
            global_runs += rastra_process_file((dir.path() / "in" / "photo.jpg").string().c_str(),
                                               (dir.path() / "global" / "beside.png").string().c_str());
        } while (!done.load());
    });
    for (auto& t : threads) t.join();
    done = true;
    global.join();
    EXPECT_GE(global_runs, 1);
    for (std::size_t n = 0; n < jobs.size(); ++n) {
        const std::string what = inputs[jobs[n].input].name + " with " + kSetups[jobs[n].setup].name;
        EXPECT_EQ(memory8[n], memory[n]) << what;
        // The messages name the other run's directory.
        EXPECT_EQ(files8[n].ok, files[n].ok) << what;
        EXPECT_EQ(files8[n].bytes, files[n].bytes) << what;
    }
    // The process-wide statistics saw only the process-wide calls.
    EXPECT_EQ(std::string(rastra_stats()).rfind("{\"processed\":" + std::to_string(global_runs) + ",", 0), 0u)
        << rastra_stats();
}

TEST_F(SettingsTest, SettersKeepTheirRangesAndNullMeansDefaults) {
    const Bytes png = fixtures::encode(fixtures::kPng, fixtures::make_pattern(40, 30));
    const rastra_image_info none{};
    const auto kind_and_size = [&](const rastra_settings* s) {
        const Result r = in_memory(s, png);
        rastra_image_info info = none;
        EXPECT_EQ(rastra_probe(r.bytes.data(), r.bytes.size(), &info), 1) << r.message;
        return std::vector<int32_t>{info.format, info.width, info.height};
    };
    const SettingsPtr s(rastra_settings_new());
    ASSERT_NE(s, nullptr);
    // Defaults: automatic keeps the input's format in memory, no box.
    EXPECT_EQ(kind_and_size(nullptr), (std::vector<int32_t>{RASTRA_FORMAT_PNG, 40, 30}));
    EXPECT_EQ(kind_and_size(s.get()), kind_and_size(nullptr));

    rastra_settings_set_format(s.get(), RASTRA_FORMAT_BMP);
    rastra_settings_set_resize(s.get(), 20, 0);
    EXPECT_EQ(kind_and_size(s.get()), (std::vector<int32_t>{RASTRA_FORMAT_BMP, 20, 15}));
    // Out of range: nothing changes.
    rastra_settings_set_format(s.get(), 4);
    rastra_settings_set_format(s.get(), -2);
    rastra_settings_set_resize(s.get(), -1, 10);
    rastra_settings_set_quality(s.get(), 101);
    rastra_settings_set_max_pixels(s.get(), 0);
    rastra_settings_set_max_pixels(s.get(), int64_t{RASTRA_MAX_PIXELS_CEILING} + 1);
    rastra_settings_set_watermark(s.get(), "x", 2, 0.5f);
    rastra_settings_set_watermark(s.get(), nullptr, 20, 0.5f);
    EXPECT_EQ(kind_and_size(s.get()), (std::vector<int32_t>{RASTRA_FORMAT_BMP, 20, 15}));
    EXPECT_EQ(in_memory(s.get(), png).bytes, [&] {
        const SettingsPtr same(rastra_settings_new());
        rastra_settings_set_format(same.get(), RASTRA_FORMAT_BMP);
        rastra_settings_set_resize(same.get(), 20, 0);
        return in_memory(same.get(), png).bytes;
    }());
    // The process-wide setter still refuses BMP.
    rastra_set_format(RASTRA_FORMAT_BMP);
    EXPECT_EQ(rastra_process_file(put("a.dat", png).c_str(), (dir / "a.out").c_str()), 0);
    EXPECT_EQ(rastra_last_error(), "process_file: cannot determine output format from " + (dir / "a.out"));

    // The pixel limit and (0, 0) turning the box off.
    rastra_settings_set_max_pixels(s.get(), 40 * 30 - 1);
    EXPECT_EQ(in_memory(s.get(), png).message, "convert: image too large: input");
    rastra_settings_set_max_pixels(s.get(), 40 * 30);
    rastra_settings_set_resize(s.get(), 0, 0);
    EXPECT_EQ(kind_and_size(s.get()), (std::vector<int32_t>{RASTRA_FORMAT_BMP, 40, 30}));
    // NULL objects are ignored by the setters.
    rastra_settings_set_quality(nullptr, 50);
    rastra_settings_free(nullptr);
}

TEST_F(SettingsTest, MemoryConversionArgumentsAndMessages) {
    const Bytes png = fixtures::encode(fixtures::kPng, fixtures::make_pattern(8, 8));
    void* out = reinterpret_cast<void*>(1);
    size_t size = 7;
    char error[RASTRA_ERROR_CAPACITY] = "stale";
    EXPECT_EQ(rastra_convert(nullptr, nullptr, 3, &out, &size, error, sizeof error), 0);
    EXPECT_STREQ(error, "convert: NULL input/output");
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(rastra_convert(nullptr, png.data(), png.size(), nullptr, &size, error, sizeof error), 0);
    EXPECT_EQ(rastra_convert(nullptr, png.data(), png.size(), &out, nullptr, error, sizeof error), 0);
    // An empty input cannot be read, as an empty file; a message is cut and
    // always terminated.
    EXPECT_EQ(rastra_convert(nullptr, nullptr, 0, &out, &size, error, sizeof error), 0);
    EXPECT_STREQ(error, "convert: cannot read input");
    char small[6] = {'x', 'x', 'x', 'x', 'x', 'x'};
    EXPECT_EQ(rastra_convert(nullptr, "GIF89a", 6, &out, &size, small, sizeof small), 0);
    EXPECT_STREQ(small, "conve");
    EXPECT_EQ(rastra_convert(nullptr, "GIF89a", 6, &out, &size, nullptr, 0), 0);
    // Success empties the message.
    ASSERT_EQ(rastra_convert(nullptr, png.data(), png.size(), &out, &size, error, sizeof error), 1);
    EXPECT_STREQ(error, "");
    EXPECT_EQ(fixtures::sniff(Bytes(static_cast<uint8_t*>(out), static_cast<uint8_t*>(out) + size)), fixtures::kPng);
    rastra_free(out);
    rastra_free(nullptr);
    // The same outcome with its reason.
    rastra_result r;
    EXPECT_EQ(rastra_convert_result(nullptr, "GIF89a", 6, &out, &size, &r), 0);
    EXPECT_EQ(r.reason, RASTRA_REASON_UNSUPPORTED_FORMAT);
    EXPECT_STREQ(r.message, "convert: unsupported image format: input");
    EXPECT_EQ(rastra_convert_result(nullptr, png.data(), png.size(), nullptr, &size, &r), 0);
    EXPECT_EQ(r.reason, RASTRA_REASON_BAD_ARGUMENT);
    ASSERT_EQ(rastra_convert_result(nullptr, png.data(), png.size(), &out, &size, &r), 1);
    EXPECT_EQ(r.output_bytes, size);
    EXPECT_EQ(r.input_bytes, png.size());
    EXPECT_EQ(r.output_format, RASTRA_FORMAT_PNG);
    rastra_free(out);
    EXPECT_EQ(rastra_convert_result(nullptr, png.data(), png.size(), &out, &size, nullptr), 0);
    EXPECT_EQ(rastra_convert_file(nullptr, nullptr, "x.png", nullptr, 0), 0);
    EXPECT_EQ(rastra_convert_file(nullptr, nullptr, "x.png", error, sizeof error), 0);
    EXPECT_STREQ(error, "process_file: NULL input/output");
}

TEST_F(SettingsTest, MemoryIsHeldToTheFileSizeLimit) {
    // The bytes interface refuses, without reading them, more bytes than a
    // file may hold, in both codec sets; at the limit a zero-padded JPEG
    // converts as it does unpadded.
    const Bytes jpg = fixtures::encode(fixtures::kJpeg, fixtures::make_pattern(20, 20), 90);
    ASSERT_LT(jpg.size(), Zeros::kHead);
    const SettingsPtr s(rastra_settings_new());
    rastra_settings_set_max_pixels(s.get(), 400);
    const uint64_t limit = static_cast<uint64_t>(RASTRA_MAX_INPUT_BYTES(400));
    const auto refuses = [&](const Zeros& z, const rastra_settings* settings) {
        ASSERT_NE(z.data(), nullptr);
        std::copy(jpg.begin(), jpg.end(), z.data());
        void* out = reinterpret_cast<void*>(1);
        size_t size = 7;
        rastra_result r;
        EXPECT_EQ(rastra_convert_result(settings, z.data(), z.size(), &out, &size, &r), 0);
        EXPECT_EQ(r.reason, RASTRA_REASON_TOO_LARGE);
        EXPECT_STREQ(r.message, "convert: image too large: input");
        EXPECT_EQ(r.input_bytes, 0u);
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(size, 0u);
    };
    for (const int32_t codecs : {RASTRA_CODECS_REFERENCE, RASTRA_CODECS_FAST}) {
        SCOPED_TRACE(codecs);
        rastra_settings_set_codecs(s.get(), codecs);
        refuses(Zeros(limit + 1, true), s.get());
        const Zeros at(limit, false);
        ASSERT_NE(at.data(), nullptr);
        std::copy(jpg.begin(), jpg.end(), at.data());
        void* out = nullptr;
        size_t size = 0;
        char error[RASTRA_ERROR_CAPACITY];
        ASSERT_EQ(rastra_convert(s.get(), at.data(), at.size(), &out, &size, error, sizeof error), 1) << error;
        EXPECT_EQ(Bytes(static_cast<uint8_t*>(out), static_cast<uint8_t*>(out) + size), in_memory(s.get(), jpg).bytes);
        rastra_free(out);
    }

    // Past the decoders' int and 32-bit lengths, with the default limit: a
    // length cut to its low bits would decode the JPEG at the start. Skipped
    // where the address space cannot be had (under valgrind, say).
    for (const uint64_t size : {(uint64_t{1} << 31) + 3000, (uint64_t{1} << 32) + 3000}) {
        const Zeros huge(size, true);
        if (huge.data() == nullptr) continue;
        SCOPED_TRACE(size);
        const SettingsPtr fast(rastra_settings_new());
        rastra_settings_set_codecs(fast.get(), RASTRA_CODECS_FAST);
        refuses(huge, nullptr);
        refuses(huge, fast.get());
    }
}

TEST_F(SettingsTest, ResultsSayWhatHappenedAndWhy) {
    const Bytes jpg = fixtures::with_exif(fixtures::encode(fixtures::kJpeg, fixtures::make_pattern(60, 40, true)),
                                          fixtures::exif_block(6));
    const std::string in = put("in.jpg", jpg);
    const SettingsPtr s(rastra_settings_new());
    rastra_settings_set_auto_orient(s.get(), 1);
    rastra_settings_set_format(s.get(), RASTRA_FORMAT_WEBP);
    rastra_result r;
    ASSERT_EQ(rastra_convert_file_result(s.get(), in.c_str(), (dir / "out.bin").c_str(), &r), 1) << r.message;
    EXPECT_EQ(r.converted, 1);
    EXPECT_EQ(r.reason, RASTRA_REASON_NONE);
    EXPECT_EQ(r.input_format, RASTRA_FORMAT_JPEG);
    EXPECT_EQ(r.output_format, RASTRA_FORMAT_WEBP);
    EXPECT_EQ(r.width, 40);  // upright: the sides exchanged
    EXPECT_EQ(r.height, 60);
    EXPECT_EQ(r.orientation, 6);
    EXPECT_EQ(r.input_bytes, jpg.size());
    EXPECT_EQ(r.output_bytes, fixtures::size_of(dir / "out.bin"));
    EXPECT_STREQ(r.message, "");
    // The byte counts are what the statistics gain for the same file.
    rastra_set_auto_orient(1);
    rastra_set_format(RASTRA_FORMAT_WEBP);
    ASSERT_EQ(rastra_process_file(in.c_str(), (dir / "global.bin").c_str()), 1);
    EXPECT_EQ(std::string(rastra_stats()), "{\"processed\":1,\"failed\":0,\"total_input_bytes\":" +
                                               std::to_string(r.input_bytes) + ",\"total_output_bytes\":" +
                                               std::to_string(r.output_bytes) + "}");

    struct Case {
        std::string input, output;
        int32_t reason, system_error, input_format;
        std::string message;  // %in / %out stand for the two paths
    };
    fixtures::fs::create_directory(dir.path() / "sub.jpg");
    put("empty.jpg", {});
    put("fake.jpg", {'B', 'A', 'D', '!'});
    put("cut.jpg", {0xFF, 0xD8, 0xFF});
    const std::vector<Case> cases = {
        {"missing.jpg", "o.png", RASTRA_REASON_NO_SUCH_FILE, ENOENT, RASTRA_FORMAT_UNKNOWN, "process_file: cannot read %in"},
        {"empty.jpg", "o.png", RASTRA_REASON_EMPTY_FILE, 0, RASTRA_FORMAT_UNKNOWN, "process_file: cannot read %in"},
        {"sub.jpg", "o.png", RASTRA_REASON_NOT_REGULAR_FILE, 0, RASTRA_FORMAT_UNKNOWN, "process_file: cannot read %in"},
        {"fake.jpg", "o.png", RASTRA_REASON_UNSUPPORTED_FORMAT, 0, RASTRA_FORMAT_UNKNOWN,
         "process_file: unsupported image format: %in"},
        {"cut.jpg", "o.png", RASTRA_REASON_CANNOT_DECODE, 0, RASTRA_FORMAT_JPEG, "process_file: cannot decode %in"},
        {"in.jpg", "no/such/dir/o.png", RASTRA_REASON_CANNOT_WRITE, ENOENT, RASTRA_FORMAT_JPEG,
         "process_file: cannot write %out"},
        {"in.jpg", "sub.jpg", RASTRA_REASON_CANNOT_WRITE, EISDIR, RASTRA_FORMAT_JPEG, "process_file: cannot write %out"},
    };
    for (const Case& c : cases) {
        const std::string input = dir / c.input, output = dir / c.output;
        std::string want = c.message;
        if (auto p = want.find("%in"); p != std::string::npos) want.replace(p, 3, input);
        if (auto p = want.find("%out"); p != std::string::npos) want.replace(p, 4, output);
        std::memset(&r, 0x55, sizeof r);
        EXPECT_EQ(rastra_convert_file_result(nullptr, input.c_str(), output.c_str(), &r), 0) << c.input;
        EXPECT_EQ(r.converted, 0);
        EXPECT_EQ(r.reason, c.reason) << c.input;
#if !defined(_WIN32)  // Windows reports other numbers for some of these
        EXPECT_EQ(r.system_error, c.system_error) << c.input;
#endif
        EXPECT_EQ(r.input_format, c.input_format) << c.input;
        EXPECT_EQ(r.input_bytes, 0u);
        EXPECT_EQ(r.output_bytes, 0u);
        EXPECT_EQ(r.message, want) << c.input;
    }
    EXPECT_EQ(rastra_convert_file_result(nullptr, in.c_str(), (dir / "x.png").c_str(), nullptr), 0);
    EXPECT_FALSE(fixtures::fs::exists(dir / "x.png"));
}

TEST_F(SettingsTest, ProbeReadsTheHeaderOnly) {
    const fixtures::Rgba img = fixtures::make_pattern(33, 21);
    struct Case {
        Kind kind;
        int32_t format;
    } const cases[] = {{fixtures::kJpeg, RASTRA_FORMAT_JPEG},
                       {fixtures::kPng, RASTRA_FORMAT_PNG},
                       {fixtures::kBmp, RASTRA_FORMAT_BMP},
                       {fixtures::kWebp, RASTRA_FORMAT_WEBP}};
    for (const Case& c : cases) {
        Bytes file = fixtures::encode(c.kind, img);
        if (c.kind != fixtures::kBmp) file = fixtures::with_exif(file, fixtures::exif_block(7));
        rastra_image_info info{};
        ASSERT_EQ(rastra_probe(file.data(), file.size(), &info), 1) << c.kind;
        EXPECT_EQ(info.format, c.format);
        EXPECT_EQ(info.width, 33);
        EXPECT_EQ(info.height, 21);
        EXPECT_EQ(info.orientation, c.kind == fixtures::kBmp ? 1 : 7) << c.kind;
    }
    // Images too large to convert are still described.
    const Bytes big = fixtures::png_from_scanlines(20000, 10000, 8, 6, Bytes(1, 0));
    rastra_image_info info{};
    ASSERT_EQ(rastra_probe(big.data(), big.size(), &info), 1);
    EXPECT_EQ(info.width, 20000);
    // Not an image, a cut header, NULL: 0, info untouched.
    const Bytes png = fixtures::encode(fixtures::kPng, img);
    info.width = -7;
    EXPECT_EQ(rastra_probe("GIF89a", 6, &info), 0);
    EXPECT_EQ(rastra_probe(png.data(), 20, &info), 0);
    EXPECT_EQ(rastra_probe(nullptr, 10, &info), 0);
    EXPECT_EQ(rastra_probe(png.data(), png.size(), nullptr), 0);
    EXPECT_EQ(info.width, -7);
}

TEST_F(SettingsTest, PlansNameOutputsByTheSettingsAndChainSharedOnes) {
    const fixtures::fs::path in = dir.path() / "in";
    fixtures::fs::create_directory(in);
    for (const char* name : {"a.jpg", "a.png", "b.bmp", "a.webp", ".hidden.png", "notes.txt"}) {
        fixtures::write_file(in / name, fixtures::encode(fixtures::kPng, fixtures::make_pattern(4, 4)));
    }
    struct Seen {
        std::string input, output;
        int32_t index, follows;
    };
    const auto plan = [&](const rastra_settings* s, const std::string& out, char* error) {
        std::vector<Seen> seen;
        const int32_t n = rastra_plan(
            s, in.string().c_str(), out.c_str(),
            [](void* user, const rastra_candidate* c) {
                static_cast<std::vector<Seen>*>(user)->push_back(
                    {fixtures::fs::path(c->input).filename().string(),
                     c->output != nullptr ? fixtures::fs::path(c->output).filename().string() : "", c->index,
                     c->follows});
            },
            &seen, error, RASTRA_ERROR_CAPACITY);
        EXPECT_EQ(static_cast<std::size_t>(n), seen.size());
        return seen;
    };
    rastra_set_format(RASTRA_FORMAT_JPEG);  // the process-wide setting plays no part
    char error[RASTRA_ERROR_CAPACITY] = "stale";
    const SettingsPtr s(rastra_settings_new());
    rastra_settings_set_format(s.get(), RASTRA_FORMAT_BMP);
    const std::vector<Seen> seen = plan(s.get(), dir / "out", error);
    EXPECT_STREQ(error, "");
    ASSERT_EQ(seen.size(), 4u);
    // The listing's order is the platform's; the chain follows it.
    std::vector<int32_t> last_of_a;
    for (std::size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i].index, static_cast<int32_t>(i));
        const std::string stem = seen[i].input.substr(0, seen[i].input.find('.'));
        EXPECT_EQ(seen[i].output, stem + ".bmp");
        if (stem == "a") {
            EXPECT_EQ(seen[i].follows, last_of_a.empty() ? -1 : last_of_a.back()) << seen[i].input;
            last_of_a.push_back(static_cast<int32_t>(i));
        } else {
            EXPECT_EQ(seen[i].follows, -1);
        }
    }
    EXPECT_TRUE(fixtures::fs::is_directory(dir.path() / "out"));
    // Automatic keeps each input's family: no chains.
    for (const Seen& c : plan(nullptr, dir / "auto", error)) EXPECT_EQ(c.follows, -1) << c.input;
    // Failures say why in the caller's buffer and leave the last error alone.
    rastra_set_format(RASTRA_FORMAT_PNG);
    EXPECT_EQ(rastra_process_file((dir / "missing").c_str(), (dir / "x.png").c_str()), 0);
    const std::string last = rastra_last_error();
    EXPECT_EQ(rastra_plan(nullptr, (dir / "none").c_str(), (dir / "o2").c_str(), nullptr, nullptr, error, sizeof error), 0);
    EXPECT_EQ(error, "run: cannot open directory " + (dir / "none"));
    EXPECT_EQ(rastra_plan(nullptr, nullptr, "x", nullptr, nullptr, error, sizeof error), 0);
    EXPECT_STREQ(error, "run: NULL input_dir/output_dir");
    EXPECT_EQ(rastra_last_error(), last);
    EXPECT_EQ(std::string(rastra_stats()), "{\"processed\":0,\"failed\":0,\"total_input_bytes\":0,\"total_output_bytes\":0}");
}

TEST_F(SettingsTest, OutputsThatDifferOnlyInCaseAreOneFileOnWindows) {
    const fixtures::fs::path in = dir.path() / "in";
    fixtures::fs::create_directory(in);
    for (const char* name : {"Shot.jpg", "shot.png"}) {
        fixtures::write_file(in / name, fixtures::encode(fixtures::kPng, fixtures::make_pattern(4, 4)));
    }
    const SettingsPtr s(rastra_settings_new());
    rastra_settings_set_format(s.get(), RASTRA_FORMAT_WEBP);
    std::vector<int32_t> follows;
    ASSERT_EQ(rastra_plan(
                  s.get(), in.string().c_str(), (dir / "out").c_str(),
                  [](void* user, const rastra_candidate* c) { static_cast<std::vector<int32_t>*>(user)->push_back(c->follows); },
                  &follows, nullptr, 0),
              2);
#if defined(_WIN32)
    // Shot.webp and shot.webp name one file: the later input waits for the earlier.
    EXPECT_EQ(follows, (std::vector<int32_t>{-1, 0}));
#else
    EXPECT_EQ(follows, (std::vector<int32_t>{-1, -1}));
#endif
}
