// The threads a read inflates its chunks on, kept from read to read: a
// thread made for every read costs more than a small read's inflating
// (its stack, its inflater and buffers), and it would be made again and
// again by a reader that reads file after file.
#pragma once

#include <functional>

namespace corvane::detail {

// Runs `work` on the calling thread and on `helpers` more threads at once,
// and returns when every run has returned. `work` must not throw. The kept
// threads serve one read at a time: a read that finds them busy (another
// thread of the program reading at the same moment) gets threads of its own
// for the time of its read. A process forked from this one keeps none of
// them and makes its own.
void run_on_threads(unsigned helpers, const std::function<void()>& work);

}  // namespace corvane::detail
