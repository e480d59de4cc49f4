// POSIX calls behind write_output: temporary files without a name while they
// are written (Linux O_TMPFILE), renamed into place; in-place writes behind a
// space reservation; FIFOs and devices opened without blocking.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "internal.h"

namespace rastra {

namespace {

class Fd {
public:
    explicit Fd(int fd = -1) noexcept : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    void reset(int fd = -1) noexcept {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    // Closes, reporting the error a delayed write may only show here.
    bool close() noexcept {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

bool write_all(int fd, const uint8_t* data, std::size_t size) noexcept {
    while (size > 0) {
        const std::size_t chunk = size < (std::size_t{1} << 30) ? size : (std::size_t{1} << 30);
        const ssize_t n = ::write(fd, data, chunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool clear_nonblock(int fd) noexcept {
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

// The directory part of path ("." when there is none), malloc'd with room for
// a temporary file name after it.
MallocPtr<char> directory_of(const char* path) noexcept {
    const char* slash = std::strrchr(path, '/');
    const std::size_t len = slash == nullptr ? 1 : (slash == path ? 1 : static_cast<std::size_t>(slash - path));
    MallocPtr<char> dir(static_cast<char*>(std::malloc(len + 64)));
    if (!dir) return dir;
    if (slash == nullptr) {
        dir.get()[0] = '.';
    } else {
        std::memcpy(dir.get(), path, len);  // "/" for a file in the root
    }
    dir.get()[len] = '\0';
    return dir;
}

// Writes "<dir>/.rastra-<pid>-<n>.tmp" into buf after the directory's dir_len
// bytes: short, whatever the target's name, and a dot-file, so a directory run
// never takes it for an input.
void temp_name(char* buf, std::size_t dir_len) noexcept {
    // Shared by every thread: names must differ between concurrent writers.
    static std::atomic<unsigned> counter{0};
    std::snprintf(buf + dir_len, 64, "%s.rastra-%ld-%u.tmp", buf[dir_len - 1] == '/' ? "" : "/",
                  static_cast<long>(::getpid()), counter.fetch_add(1, std::memory_order_relaxed));
}

// A replacement takes over the replaced file's owner (when we may set it) and
// permissions, but never the setuid and setgid bits: an image is no program,
// and a file that changes owner must not grant its old owner's rights. A new
// file gets 0666 less the umask.
void keep_owner_and_mode(int fd, const char* path) noexcept {
    struct stat st;
    if (::stat(path, &st) != 0) return;
    if (st.st_uid != ::geteuid() || st.st_gid != ::getegid()) (void)::fchown(fd, st.st_uid, st.st_gid);
    (void)::fchmod(fd, st.st_mode & 01777);
}

// Names buf (the directory's dir_len bytes, then room for a name) afresh and
// runs make on it until the name is not taken. make returns 0, or -1 with errno.
template <class Make>
bool with_fresh_name(char* buf, std::size_t dir_len, Make make) noexcept {
    for (int attempt = 0; attempt < 100; ++attempt) {
        temp_name(buf, dir_len);
        if (make(buf) == 0) return true;
        if (errno != EEXIST) break;
    }
    return false;
}

// Moves a complete temporary file over path; removes it on failure.
TempResult commit(Fd& fd, const char* temp, const char* path) noexcept {
    if (!fd.close() || std::rename(temp, path) != 0) {
        ::unlink(temp);
        return TempResult::kFailed;
    }
    return TempResult::kWritten;
}

#if defined(O_TMPFILE)
// Links an unnamed file under a fresh temporary name in the directory. Through
// /proc first, which needs no privilege.
bool link_unnamed(int fd, char* buf, std::size_t dir_len) noexcept {
    char proc[64];
    std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    return with_fresh_name(buf, dir_len,
                           [&](const char* name) { return ::linkat(AT_FDCWD, proc, AT_FDCWD, name, AT_SYMLINK_FOLLOW); }) ||
           with_fresh_name(buf, dir_len,
                           [&](const char* name) { return ::linkat(fd, "", AT_FDCWD, name, AT_EMPTY_PATH); });
}
#endif

// Reserves the blocks for size bytes from the start of the file, without
// changing its size or content.
bool reserve(int fd, std::size_t size, const struct stat& st) noexcept {
#if defined(__linux__)
    if (::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size)) == 0) return true;
    const int err = errno;
    (void)::ftruncate(fd, st.st_size);  // gives back any blocks reserved past the end
    if (err != EOPNOTSUPP && err != ENOSYS) return false;
#else
    (void)fd;
#endif
    // No way to reserve: only the blocks the file already holds are safe.
    return static_cast<uint64_t>(st.st_blocks) * 512 >= size;
}

}  // namespace

Target inspect_target(const char* target) noexcept {
    Target t;
    struct stat st;
    if (::lstat(target, &st) != 0) {
        t.kind = errno == ENOENT ? TargetKind::kNew : TargetKind::kUnusable;
        return t;
    }
    if (S_ISLNK(st.st_mode)) {
        t.resolved.reset(::realpath(target, nullptr));
        if (!t.resolved) {
            t.kind = errno == ENOENT ? TargetKind::kDanglingLink : TargetKind::kUnusable;
            return t;
        }
        if (::stat(t.resolved.get(), &st) != 0) return t;
    }
    const char* path = t.path(target);
    if (S_ISDIR(st.st_mode)) {
        t.kind = TargetKind::kUnusable;
    } else if (!S_ISREG(st.st_mode)) {
        t.kind = TargetKind::kSpecial;
    } else if (st.st_nlink > 1 || ::access(path, W_OK) != 0) {
        t.kind = TargetKind::kInPlace;  // a file we may not write fails there, untouched
    } else {
        t.kind = TargetKind::kReplace;
    }
    return t;
}

TempResult write_via_temp(const char* path, const uint8_t* data, std::size_t size) noexcept {
    MallocPtr<char> temp = directory_of(path);
    if (!temp) return TempResult::kNoTemp;
    const std::size_t dir_len = std::strlen(temp.get());
#if defined(O_TMPFILE)
    {
        Fd fd(::open(temp.get(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
        if (fd) {
            keep_owner_and_mode(fd.get(), path);
            if (!write_all(fd.get(), data, size)) return TempResult::kFailed;  // nothing to clean up
            if (link_unnamed(fd.get(), temp.get(), dir_len)) return commit(fd, temp.get(), path);
            // Not linkable here (no /proc, no privilege): write a named file.
        }
    }
#endif
    Fd fd;
    if (!with_fresh_name(temp.get(), dir_len, [&](const char* name) {
            fd.reset(::open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
            return fd ? 0 : -1;
        })) {
        return TempResult::kNoTemp;
    }
    keep_owner_and_mode(fd.get(), path);
    if (!write_all(fd.get(), data, size)) {
        ::unlink(temp.get());
        return TempResult::kFailed;
    }
    return commit(fd, temp.get(), path);
}

bool write_in_place(const char* path, bool create, const uint8_t* data, std::size_t size) noexcept {
    const int flags = O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    bool created = false;
    Fd fd;
    if (create) {
        fd.reset(::open(path, flags | O_CREAT | O_EXCL, 0666));
        created = static_cast<bool>(fd);
        if (!fd) fd.reset(::open(path, flags | O_CREAT, 0666));  // through a dangling link
    } else {
        fd.reset(::open(path, flags));
    }
    struct stat st;
    if (!fd || ::fstat(fd.get(), &st) != 0 || !clear_nonblock(fd.get())) return false;
    if (!S_ISREG(st.st_mode)) return write_all(fd.get(), data, size) && fd.close();
    const bool ok = reserve(fd.get(), size, st) && write_all(fd.get(), data, size) &&
                    (static_cast<uint64_t>(st.st_size) <= size || ::ftruncate(fd.get(), static_cast<off_t>(size)) == 0);
    if (!ok || !fd.close()) {
        if (created) ::unlink(path);
        return false;
    }
    return true;
}

bool write_special(const char* path, const uint8_t* data, std::size_t size) noexcept {
    // O_NONBLOCK: a FIFO without a reader fails (ENXIO) instead of waiting.
    Fd fd(::open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!fd || !clear_nonblock(fd.get())) return false;
    // A reader that goes away must not kill the host with SIGPIPE: block it
    // while writing and take back the one our write raised.
    sigset_t pipe_only, saved, pending;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    sigpending(&pending);
    const bool was_pending = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe_only, &saved);
    const bool ok = write_all(fd.get(), data, size);
    if (!ok && errno == EPIPE && !was_pending) {
        const struct timespec none = {0, 0};
        while (sigtimedwait(&pipe_only, nullptr, &none) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    return fd.close() && ok;
}

uint64_t max_file_size() noexcept {
    struct rlimit limit;
    if (::getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return UINT64_MAX;
    return static_cast<uint64_t>(limit.rlim_cur);
}

}  // namespace rastra
