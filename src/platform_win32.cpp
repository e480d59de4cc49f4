// Win32 implementation of the platform layer: narrow (ANSI code page) paths,
// the C runtime's streams, GetFileAttributesA, the find-file functions and
// _mkdir, and file identities from GetFileInformationByHandle. No handle is
// inherited by child processes.
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

FilePtr open_read(const char* path, int32_t& error) noexcept {
    const int fd = _open(path, _O_RDONLY | _O_BINARY | _O_NOINHERIT);
    if (fd < 0) {
        // Opening a directory is refused as access denied.
        error = errno == EACCES && is_directory(path) ? kNotRegular : errno;
        return nullptr;
    }
    // Only files on disk: reading a pipe or a console (CON) could block forever.
    std::FILE* f = nullptr;
    if (GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(fd))) != FILE_TYPE_DISK) {
        error = kNotRegular;
    } else if ((f = _fdopen(fd, "rb")) == nullptr) {
        error = errno;
    }
    if (f == nullptr) _close(fd);
    return FilePtr(f);
}

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
    if (dir[0] == '\0') return false;  // "\\*" would list the current drive's root
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

bool file_id(const char* path, FileId& id) noexcept {
    // Opening follows a symbolic link; backup semantics admit directories.
    // Reading attributes needs no other access, and sharing everything keeps
    // the look from getting in anyone's way.
    const HANDLE h = CreateFileA(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    std::unique_ptr<void, BOOL (WINAPI*)(HANDLE)> owner(h, CloseHandle);
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info)) return false;
    id.volume = info.dwVolumeSerialNumber;
    id.index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}

std::string output_key(const std::string& path) {
    // NTFS and FAT compare names without regard to case.
    std::string key = path;
    for (char& c : key) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c | 0x20);
        if (c == '/') c = '\\';
    }
    return key;
}

int32_t last_system_error() noexcept {
    if (errno != 0) return errno;
    switch (GetLastError()) {
        case ERROR_SUCCESS: return 0;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND: return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION: return EACCES;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL: return ENOSPC;
        default: return EIO;
    }
}

void clear_system_error() noexcept {
    errno = 0;
    SetLastError(ERROR_SUCCESS);
}

}  // namespace rastra
