#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <cstdio>

#include "process.h"

namespace cli {

bool write_all(Handle h, const void* data, std::size_t size) {
    const auto* p = static_cast<const char*>(data);
    while (size > 0) {
        DWORD n = 0;
        const DWORD chunk = size < (1u << 30) ? static_cast<DWORD>(size) : (1u << 30);
        if (!WriteFile(h, p, chunk, &n, nullptr) || n == 0) return false;
        p += n;
        size -= n;
    }
    return true;
}

bool read_all(Handle h, void* data, std::size_t size) {
    auto* p = static_cast<char*>(data);
    while (size > 0) {
        DWORD n = 0;
        const DWORD chunk = size < (1u << 30) ? static_cast<DWORD>(size) : (1u << 30);
        if (!ReadFile(h, p, chunk, &n, nullptr) || n == 0) return false;
        p += n;
        size -= n;
    }
    return true;
}

Handle binary_stdin() {
    _setmode(_fileno(stdin), _O_BINARY);
    return GetStdHandle(STD_INPUT_HANDLE);
}

Handle answers_to_host() {
    _setmode(_fileno(stdout), _O_BINARY);
    return GetStdHandle(STD_OUTPUT_HANDLE);
}

Worker::~Worker() { finish(); }

bool Worker::start(const std::string& program) {
    // Pipes whose child ends alone are inheritable; workers start one at a
    // time, so none inherits another's.
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE child_in = nullptr, to = nullptr, from = nullptr, child_out = nullptr;
    if (!CreatePipe(&child_in, &to, &inherit, 0)) return false;
    if (!CreatePipe(&from, &child_out, &inherit, 0)) {
        CloseHandle(child_in);
        CloseHandle(to);
        return false;
    }
    SetHandleInformation(to, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(from, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = child_in;
    si.hStdOutput = child_out;
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION pi = {};
    std::string command = "\"" + program + "\" --worker";
    const BOOL ok = CreateProcessA(program.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                   &si, &pi);
    CloseHandle(child_in);
    CloseHandle(child_out);
    if (!ok) {
        CloseHandle(to);
        CloseHandle(from);
        return false;
    }
    CloseHandle(pi.hThread);
    to_ = to;
    from_ = from;
    process_ = pi.hProcess;
    id_ = pi.dwProcessId;
    ending_.clear();
    return true;
}

bool Worker::answering(std::chrono::milliseconds wait) const {
    const auto until = std::chrono::steady_clock::now() + wait;
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(from_, nullptr, 0, nullptr, &available, nullptr) || available > 0) return true;
        if (std::chrono::steady_clock::now() >= until) return false;
        Sleep(20);
    }
}

void Worker::kill() {
    if (process_ != nullptr) TerminateProcess(process_, 1);
}

void Worker::finish() {
    if (to_ != nullptr) CloseHandle(to_);
    to_ = nullptr;
    if (process_ != nullptr) {
        WaitForSingleObject(process_, INFINITE);
        DWORD code = 0;
        GetExitCodeProcess(process_, &code);
        char buf[64];
        std::snprintf(buf, sizeof buf, code >= 0xC0000000u ? "ended with exception 0x%08lX" : "exited with status %lu",
                      static_cast<unsigned long>(code));
        ending_ = buf;
        CloseHandle(process_);
    }
    process_ = nullptr;
    if (from_ != nullptr) CloseHandle(from_);
    from_ = nullptr;
}

std::string program_path(const char* argv0) {
    char buf[MAX_PATH * 4];
    const DWORD n = GetModuleFileNameA(nullptr, buf, sizeof buf);
    return n > 0 && n < sizeof buf ? std::string(buf, n) : std::string(argv0);
}

namespace {

std::atomic<int> s_interrupts{0};
std::atomic<bool> s_exit_on_stop{false};

BOOL WINAPI on_console_event(DWORD event) {
    if (event == CTRL_C_EVENT) {
        ++s_interrupts;
    } else if (event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
        s_interrupts = 2;
    } else {
        return FALSE;
    }
    if (s_interrupts >= 2 && s_exit_on_stop) {
        std::fputs("\nrastra: stopped\n", stderr);
        ExitProcess(130);
    }
    return TRUE;
}

}  // namespace

void catch_interrupts() { SetConsoleCtrlHandler(on_console_event, TRUE); }
bool interrupted() { return s_interrupts != 0; }
bool stop_now() { return s_interrupts >= 2; }
void exit_on_stop() { s_exit_on_stop = true; }
void ignore_interrupts() { SetConsoleCtrlHandler(nullptr, TRUE); }

int available_cpus() {
    DWORD_PTR process = 0, system = 0;
    if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system) || process == 0) return 1;
    int n = 0;
    for (; process != 0; process &= process - 1) ++n;
    return n;
}

bool stderr_is_terminal() { return _isatty(_fileno(stderr)) != 0; }

}  // namespace cli
