#include "call_order.h"

uint64_t CallOrder::Take() {
  std::lock_guard<std::mutex> lock(mutex_);
  return next_++;
}

void CallOrder::WaitForTurn(uint64_t ticket) {
  std::unique_lock<std::mutex> lock(mutex_);
  turn_.wait(lock, [this, ticket] { return serving_ == ticket; });
}

void CallOrder::Done(uint64_t ticket) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (ticket != serving_) {
      done_early_.insert(ticket);
      return;
    }
    ++serving_;
    while (done_early_.erase(serving_) > 0) {
      ++serving_;
    }
  }
  turn_.notify_all();
}
