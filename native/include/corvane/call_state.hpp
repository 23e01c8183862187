// Where one call of a GuardedFile stands: which way its new version goes
// (the route) and how far it has come (the phase), with the one table of
// the moves allowed between them. A move the table does not allow is a
// fault of the engine's, not of the file: std::logic_error, so that a test
// or a noexcept path (which then terminates) catches a wrong order at once.
#pragma once

namespace corvane {

// Where the call's new version goes.
enum class Route {
    in_place,  // over the existing file, behind the journal
    beside,    // to the temporary, renamed over the file (a reader holds it)
    fresh,     // to the temporary, renamed to a name that had no file
};

// How far the call has come.
enum class Phase {
    reading,    // the shared lock only; nothing of the call's is on disk
    locked,     // the writer lock taken, nothing written yet
    writing,    // written: growth and the journal, or the temporary
    landing,    // in place: the exclusive lock held, the signature blank on
                // disk, overwrites landing (from the first checkpoint on)
    ceded,      // in place: another writer changed the file while the lock
                // was converted; nothing of ours is on it, it is theirs
    committed,  // past the commit point: the writes stand (end)
    closed,     // released without committing: undone, or left to the next open (end)
};

const char* name_of(Route route);
const char* name_of(Phase phase);

class CallState {
public:
    // The start of a call: an existing file opened for reading
    // (in_place, reading), or a new one (fresh, locked).
    // std::logic_error for any other.
    CallState(Route route, Phase phase);

    // Whether the table allows the move from one state to another. The
    // route changes only from in place to beside, before anything landed.
    static bool allowed(Route from_route, Phase from, Route to_route, Phase to);

    // Moves to the given state; std::logic_error, nothing changed, when
    // the table does not allow it.
    void move(Route route, Phase phase);
    void move(Phase phase) { move(route_, phase); }

    Route route() const { return route_; }
    Phase phase() const { return phase_; }
    // Committed or closed: nothing of the call may be touched any more.
    bool ended() const { return phase_ == Phase::committed || phase_ == Phase::closed; }

private:
    Route route_;
    Phase phase_;
};

}  // namespace corvane
