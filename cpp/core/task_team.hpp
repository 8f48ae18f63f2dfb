// The calling thread plus a few helper threads that share short runs of
// indexed tasks (one pass over the observations, block by block).
//
// Unlike a fork-join region, a run never waits for a helper to wake up or to
// check in: the caller claims tasks itself, helpers that are awake claim
// the rest, and the caller only waits for tasks already claimed. On a busy
// machine, where a helper may sit in the run queue for milliseconds, a run
// then costs at worst what the caller alone would take, instead of a
// scheduler time slice per run. Which thread runs a task never changes a
// result: tasks write disjoint data.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace korvald::core {

// Threads for a `threads` argument (0: all available), at least one.
int team_size(int threads);

class TaskTeam {
 public:
  // threads - 1 helpers (none for threads <= 1).
  explicit TaskTeam(int threads);
  ~TaskTeam();
  TaskTeam(const TaskTeam&) = delete;
  TaskTeam& operator=(const TaskTeam&) = delete;

  int size() const { return static_cast<int>(helpers_.size()) + 1; }

  // f(t) for every t in [0, count); returns when all have run. f must not throw.
  template <class F>
  void run(int64_t count, const F& f) {
    if (helpers_.empty() || count <= 1) {
      for (int64_t t = 0; t < count; ++t) f(t);
      return;
    }
    run_erased(count, [](const void* ctx, int64_t t) { (*static_cast<const F*>(ctx))(t); }, &f);
  }

 private:
  struct Job {
    void (*call)(const void*, int64_t) = nullptr;
    const void* ctx = nullptr;
    int64_t count = 0;
  };
  void run_erased(int64_t count, void (*call)(const void*, int64_t), const void* ctx);
  void work(const Job& job, uint32_t gen);
  void helper_loop();

  std::vector<std::thread> helpers_;
  std::mutex mutex_;
  std::condition_variable wake_;
  Job job_;            // guarded by mutex_
  uint32_t gen_ = 0;   // guarded by mutex_
  bool stop_ = false;  // guarded by mutex_
  std::atomic<bool> stopping_{false};
  // High 32 bits: the job's generation; low 32: next task to claim.
  std::atomic<uint64_t> ticket_{0};
  std::atomic<int64_t> done_{0};
};

// f(t) for every t in [0, count), on `team` when there is one, else in
// order on the calling thread. f must not throw.
template <class F>
void on_team(TaskTeam* team, int64_t count, const F& f) {
  if (team) {
    team->run(count, f);
    return;
  }
  for (int64_t t = 0; t < count; ++t) f(t);
}

// f(t) for every t in [0, count), on a team of up to `threads` threads made
// for this run (no helper thread when one would do). f must not throw.
template <class F>
void run_on_threads(int64_t count, int threads, const F& f) {
  TaskTeam team(static_cast<int>(std::max<int64_t>(1, std::min<int64_t>(threads, count))));
  team.run(count, f);
}

// f(lo, hi, c) for the fixed chunks c = [lo, hi) of `chunk` consecutive rows
// out of n. The chunks, and so anything summed chunk by chunk and then in
// chunk order, do not depend on `threads`, which share them. f must not throw.
template <class F>
void for_row_chunks(int64_t n, int64_t chunk, int threads, const F& f) {
  const int64_t chunks = n > 0 ? (n + chunk - 1) / chunk : 0;
  run_on_threads(chunks, threads, [&](int64_t c) { f(c * chunk, c + 1 < chunks ? (c + 1) * chunk : n, c); });
}

}  // namespace korvald::core
