#include "pool.h"

#include <rastra.h>

#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>

#include "options.h"
#include "process.h"

namespace cli {

namespace {

constexpr uint32_t kMaxString = 1u << 20;

// One message, gathered and then written whole.
class Message {
public:
    template <class T>
    Message& put(T v) {
        const auto* p = reinterpret_cast<const char*>(&v);
        bytes_.append(p, sizeof v);
        return *this;
    }
    Message& put(const std::string& s) {
        put(static_cast<uint32_t>(s.size()));
        bytes_ += s;
        return *this;
    }
    bool send(Handle h) const { return write_all(h, bytes_.data(), bytes_.size()); }

private:
    std::string bytes_;
};

template <class T>
bool get(Handle h, T& v) {
    return read_all(h, &v, sizeof v);
}

bool get(Handle h, std::string& s) {
    uint32_t n = 0;
    if (!get(h, n) || n > kMaxString) return false;
    s.resize(n);
    return n == 0 || read_all(h, s.data(), n);
}

enum class State { kWaiting, kTaken, kDone };

// The files of a run and who may take which next.
class Schedule {
public:
    // A file waits for the one before it that writes the same output, as the
    // library's plan links them.
    explicit Schedule(const std::vector<Candidate>& plan) : state_(plan.size(), State::kDone), after_(plan.size(), -1) {
        for (std::size_t i = 0; i < plan.size(); ++i) {
            if (plan[i].output.empty()) continue;  // reported by the caller
            state_[i] = State::kWaiting;
            ++waiting_;
            after_[i] = plan[i].follows;
        }
    }

    // The next file to convert, waiting while only files behind an unfinished
    // writer of their output are left; -1 when there is none to take.
    std::ptrdiff_t take() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            if (stopped_ || waiting_ == 0) return -1;
            for (std::size_t i = first_; i < state_.size(); ++i) {
                if (state_[i] != State::kWaiting) {
                    if (i == first_) ++first_;
                    continue;
                }
                if (after_[i] >= 0 && state_[static_cast<std::size_t>(after_[i])] != State::kDone) continue;
                state_[i] = State::kTaken;
                --waiting_;
                return static_cast<std::ptrdiff_t>(i);
            }
            changed_.wait(lock);
        }
    }
    void done(std::size_t i) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            state_[i] = State::kDone;
        }
        changed_.notify_all();
    }
    void stop() {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            stopped_ = true;
        }
        changed_.notify_all();
    }
    // A worker's thread starts or ends.
    void join() {
        const std::lock_guard<std::mutex> lock(mutex_);
        ++serving_;
    }
    void leave() {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            --serving_;
        }
        changed_.notify_all();
    }
    // Waits up to `period` for a change; true once every file is handed out,
    // the run is stopped, or no worker is left.
    bool settled(std::chrono::milliseconds period) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, period);
        return waiting_ == 0 || stopped_ || serving_ == 0;
    }
    // The files never handed out.
    std::vector<std::size_t> left() {
        const std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::size_t> out;
        for (std::size_t i = 0; i < state_.size(); ++i) {
            if (state_[i] == State::kWaiting) out.push_back(i);
        }
        return out;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<State> state_;
    std::vector<std::ptrdiff_t> after_;
    std::size_t first_ = 0;
    std::size_t waiting_ = 0;
    std::size_t serving_ = 0;
    bool stopped_ = false;
};

// What every worker's thread shares.
struct Run {
    const std::vector<Candidate>& plan;
    Schedule& schedule;
    Report& report;
    Totals& totals;
    std::mutex& totals_mutex;
    const std::string& program;
    const Message& hello;
    std::chrono::seconds timeout;  // 0: none
};

// Removes the temporary files a killed worker may have left beside output.
void remove_temporaries(const std::string& output, unsigned long worker) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path dir = fs::path(output).parent_path();
    const std::string prefix = ".rastra-" + std::to_string(worker) + "-";
    for (fs::directory_iterator it(dir.empty() ? fs::path(".") : dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.compare(0, prefix.size(), prefix) == 0 && name.size() > 4 && name.compare(name.size() - 4, 4, ".tmp") == 0) {
            fs::remove(it->path(), ec);
        }
    }
}

// Hands file i to the worker and waits for its answer, within the time limit
// and until a second Ctrl-C. Why it failed when it did not answer.
bool convert_on(Worker& worker, const Run& run, std::size_t i, rastra_result& r, std::string& why) {
    const Candidate& c = run.plan[i];
    if (!Message().put(static_cast<uint32_t>(i)).put(c.input).put(c.output).send(worker.to())) {
        why = "the worker converting this file stopped";
        return false;
    }
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        if (stop_now()) {
            worker.kill();
            why = "interrupted";
            return false;
        }
        if (worker.answering(std::chrono::milliseconds(100))) break;
        if (run.timeout.count() > 0 && std::chrono::steady_clock::now() - start >= run.timeout) {
            worker.kill();
            why = "timed out after " + std::to_string(run.timeout.count()) + " s";
            return false;
        }
    }
    uint32_t index = 0;
    std::string message;
    if (get(worker.from(), index) && index == i && get(worker.from(), r.converted) && get(worker.from(), r.reason) &&
        get(worker.from(), r.system_error) && get(worker.from(), r.input_bytes) &&
        get(worker.from(), r.output_bytes) && get(worker.from(), message)) {
        std::snprintf(r.message, sizeof r.message, "%s", message.c_str());
        why = describe(r, c.input, c.output);
        return true;
    }
    why.clear();  // it died: finish() says how
    return false;
}

// Feeds one worker until no file is left for it; reports each result. A
// worker that dies or runs out of time is replaced, and the run goes on.
void serve(Worker& worker, const Run& run) {
    for (;;) {
        const std::ptrdiff_t taken = run.schedule.take();
        if (taken < 0) break;
        const auto i = static_cast<std::size_t>(taken);
        rastra_result r{};
        std::string why;
        const bool answered = convert_on(worker, run, i, r, why);
        if (!answered) {
            r.converted = 0;
            const unsigned long id = worker.id();
            worker.finish();
            if (why.empty()) why = "the worker converting this file " + worker.ending();
            remove_temporaries(run.plan[i].output, id);
        }
        {
            const std::lock_guard<std::mutex> lock(run.totals_mutex);
            add(run.totals, r);
        }
        run.report.file_done(run.plan[i].input, r.converted != 0, why);
        run.schedule.done(i);
        if (!answered && (stop_now() || !worker.start(run.program) || !run.hello.send(worker.to()))) break;
    }
    worker.finish();
    run.schedule.leave();
}

}  // namespace

bool run_pool(const std::vector<Candidate>& plan, int jobs, const std::string& program,
              const std::vector<std::string>& settings, std::chrono::seconds timeout, Report& report,
              Totals& totals) {
    Message hello;
    hello.put(static_cast<uint32_t>(settings.size()));
    for (const std::string& s : settings) hello.put(s);
    std::vector<std::unique_ptr<Worker>> workers;
    for (int n = 0; n < jobs; ++n) {
        auto w = std::make_unique<Worker>();
        if (!w->start(program) || !hello.send(w->to())) break;
        workers.push_back(std::move(w));
    }
    if (workers.empty()) return false;

    Schedule schedule(plan);
    std::mutex totals_mutex;
    for (const Candidate& c : plan) {
        if (!c.output.empty()) continue;
        totals.failed += 1;
        report.file_done(c.input, false, c.message);
    }
    const Run run{plan, schedule, report, totals, totals_mutex, program, hello, timeout};
    std::vector<std::thread> threads;
    for (auto& w : workers) {
        schedule.join();
        threads.emplace_back(serve, std::ref(*w), std::cref(run));
    }
    // Watch for Ctrl-C and keep the progress line moving until every file is
    // handed out; the threads then finish what they hold (or, after a second
    // Ctrl-C, kill their workers).
    while (!schedule.settled(std::chrono::milliseconds(200))) {
        if (interrupted()) schedule.stop();
        report.tick();
    }
    for (auto& t : threads) t.join();
    // Files no worker was left to take (every worker stopped) are failures.
    if (!interrupted()) {
        for (std::size_t i : schedule.left()) {
            totals.failed += 1;
            report.file_done(plan[i].input, false, "no worker was left to convert this file");
        }
    }
    return true;
}

int worker_main() {
    ignore_interrupts();
    const Handle in = binary_stdin();
    const Handle out = answers_to_host();
    uint32_t count = 0;
    if (!get(in, count) || count > 64) return 2;
    std::vector<std::string> arguments(count);
    for (std::string& s : arguments) {
        if (!get(in, s)) return 2;
    }
    arguments.push_back("--worker");
    Settings settings;
    try {
        settings = make_settings(parse(arguments));
    } catch (const UsageError&) {
        return 2;
    }
    if (!settings) return 2;
    for (;;) {
        uint32_t index = 0;
        std::string input, output;
        if (!get(in, index)) return 0;  // no more files
        if (!get(in, input) || !get(in, output)) return 2;
        rastra_result r;
        rastra_convert_file_result(settings.get(), input.c_str(), output.c_str(), &r);
        if (!Message()
                 .put(index)
                 .put(r.converted)
                 .put(r.reason)
                 .put(r.system_error)
                 .put(r.input_bytes)
                 .put(r.output_bytes)
                 .put(std::string(r.message))
                 .send(out)) {
            return 2;
        }
    }
}

}  // namespace cli
