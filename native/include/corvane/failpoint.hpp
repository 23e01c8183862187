// Named, one-shot injected failures, so that tests can prove what a failure
// at a given step leaves behind.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace corvane::failpoint {

// The points the engine passes through, e.g. "minbar.index_append".
const std::vector<std::string>& known_points();

// Makes the next pass through `point` fail. ArgumentError for an unknown point.
void fail_once(const std::string& point);

// Makes the next pass through `point` kill the process (SIGKILL), as a
// crash at that step would. ArgumentError for an unknown point.
void die_once(const std::string& point);

// Makes the next pass through `point` run `action` first, as another
// process acting at that step would (for the engine's own tests).
// ArgumentError for an unknown point.
void run_once(const std::string& point, std::function<void()> action);

// Called by the engine at `point`: throws IoError, as a failing HDF5 write
// would, when the point was armed (and disarms it).
void pass(const std::string& point);

// Disarms every point.
void clear();

}  // namespace corvane::failpoint
