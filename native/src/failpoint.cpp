#include "corvane/failpoint.hpp"

#include "corvane/error.hpp"

#include <algorithm>
#include <csignal>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <unistd.h>

namespace corvane::failpoint {

namespace {

std::mutex armed_mutex;
std::set<std::string> armed;
std::set<std::string> deadly;
std::map<std::string, std::function<void()>> actions;

void check_known(const std::string& point) {
    const auto& points = known_points();
    if (std::find(points.begin(), points.end(), point) == points.end()) {
        throw ArgumentError("unknown failure point '" + point + "'");
    }
}

}  // namespace

const std::vector<std::string>& known_points() {
    static const std::vector<std::string> points = {
        "minbar.index_append", "minbar.index_create", "guarded.apply",     "guarded.unlocked",
        "guarded.commit_point", "guarded.committed",  "guarded.exchange",  "guarded.exchanged",
        "sync.data",            "sync.directory",     "revision.segment_built", "revision.segment"};
    return points;
}

void fail_once(const std::string& point) {
    check_known(point);
    std::lock_guard<std::mutex> lock(armed_mutex);
    armed.insert(point);
}

void die_once(const std::string& point) {
    check_known(point);
    std::lock_guard<std::mutex> lock(armed_mutex);
    deadly.insert(point);
}

void run_once(const std::string& point, std::function<void()> action) {
    check_known(point);
    std::lock_guard<std::mutex> lock(armed_mutex);
    actions[point] = std::move(action);
}

void pass(const std::string& point) {
    std::function<void()> action;
    {
        std::lock_guard<std::mutex> lock(armed_mutex);
        if (deadly.erase(point) > 0) ::kill(::getpid(), SIGKILL);
        if (armed.erase(point) > 0) throw IoError("injected failure at '" + point + "'");
        const auto it = actions.find(point);
        if (it == actions.end()) return;
        action = std::move(it->second);
        actions.erase(it);
    }
    action();
}

void clear() {
    std::lock_guard<std::mutex> lock(armed_mutex);
    armed.clear();
    deadly.clear();
    actions.clear();
}

}  // namespace corvane::failpoint
