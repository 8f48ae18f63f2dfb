#include "core/task_team.hpp"

#include <algorithm>
#include <system_error>

#ifdef _OPENMP
#include <omp.h>
#endif


namespace korvald::core {

namespace {
uint32_t gen_of(uint64_t ticket) { return static_cast<uint32_t>(ticket >> 32); }
// Helpers poll this many times for the next job before sleeping; a pass
// leaves the caller alone for a fraction of a millisecond between runs.
constexpr int kPolls = 4000;
}  // namespace

int team_size(int threads) {
#ifdef _OPENMP
  const int size = threads > 0 ? threads : omp_get_max_threads();
#else
  const int size = threads > 0 ? threads : static_cast<int>(std::thread::hardware_concurrency());
#endif
  return std::max(size, 1);
}

TaskTeam::TaskTeam(int threads) {
  try {
    for (int h = 1; h < threads; ++h) helpers_.emplace_back([this] { helper_loop(); });
  } catch (const std::system_error&) {
    // No more threads to be had: the caller and the helpers so far do the work.
  }
}

TaskTeam::~TaskTeam() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& t : helpers_) t.join();
}

void TaskTeam::work(const Job& job, uint32_t gen) {
  uint64_t t = ticket_.load(std::memory_order_acquire);
  while (gen_of(t) == gen && static_cast<int64_t>(t & 0xffffffffu) < job.count) {
    if (!ticket_.compare_exchange_weak(t, t + 1, std::memory_order_acq_rel)) continue;
    job.call(job.ctx, static_cast<int64_t>(t & 0xffffffffu));
    done_.fetch_add(1, std::memory_order_release);
    t = ticket_.load(std::memory_order_acquire);
  }
}

void TaskTeam::helper_loop() {
  uint32_t seen = 0;
  while (true) {
    for (int p = 0; p < kPolls; ++p) {
      if (gen_of(ticket_.load(std::memory_order_acquire)) != seen || stopping_.load()) break;
      std::this_thread::yield();
    }
    Job job;
    uint32_t gen;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [&] { return stop_ || gen_ != seen; });
      if (stop_) return;
      job = job_;
      gen = gen_;
    }
    seen = gen;
    work(job, gen);
  }
}

void TaskTeam::run_erased(int64_t count, void (*call)(const void*, int64_t), const void* ctx) {
  Job job{call, ctx, count};
  uint32_t gen;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    job_ = job;
    gen = ++gen_;
    done_.store(0, std::memory_order_relaxed);
    ticket_.store(static_cast<uint64_t>(gen) << 32, std::memory_order_release);
  }
  wake_.notify_all();
  work(job, gen);
  // Every task is claimed: wait only for those still running on a helper.
  while (done_.load(std::memory_order_acquire) < count) std::this_thread::yield();
}

}  // namespace korvald::core
