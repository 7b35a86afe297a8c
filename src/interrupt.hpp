// Long work in the core can be stopped from outside. Between pieces of work,
// and whenever a system call comes back interrupted by a signal (EINTR), the
// core calls a hook. module.cpp installs one at start-up,
// run_signal_handlers (py_errors.hpp), which runs the interpreter's pending
// signal handlers and, when one of them raised, throws (PyErrAlreadySet): the
// call then unwinds, RAII closing the file, freeing the buffers and dropping
// the objects made so far, and ends with the handler's exception. Core code
// lets whatever the hook throws pass. With no hook installed (the core alone,
// as in the fuzz harnesses and the core driver) the checks do nothing.
//
// A handler may run any Python there: fork, read or change the call's
// argument, call the module again, walk gc.get_objects(). What it can see or
// change at each kind of interrupt point:
// - opening and reading a file (platform.cpp): the descriptor, which a forked
//   child shares with its offset; pieces are read at explicit offsets, so that
//   either process reads the whole file. The buffer is C++ memory.
// - the readers, every so many records (colmap_io.cpp): the dict being filled
//   is hidden from the garbage collector (new_hidden_dict) and referred to by
//   nothing else until the call returns it; its records hold no Python
//   object. read_reconstruction_bin packs its tuple after the last file.
// - converting compute_overlaps' argument (module.cpp): the argument dict,
//   which the handler may change; a changed size or key set ends the call
//   with a panic, and the point being copied is held by a reference.
// - counting covisibility (utils.cpp): C++ arrays only.
// - making the rows, and the progress lines (module.cpp): the rows wait in a
//   C++ array, hidden from the garbage collector; the result dict is made
//   after the last row and the last line, with no interrupt point.
// Threads: Python runs signal handlers on the main thread only; on any other
// the hook returns at once, and a call there is not interrupted.
// A handler that calls the module again gets a call of its own: the module
// keeps no state between calls but the shared ints (made at start-up, never
// changed) and the hook.
#pragma once

#include <cstddef>

namespace tilu {

// Returns when the work may go on; throws when it must stop.
using InterruptHook = void (*)();

// Installs `hook` (nullptr: none) for the process; called once at start-up.
void set_interrupt_hook(InterruptHook hook) noexcept;

// Calls the hook, if one is installed.
void interrupt_point();

// Counts the work done since the last look and calls interrupt_point() each
// time a budget of it is used up, so that a handler's exception comes after
// well under a millisecond of work, at the cost of a subtraction and a branch
// per counted step. Work is counted in rough nanoseconds: kEntry per track
// entry or keypoint copied or counted, kObject per Python object made or dict
// item set. In a hot loop keep the countdown in a local variable (copy a
// member in and back out), so that it lives in a register.
class InterruptCountdown {
public:
    static constexpr std::size_t kEntry = 1;
    static constexpr std::size_t kObject = 64;

    void operator()(std::size_t work) {
        left_ -= static_cast<std::ptrdiff_t>(work);
        if (left_ < 0) [[unlikely]] restart();
    }

private:
    static constexpr std::ptrdiff_t kBudget = std::ptrdiff_t{1} << 16;

    void restart() {
        left_ = kBudget;
        interrupt_point();
    }

    std::ptrdiff_t left_ = kBudget;
};

}  // namespace tilu
