// POSIX implementation of the platform layer: file measuring, directory
// checks, creation and listing, and outputs written beside their target and
// renamed into place.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "internal.h"

namespace rastra {

FilePtr open_read(const char* path) noexcept {
    FilePtr f(std::fopen(path, "rb"));
    // glibc opens directories for reading; they are not files to convert.
    struct stat st;
    if (f && (::fstat(::fileno(f.get()), &st) != 0 || S_ISDIR(st.st_mode))) f.reset();
    return f;
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

// ---- replacing outputs ---------------------------------------------------------

bool is_replaceable(const char* target) noexcept {
    struct stat st;
    if (::lstat(target, &st) != 0) return errno == ENOENT;
    // A symbolic link, device or FIFO, a file with other names, or one we may
    // not write is written as addressed.
    return S_ISREG(st.st_mode) && st.st_nlink == 1 && ::access(target, W_OK) == 0;
}

std::FILE* create_exclusive(const char* path, const char* like) noexcept {
    // 0666 less the umask, as for any new file, unless there is a file to copy.
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    struct stat st;
    if (::stat(like, &st) == 0) (void)::fchmod(fd, st.st_mode & 07777);
    std::FILE* f = ::fdopen(fd, "wb");
    if (f == nullptr) {
        ::close(fd);
        ::unlink(path);
    }
    return f;
}

long process_id() noexcept { return static_cast<long>(::getpid()); }

bool replace_file(const char* from, const char* to) noexcept { return std::rename(from, to) == 0; }

}  // namespace rastra
