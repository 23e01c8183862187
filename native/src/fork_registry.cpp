#include "fork_registry.hpp"

#include "corvane/guarded_file.hpp"

#include <mutex>
#include <pthread.h>
#include <set>

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

// Held across fork(), so that the child's copy of the set is whole.
void before_fork() { registry_mutex().lock(); }
void after_fork_in_parent() { registry_mutex().unlock(); }

}  // namespace

// A friend of GuardedFile, to reach forget_after_fork().
struct ForkChild {
    static void forget_all() {
        for (GuardedFile* file : open_files()) file->forget_after_fork();
        open_files().clear();
        registry_mutex().unlock();
    }
};

void ForkRegistry::add(GuardedFile* file) {
    static std::once_flag handlers;
    std::call_once(handlers, [] { ::pthread_atfork(&before_fork, &after_fork_in_parent, &ForkChild::forget_all); });
    std::lock_guard<std::mutex> guard(registry_mutex());
    open_files().insert(file);
}

void ForkRegistry::remove(GuardedFile* file) noexcept {
    std::lock_guard<std::mutex> guard(registry_mutex());
    open_files().erase(file);
}

}  // namespace corvane
