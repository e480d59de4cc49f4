// How an input file is read: only a regular file, only within the size limit,
// whole, in one allocation and one read request.
#include <cerrno>

#include "internal.h"

namespace rastra {

namespace {

Reason open_failure(int32_t error) noexcept {
    switch (error) {
        case kNotRegular:
        case EISDIR: return Reason::kNotRegularFile;
        case ENOENT:
        case ENOTDIR: return Reason::kNoSuchFile;
        case EACCES:
        case EPERM: return Reason::kPermissionDenied;
        default: return Reason::kCannotRead;
    }
}

}  // namespace

Reason read_input(const char* path, int64_t max_bytes, Input& in, int32_t& system_error) noexcept {
    int32_t error = 0;
    FilePtr f = open_read(path, error);
    if (!f) {
        system_error = error > 0 ? error : 0;
        return open_failure(error);
    }
    const int64_t end = seek_end(f.get());
    if (end < 0) {
        system_error = errno;
        return Reason::kCannotRead;
    }
    if (end == 0) return Reason::kEmptyFile;
    if (end > max_bytes) return Reason::kTooLarge;
    std::rewind(f.get());
    const auto n = static_cast<std::size_t>(end);
    in.bytes.reset(static_cast<uint8_t*>(std::malloc(n)));
    if (!in.bytes) return Reason::kOutOfMemory;
    errno = 0;
    if (std::fread(in.bytes.get(), 1, n, f.get()) != n) {
        system_error = errno != 0 ? errno : EIO;
        in.bytes.reset();
        return Reason::kCannotRead;
    }
    in.size = static_cast<uint64_t>(end);
    return Reason::kNone;
}

}  // namespace rastra
