// Per-thread interrupt poller, the stride countdown and the pool workers' stop flag.
#include "core/support/interrupt.hpp"

namespace veltrane {

namespace {
constinit thread_local InterruptPoller current_poller = nullptr;
constinit thread_local const detail::StopFlagScope* current_stop_scope = nullptr;
}  // namespace

namespace detail {

constinit thread_local std::int64_t interrupt_countdown = interrupt_stride;

void poll_interrupt() {
    interrupt_countdown = interrupt_stride;
    for (const StopFlagScope* s = current_stop_scope; s != nullptr; s = s->enclosing()) {
        if (s->flag()->load(std::memory_order_relaxed)) throw Interrupted();
    }
    if (current_poller != nullptr && current_poller()) throw Interrupted();
}

bool interrupt_requested_now() noexcept { return current_poller != nullptr && current_poller(); }

StopFlagScope::StopFlagScope(const std::atomic<bool>* flag) noexcept
    : flag_(flag), previous_(current_stop_scope) {
    current_stop_scope = this;
}

StopFlagScope::~StopFlagScope() { current_stop_scope = previous_; }

}  // namespace detail

InterruptScope::InterruptScope(InterruptPoller poller) noexcept : previous_(current_poller) {
    current_poller = poller;
    // A fresh stride, so the first poll comes after the same amount of work in every call.
    detail::interrupt_countdown = detail::interrupt_stride;
}

InterruptScope::~InterruptScope() { current_poller = previous_; }

}  // namespace veltrane
