// POSIX implementation of the platform layer: opening inputs, file measuring,
// directory checks, creation and listing, file identities.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "internal.h"

namespace rastra {

FilePtr open_read(const char* path, int32_t& error) noexcept {
    // O_NONBLOCK: opening a FIFO waits for a writer otherwise. Only regular
    // files are images to read; reading a FIFO or device could block forever.
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        error = errno;
        return nullptr;
    }
    struct stat st;
    std::FILE* f = nullptr;
    if (::fstat(fd, &st) != 0) {
        error = errno;
    } else if (!S_ISREG(st.st_mode)) {
        error = kNotRegular;
    } else if ((f = ::fdopen(fd, "rb")) == nullptr) {
        error = errno;
    }
    if (f == nullptr) ::close(fd);
    return FilePtr(f);
}

int64_t seek_end(std::FILE* f) noexcept {
    if (fseeko(f, 0, SEEK_END) != 0) return -1;
    const off_t pos = ftello(f);
    return pos >= 0 ? static_cast<int64_t>(pos) : -1;
}

bool is_directory(const char* path) noexcept {
    struct stat st;
    return ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

MkdirResult make_dir(const char* path) noexcept {
    if (::mkdir(path, 0777) == 0) return MkdirResult::kCreated;
    return errno == EEXIST ? MkdirResult::kExists : MkdirResult::kFailed;
}

bool list_dir(const char* dir, std::vector<std::string>& names) {
    DIR* d = ::opendir(dir);
    if (d == nullptr) return false;
    std::unique_ptr<DIR, int (*)(DIR*)> owner(d, ::closedir);
    while (const dirent* e = ::readdir(d)) names.emplace_back(e->d_name);
    return true;
}

bool file_id(const char* path, FileId& id) noexcept {
    struct stat st;
    if (::stat(path, &st) != 0) return false;
    id.volume = static_cast<uint64_t>(st.st_dev);
    id.index = static_cast<uint64_t>(st.st_ino);
    return true;
}

std::string output_key(const std::string& path) { return path; }

int32_t last_system_error() noexcept { return errno; }
void clear_system_error() noexcept { errno = 0; }

}  // namespace rastra
