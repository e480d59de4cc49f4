// A host that loads the library at run time, as an FFI would: every export
// resolves by its plain name, nothing else does, and the functions work.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "fixtures.h"

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

class Library {
public:
    explicit Library(std::string path) {
#if defined(_WIN32)
        if (!path.empty() && path[0] == '/') path = "Z:" + path;  // a Unix path under Wine
        handle_ = LoadLibraryA(path.c_str());
#else
        handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
#endif
    }
    ~Library() {
#if defined(_WIN32)
        if (handle_ != nullptr) FreeLibrary(static_cast<HMODULE>(handle_));
#else
        if (handle_ != nullptr) dlclose(handle_);
#endif
    }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    bool loaded() const { return handle_ != nullptr; }
    void* symbol(const char* name) const {
#if defined(_WIN32)
        return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
#else
        return dlsym(handle_, name);
#endif
    }
    template <class Fn>
    Fn* function(const char* name) const {
        return reinterpret_cast<Fn*>(symbol(name));
    }

private:
    void* handle_ = nullptr;
};

}  // namespace

// The library built with this test, or another copy named by RASTRA_LIBRARY
// (the one in the Windows download).
const char* library_path() {
    const char* other = std::getenv("RASTRA_LIBRARY");
    return other != nullptr && other[0] != '\0' ? other : RASTRA_LIBRARY;
}

TEST(DynamicLoad, ResolvesTheExportsAndNothingElse) {
    Library lib(library_path());
    ASSERT_TRUE(lib.loaded()) << library_path();
    for (const char* name : {"rastra_init", "rastra_cleanup", "rastra_reset", "rastra_set_resize", "rastra_set_format",
                             "rastra_set_quality", "rastra_set_watermark", "rastra_set_strip_metadata", "rastra_set_max_pixels", "rastra_plan_run", "rastra_set_auto_orient",
                             "rastra_set_run_observer", "rastra_stats",
                             "rastra_last_error", "rastra_process_file", "rastra_run"}) {
        EXPECT_NE(lib.symbol(name), nullptr) << name;
    }
    for (const char* hidden : {"detect_format", "fmt_from_ext", "_ZN6rastra13detect_formatEPKhy", "stbi_load_from_memory",
                               "stbir_resize_uint8_srgb", "WebPEncodeRGBA", "WebPDecodeRGBA", "WebPFree"}) {
        EXPECT_EQ(lib.symbol(hidden), nullptr) << hidden;
    }
}

TEST(DynamicLoad, ConvertsThroughResolvedPointers) {
    Library lib(library_path());
    ASSERT_TRUE(lib.loaded());
    auto* init = lib.function<int32_t()>("rastra_init");
    auto* set_resize = lib.function<void(int32_t, int32_t)>("rastra_set_resize");
    auto* set_watermark = lib.function<void(const char*, int32_t, float)>("rastra_set_watermark");
    auto* process = lib.function<int32_t(const char*, const char*)>("rastra_process_file");
    auto* run = lib.function<int32_t(const char*, const char*)>("rastra_run");
    auto* stats = lib.function<const char*()>("rastra_stats");
    auto* last_error = lib.function<const char*()>("rastra_last_error");
    ASSERT_TRUE(init && set_resize && set_watermark && process && run && stats && last_error);

    fixtures::TempDir dir;
    fixtures::write_file(dir / "in.png", fixtures::encode(fixtures::kPng, fixtures::make_pattern(80, 60)));
    EXPECT_EQ(init(), 1);
    set_resize(40, 40);
    set_watermark("ok", 13, 0.5f);
    ASSERT_EQ(process((dir / "in.png").c_str(), (dir / "out.webp").c_str()), 1) << last_error();
    fixtures::Rgba out;
    ASSERT_TRUE(fixtures::decode(fixtures::read_file(dir / "out.webp"), out));
    EXPECT_EQ(out.width, 40);
    EXPECT_EQ(out.height, 30);
    EXPECT_EQ(run(dir.path().string().c_str(), (dir / "out").c_str()), 1) << last_error();  // in.png, out.webp
    EXPECT_EQ(std::string(stats()).rfind("{\"processed\":3,\"failed\":0,", 0), 0u) << stats();
    EXPECT_EQ(process(nullptr, nullptr), 0);
    EXPECT_STREQ(last_error(), "process_file: NULL input/output");
}
