// Hands the engine to method calls one at a time, in the order the calls
// were made.
#ifndef RUNNER_CALL_ORDER_H_
#define RUNNER_CALL_ORDER_H_

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>

// A ticket lock. The main thread draws a ticket for each call as it arrives;
// the call's worker waits until every earlier ticket is done, so a "stop"
// made right after a "start" can never run first, whichever worker the
// scheduler happens to run first. A plain mutex promises no such order.
class CallOrder {
 public:
  CallOrder() = default;
  CallOrder(const CallOrder&) = delete;
  CallOrder& operator=(const CallOrder&) = delete;

  // The next ticket, in the order of the calls. Main thread.
  uint64_t Take();
  // Blocks until |ticket| is the next to go.
  void WaitForTurn(uint64_t ticket);
  // |ticket| is finished with, or will never be used (its worker could not
  // be made): the tickets after it may go.
  void Done(uint64_t ticket);

 private:
  std::mutex mutex_;
  std::condition_variable turn_;
  uint64_t next_ = 0;
  uint64_t serving_ = 0;
  // Tickets given back before their turn came.
  std::set<uint64_t> done_early_;
};

#endif  // RUNNER_CALL_ORDER_H_
