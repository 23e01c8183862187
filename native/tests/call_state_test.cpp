#include "corvane/call_state.hpp"

#include <gtest/gtest.h>

#include <set>
#include <stdexcept>
#include <tuple>
#include <utility>
#include <vector>

namespace corvane {
namespace {

const std::vector<Route> kRoutes = {Route::in_place, Route::beside, Route::fresh};
const std::vector<Phase> kPhases = {Phase::reading, Phase::locked,    Phase::writing, Phase::landing,
                                    Phase::ceded,   Phase::committed, Phase::closed};

using State = std::pair<Route, Phase>;

// Drives a call through `steps` from its start; every step must be allowed.
CallState walk(State start, const std::vector<State>& steps) {
    CallState state(start.first, start.second);
    for (const auto& [route, phase] : steps) state.move(route, phase);
    return state;
}

// The ways a call really goes, one per path of the commit protocol.
TEST(CallStateTest, EveryPathOfACallIsAllowedToItsEnd) {
    const State reading{Route::in_place, Phase::reading};
    const std::vector<std::pair<State, std::vector<State>>> paths = {
        // Only read, or only read and rolled back.
        {reading, {{Route::in_place, Phase::committed}}},
        {reading, {{Route::in_place, Phase::closed}}},
        // In place: grown only; overwrites landed at commit or early.
        {reading, {{Route::in_place, Phase::locked}, {Route::in_place, Phase::writing},
                   {Route::in_place, Phase::committed}}},
        {reading, {{Route::in_place, Phase::locked}, {Route::in_place, Phase::writing},
                   {Route::in_place, Phase::landing}, {Route::in_place, Phase::committed}}},
        {reading, {{Route::in_place, Phase::locked}, {Route::in_place, Phase::writing},
                   {Route::in_place, Phase::landing}, {Route::in_place, Phase::closed}}},
        // Beside: a reader held the file at a checkpoint, or beside from the start.
        {reading, {{Route::in_place, Phase::locked}, {Route::in_place, Phase::writing},
                   {Route::beside, Phase::writing}, {Route::beside, Phase::committed}}},
        {reading, {{Route::in_place, Phase::locked}, {Route::beside, Phase::locked},
                   {Route::beside, Phase::writing}, {Route::beside, Phase::closed}}},
        // Another writer got in while the lock was converted.
        {reading, {{Route::in_place, Phase::locked}, {Route::in_place, Phase::writing},
                   {Route::in_place, Phase::ceded}, {Route::in_place, Phase::closed}}},
        // A new file.
        {{Route::fresh, Phase::locked}, {{Route::fresh, Phase::writing}, {Route::fresh, Phase::committed}}},
        {{Route::fresh, Phase::locked}, {{Route::fresh, Phase::closed}}},
    };
    for (const auto& [start, steps] : paths) {
        const CallState end = walk(start, steps);
        EXPECT_TRUE(end.ended());
        EXPECT_EQ(end.route(), steps.back().first);
    }
}

// Every move the paths above do not make is refused: an end is final,
// nothing lands or cedes but in place, nothing goes back, nothing goes
// beside once it has landed.
TEST(CallStateTest, AnyOtherMoveIsRefusedAndChangesNothing) {
    const std::set<std::tuple<Route, Phase, Route, Phase>> legal = {
        {Route::in_place, Phase::reading, Route::in_place, Phase::locked},
        {Route::in_place, Phase::reading, Route::in_place, Phase::committed},
        {Route::in_place, Phase::reading, Route::in_place, Phase::closed},
        {Route::in_place, Phase::locked, Route::in_place, Phase::writing},
        {Route::in_place, Phase::locked, Route::in_place, Phase::committed},
        {Route::in_place, Phase::locked, Route::in_place, Phase::closed},
        {Route::in_place, Phase::locked, Route::beside, Phase::locked},
        {Route::in_place, Phase::writing, Route::in_place, Phase::landing},
        {Route::in_place, Phase::writing, Route::in_place, Phase::ceded},
        {Route::in_place, Phase::writing, Route::in_place, Phase::committed},
        {Route::in_place, Phase::writing, Route::in_place, Phase::closed},
        {Route::in_place, Phase::writing, Route::beside, Phase::writing},
        {Route::in_place, Phase::landing, Route::in_place, Phase::committed},
        {Route::in_place, Phase::landing, Route::in_place, Phase::closed},
        {Route::in_place, Phase::ceded, Route::in_place, Phase::closed},
        {Route::beside, Phase::locked, Route::beside, Phase::writing},
        {Route::beside, Phase::locked, Route::beside, Phase::committed},
        {Route::beside, Phase::locked, Route::beside, Phase::closed},
        {Route::beside, Phase::writing, Route::beside, Phase::committed},
        {Route::beside, Phase::writing, Route::beside, Phase::closed},
        {Route::fresh, Phase::locked, Route::fresh, Phase::writing},
        {Route::fresh, Phase::locked, Route::fresh, Phase::committed},
        {Route::fresh, Phase::locked, Route::fresh, Phase::closed},
        {Route::fresh, Phase::writing, Route::fresh, Phase::committed},
        {Route::fresh, Phase::writing, Route::fresh, Phase::closed},
    };
    // The states a call can be in: the temporary's routes neither read nor
    // land nor cede.
    const auto reachable = [](Route route, Phase phase) {
        return route == Route::in_place ||
               (phase != Phase::reading && phase != Phase::landing && phase != Phase::ceded);
    };
    for (Route from_route : kRoutes) {
        for (Phase from : kPhases) {
            if (!reachable(from_route, from)) continue;
            for (Route to_route : kRoutes) {
                for (Phase to : kPhases) {
                    EXPECT_EQ(CallState::allowed(from_route, from, to_route, to),
                              legal.count({from_route, from, to_route, to}) > 0)
                        << name_of(from_route) << "/" << name_of(from) << " -> " << name_of(to_route) << "/"
                        << name_of(to);
                }
            }
        }
    }

    CallState state = walk({Route::in_place, Phase::reading},
                           {{Route::in_place, Phase::locked}, {Route::in_place, Phase::writing},
                            {Route::in_place, Phase::landing}});
    EXPECT_THROW(state.move(Route::beside, Phase::landing), std::logic_error);
    EXPECT_THROW(state.move(Phase::writing), std::logic_error);
    EXPECT_THROW(state.move(Phase::landing), std::logic_error);
    EXPECT_EQ(state.route(), Route::in_place);
    EXPECT_EQ(state.phase(), Phase::landing);
    state.move(Phase::committed);
    EXPECT_THROW(state.move(Phase::closed), std::logic_error);
    EXPECT_EQ(state.phase(), Phase::committed);
}

TEST(CallStateTest, ACallStartsOnlyReadingAFileOrBuildingANewOne) {
    for (Route route : kRoutes) {
        for (Phase phase : kPhases) {
            const bool start = (route == Route::in_place && phase == Phase::reading) ||
                               (route == Route::fresh && phase == Phase::locked);
            if (start) {
                EXPECT_NO_THROW(CallState(route, phase));
            } else {
                EXPECT_THROW(CallState(route, phase), std::logic_error) << name_of(route) << "/" << name_of(phase);
            }
        }
    }
}

}  // namespace
}  // namespace corvane
