// POSIX implementation of the platform layer: file measuring, directory
// checks, creation and listing, and outputs written beside their target and
// renamed into place.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

int64_t file_size(const char* path) noexcept {
    FilePtr f = open_read(path);
    return f ? seek_end(f.get()) : -1;
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

// ---- OutputFile ----------------------------------------------------------------

namespace {

// A fresh name beside target: "<target>.<pid>-<n>.tmp", created exclusively
// with the permissions a new file would get (0666 less the umask).
int create_temp(const char* target, char*& temp) noexcept {
    static unsigned counter = 0;
    const std::size_t len = std::strlen(target) + 48;
    temp = static_cast<char*>(std::malloc(len));
    if (temp == nullptr) return -1;
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::snprintf(temp, len, "%s.%ld-%u.tmp", target, static_cast<long>(::getpid()), counter++);
        const int fd = ::open(temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

}  // namespace

OutputFile::OutputFile(const char* target) noexcept : target_(target) {
    struct stat st;
    const bool exists = ::lstat(target, &st) == 0;
    // Replace only a plain, writable file (or nothing yet). A symbolic link,
    // device, FIFO, a file with other names or one we may not write is opened
    // as addressed, and so is any target we cannot put a temporary file beside.
    const bool replace = !exists || (S_ISREG(st.st_mode) && st.st_nlink == 1 && ::access(target, W_OK) == 0);
    if (replace) {
        const int fd = create_temp(target, temp_);
        if (fd >= 0) {
            if (exists) (void)::fchmod(fd, st.st_mode & 07777);  // keep the replaced file's mode
            file_ = ::fdopen(fd, "wb");
            if (file_ != nullptr) return;
            ::close(fd);
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
    if (std::rename(temp_, target_) != 0) {
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
        ::unlink(temp_);
        std::free(temp_);
        temp_ = nullptr;
    }
}

}  // namespace rastra
