// Long work in the core can be stopped from outside. Between pieces of work,
// and whenever a system call comes back interrupted by a signal (EINTR), the
// core calls a hook. The Python helper layer installs one that runs the
// interpreter's pending signal handlers and, when one of them raised, throws
// (PyErrAlreadySet): the call then unwinds, RAII closing the file, freeing
// the buffers and dropping the objects made so far, and ends with the
// handler's exception. Core code lets whatever the hook throws pass. With no
// hook installed (the core alone, as in the fuzz harnesses) the checks do
// nothing.
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
