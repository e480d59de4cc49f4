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
#include <sys/stat.h>

#include <cerrno>

#include "internal.h"

namespace rastra {

FilePtr open_read(const char* path) noexcept { return FilePtr(std::fopen(path, "rb")); }

int64_t seek_end(std::FILE* f) noexcept {
    if (_fseeki64(f, 0, SEEK_END) != 0) return -1;
    const __int64 pos = _ftelli64(f);
    return pos >= 0 ? static_cast<int64_t>(pos) : -1;
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

// ---- replacing outputs ---------------------------------------------------------

bool is_replaceable(const char* target) noexcept {
    const DWORD attrs = GetFileAttributesA(target);
    if (attrs == INVALID_FILE_ATTRIBUTES) return GetLastError() == ERROR_FILE_NOT_FOUND;
    // A directory, a reparse point (symbolic link, junction), a device or a
    // read-only file is written as addressed.
    return (attrs & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE |
                     FILE_ATTRIBUTE_READONLY)) == 0;
}

std::FILE* create_exclusive(const char* path, const char* /*like*/) noexcept {
    const int fd = _open(path, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd < 0) return nullptr;
    std::FILE* f = _fdopen(fd, "wb");
    if (f == nullptr) {
        _close(fd);
        DeleteFileA(path);
    }
    return f;
}

long process_id() noexcept { return static_cast<long>(GetCurrentProcessId()); }

bool replace_file(const char* from, const char* to) noexcept {
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != 0;
}

}  // namespace rastra
