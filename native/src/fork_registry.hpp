// Every call of this process with a bundle file open, so that a child forked
// meanwhile drops the descriptors it inherited (and with them its share of
// the writer locks) before it runs any code of its own.
#pragma once

namespace corvane {

class GuardedFile;

class ForkRegistry {
public:
    static void add(GuardedFile* file);
    static void remove(GuardedFile* file) noexcept;
};

}  // namespace corvane
