// What the host needs from the platform: worker processes connected by pipes,
// binary reads and writes, Ctrl-C, the CPU count and whether standard error is
// a terminal.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace cli {

#if defined(_WIN32)
using Handle = void*;
#else
using Handle = int;
#endif

// Whole reads and writes; false on an error or, for reads, at the end.
bool write_all(Handle h, const void* data, std::size_t size);
bool read_all(Handle h, void* data, std::size_t size);

// The worker's side of the pipes, in binary mode: files come in on standard
// input, answers go out on a channel of their own (descriptor 3 on POSIX,
// standard output on Windows), so that an output named /dev/stdout reaches
// the user's standard output rather than the host's pipe.
Handle binary_stdin();
Handle answers_to_host();

// A copy of this program started with --worker, its standard input and its
// answers (see answers_to_host) connected to us by pipes, its standard error
// shared.
class Worker {
public:
    Worker() = default;
    ~Worker();
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    bool start(const std::string& program);
    Handle to() const { return to_; }
    Handle from() const { return from_; }
    // Waits up to `wait` for the worker to answer (or to close its end);
    // false when the time passed first.
    bool answering(std::chrono::milliseconds wait) const;
    // Ends the worker at once.
    void kill();
    // Ends the worker's input (it exits once its current file is done) and
    // waits for it to exit.
    void finish();
    // How the worker ended, once finished: "was killed by signal 11
    // (Segmentation fault)", "exited with status 3".
    std::string ending() const { return ending_; }
    // Its process id, which names its temporary files.
    unsigned long id() const { return id_; }

private:
#if defined(_WIN32)
    Handle to_ = nullptr;
    Handle from_ = nullptr;
    Handle process_ = nullptr;
#else
    Handle to_ = -1;
    Handle from_ = -1;
    int pid_ = -1;
#endif
    unsigned long id_ = 0;
    std::string ending_;
};

// The path of this program, to start workers from.
std::string program_path(const char* argv0);

// Ctrl-C and SIGTERM set a flag instead of ending the process.
void catch_interrupts();
// A first Ctrl-C: finish the files in hand.
bool interrupted();
// A second Ctrl-C, or SIGTERM (a closed console on Windows): stop at once.
bool stop_now();
// From now on, stopping at once ends this process with status 130 (a file
// converted here cannot be interrupted otherwise).
void exit_on_stop();
// Workers leave Ctrl-C to the host, which lets them finish their file.
void ignore_interrupts();

int available_cpus();
bool stderr_is_terminal();

}  // namespace cli
