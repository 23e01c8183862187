// Marks the time HDF5 spends closing an object (a file, a dataset) on this
// thread. HDF5 supports nothing on an object whose close failed, not even
// closing it again, so the engine's file driver never fails a write while a
// close is under way: it records the failure in the call (which then rolls
// back) and drops the write.
#pragma once

namespace corvane::detail {

class ClosingScope {
public:
    ClosingScope() noexcept { ++depth_; }
    ~ClosingScope() { --depth_; }
    ClosingScope(const ClosingScope&) = delete;
    ClosingScope& operator=(const ClosingScope&) = delete;

    static bool active() noexcept { return depth_ > 0; }

private:
    static thread_local int depth_;
};

}  // namespace corvane::detail
