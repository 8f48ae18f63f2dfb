// Cooperative cancellation of long-running loops (Ctrl-C).
//
// The numeric core knows nothing of Python. A caller that wants long loops
// to be stoppable creates an Interrupt on its own thread with a `check`
// function (the binding layer's asks the interpreter for pending signals) and
// passes it down. Loops call poll() every iteration or so:
//   * on the owner thread, at most every ~50 ms of wall time, poll() calls
//     `check`; a true answer raises the stop flag;
//   * on any thread, a raised stop flag makes poll() throw Interrupted.
// Worker threads therefore never call `check`; they stop at their next poll
// after the owner has seen the signal. Interrupted must not escape an OpenMP
// region: parallel loops catch it and rethrow after the region.
// A null Interrupt* means "not interruptible": interrupt_poll(nullptr) is a no-op.
#pragma once

#include <atomic>
#include <chrono>
#include <exception>
#include <functional>
#include <thread>

namespace korvald::core {

struct Interrupted : std::exception {
  const char* what() const noexcept override { return "interrupted"; }
};

class Interrupt {
 public:
  explicit Interrupt(std::function<bool()> check = {});
  Interrupt(const Interrupt&) = delete;
  Interrupt& operator=(const Interrupt&) = delete;

  // Throws Interrupted once a stop has been requested (see above).
  void poll();
  // Like poll() on the owner thread, but never throws: for a thread that
  // waits for the others and keeps an eye on signals meanwhile.
  void watch();
  bool stop_requested() const { return stop_.load(std::memory_order_relaxed); }
  void request_stop() { stop_.store(true, std::memory_order_relaxed); }
  bool on_owner_thread() const { return std::this_thread::get_id() == owner_; }

 private:
  std::function<bool()> check_;
  std::thread::id owner_;
  std::atomic<bool> stop_{false};
  std::chrono::steady_clock::time_point next_check_;
};

inline void interrupt_poll(Interrupt* interrupt) {
  if (interrupt) interrupt->poll();
}

}  // namespace korvald::core
