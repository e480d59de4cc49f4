// How outputs reach existing files: links followed or kept, special files
// written without blocking, and no failure ever damaging what stood there,
// down to a full file system.
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "fixtures.h"
#include "rastra.h"

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

namespace fs = fixtures::fs;
using fixtures::Bytes;

class OutputTest : public ::testing::Test {
protected:
    void SetUp() override {
        rastra_init();
        // Noise: its 64 x 64 PNG takes about 16 KB, more than the old file's block.
        fixtures::Rgba noise = fixtures::make_pattern(64, 64);
        std::mt19937 rng(7);
        for (uint8_t& v : noise.px) v = static_cast<uint8_t>(rng());
        fixtures::write_file(dir / "in.png", fixtures::encode(fixtures::kPng, noise));
        fixtures::write_file(dir / "tiny.png", fixtures::encode(fixtures::kPng, fixtures::make_pattern(1, 1)));
    }
    // The conversion of in.png (or tiny.png) to PNG, as written to a plain new file.
    Bytes expected(const char* in = "in.png") {
        const std::string ref = dir / "reference.png";
        EXPECT_EQ(rastra_process_file((dir / in).c_str(), ref.c_str()), 1);
        Bytes b = fixtures::read_file(ref);
        fs::remove(ref);
        return b;
    }
    int32_t convert_to(const std::string& out, const char* in = "in.png") {
        return rastra_process_file((dir / in).c_str(), out.c_str());
    }
    static std::vector<std::string> listing(const fs::path& d) {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(d)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    fixtures::TempDir dir;
    const Bytes old = Bytes(1700, 'o');
};

}  // namespace

#if !defined(_WIN32)

namespace {

ino_t inode(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}
nlink_t links(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? st.st_nlink : 0;
}

}  // namespace

TEST_F(OutputTest, LinksAreFollowedAndKept) {
    const Bytes want = expected();
    fs::create_directory(dir / "elsewhere");
    // A symbolic link: the file it names is replaced whole, beside itself.
    const std::string real = dir / "elsewhere/real.png";
    fixtures::write_file(real, old);
    const ino_t before = inode(real);
    fs::create_symlink(real, dir / "link.png");
    ASSERT_EQ(convert_to(dir / "link.png"), 1) << rastra_last_error();
    EXPECT_TRUE(fs::is_symlink(dir / "link.png"));
    EXPECT_EQ(fixtures::read_file(real), want);
    EXPECT_NE(inode(real), before);
    EXPECT_EQ(listing(dir / "elsewhere"), std::vector<std::string>{"real.png"});

    // A link to nothing yet: writing creates what it names.
    fs::create_symlink(dir / "elsewhere/new.png", dir / "dangling.png");
    ASSERT_EQ(convert_to(dir / "dangling.png"), 1) << rastra_last_error();
    EXPECT_TRUE(fs::is_symlink(dir / "dangling.png"));
    EXPECT_EQ(fixtures::read_file(dir / "elsewhere/new.png"), want);

    // A file with two names is overwritten in place: both names see the new
    // content, and they stay one file.
    const std::string a = dir / "a.png";
    fixtures::write_file(a, old);
    fs::create_hard_link(a, dir / "b.png");
    const ino_t a_before = inode(a);
    ASSERT_EQ(convert_to(a), 1) << rastra_last_error();
    EXPECT_EQ(fixtures::read_file(dir / "b.png"), want);
    EXPECT_EQ(inode(a), a_before);
    EXPECT_EQ(links(a), 2u);
    // Shorter content than before is cut to its own length.
    ASSERT_EQ(convert_to(a, "tiny.png"), 1);
    EXPECT_EQ(fixtures::read_file(dir / "b.png"), expected("tiny.png"));
    EXPECT_EQ(listing(dir.path()),
              (std::vector<std::string>{"a.png", "b.png", "dangling.png", "elsewhere", "in.png", "link.png", "tiny.png"}));
}

TEST_F(OutputTest, FifosAreWrittenWithoutBlocking) {
    const Bytes want = expected();
    const std::string fifo = dir / "fifo.png";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // No reader: fails at once rather than waiting for one.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(convert_to(fifo), 0);
    EXPECT_EQ(rastra_last_error(), "process_file: cannot write " + fifo);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));

    // A reader: the FIFO is written as a pipe should be.
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    Bytes got;
    std::thread drain([&] {
        // Until a writer opens the FIFO, reading would see its end at once.
        struct pollfd ready = {reader, POLLIN, 0};
        ::poll(&ready, 1, 10000);
        ::fcntl(reader, F_SETFL, ::fcntl(reader, F_GETFL) & ~O_NONBLOCK);
        uint8_t buf[4096];
        ssize_t n;
        while ((n = ::read(reader, buf, sizeof buf)) > 0) got.insert(got.end(), buf, buf + n);
    });
    EXPECT_EQ(convert_to(fifo), 1) << rastra_last_error();
    // The reader stays open until the write side closes; wait for EOF.
    drain.join();
    ::close(reader);
    EXPECT_EQ(got, want);
    // What the FIFO received counts in the statistics, as a file's size does
    // (the reference conversion above wrote the same bytes once).
    EXPECT_EQ(std::string(rastra_stats()), "{\"processed\":2,\"failed\":0,\"total_input_bytes\":" +
                                               std::to_string(2 * fixtures::size_of(dir / "in.png")) +
                                               ",\"total_output_bytes\":" + std::to_string(2 * want.size()) + "}");

    // A reader that leaves early must not kill us with SIGPIPE.
    const std::string pipe = dir / "pipe.bmp";  // 1.4 MB of BMP: more than the pipe holds
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    const int quitter = ::open(pipe.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(quitter, 0);
    fixtures::write_file(dir / "big.png", fixtures::encode(fixtures::kPng, fixtures::make_pattern(600, 600)));
    std::thread quit([&] {
        struct pollfd ready = {quitter, POLLIN, 0};
        ::poll(&ready, 1, 10000);
        uint8_t byte;
        (void)::read(quitter, &byte, 1);  // the writer has started
        ::close(quitter);
    });
    EXPECT_EQ(rastra_process_file((dir / "big.png").c_str(), pipe.c_str()), 0);
    quit.join();
    EXPECT_EQ(rastra_last_error(), "process_file: cannot write " + pipe);
    sigset_t pending;
    sigpending(&pending);
    EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
}

TEST_F(OutputTest, WriteLimitFailsBeforeAnythingIsWritten) {
    // In place (two names) and through a temporary file alike.
    const std::string linked = dir / "linked.png";
    const std::string single = dir / "single.png";
    fixtures::write_file(linked, old);
    fs::create_hard_link(linked, dir / "other.png");
    fixtures::write_file(single, old);
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto* previous = std::signal(SIGXFSZ, SIG_DFL);  // a write past the limit would kill us
    struct rlimit small = saved;
    small.rlim_cur = 4000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const int32_t in_place = convert_to(linked);
    const int32_t replaced = convert_to(single);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    EXPECT_EQ(in_place, 0);
    EXPECT_EQ(replaced, 0);
    EXPECT_EQ(fixtures::read_file(linked), old);
    EXPECT_EQ(fixtures::read_file(single), old);
}

namespace {

// A tmpfs of its own, mounted in a private mount namespace of this process;
// unmounted on destruction. Unavailable where namespaces are not allowed.
class SmallFileSystem {
public:
    SmallFileSystem(const std::string& at, const char* options) : at_(at) {
        fs::create_directory(at);
        if (::unshare(CLONE_NEWNS) != 0 && !enter_user_namespace()) return;
        if (::mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) != 0) return;
        mounted_ = ::mount("none", at.c_str(), "tmpfs", 0, options) == 0;
    }
    ~SmallFileSystem() {
        if (mounted_) ::umount2(at_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    // Takes every free block with one file.
    void fill() const {
        const int fd = ::open((at_ + "/filler").c_str(), O_WRONLY | O_CREAT, 0600);
        const std::vector<char> block(4096, 'f');
        while (::write(fd, block.data(), block.size()) > 0) {
        }
        ::close(fd);
    }

private:
    static bool enter_user_namespace() {
        const uid_t uid = ::getuid();
        const gid_t gid = ::getgid();
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return false;
        fixtures::write_file("/proc/self/setgroups", std::string("deny"));
        fixtures::write_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
        fixtures::write_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
        return true;
    }

    std::string at_;
    bool mounted_ = false;
};

}  // namespace

TEST_F(OutputTest, FullFileSystemNeverDamagesAFile) {
    const std::string mnt = dir / "full";
    SmallFileSystem small(mnt, "size=256k");
    if (!small.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
    fixtures::write_file(mnt + "/linked.png", old);
    fs::create_hard_link(mnt + "/linked.png", mnt + "/second-name.png");
    fixtures::write_file(mnt + "/real.png", old);
    fs::create_symlink(mnt + "/real.png", mnt + "/link.png");
    fixtures::write_file(mnt + "/single.png", old);
    small.fill();
    const auto before = listing(mnt);

    // A 64 x 64 PNG needs blocks there are none of.
    for (const char* name : {"linked.png", "link.png", "single.png"}) {
        EXPECT_EQ(convert_to(mnt + "/" + name), 0) << name;
        EXPECT_EQ(rastra_last_error(), "process_file: cannot write " + mnt + "/" + name);
    }
    EXPECT_EQ(fixtures::read_file(mnt + "/linked.png"), old);
    EXPECT_EQ(links(mnt + "/linked.png"), 2u);
    EXPECT_EQ(fixtures::read_file(mnt + "/real.png"), old);
    EXPECT_TRUE(fs::is_symlink(mnt + "/link.png"));
    EXPECT_EQ(fixtures::read_file(mnt + "/single.png"), old);
    EXPECT_EQ(listing(mnt), before);

    // Content that fits the blocks a file already holds is written in place.
    ASSERT_EQ(convert_to(mnt + "/linked.png", "tiny.png"), 1) << rastra_last_error();
    EXPECT_EQ(fixtures::read_file(mnt + "/second-name.png"), expected("tiny.png"));
}

TEST_F(OutputTest, NoRoomForATemporaryFileWritesInPlace) {
    // Blocks to spare, but no inode left for a temporary file.
    const std::string mnt = dir / "noinodes";
    SmallFileSystem small(mnt, "size=1m,nr_inodes=4");
    if (!small.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
    fixtures::write_file(mnt + "/out.png", old);
    for (int i = 0; i < 16; ++i) {
        const int fd = ::open((mnt + "/f" + std::to_string(i)).c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
        if (fd < 0) break;
        ::close(fd);
    }
    ASSERT_EQ(convert_to(mnt + "/out.png"), 1) << rastra_last_error();
    EXPECT_EQ(fixtures::read_file(mnt + "/out.png"), expected());
}

TEST_F(OutputTest, ReplacingNeverGrantsSetuidOrSetgid) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to play two users";
    const Bytes want = expected();
    constexpr uid_t kOwner = 61001, kUser = 61002;
    constexpr gid_t kGroup = 61003, kUserGroup = 61004;
    ::chmod(dir.path().c_str(), 0777);
    ::chmod((dir / "in.png").c_str(), 0644);
    const auto setuid_file = [&](const std::string& name) {
        const std::string path = dir / name;
        fixtures::write_file(path, old);
        EXPECT_EQ(::chown(path.c_str(), kOwner, kGroup), 0);
        EXPECT_EQ(::chmod(path.c_str(), 06775), 0);  // -rwsrwsr-x
        return path;
    };
    const auto mode_of = [](const std::string& path) {
        struct stat st;
        return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0u;
    };

    // Root replaces another user's file: owner and group kept, the bits not.
    const std::string by_root = setuid_file("by-root.png");
    ASSERT_EQ(convert_to(by_root), 1) << rastra_last_error();
    EXPECT_EQ(fixtures::read_file(by_root), want);
    EXPECT_EQ(mode_of(by_root), 0775u);
    struct stat st;
    ASSERT_EQ(::stat(by_root.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, kOwner);
    EXPECT_EQ(st.st_gid, kGroup);

    // A member of the file's group replaces it: the file becomes the
    // member's, and must not run as the member.
    const std::string by_member = setuid_file("by-member.png");
    const pid_t child = ::fork();
    if (child == 0) {
        const gid_t groups[] = {kGroup};
        const bool dropped = ::setgroups(1, groups) == 0 && ::setgid(kUserGroup) == 0 && ::setuid(kUser) == 0;
        // Leave through exec: a memory checker following this test checks
        // what a forked copy of the test program leaves reachable.
        const bool converted = dropped && convert_to(by_member) == 1;
        ::execl(converted ? "/bin/true" : "/bin/false", converted ? "true" : "false", static_cast<char*>(nullptr));
        ::_exit(2);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(fixtures::read_file(by_member), want);
    EXPECT_EQ(mode_of(by_member) & 06000, 0u);
}

#else  // _WIN32

TEST_F(OutputTest, ReplacedFileKeepsItsAttributesAndHardLinks) {
    const Bytes want = expected();
    const std::string hidden = dir / "hidden.png";
    fixtures::write_file(hidden, old);
    ASSERT_TRUE(SetFileAttributesA(hidden.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));
    ASSERT_EQ(convert_to(hidden), 1) << rastra_last_error();
    EXPECT_EQ(fixtures::read_file(hidden), want);
    EXPECT_NE(GetFileAttributesA(hidden.c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);

    const std::string a = dir / "a.png";
    fixtures::write_file(a, old);
    ASSERT_TRUE(CreateHardLinkA((dir / "b.png").c_str(), a.c_str(), nullptr));
    ASSERT_EQ(convert_to(a), 1) << rastra_last_error();
    EXPECT_EQ(fixtures::read_file(dir / "b.png"), want);

    // A read-only file is not ours to replace.
    const std::string locked = dir / "locked.png";
    fixtures::write_file(locked, old);
    ASSERT_TRUE(SetFileAttributesA(locked.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(convert_to(locked), 0);
    SetFileAttributesA(locked.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(fixtures::read_file(locked), old);
    EXPECT_EQ(listing(dir.path()), (std::vector<std::string>{"a.png", "b.png", "hidden.png", "in.png", "locked.png", "tiny.png"}));
}

TEST_F(OutputTest, FileNamedWithoutADriveIsReplaced) {
    // A rooted path without its drive, \dir\o.png or /dir/o.png, names a file
    // on the current drive (under Wine, /dir/o.png is the host's path, which
    // the drive of the current directory also maps): replacing it keeps its
    // attributes and leaves nothing beside it.
    const Bytes want = expected();
    char cwd[MAX_PATH];
    ASSERT_GT(GetCurrentDirectoryA(sizeof cwd, cwd), 0u);
    ASSERT_EQ(cwd[1], ':') << cwd;
    struct Here {
        fs::path path;
        ~Here() {
            std::error_code ec;
            fs::remove_all(path, ec);
        }
    } here{fs::path(cwd) / ("rastra-test-rooted-" + std::to_string(GetCurrentProcessId()))};
    ASSERT_TRUE(fs::create_directory(here.path));
    const std::string full = (here.path / "o.png").string();
    std::string slashes = full.substr(2);
    for (char& c : slashes) c = c == '\\' ? '/' : c;
    for (const std::string& rooted : {full.substr(2), slashes}) {
        SCOPED_TRACE(rooted);
        fixtures::write_file(full, old);
        ASSERT_TRUE(SetFileAttributesA(full.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));
        EXPECT_EQ(convert_to(rooted), 1) << rastra_last_error();
        EXPECT_EQ(fixtures::read_file(full), want);
        EXPECT_NE(GetFileAttributesA(full.c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);
        SetFileAttributesA(full.c_str(), FILE_ATTRIBUTE_NORMAL);
        EXPECT_EQ(listing(here.path), std::vector<std::string>{"o.png"});
    }
}

#endif
