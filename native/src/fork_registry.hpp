// Every call of this process with a bundle file open, and every reader's
// lock, so that a child forked meanwhile drops the descriptors it inherited
// (and with them its share of the writer and reader locks) before it runs
// any code of its own.
#pragma once

#include <string>

namespace corvane {

class GuardedFile;

class ForkRegistry {
public:
    static void add(GuardedFile* file);
    static void remove(GuardedFile* file) noexcept;
    // Opens `path` read-only into `*descriptor`, a reader's lock to be:
    // closed in a child forked any time after, and so only through
    // close_lock (or moved by move_lock). The descriptor, or -1 with errno.
    static int open_lock(const std::string& path, int* descriptor);
    static void move_lock(int* from, int* to) noexcept;
    static void close_lock(int* descriptor) noexcept;
};

}  // namespace corvane
