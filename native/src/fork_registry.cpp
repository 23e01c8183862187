#include "fork_registry.hpp"

#include "corvane/guarded_file.hpp"
#include "stored_chunks.hpp"

#include <hdf5.h>

#include <mutex>
#include <pthread.h>
#include <set>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

// fork() copies a lock as it is, held or not, and of the holder's thread
// only the forking one goes on in the child: a child that needs a lock some
// other thread held waits for ever. So fork takes every lock the engine's
// threads hold, HDF5's included: the prepare handler waits until no thread is
// at a chunk's stream, inside HDF5 or in this registry, and keeps them out
// until the child is made; both sides then give the locks back. Serialising
// every HDF5 call behind a lock of ours would do the same at each of the
// engine's many calls; HDF5 already serialises them behind its own, which fork
// takes once. The order is the one the threads take them in: the turn at a
// stream (held over HDF5 calls), HDF5's lock (held over the file driver's
// calls into this registry), the registry.
#if defined(H5_HAVE_THREADSAFE) && H5_VERS_MAJOR == 1 && H5_VERS_MINOR == 10
#define CORVANE_FORK_TAKES_HDF5_LOCK 1
extern "C" {
// HDF5 1.10's API lock, the first member of its library state `H5_g`: a
// count and an owner behind a mutex, with a condition its waiters sleep on.
struct Hdf5ApiLock {
    pthread_t owner;
    pthread_mutex_t atomic;
    pthread_cond_t waiters;
    unsigned count;
};
extern Hdf5ApiLock H5_g;
extern pthread_once_t H5TS_first_init_g;
void H5TS_pthread_first_thread_init(void);
herr_t H5TS_mutex_lock(Hdf5ApiLock* lock);
herr_t H5TS_mutex_unlock(Hdf5ApiLock* lock);
}
#else
#define CORVANE_FORK_TAKES_HDF5_LOCK 0
#endif

namespace corvane {

namespace {

std::mutex& registry_mutex() {
    static std::mutex* m = new std::mutex;  // outlives static destructors
    return *m;
}

std::set<GuardedFile*>& open_files() {
    static std::set<GuardedFile*>* files = new std::set<GuardedFile*>;
    return *files;
}

std::set<int*>& reader_locks() {
    static std::set<int*>* locks = new std::set<int*>;
    return *locks;
}

// Waits, as an HDF5 call would, until no other thread is inside HDF5.
void take_hdf5_lock() {
#if CORVANE_FORK_TAKES_HDF5_LOCK
    ::pthread_once(&H5TS_first_init_g, &H5TS_pthread_first_thread_init);
    H5TS_mutex_lock(&H5_g);
#endif
}

void give_hdf5_lock() {
#if CORVANE_FORK_TAKES_HDF5_LOCK
    H5TS_mutex_unlock(&H5_g);
#endif
}

// In the child, a thread of the parent may have been waiting for HDF5's lock
// (in its mutex for an instant, or on its condition): giving the lock back
// through HDF5 could wait for that thread. The child's lock is made anew and
// free, which it is: no thread was inside HDF5 at the fork.
void renew_hdf5_lock_in_child() {
#if CORVANE_FORK_TAKES_HDF5_LOCK
    ::pthread_mutex_init(&H5_g.atomic, nullptr);
    ::pthread_cond_init(&H5_g.waiters, nullptr);
    H5_g.count = 0;
#endif
}

void before_fork() {
    detail::take_stream_turn();
    take_hdf5_lock();
    registry_mutex().lock();  // so that the child's copy of the sets is whole
}

void after_fork_in_parent() {
    registry_mutex().unlock();
    give_hdf5_lock();
    detail::give_stream_turn();
}

}  // namespace

// A friend of GuardedFile, to reach forget_after_fork().
struct ForkChild {
    static void forget_all() {
        renew_hdf5_lock_in_child();  // first: dropping a file may call HDF5
        for (GuardedFile* file : open_files()) file->forget_after_fork();
        open_files().clear();
        for (int* descriptor : reader_locks()) {
            ::close(*descriptor);
            *descriptor = -1;
        }
        reader_locks().clear();
        registry_mutex().unlock();
        detail::give_stream_turn();
    }
};

namespace {

void install_handlers() {
    static std::once_flag handlers;
    std::call_once(handlers, [] { ::pthread_atfork(&before_fork, &after_fork_in_parent, &ForkChild::forget_all); });
}

// At load: threads may be inside HDF5 before any file is opened.
[[maybe_unused]] const bool kHandlersInstalled = (install_handlers(), true);

}  // namespace

void ForkRegistry::add(GuardedFile* file) {
    install_handlers();
    std::lock_guard<std::mutex> guard(registry_mutex());
    open_files().insert(file);
}

int ForkRegistry::open_lock(const std::string& path, int* descriptor) {
    install_handlers();
    std::lock_guard<std::mutex> guard(registry_mutex());
    reader_locks().insert(descriptor);
    *descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (*descriptor < 0) {
        const int error = errno;
        reader_locks().erase(descriptor);
        errno = error;
    }
    return *descriptor;
}

void ForkRegistry::move_lock(int* from, int* to) noexcept {
    std::lock_guard<std::mutex> guard(registry_mutex());
    if (reader_locks().erase(from) > 0) reader_locks().insert(to);
    *to = *from;
    *from = -1;
}

void ForkRegistry::close_lock(int* descriptor) noexcept {
    std::lock_guard<std::mutex> guard(registry_mutex());
    reader_locks().erase(descriptor);
    if (*descriptor >= 0) ::close(*descriptor);
    *descriptor = -1;
}

void ForkRegistry::remove(GuardedFile* file) noexcept {
    std::lock_guard<std::mutex> guard(registry_mutex());
    open_files().erase(file);
}

}  // namespace corvane
