// Win32 implementation of the platform layer: narrow (ANSI code page) paths,
// the C runtime's streams, GetFileAttributesA, the find-file functions and
// _mkdir, and outputs written beside their target and moved into place.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "internal.h"

namespace rastra {

FilePtr open_read(const char* path) noexcept { return FilePtr(std::fopen(path, "rb")); }

int64_t seek_end(std::FILE* f) noexcept {
    if (_fseeki64(f, 0, SEEK_END) != 0) return -1;
    const __int64 pos = _ftelli64(f);
    return pos >= 0 ? static_cast<int64_t>(pos) : -1;
}

int64_t file_size(const char* path) noexcept {
    FilePtr f = open_read(path);
    return f ? seek_end(f.get()) : -1;
}

bool is_directory(const char* path) noexcept {
    const DWORD attrs = GetFileAttributesA(path);
    return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

MkdirResult make_dir(const char* path) noexcept {
    if (_mkdir(path) == 0) return MkdirResult::kCreated;
    return errno == EEXIST ? MkdirResult::kExists : MkdirResult::kFailed;
}

bool list_dir(const char* dir, std::vector<std::string>& names) {
    std::string pattern = dir;
    pattern += "\\*";
    WIN32_FIND_DATAA entry;
    const HANDLE h = FindFirstFileA(pattern.c_str(), &entry);
    if (h == INVALID_HANDLE_VALUE) return false;
    std::unique_ptr<void, BOOL (WINAPI*)(HANDLE)> owner(h, FindClose);
    do {
        names.emplace_back(entry.cFileName);
    } while (FindNextFileA(h, &entry));  // a failing listing simply ends here
    return true;
}

// ---- OutputFile ----------------------------------------------------------------

namespace {

// A fresh name beside target, "<target>.<pid>-<n>.tmp", created exclusively.
int create_temp(const char* target, char*& temp) noexcept {
    static unsigned counter = 0;
    const std::size_t len = std::strlen(target) + 48;
    temp = static_cast<char*>(std::malloc(len));
    if (temp == nullptr) return -1;
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::snprintf(temp, len, "%s.%d-%u.tmp", target, _getpid(), counter++);
        const int fd = _open(temp, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

}  // namespace

OutputFile::OutputFile(const char* target) noexcept : target_(target) {
    const DWORD attrs = GetFileAttributesA(target);
    // Replace only a plain, writable file (or nothing yet); a directory, a
    // reparse point (symbolic link, junction), a device or a read-only file is
    // opened as addressed, and so is any target we cannot put a temporary
    // file beside.
    const bool replace = attrs == INVALID_FILE_ATTRIBUTES ||
                         (attrs & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE |
                                   FILE_ATTRIBUTE_READONLY)) == 0;
    if (replace) {
        const int fd = create_temp(target, temp_);
        if (fd >= 0) {
            file_ = _fdopen(fd, "wb");
            if (file_ != nullptr) return;
            _close(fd);
            discard();
        }
        std::free(temp_);
        temp_ = nullptr;
    }
    file_ = std::fopen(target, "wb");
}

OutputFile::~OutputFile() { discard(); }

void OutputFile::write(const void* data, std::size_t size) noexcept {
    if (ok_ && size != 0 && std::fwrite(data, 1, size, file_) != size) ok_ = false;
}

bool OutputFile::commit() noexcept {
    if (file_ == nullptr) return false;
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    if (!ok_ || !closed) {
        discard();
        return false;
    }
    if (temp_ == nullptr) return true;
    if (!MoveFileExA(temp_, target_, MOVEFILE_REPLACE_EXISTING)) {
        discard();
        return false;
    }
    std::free(temp_);
    temp_ = nullptr;
    return true;
}

void OutputFile::discard() noexcept {
    if (file_ != nullptr) {
        std::fclose(file_);
        file_ = nullptr;
    }
    if (temp_ != nullptr) {
        DeleteFileA(temp_);
        std::free(temp_);
        temp_ = nullptr;
    }
}

}  // namespace rastra
