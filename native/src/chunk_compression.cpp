#include "corvane/chunk_compression.hpp"

#include "corvane/deflate.hpp"
#include "corvane/tail_stream.hpp"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

namespace corvane {

namespace {

// The compressors one thread uses, one per level, made when first needed.
class Compressors {
public:
    const ZlibCompressor& at(int level) {
        auto found = by_level_.find(level);
        if (found == by_level_.end()) found = by_level_.emplace(level, ZlibCompressor(level)).first;
        return found->second;
    }

private:
    std::map<int, ZlibCompressor> by_level_;
};

void compress_task(Compressors& compressors, const ChunkTask& task, std::size_t chunk_bytes,
                   std::vector<unsigned char>& out) {
    if (task.tail_bytes > 0) {
        deflate_tail(compressors.at(kTailChunkLevel), task.raw, task.tail_bytes, chunk_bytes, out);
    } else {
        compressors.at(task.level).compress(task.raw, chunk_bytes, out);
    }
}

// The calling thread keeps its compressors between writes: a daily append
// then does not pay for setting them up again.
Compressors& calling_thread_compressors() {
    thread_local Compressors compressors;
    return compressors;
}

// Work shared by the threads of one compress_in_order call. Task i, once
// compressed, waits in slot i % slots until the calling thread writes it.
class OrderedWork {
public:
    OrderedWork(const std::vector<ChunkTask>& tasks, std::size_t chunk_bytes, std::size_t slots)
        : tasks_(tasks), chunk_bytes_(chunk_bytes), slots_(slots), ready_(slots, false) {}

    // A helper thread: compresses tasks until none is left or the work stops.
    void help() {
        Compressors compressors;
        std::vector<unsigned char> out;
        std::size_t task = 0;
        while (claim(task, /*wait=*/true)) {
            if (!compress(compressors, task, out)) return;
        }
    }

    // The calling thread: writes every stream in order, compressing tasks
    // itself while the next stream to write is not ready.
    void run(const std::function<void(std::size_t, const std::vector<unsigned char>&)>& write) {
        std::vector<unsigned char> stream;
        std::size_t task = 0;
        std::unique_lock<std::mutex> lock(mutex_);
        while (written_ < tasks_.size() && !error_) {
            const std::size_t slot = written_ % slots_.size();
            if (ready_[slot]) {
                stream.swap(slots_[slot]);
                ready_[slot] = false;
                lock.unlock();
                try {
                    write(written_, stream);
                } catch (...) {
                    lock.lock();
                    fail(std::current_exception());
                    break;
                }
                lock.lock();
                ++written_;
                changed_.notify_all();
            } else if (claimable()) {
                task = next_++;
                lock.unlock();
                const bool done = compress(calling_thread_compressors(), task, stream);
                lock.lock();
                if (!done) break;
            } else {
                changed_.wait(lock);
            }
        }
        if (error_) std::rethrow_exception(error_);
    }

    // Ends the work: helpers stop at their next claim.
    void stop() {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
        changed_.notify_all();
    }

private:
    // A task may start once its slot is free: at most one stream per slot
    // waits to be written, which bounds the memory held.
    bool claimable() const {
        return !stopped_ && next_ < tasks_.size() && next_ < written_ + slots_.size();
    }

    bool claim(std::size_t& task, bool wait) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (wait) {
            changed_.wait(lock, [&] { return claimable() || stopped_ || next_ >= tasks_.size(); });
        }
        if (!claimable()) return false;
        task = next_++;
        return true;
    }

    // Compresses `task` into its slot (via `out`); false when it failed.
    bool compress(Compressors& compressors, std::size_t task, std::vector<unsigned char>& out) {
        try {
            compress_task(compressors, tasks_[task], chunk_bytes_, out);
        } catch (...) {
            std::lock_guard<std::mutex> lock(mutex_);
            fail(std::current_exception());
            return false;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        const std::size_t slot = task % slots_.size();
        slots_[slot].swap(out);
        ready_[slot] = true;
        changed_.notify_all();
        return true;
    }

    // Called with the lock held.
    void fail(std::exception_ptr error) {
        if (!error_) error_ = std::move(error);
        stopped_ = true;
        changed_.notify_all();
    }

    const std::vector<ChunkTask>& tasks_;
    const std::size_t chunk_bytes_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::vector<unsigned char>> slots_;
    std::vector<bool> ready_;
    std::size_t next_ = 0;     // first task nobody has claimed
    std::size_t written_ = 0;  // tasks handed to `write`
    bool stopped_ = false;
    std::exception_ptr error_;
};

// Joins the helper threads however the calling thread leaves.
class Helpers {
public:
    explicit Helpers(OrderedWork& work) : work_(work) {}
    ~Helpers() {
        work_.stop();
        for (std::thread& t : threads_) t.join();
    }
    Helpers(const Helpers&) = delete;
    Helpers& operator=(const Helpers&) = delete;

    // Starts up to `count` helpers; fewer when the system refuses threads,
    // since the calling thread alone still gets the work done.
    void start(unsigned count) {
        for (unsigned i = 0; i < count; ++i) {
            try {
                threads_.emplace_back([this] { work_.help(); });
            } catch (const std::system_error&) {
                break;
            }
        }
    }

private:
    OrderedWork& work_;
    std::vector<std::thread> threads_;
};

}  // namespace

const ZlibCompressor& calling_thread_compressor(int level) {
    return calling_thread_compressors().at(level);
}

unsigned compression_threads(std::size_t full_chunks) {
    if (full_chunks < 2) return 1;
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    return static_cast<unsigned>(std::min<std::size_t>(cores, full_chunks));
}

void compress_in_order(
    const std::vector<ChunkTask>& tasks, std::size_t chunk_bytes, unsigned threads,
    const std::function<void(std::size_t, const std::vector<unsigned char>&)>& write) {
    threads = static_cast<unsigned>(std::clamp<std::size_t>(threads, 1, std::max<std::size_t>(1, tasks.size())));
    if (threads == 1) {
        std::vector<unsigned char> stream;
        Compressors& compressors = calling_thread_compressors();
        for (std::size_t i = 0; i < tasks.size(); ++i) {
            compress_task(compressors, tasks[i], chunk_bytes, stream);
            write(i, stream);
        }
        return;
    }
    OrderedWork work(tasks, chunk_bytes, 2 * std::size_t{threads});
    Helpers helpers(work);
    helpers.start(threads - 1);
    work.run(write);
}

}  // namespace corvane
