#include "pool.h"

#include <rastra.h>

#include <condition_variable>
#include <cstdint>
#include <cstring>
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

// Feeds one worker until no file is left for it; reports each result.
void serve(Worker& worker, const std::vector<Candidate>& plan, Schedule& schedule, Report& report, Totals& totals,
           std::mutex& totals_mutex) {
    for (;;) {
        const std::ptrdiff_t taken = schedule.take();
        if (taken < 0) break;
        const auto i = static_cast<std::size_t>(taken);
        uint32_t index = 0;
        rastra_result r{};
        std::string message;
        const bool answered = Message().put(static_cast<uint32_t>(i)).put(plan[i].input).put(plan[i].output).send(worker.to()) &&
                              get(worker.from(), index) && index == i && get(worker.from(), r.converted) &&
                              get(worker.from(), r.reason) && get(worker.from(), r.system_error) &&
                              get(worker.from(), r.input_bytes) && get(worker.from(), r.output_bytes) &&
                              get(worker.from(), message);
        std::string why;
        if (answered) {
            std::snprintf(r.message, sizeof r.message, "%s", message.c_str());
            why = describe(r, plan[i].input, plan[i].output);
        } else {
            r.converted = 0;
            why = "the worker converting this file stopped";
        }
        {
            const std::lock_guard<std::mutex> lock(totals_mutex);
            add(totals, r);
        }
        report.file_done(plan[i].input, r.converted != 0, why);
        schedule.done(i);
        if (!answered) break;  // this worker is gone; the others go on
    }
    worker.finish();
    schedule.leave();
}

}  // namespace

bool run_pool(const std::vector<Candidate>& plan, int jobs, const std::string& program,
              const std::vector<std::string>& settings, Report& report, Totals& totals) {
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
    std::vector<std::thread> threads;
    for (auto& w : workers) {
        schedule.join();
        threads.emplace_back(serve, std::ref(*w), std::cref(plan), std::ref(schedule), std::ref(report),
                             std::ref(totals), std::ref(totals_mutex));
    }
    // Watch for Ctrl-C and keep the progress line moving until every file is
    // handed out; the threads then finish what they hold.
    while (!schedule.settled(std::chrono::milliseconds(200))) {
        if (interrupted()) schedule.stop();
        report.tick();
    }
    for (auto& t : threads) t.join();
    // Files no worker was left to take (every worker stopped) are failures.
    if (!interrupted()) {
        for (std::size_t i : schedule.left()) {
            totals.failed += 1;
            report.file_done(plan[i].input, false, "rastra: no worker was left to convert this file");
        }
    }
    return true;
}

int worker_main() {
    ignore_interrupts();
    const Handle in = binary_stdin();
    const Handle out = binary_stdout();
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
