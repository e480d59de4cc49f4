// How an encoded output reaches its target. The output is complete in memory
// before the target is touched, and no failure damages an existing file:
//
//  - nothing there, or a regular file with one name that we may write: write a
//    temporary file beside it and move that over the target once complete, so
//    the target is replaced whole or not at all;
//  - a symbolic link: the same, beside the file the link names, so the link
//    stays a link;
//  - a regular file with other names (splitting them would leave the other
//    names with the old content), or any target beside which no temporary file
//    can be made: overwrite in place, but only after the space for the new
//    content is reserved, so running out of room leaves the old file as it was;
//  - a FIFO or device: write as addressed, opened without blocking;
//  - a directory, or a path that cannot be examined: fail.
//
// An output larger than the process may write fails before anything is
// written, rather than stopping part-way.
#include <cerrno>

#include "internal.h"

namespace rastra {

int32_t write_output(const char* target, const uint8_t* data, std::size_t size) noexcept {
    const bool written = [&] {
        if (size > max_file_size()) {
            errno = EFBIG;
            return false;
        }
        const Target t = inspect_target(target);
        const char* path = t.path(target);
        switch (t.kind) {
            case TargetKind::kNew:
            case TargetKind::kReplace:
                switch (write_via_temp(path, data, size)) {
                    case TempResult::kWritten: return true;
                    case TempResult::kFailed: return false;
                    case TempResult::kNoTemp: break;
                }
                return write_in_place(path, t.kind == TargetKind::kNew, data, size);
            case TargetKind::kInPlace: return write_in_place(path, false, data, size);
            case TargetKind::kDanglingLink: return write_in_place(path, true, data, size);
            case TargetKind::kSpecial: return write_special(path, data, size);
            case TargetKind::kUnusable:
                if (errno == 0) errno = EISDIR;
                break;
        }
        return false;
    }();
    if (written) return 0;
    const int32_t error = last_system_error();
    return error != 0 ? error : EIO;
}

}  // namespace rastra
