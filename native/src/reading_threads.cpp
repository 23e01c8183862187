#include "reading_threads.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

namespace corvane::detail {

namespace {

// Threads that wait for a read's work, run it and say so.
class Crew {
public:
    explicit Crew(pid_t owner) : owner_(owner) {}
    pid_t owner() const { return owner_; }
    // Claims the crew for one read; false when another read has it.
    bool claim() { return busy_.try_lock(); }
    void release() { busy_.unlock(); }

    // Runs `work` on `helpers` of the crew (made as needed) beside the
    // calling thread; the crew must be claimed.
    void run(unsigned helpers, const std::function<void()>& work) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            while (threads_.size() < helpers && grow()) {
            }
            // No thread to be had: the work is shared out by the work
            // itself, so fewer threads do it all.
            helpers = std::min<unsigned>(helpers, static_cast<unsigned>(threads_.size()));
            work_ = &work;
            wanted_ = helpers;
            running_ = helpers;
            ++round_;
        }
        wake_.notify_all();
        work();
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [this] { return running_ == 0; });
        work_ = nullptr;
    }

private:
    bool grow() {
        try {
            threads_.emplace_back([this] { serve(); });
        } catch (const std::system_error&) {
            return false;
        }
        threads_.back().detach();  // lives as long as the process
        return true;
    }

    void serve() {
        std::uint64_t seen = 0;
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return round_ != seen && wanted_ > 0; });
            seen = round_;
            --wanted_;
            const std::function<void()>* work = work_;
            lock.unlock();
            (*work)();
            lock.lock();
            if (--running_ == 0) done_.notify_one();
        }
    }

    const pid_t owner_;
    std::mutex busy_;
    std::mutex mutex_;
    std::condition_variable wake_, done_;
    std::vector<std::thread> threads_;
    const std::function<void()>* work_ = nullptr;
    unsigned wanted_ = 0, running_ = 0;
    std::uint64_t round_ = 0;
};

// The process's crew. A forked child inherits the parent's crew without its
// threads, and perhaps with its locks held: it leaves it as it is (never
// touched, never freed) and makes its own.
Crew* crew() {
    static std::atomic<Crew*> current{nullptr};
    const pid_t self = ::getpid();
    Crew* found = current.load(std::memory_order_acquire);
    while (found == nullptr || found->owner() != self) {
        Crew* made = new Crew(self);
        if (current.compare_exchange_strong(found, made, std::memory_order_acq_rel)) return made;
        delete made;  // another thread's is in place: take it (`found`)
    }
    return found;
}

void run_on_own_threads(unsigned helpers, const std::function<void()>& work) {
    std::vector<std::thread> threads;
    threads.reserve(helpers);
    try {
        for (unsigned t = 0; t < helpers; ++t) threads.emplace_back(work);
    } catch (const std::system_error&) {
        // Fewer threads do it all (see Crew::run).
    }
    work();
    for (std::thread& thread : threads) thread.join();
}

}  // namespace

void run_on_threads(unsigned helpers, const std::function<void()>& work) {
    if (helpers == 0) return work();
    Crew* kept = crew();
    if (!kept->claim()) return run_on_own_threads(helpers, work);
    kept->run(helpers, work);
    kept->release();
}

}  // namespace corvane::detail
