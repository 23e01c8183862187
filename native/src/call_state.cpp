#include "corvane/call_state.hpp"

#include <stdexcept>
#include <string>

namespace corvane {

namespace {

std::string describe(Route route, Phase phase) {
    return std::string(name_of(route)) + "/" + name_of(phase);
}

// The phases that may follow `from` on one route.
bool phase_may_follow(Route route, Phase from, Phase to) {
    switch (from) {
        case Phase::reading:
            return to == Phase::locked || to == Phase::committed || to == Phase::closed;
        case Phase::locked:
            return to == Phase::writing || to == Phase::committed || to == Phase::closed;
        case Phase::writing:
            if (to == Phase::landing || to == Phase::ceded) return route == Route::in_place;
            return to == Phase::committed || to == Phase::closed;
        case Phase::landing:
            return to == Phase::committed || to == Phase::closed;
        case Phase::ceded:
            return to == Phase::closed;
        case Phase::committed:
        case Phase::closed:
            return false;
    }
    return false;
}

}  // namespace

const char* name_of(Route route) {
    switch (route) {
        case Route::in_place: return "in_place";
        case Route::beside: return "beside";
        case Route::fresh: return "fresh";
    }
    return "?";
}

const char* name_of(Phase phase) {
    switch (phase) {
        case Phase::reading: return "reading";
        case Phase::locked: return "locked";
        case Phase::writing: return "writing";
        case Phase::landing: return "landing";
        case Phase::ceded: return "ceded";
        case Phase::committed: return "committed";
        case Phase::closed: return "closed";
    }
    return "?";
}

CallState::CallState(Route route, Phase phase) : route_(route), phase_(phase) {
    const bool existing = route == Route::in_place && phase == Phase::reading;
    const bool fresh = route == Route::fresh && phase == Phase::locked;
    if (!existing && !fresh) throw std::logic_error("a call cannot start as " + describe(route, phase));
}

bool CallState::allowed(Route from_route, Phase from, Route to_route, Phase to) {
    if (from_route != to_route) {
        // Going beside carries over what was written so far; nothing has
        // landed in place yet (the exclusive lock would have kept us there).
        return from_route == Route::in_place && to_route == Route::beside && from == to &&
               (from == Phase::locked || from == Phase::writing);
    }
    return phase_may_follow(from_route, from, to);
}

void CallState::move(Route route, Phase phase) {
    if (!allowed(route_, phase_, route, phase)) {
        throw std::logic_error("a call cannot go from " + describe(route_, phase_) + " to " +
                               describe(route, phase));
    }
    route_ = route;
    phase_ = phase;
}

}  // namespace corvane
