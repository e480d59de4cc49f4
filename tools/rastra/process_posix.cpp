#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <thread>
#include <vector>

#include "process.h"

extern char** environ;

namespace cli {

bool write_all(Handle h, const void* data, std::size_t size) {
    const auto* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(h, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool read_all(Handle h, void* data, std::size_t size) {
    auto* p = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t n = ::read(h, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

namespace {
constexpr int kAnswerFd = 3;
}  // namespace

Handle binary_stdin() { return STDIN_FILENO; }
Handle answers_to_host() { return kAnswerFd; }

Worker::~Worker() { finish(); }

bool Worker::start(const std::string& program) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) return false;
    if (::pipe2(out, O_CLOEXEC) != 0) {
        ::close(in[0]);
        ::close(in[1]);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], kAnswerFd);  // standard output stays the user's
    std::vector<char*> argv = {const_cast<char*>(program.c_str()), const_cast<char*>("--worker"), nullptr};
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    if (rc != 0) {
        ::close(in[1]);
        ::close(out[0]);
        return false;
    }
    to_ = in[1];
    from_ = out[0];
    pid_ = pid;
    id_ = static_cast<unsigned long>(pid);
    ending_.clear();
    return true;
}

bool Worker::answering(std::chrono::milliseconds wait) const {
    pollfd p = {from_, POLLIN, 0};
    const int n = ::poll(&p, 1, static_cast<int>(wait.count()));
    return n > 0 || (n < 0 && errno != EINTR);
}

void Worker::kill() {
    if (pid_ > 0) ::kill(pid_, SIGKILL);
}

void Worker::finish() {
    if (to_ >= 0) ::close(to_);
    to_ = -1;
    if (pid_ > 0) {
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        if (WIFSIGNALED(status)) {
            const char* name = ::strsignal(WTERMSIG(status));
            ending_ = "was killed by signal " + std::to_string(WTERMSIG(status)) +
                      (name != nullptr ? std::string(" (") + name + ")" : "");
        } else {
            ending_ = "exited with status " + std::to_string(WEXITSTATUS(status));
        }
    }
    pid_ = -1;
    if (from_ >= 0) ::close(from_);
    from_ = -1;
}

std::string program_path(const char* argv0) {
    char buf[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n > 0) return std::string(buf, static_cast<std::size_t>(n));
    return argv0;
}

namespace {

// Read by the workers' threads while the handler writes on the main thread:
// lock-free atomics, which a signal handler may use.
std::atomic<int> s_interrupts{0};
std::atomic<bool> s_exit_on_stop{false};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

extern "C" void on_interrupt(int signal) {
    const int n = signal == SIGTERM ? (s_interrupts.store(2), 2) : s_interrupts.fetch_add(1) + 1;
    if (n >= 2 && s_exit_on_stop.load()) {
        static const char kLine[] = "\nrastra: stopped\n";
        (void)!::write(STDERR_FILENO, kLine, sizeof kLine - 1);
        ::_exit(130);
    }
}

}  // namespace

void catch_interrupts() {
    struct sigaction sa = {};
    sa.sa_handler = on_interrupt;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    // A pipe to a worker that died must not end the host.
    signal(SIGPIPE, SIG_IGN);
}

bool interrupted() { return s_interrupts.load() != 0; }
bool stop_now() { return s_interrupts.load() >= 2; }
void exit_on_stop() { s_exit_on_stop.store(true); }

void ignore_interrupts() {
    signal(SIGINT, SIG_IGN);
    signal(SIGTERM, SIG_IGN);
}

int available_cpus() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) return CPU_COUNT(&set);
    const unsigned n = std::thread::hardware_concurrency();
    return n > 0 ? static_cast<int>(n) : 1;
}

bool stderr_is_terminal() { return ::isatty(STDERR_FILENO) == 1; }

}  // namespace cli
