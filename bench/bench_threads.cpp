// Thread scaling of the settings interface on real photographs, through the
// public interface only. On demand (bench/threads.sh); never part of the tests.
//
//   rastra_bench_threads [--reps N] [--threads 1,2,4] [--jobs jpeg-jpeg,jpeg-webp,png-png]
//                        [--peak-reps N] [--out DIR] CORPUS
//
// CORPUS is the directory bench/corpus.sh builds (jpeg/ with the photographs,
// png/ with their RGBA copies), or any directory of JPEG photographs. Every
// input is read into memory once. For each job (fit the box, quality 90):
//
//  1. Throughput: rastra_convert() over all photos with 1, 2, 4 ... threads
//     sharing one settings object, each thread taking the next photo from a
//     shared counter. Outputs are freed at once, never kept. Beside the
//     speed-up: the speed-up the photos' order allows at most (each photo
//     taking its one-thread time, the last ones leave threads idle), and the
//     CPU time per image, which stays flat when threads do not slow each
//     other down, whatever else the machine runs.
//  2. Memory against files, one thread: rastra_convert_file() from the input
//     files to outputs in DIR (default /dev/shm, else /tmp), and the same
//     files' I/O alone, done the way a file conversion does it: the input read
//     whole into one allocation, the output written to an unnamed temporary
//     file linked in and renamed over the target, then measured again. "File
//     minus its I/O" is the first less the second.
//  3. Peak memory: the largest photo converted once in a fresh process (this
//     program run again with --peak-child), against N threads converting N
//     copies of it at once. The increment is the peak resident set (VmHWM)
//     above the resident set once the inputs are loaded and the threads wait
//     to start (the peak is reset there through /proc/self/clear_refs). The
//     threads start together on the same bytes, so their peaks coincide on
//     an idle machine; on a busy one they drift apart and overlap less.
//
// Every repetition runs every measurement of a job once, in turn, so drift
// and other load hit them alike; medians are reported. Each run also records
// the CPU this process used and the CPU the rest of the machine used (from
// /proc/stat), to show when the machine was busy. Prints Markdown tables; a
// plain program that asserts nothing about timings.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <latch>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "rastra.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Job {
    const char* name;
    const char* dir;  // below the corpus
    int32_t format;
    int32_t box_w;
    int32_t box_h;
    const char* ext;
};

// The jobs of bench/compare.sh that start from JPEG or RGBA PNG.
constexpr Job kJobs[] = {
    {"jpeg-jpeg", "jpeg", RASTRA_FORMAT_JPEG, 1920, 1080, "jpg"},
    {"jpeg-webp", "jpeg", RASTRA_FORMAT_WEBP, 1920, 1080, "webp"},
    {"png-png", "png", RASTRA_FORMAT_PNG, 800, 600, "png"},
};
constexpr int32_t kQuality = 90;

[[noreturn]] void die(const std::string& message) {
    std::fprintf(stderr, "rastra_bench_threads: %s\n", message.c_str());
    std::exit(1);
}

const Job& job_named(const std::string& name) {
    for (const Job& j : kJobs) {
        if (name == j.name) return j;
    }
    die("unknown job: " + name);
}

std::vector<uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) die("cannot open " + path);
    in.seekg(0, std::ios::end);
    const auto size = static_cast<std::size_t>(in.tellg());
    in.seekg(0);
    std::vector<uint8_t> bytes(size);
    if (!in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size))) die("cannot read " + path);
    return bytes;
}

struct Photo {
    std::string path;
    std::string stem;
    std::vector<uint8_t> bytes;
    int32_t width = 0;
    int32_t height = 0;
    int64_t pixels() const { return int64_t{width} * height; }
};

// Every image of the job's input format in dir, in path order.
std::vector<Photo> load_photos(const fs::path& dir, int32_t format) {
    std::vector<fs::path> paths;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) {
        if (e.is_regular_file() && e.path().filename().string()[0] != '.') paths.push_back(e.path());
    }
    std::sort(paths.begin(), paths.end());
    std::vector<Photo> photos;
    for (const fs::path& p : paths) {
        Photo photo{p.string(), p.stem().string(), read_file(p.string())};
        rastra_image_info info;
        if (rastra_probe(photo.bytes.data(), photo.bytes.size(), &info) != 1 || info.format != format) continue;
        photo.width = info.width;
        photo.height = info.height;
        photos.push_back(std::move(photo));
    }
    return photos;
}

class Settings {
public:
    explicit Settings(const Job& job) : s_(rastra_settings_new()) {
        if (s_ == nullptr) die("rastra_settings_new: out of memory");
        rastra_settings_set_resize(s_, job.box_w, job.box_h);
        rastra_settings_set_format(s_, job.format);
        rastra_settings_set_quality(s_, kQuality);
    }
    ~Settings() { rastra_settings_free(s_); }
    Settings(const Settings&) = delete;
    Settings& operator=(const Settings&) = delete;
    const rastra_settings* get() const { return s_; }

private:
    rastra_settings* s_;
};

// The first failure of a run; any thread may report one.
class Failure {
public:
    void set(const std::string& message) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (message_.empty()) message_ = message;
    }
    void check() const {
        if (!message_.empty()) die(message_);
    }

private:
    std::mutex mutex_;
    std::string message_;
};

// Converts in memory; the output is freed at once unless kept is given.
std::size_t convert_memory(const rastra_settings* s, const std::vector<uint8_t>& input, Failure& failure,
                           std::vector<uint8_t>* kept = nullptr) {
    void* out = nullptr;
    std::size_t size = 0;
    char error[RASTRA_ERROR_CAPACITY];
    if (rastra_convert(s, input.data(), input.size(), &out, &size, error, sizeof error) != 1) {
        failure.set(std::string("rastra_convert: ") + error);
        return 0;
    }
    if (kept != nullptr) kept->assign(static_cast<uint8_t*>(out), static_cast<uint8_t*>(out) + size);
    rastra_free(out);
    return size;
}

// ---- what a run cost ---------------------------------------------------------

double cpu_seconds_self() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// CPU seconds the whole machine has spent busy since boot.
double cpu_seconds_machine() {
    std::ifstream in("/proc/stat");
    std::string cpu;
    uint64_t user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0, steal = 0;
    if (!(in >> cpu >> user >> nice >> system >> idle >> iowait >> irq >> softirq >> steal)) return 0;
    static const double hz = static_cast<double>(sysconf(_SC_CLK_TCK));
    return static_cast<double>(user + nice + system + irq + softirq + steal) / hz;
}

struct Cost {
    double wall = 0;    // seconds
    double cores = 0;   // this process's CPU time / wall
    double others = 0;  // the rest of the machine's CPU time / wall
};

class Meter {
public:
    Meter() : t0_(Clock::now()), self0_(cpu_seconds_self()), machine0_(cpu_seconds_machine()) {}
    Cost stop() const {
        Cost c;
        c.wall = std::chrono::duration<double>(Clock::now() - t0_).count();
        const double self = cpu_seconds_self() - self0_;
        c.cores = self / c.wall;
        c.others = std::max(0.0, (cpu_seconds_machine() - machine0_ - self) / c.wall);
        return c;
    }

private:
    Clock::time_point t0_;
    double self0_;
    double machine0_;
};

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct Costs {
    std::vector<double> wall, cores, others;
    void add(const Cost& c) {
        wall.push_back(c.wall);
        cores.push_back(c.cores);
        others.push_back(c.others);
    }
    double wall_median() const { return median(wall); }
};

// The speed-up n threads taking photos in order from a shared counter reach
// at best, when each photo takes what it takes on one thread: the tail where
// some threads have nothing left to take bounds it.
double order_bound(const std::vector<double>& seconds, int n) {
    std::vector<double> free_at(static_cast<std::size_t>(n), 0.0);
    double total = 0;
    for (const double s : seconds) {
        *std::min_element(free_at.begin(), free_at.end()) += s;
        total += s;
    }
    return total / *std::max_element(free_at.begin(), free_at.end());
}

// ---- the three measurements ------------------------------------------------------

// All photos through rastra_convert() on n threads sharing a counter; the
// seconds each photo took go to seconds[i].
Cost run_memory(const Settings& settings, const std::vector<Photo>& photos, int n, std::vector<double>& seconds) {
    Failure failure;
    std::atomic<std::size_t> next{0};
    seconds.assign(photos.size(), 0);
    const Meter meter;
    std::vector<std::thread> threads;
    for (int t = 0; t < n; ++t) {
        threads.emplace_back([&] {
            for (std::size_t i = next++; i < photos.size(); i = next++) {
                const Clock::time_point t0 = Clock::now();
                convert_memory(settings.get(), photos[i].bytes, failure);
                seconds[i] = std::chrono::duration<double>(Clock::now() - t0).count();
            }
        });
    }
    for (std::thread& t : threads) t.join();
    const Cost cost = meter.stop();
    failure.check();
    return cost;
}

std::string output_path(const std::string& dir, const Photo& p, const Job& job) {
    return dir + "/" + p.stem + "." + job.ext;
}

// All photos through rastra_convert_file() on one thread.
Cost run_file(const Settings& settings, const std::vector<Photo>& photos, const Job& job, const std::string& dir) {
    const Meter meter;
    for (const Photo& p : photos) {
        char error[RASTRA_ERROR_CAPACITY];
        if (rastra_convert_file(settings.get(), p.path.c_str(), output_path(dir, p, job).c_str(), error,
                                sizeof error) != 1)
            die(std::string("rastra_convert_file: ") + error);
    }
    return meter.stop();
}

bool write_all(int fd, const uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// An input read the way a file conversion reads it: opened, measured, read
// whole into one allocation.
void read_like_a_conversion(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0) die("cannot read " + path);
    std::FILE* f = ::fdopen(fd, "rb");
    if (f == nullptr || fseeko(f, 0, SEEK_END) != 0) die("cannot read " + path);
    const auto size = static_cast<std::size_t>(ftello(f));
    std::rewind(f);
    auto* bytes = static_cast<uint8_t*>(std::malloc(size));
    if (bytes == nullptr || std::fread(bytes, 1, size, f) != size) die("cannot read " + path);
    std::fclose(f);
    std::free(bytes);
}

// An output written the way a file conversion writes it: the target looked
// at, an unnamed temporary file in its directory written, given a name and
// renamed over the target; then the target measured.
void write_like_a_conversion(const std::string& dir, const std::string& path, const std::vector<uint8_t>& data) {
    static unsigned counter = 0;
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0) (void)::access(path.c_str(), W_OK);
    const std::string temp = dir + "/.bench-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + ".tmp";
    int fd = -1;
#if defined(O_TMPFILE)
    fd = ::open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (fd >= 0) {
        if (::stat(path.c_str(), &st) == 0) (void)::fchmod(fd, st.st_mode & 07777);
        if (!write_all(fd, data.data(), data.size())) die("cannot write " + path);
        const std::string proc = "/proc/self/fd/" + std::to_string(fd);
        if (::linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, temp.c_str(), AT_SYMLINK_FOLLOW) != 0) {
            ::close(fd);
            fd = -1;
        }
    }
#endif
    if (fd < 0) {
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 || !write_all(fd, data.data(), data.size())) die("cannot write " + temp);
    }
    if (::close(fd) != 0 || std::rename(temp.c_str(), path.c_str()) != 0) die("cannot write " + path);
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr || fseeko(f, 0, SEEK_END) != 0 || ftello(f) != static_cast<off_t>(data.size()))
        die("cannot measure " + path);
    std::fclose(f);
}

// The I/O of run_file() alone, with outputs converted beforehand.
Cost run_io(const std::vector<Photo>& photos, const std::vector<std::vector<uint8_t>>& outputs, const Job& job,
            const std::string& dir) {
    const Meter meter;
    for (std::size_t i = 0; i < photos.size(); ++i) {
        read_like_a_conversion(photos[i].path);
        write_like_a_conversion(dir, output_path(dir, photos[i], job), outputs[i]);
    }
    return meter.stop();
}

// ---- peak memory, in a fresh process -------------------------------------------------

// A field of /proc/self/status in KiB, or -1.
long status_kib(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::size_t n = std::strlen(field);
    while (std::getline(in, line)) {
        if (line.compare(0, n, field) == 0 && line.size() > n && line[n] == ':') return std::atol(line.c_str() + n + 1);
    }
    return -1;
}

// Converts n copies of one image at once, on n threads, and prints
// "<resident KiB before> <peak KiB> <1 when the peak could be reset>".
int peak_child(const Job& job, int n, const std::string& path) {
    const std::vector<std::vector<uint8_t>> copies(static_cast<std::size_t>(n), read_file(path));
    const Settings settings(job);
    Failure failure;
    std::latch ready(n);
    std::latch go(1);
    std::vector<std::thread> threads;
    for (int t = 0; t < n; ++t) {
        threads.emplace_back([&, t] {
            ready.count_down();
            go.wait();
            convert_memory(settings.get(), copies[static_cast<std::size_t>(t)], failure);
        });
    }
    ready.wait();
    bool reset = false;
    {
        std::ofstream clear("/proc/self/clear_refs");
        reset = static_cast<bool>(clear << "5" << std::flush);
    }
    // Without the reset the peak so far stands in: nothing was freed yet.
    const long before = reset ? status_kib("VmRSS") : status_kib("VmHWM");
    go.count_down();
    for (std::thread& t : threads) t.join();
    failure.check();
    std::printf("%ld %ld %d\n", before, status_kib("VmHWM"), reset ? 1 : 0);
    return 0;
}

struct Peak {
    long before = 0;  // KiB
    long peak = 0;
    bool reset = false;
};

Peak run_peak(const Job& job, int n, const std::string& path) {
    int fds[2];
    if (::pipe(fds) != 0) die("pipe failed");
    const pid_t pid = ::fork();
    if (pid < 0) die("fork failed");
    if (pid == 0) {
        ::dup2(fds[1], STDOUT_FILENO);
        ::close(fds[0]);
        ::close(fds[1]);
        const std::string count = std::to_string(n);
        ::execl("/proc/self/exe", "rastra_bench_threads", "--peak-child", job.name, count.c_str(), path.c_str(),
                static_cast<char*>(nullptr));
        std::_Exit(127);
    }
    ::close(fds[1]);
    std::string text;
    char buf[256];
    for (ssize_t got; (got = ::read(fds[0], buf, sizeof buf)) != 0;) {
        if (got < 0) {
            if (errno == EINTR) continue;
            break;
        }
        text.append(buf, static_cast<std::size_t>(got));
    }
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    Peak p;
    int reset = 0;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
        std::sscanf(text.c_str(), "%ld %ld %d", &p.before, &p.peak, &reset) != 3)
        die("the peak-memory process failed for " + path);
    p.reset = reset == 1;
    return p;
}

// ---- the report ------------------------------------------------------------

std::vector<std::string> split(const std::string& text) {
    std::vector<std::string> parts;
    std::stringstream in(text);
    for (std::string part; std::getline(in, part, ',');) {
        if (!part.empty()) parts.push_back(part);
    }
    return parts;
}

struct Options {
    int reps = 5;
    int peak_reps = 3;
    std::vector<int> threads{1, 2, 4};
    std::vector<std::string> jobs{"jpeg-jpeg", "jpeg-webp", "png-png"};
    std::string out;
    std::string corpus;
};

[[noreturn]] void usage() {
    std::fprintf(stderr,
                 "usage: rastra_bench_threads [--reps N] [--threads 1,2,4] [--jobs jpeg-jpeg,jpeg-webp,png-png]\n"
                 "                            [--peak-reps N] [--out DIR] CORPUS\n");
    std::exit(2);
}

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool has_value = i + 1 < argc;
        if (a == "--reps" && has_value) {
            o.reps = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--peak-reps" && has_value) {
            o.peak_reps = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--threads" && has_value) {
            o.threads.clear();
            for (const std::string& t : split(argv[++i])) o.threads.push_back(std::max(1, std::atoi(t.c_str())));
        } else if (a == "--jobs" && has_value) {
            o.jobs = split(argv[++i]);
            for (const std::string& j : o.jobs) job_named(j);
        } else if (a == "--out" && has_value) {
            o.out = argv[++i];
        } else if (!a.empty() && a[0] != '-' && o.corpus.empty()) {
            o.corpus = a;
        } else {
            usage();
        }
    }
    if (o.corpus.empty() || o.threads.empty()) usage();
    std::sort(o.threads.begin(), o.threads.end());
    o.threads.erase(std::unique(o.threads.begin(), o.threads.end()), o.threads.end());
    return o;
}

std::string cpu_model() {
    std::ifstream in("/proc/cpuinfo");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("model name", 0) == 0) {
            const std::size_t colon = line.find(':');
            return colon == std::string::npos ? line : line.substr(colon + 2);
        }
    }
    return "unknown CPU";
}

std::string load_average() {
    std::ifstream in("/proc/loadavg");
    double one = 0, five = 0, fifteen = 0;
    in >> one >> five >> fifteen;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.2f %.2f %.2f", one, five, fifteen);
    return buf;
}

double mib(long kib) { return static_cast<double>(kib) / 1024.0; }

struct JobResult {
    const Job* job = nullptr;
    std::size_t photos = 0;
    double megapixels = 0;
    std::vector<Costs> memory;                 // per thread count
    std::vector<std::vector<double>> seconds;  // per photo, each run on one thread
    Costs file, io;
    bool identical = true;  // file outputs the same bytes as memory outputs
    std::string largest_name;
    int32_t largest_w = 0, largest_h = 0;
    std::vector<std::vector<double>> peak_increment;  // per thread count, KiB
    std::vector<std::vector<double>> peak_before, peak_after;
    bool peak_reset = true;
};

std::string default_out_dir() {
    std::error_code ec;
    const char* base = fs::is_directory("/dev/shm", ec) ? "/dev/shm" : "/tmp";
    return std::string(base) + "/rastra-bench-threads-" + std::to_string(::getpid());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "--peak-child") == 0)
        return peak_child(job_named(argv[2]), std::max(1, std::atoi(argv[3])), argv[4]);

    const Options opt = parse(argc, argv);
    const bool own_out = opt.out.empty();
    const std::string out_root = own_out ? default_out_dir() : opt.out;
    const std::string load_before = load_average();
    const std::size_t nt = opt.threads.size();

    std::vector<JobResult> results;
    for (const std::string& name : opt.jobs) {
        const Job& job = job_named(name);
        fs::path dir = fs::path(opt.corpus) / job.dir;
        std::error_code ec;
        if (!fs::is_directory(dir, ec)) {
            if (job.format != RASTRA_FORMAT_JPEG) {
                std::fprintf(stderr, "rastra_bench_threads: no %s, skipping %s\n", dir.c_str(), job.name);
                continue;
            }
            dir = opt.corpus;  // a plain directory of photographs
        }
        const std::vector<Photo> photos =
            load_photos(dir, job.format == RASTRA_FORMAT_PNG ? RASTRA_FORMAT_PNG : RASTRA_FORMAT_JPEG);
        if (photos.empty()) {
            std::fprintf(stderr, "rastra_bench_threads: no input images in %s, skipping %s\n", dir.c_str(), job.name);
            continue;
        }
        const std::string out_dir = out_root + "/" + job.name;
        fs::create_directories(out_dir);

        JobResult r;
        r.job = &job;
        r.photos = photos.size();
        for (const Photo& p : photos) r.megapixels += static_cast<double>(p.pixels()) / 1e6;
        const Photo& largest = *std::max_element(
            photos.begin(), photos.end(), [](const Photo& a, const Photo& b) { return a.pixels() < b.pixels(); });
        r.largest_name = fs::path(largest.path).filename().string();
        r.largest_w = largest.width;
        r.largest_h = largest.height;
        r.memory.resize(nt);
        r.peak_increment.resize(nt);
        r.peak_before.resize(nt);
        r.peak_after.resize(nt);

        const Settings settings(job);
        std::fprintf(stderr, "rastra_bench_threads: %s: %zu images, %.1f MP\n", job.name, r.photos, r.megapixels);

        // Untimed warm-up, keeping the outputs for the I/O-alone runs.
        std::vector<std::vector<uint8_t>> outputs(photos.size());
        {
            Failure failure;
            for (std::size_t i = 0; i < photos.size(); ++i)
                convert_memory(settings.get(), photos[i].bytes, failure, &outputs[i]);
            failure.check();
        }

        for (int rep = 0; rep < opt.reps; ++rep) {
            for (std::size_t k = 0; k < nt; ++k) {
                std::vector<double> seconds;
                r.memory[k].add(run_memory(settings, photos, opt.threads[k], seconds));
                if (opt.threads[k] == 1) r.seconds.push_back(std::move(seconds));
            }
            r.file.add(run_file(settings, photos, job, out_dir));
            r.io.add(run_io(photos, outputs, job, out_dir));
            if (rep == 0) {
                // The file interface writes what the memory interface returns.
                run_file(settings, photos, job, out_dir);
                for (std::size_t i = 0; i < photos.size(); ++i) {
                    if (read_file(output_path(out_dir, photos[i], job)) != outputs[i]) r.identical = false;
                }
            }
            std::fprintf(stderr, "rastra_bench_threads: %s: repetition %d of %d\n", job.name, rep + 1, opt.reps);
        }

        for (int rep = 0; rep < opt.peak_reps; ++rep) {
            for (std::size_t k = 0; k < nt; ++k) {
                const Peak p = run_peak(job, opt.threads[k], largest.path);
                r.peak_before[k].push_back(static_cast<double>(p.before));
                r.peak_after[k].push_back(static_cast<double>(p.peak));
                r.peak_increment[k].push_back(static_cast<double>(p.peak - p.before));
                r.peak_reset = r.peak_reset && p.reset;
            }
        }
        results.push_back(std::move(r));
        fs::remove_all(out_dir, ec);
    }
    if (own_out) {
        std::error_code ec;
        fs::remove_all(out_root, ec);
    }
    if (results.empty()) die("nothing to measure in " + opt.corpus);

    const auto index_of = [&](int threads) -> std::optional<std::size_t> {
        for (std::size_t k = 0; k < nt; ++k) {
            if (opt.threads[k] == threads) return k;
        }
        return std::nullopt;
    };
    const std::optional<std::size_t> one = index_of(1);
    const std::optional<std::size_t> two = index_of(2);

    std::printf("## Throughput of rastra_convert, inputs in memory\n\n");
    std::printf(
        "| job | images | input MP | threads | images/s | speed-up | order allows | CPU ms per image | CPU used "
        "(cores) | rest of machine (cores) |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|\n");
    for (const JobResult& r : results) {
        // Each photo's median time on one thread.
        std::vector<double> per_photo(r.photos, 0.0);
        for (std::size_t i = 0; i < r.photos && !r.seconds.empty(); ++i) {
            std::vector<double> v;
            for (const std::vector<double>& run : r.seconds) v.push_back(run[i]);
            per_photo[i] = median(v);
        }
        for (std::size_t k = 0; k < nt; ++k) {
            const double wall = r.memory[k].wall_median();
            char speedup[32] = "";
            char bound[32] = "";
            if (one) std::snprintf(speedup, sizeof speedup, "%.2fx", r.memory[*one].wall_median() / wall);
            if (one) std::snprintf(bound, sizeof bound, "%.2fx", order_bound(per_photo, opt.threads[k]));
            std::vector<double> cpu_ms;
            for (std::size_t i = 0; i < r.memory[k].wall.size(); ++i)
                cpu_ms.push_back(r.memory[k].wall[i] * r.memory[k].cores[i] * 1000 / static_cast<double>(r.photos));
            std::printf("| %s | %zu | %.1f | %d | %.2f | %s | %s | %.0f | %.2f | %.2f |\n", r.job->name, r.photos,
                        r.megapixels, opt.threads[k], static_cast<double>(r.photos) / wall, speedup, bound,
                        median(cpu_ms), median(r.memory[k].cores), median(r.memory[k].others));
        }
    }

    std::printf("\n## Memory interface against file interface, one thread\n\n");
    std::printf(
        "| job | memory (s) | file (s) | its I/O alone (s) | file minus I/O (s) | memory / (file minus I/O) | same "
        "bytes |\n");
    std::printf("|---|---|---|---|---|---|---|\n");
    for (const JobResult& r : results) {
        if (!one) break;
        const double mem = r.memory[*one].wall_median();
        const double file = r.file.wall_median();
        const double io = r.io.wall_median();
        std::printf("| %s | %.3f | %.3f | %.3f | %.3f | %.3f | %s |\n", r.job->name, mem, file, io, file - io,
                    mem / (file - io), r.identical ? "yes" : "NO");
    }

    std::printf("\n## Peak memory, the largest input converted on each thread at once (fresh process)\n\n");
    std::printf(
        "| job | input | threads | resident before (MiB) | peak (MiB) | increment (MiB) | per thread (MiB) | per "
        "thread / one conversion |\n");
    std::printf("|---|---|---|---|---|---|---|---|\n");
    for (const JobResult& r : results) {
        const double base_one = one ? median(r.peak_increment[*one]) : 0;
        for (std::size_t k = 0; k < nt; ++k) {
            const double inc = median(r.peak_increment[k]);
            const double per = inc / opt.threads[k];
            char ratio[32] = "";
            if (base_one > 0) std::snprintf(ratio, sizeof ratio, "%.3f", per / base_one);
            std::printf("| %s | %s %dx%d | %d | %.1f | %.1f | %.1f | %.1f | %s |\n", r.job->name,
                        r.largest_name.c_str(), r.largest_w, r.largest_h, opt.threads[k],
                        mib(static_cast<long>(median(r.peak_before[k]))),
                        mib(static_cast<long>(median(r.peak_after[k]))), mib(static_cast<long>(inc)),
                        mib(static_cast<long>(per)), ratio);
        }
    }

    std::printf("\n## Targets\n\n");
    for (const JobResult& r : results) {
        if (one && two) {
            const double s = r.memory[*one].wall_median() / r.memory[*two].wall_median();
            const double others = std::max(median(r.memory[*one].others), median(r.memory[*two].others));
            char busy[96] = "";
            if (others > 0.1)
                std::snprintf(busy, sizeof busy, " (machine busy: other processes used %.2f cores meanwhile)", others);
            std::printf("- %s: 2 threads %.2fx one thread (at least 1.8x): %s%s\n", r.job->name, s,
                        s >= 1.8 ? "met" : "NOT met", busy);
        }
        if (one) {
            const double q = r.memory[*one].wall_median() / (r.file.wall_median() - r.io.wall_median());
            std::printf("- %s: memory takes %.3f of file minus its I/O (at most 1): %s\n", r.job->name, q,
                        q <= 1.0 ? "met" : "NOT met");
            const double base_one = median(r.peak_increment[*one]);
            double worst = 0;
            int worst_n = 0;
            for (std::size_t k = 0; k < nt; ++k) {
                if (opt.threads[k] == 1) continue;
                const double ratio = median(r.peak_increment[k]) / opt.threads[k] / base_one;
                if (ratio >= worst) {
                    worst = ratio;
                    worst_n = opt.threads[k];
                }
            }
            if (worst_n > 0)
                std::printf(
                    "- %s: peak memory per thread at most %.3f of one conversion's, at %d threads (at most 1.10): %s\n",
                    r.job->name, worst, worst_n, worst <= 1.10 ? "met" : "NOT met");
        }
    }

    const bool reset = std::all_of(results.begin(), results.end(), [](const JobResult& r) { return r.peak_reset; });
    std::printf(
        "\n%u CPUs (%s); %d repetitions interleaved, medians; peak memory: median of %d fresh processes%s. "
        "load average %s before, %s after. \"Rest of machine\": CPU the other processes used during the runs; "
        "\"order allows\": the best speed-up with the photos in this order, from their one-thread times.\n",
        std::thread::hardware_concurrency(), cpu_model().c_str(), opt.reps, opt.peak_reps,
        reset ? "" : " (the peak could not be reset: resident before is the peak of loading)", load_before.c_str(),
        load_average().c_str());
    return 0;
}
