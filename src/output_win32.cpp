// Win32 calls behind write_output: a temporary file beside the target put in
// its place with ReplaceFileA (which keeps the replaced file's attributes and
// security) or, for a new file or a path ReplaceFileA cannot handle,
// MoveFileExA; in-place writes behind growing the file first;
// devices and pipes opened as addressed. No handle is inheritable.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <atomic>
#include <cstring>

#include "internal.h"

namespace rastra {

namespace {

struct HandleCloser {
    void operator()(HANDLE h) const noexcept { CloseHandle(h); }
};
using Handle = std::unique_ptr<void, HandleCloser>;

Handle open_handle(const char* path, DWORD access, DWORD disposition, DWORD flags = FILE_ATTRIBUTE_NORMAL) noexcept {
    // A null security descriptor: the handle is not inherited.
    const HANDLE h = CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 disposition, flags, nullptr);
    return Handle(h == INVALID_HANDLE_VALUE ? nullptr : h);
}

bool write_all(HANDLE h, const uint8_t* data, std::size_t size) noexcept {
    while (size > 0) {
        const DWORD chunk = size < (std::size_t{1} << 30) ? static_cast<DWORD>(size) : (DWORD{1} << 30);
        DWORD written = 0;
        if (!WriteFile(h, data, chunk, &written, nullptr) || written == 0) return false;
        data += written;
        size -= written;
    }
    return true;
}

bool seek(HANDLE h, std::size_t offset) noexcept {
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    return SetFilePointerEx(h, at, nullptr, FILE_BEGIN) != 0;
}

bool is_missing(DWORD error) noexcept { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

// ReplaceFileA's failures that mean the target must stay as it is: it is
// protected, open or mapped without sharing, or locked, and a rename would be
// refused for the same reason or do what the owner forbade. Any other failure
// is ReplaceFileA's own (Wine refuses a rooted path without a drive,
// \dir\o.jpg, with ERROR_DIRECTORY; some network file systems lack it;
// ERROR_UNABLE_TO_MOVE_REPLACEMENT leaves the target removed and the new file
// under its temporary name), and a plain rename puts the file in place.
bool target_refused(DWORD error) noexcept {
    switch (error) {
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_USER_MAPPED_FILE:
        case ERROR_WRITE_PROTECT:
        case ERROR_UNABLE_TO_REMOVE_REPLACED:
            return true;
        default:
            return false;
    }
}

// Puts temp in place of target, an existing file.
bool replace_with(const char* target, const char* temp) noexcept {
    if (ReplaceFileA(target, temp, nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)) return true;
    return !target_refused(GetLastError()) && MoveFileExA(temp, target, MOVEFILE_REPLACE_EXISTING) != 0;
}

}  // namespace

Target inspect_target(const char* target) noexcept {
    Target t;
    const DWORD attrs = GetFileAttributesA(target);
    // Opening follows a symbolic link; backup semantics admit directories.
    const Handle h = open_handle(target, FILE_READ_ATTRIBUTES, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    if (!h) {
        if (!is_missing(GetLastError())) return t;
        const bool link = attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        t.kind = link ? TargetKind::kDanglingLink : TargetKind::kNew;
        return t;
    }
    if (GetFileType(h.get()) != FILE_TYPE_DISK) {
        t.kind = TargetKind::kSpecial;  // NUL, CON, a pipe
        return t;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h.get(), &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return t;
    }
    if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        // Replace the file the link names, beside it.
        const DWORD n = GetFinalPathNameByHandleA(h.get(), nullptr, 0, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        t.resolved.reset(n == 0 ? nullptr : static_cast<char*>(std::malloc(n + 1)));
        if (!t.resolved ||
            GetFinalPathNameByHandleA(h.get(), t.resolved.get(), n + 1, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS) == 0) {
            t.resolved.reset();
            return t;
        }
    }
    // A read-only file is not ours to write, whoever we are; replacing a file
    // with other names would split them.
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) return t;
    t.kind = info.nNumberOfLinks > 1 ? TargetKind::kInPlace : TargetKind::kReplace;
    return t;
}

TempResult write_via_temp(const char* path, const uint8_t* data, std::size_t size) noexcept {
    const char* sep = nullptr;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '\\' || *p == '/') sep = p;
    }
    const std::size_t dir_len = sep == nullptr ? 0 : static_cast<std::size_t>(sep - path) + 1;
    MallocPtr<char> temp(static_cast<char*>(std::malloc(dir_len + 64)));
    if (!temp) return TempResult::kNoTemp;
    std::memcpy(temp.get(), path, dir_len);

    // A short dot-file name: a directory run never takes it for an input.
    // Shared by every thread: names must differ between concurrent writers.
    static std::atomic<unsigned> counter{0};
    Handle h;
    for (int attempt = 0; attempt < 100 && !h; ++attempt) {
        std::snprintf(temp.get() + dir_len, 64, ".rastra-%lu-%u.tmp", GetCurrentProcessId(), counter.fetch_add(1, std::memory_order_relaxed));
        h = open_handle(temp.get(), GENERIC_WRITE, CREATE_NEW);
        if (!h && GetLastError() != ERROR_FILE_EXISTS) break;
    }
    if (!h) return TempResult::kNoTemp;
    const bool written = write_all(h.get(), data, size);
    h.reset();
    // ReplaceFileA keeps the replaced file's security and creation time; it
    // needs the target to exist. Its attributes (hidden, system, archive...)
    // are set again afterwards, as neither every implementation nor the
    // rename it may fall back on carries them.
    const DWORD attrs = GetFileAttributesA(path);
    const bool placed =
        written && (attrs != INVALID_FILE_ATTRIBUTES ? replace_with(path, temp.get())
                                                     : MoveFileExA(temp.get(), path, MOVEFILE_REPLACE_EXISTING) != 0);
    if (!placed) {
        DeleteFileA(temp.get());
        return TempResult::kFailed;
    }
    if (attrs != INVALID_FILE_ATTRIBUTES && GetFileAttributesA(path) != attrs) SetFileAttributesA(path, attrs);
    return TempResult::kWritten;
}

bool write_in_place(const char* path, bool create, const uint8_t* data, std::size_t size) noexcept {
    Handle h = open_handle(path, GENERIC_WRITE, create ? OPEN_ALWAYS : OPEN_EXISTING);
    if (!h) return false;
    const bool created = create && GetLastError() != ERROR_ALREADY_EXISTS;
    if (GetFileType(h.get()) != FILE_TYPE_DISK) return write_all(h.get(), data, size);
    LARGE_INTEGER old_size;
    // Growing the file first reserves the room for the new content; when that
    // fails the file is as it was.
    bool ok = GetFileSizeEx(h.get(), &old_size) != 0 &&
              (static_cast<uint64_t>(old_size.QuadPart) >= size || (seek(h.get(), size) && SetEndOfFile(h.get())));
    ok = ok && seek(h.get(), 0) && write_all(h.get(), data, size) && seek(h.get(), size) && SetEndOfFile(h.get());
    h.reset();
    if (!ok && created) DeleteFileA(path);  // nothing stood here before: leave nothing behind
    return ok;
}

bool write_special(const char* path, const uint8_t* data, std::size_t size) noexcept {
    const Handle h = open_handle(path, GENERIC_WRITE, OPEN_EXISTING);
    return h && write_all(h.get(), data, size);
}

uint64_t max_file_size() noexcept { return UINT64_MAX; }

}  // namespace rastra
