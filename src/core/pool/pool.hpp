// The process-wide worker pool and the chunked loop the parallel metrics share.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <optional>
#include <string_view>

namespace veltrane {

// Number of workers of the process-wide pool, creating the pool on first use. The size is
// read once from RAYON_NUM_THREADS, then RAYON_RS_NUM_CPUS, else the processor count.
std::size_t pool_size();

// Runs body(0) .. body(count - 1) on the pool while the calling thread waits. The pool starts
// its workers as jobs need them: one at a time, while every worker is busy and chunks are
// left, never more than the job's chunks or the pool's size. When the system refuses a new
// thread the job goes on with the workers there are, or on the calling thread when there are
// none. Results go
// through per-chunk slots the caller owns. An exception thrown by a chunk is rethrown on the
// calling thread after every chunk has finished (the first one in chunk order). While waiting,
// the caller asks its interrupt poller (interrupt.hpp) every 50 ms; when it says stop, running
// chunks stop at their next check_interrupt(), the rest are skipped, and once no worker is
// left inside the job Interrupted is thrown. Called from a chunk, from code the poller runs,
// or while another thread's job holds the pool, the chunks run inline on the calling thread.
void run_chunks(std::size_t count, const std::function<void(std::size_t)>& body);

namespace detail {
// Called before every worker thread start; throwing std::system_error acts as a system that
// refuses the thread. For tests; nullptr (the default) does nothing. Set it while no job runs.
extern std::atomic<void (*)()> before_thread_start;

// Worker threads the process-wide pool has started (0 before its first job).
std::size_t pool_thread_count();

// The pool-size rule as a pure function of the two variables (absent = unset) and the
// processor count (0 when unknown).
std::size_t pool_size_from(std::optional<std::string_view> rayon_num_threads,
                           std::optional<std::string_view> rayon_rs_num_cpus,
                           std::size_t cpu_count);
}  // namespace detail

}  // namespace veltrane
