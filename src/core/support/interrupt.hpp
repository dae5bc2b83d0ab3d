// Cooperative interruption of long computations: a per-thread poller the caller installs and
// a cheap check that long loops call, on the calling thread and on pool workers alike.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>

namespace veltrane {

// Thrown by check_interrupt() when the computation must stop. Whoever installed the poller
// knows why (the boundary's poller leaves the Python exception to raise already set).
class Interrupted : public std::exception {
 public:
    const char* what() const noexcept override { return "computation interrupted"; }
};

// Asked now and then during a long computation; true means "stop now". It runs on the thread
// that installed it, never on a pool worker.
using InterruptPoller = bool (*)() noexcept;

// Installs a poller on the calling thread for the scope's lifetime, restoring the previous one
// afterwards (scopes nest: a poller may itself run code that starts another computation).
class InterruptScope {
 public:
    explicit InterruptScope(InterruptPoller poller) noexcept;
    ~InterruptScope();
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;

 private:
    InterruptPoller previous_;
};

namespace detail {

// Work units between two polls. A unit is meant to take well under 100 microseconds, so a
// poll comes well within 100 ms; loops with heavier iterations pass a larger cost.
inline constexpr std::int64_t interrupt_stride = 1024;

// Units left before the next poll on this thread.
extern constinit thread_local std::int64_t interrupt_countdown;

// The poll itself: throws Interrupted when the current job was stopped (pool workers) or the
// installed poller asks to stop.
void poll_interrupt();

// Asks the installed poller directly, without the stride; false when none is installed.
// For waiting loops that do no work of their own (the pool's caller).
bool interrupt_requested_now() noexcept;

// While alive, check_interrupt() on this thread also stops once `flag` is set: the pool gives
// its workers the stop flag of the job they serve. Scopes nest (a chunk that runs chunks of
// its own): every enclosing job's flag still counts.
class StopFlagScope {
 public:
    explicit StopFlagScope(const std::atomic<bool>* flag) noexcept;
    ~StopFlagScope();
    StopFlagScope(const StopFlagScope&) = delete;
    StopFlagScope& operator=(const StopFlagScope&) = delete;

    const std::atomic<bool>* flag() const noexcept { return flag_; }
    const StopFlagScope* enclosing() const noexcept { return previous_; }

 private:
    const std::atomic<bool>* flag_;
    const StopFlagScope* previous_;
};

}  // namespace detail

// Called from long loops: counts `cost` units of work and polls once a stride is used up.
// Throws Interrupted. Without a poller or a stop flag the poll does nothing.
inline void check_interrupt(std::int64_t cost = 1) {
    detail::interrupt_countdown -= cost;
    if (detail::interrupt_countdown <= 0) detail::poll_interrupt();
}

}  // namespace veltrane
