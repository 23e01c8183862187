#include "fork_registry.hpp"

#include "corvane/guarded_file.hpp"

#include <mutex>
#include <pthread.h>
#include <set>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

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

// Held across fork(), so that the child's copy of the set is whole.
void before_fork() { registry_mutex().lock(); }
void after_fork_in_parent() { registry_mutex().unlock(); }

}  // namespace

// A friend of GuardedFile, to reach forget_after_fork().
struct ForkChild {
    static void forget_all() {
        for (GuardedFile* file : open_files()) file->forget_after_fork();
        open_files().clear();
        for (int* descriptor : reader_locks()) {
            ::close(*descriptor);
            *descriptor = -1;
        }
        reader_locks().clear();
        registry_mutex().unlock();
    }
};

namespace {

void install_handlers() {
    static std::once_flag handlers;
    std::call_once(handlers, [] { ::pthread_atfork(&before_fork, &after_fork_in_parent, &ForkChild::forget_all); });
}

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
