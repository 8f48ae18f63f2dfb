#include "core/interrupt.hpp"

namespace korvald::core {

namespace {
constexpr std::chrono::milliseconds kCheckEvery{50};
}

Interrupt::Interrupt(std::function<bool()> check)
    : check_(std::move(check)), owner_(std::this_thread::get_id()), next_check_(std::chrono::steady_clock::now()) {}

void Interrupt::watch() {
  if (!check_ || stop_requested() || !on_owner_thread()) return;
  const auto now = std::chrono::steady_clock::now();
  if (now < next_check_) return;
  next_check_ = now + kCheckEvery;
  if (check_()) request_stop();
}

void Interrupt::poll() {
  watch();
  if (stop_requested()) throw Interrupted();
}

}  // namespace korvald::core
