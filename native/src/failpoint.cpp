#include "corvane/failpoint.hpp"

#include "corvane/error.hpp"

#include <algorithm>
#include <mutex>
#include <set>

namespace corvane::failpoint {

namespace {

std::mutex armed_mutex;
std::set<std::string> armed;

}  // namespace

const std::vector<std::string>& known_points() {
    static const std::vector<std::string> points = {"minbar.index_append", "minbar.index_create"};
    return points;
}

void fail_once(const std::string& point) {
    const auto& points = known_points();
    if (std::find(points.begin(), points.end(), point) == points.end()) {
        throw ArgumentError("unknown failure point '" + point + "'");
    }
    std::lock_guard<std::mutex> lock(armed_mutex);
    armed.insert(point);
}

void pass(const std::string& point) {
    std::lock_guard<std::mutex> lock(armed_mutex);
    if (armed.erase(point) > 0) throw IoError("injected failure at '" + point + "'");
}

void clear() {
    std::lock_guard<std::mutex> lock(armed_mutex);
    armed.clear();
}

}  // namespace corvane::failpoint
