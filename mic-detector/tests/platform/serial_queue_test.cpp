// The detector queue and its timer: timed items, the timer's grid, merged runs and the cancel.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/repeating_timer.h"
#include "platform/serial_queue.h"

namespace micdetector {
namespace {

using namespace std::chrono_literals;
using Clock = SerialQueue::Clock;

TEST(SerialQueue, TimedItemsRunInTheOrderOfTheirTimesAndThoseNotDueAreDroppedAtTheEnd) {
  std::vector<int> order;  // touched on the queue only, read once it is drained
  std::atomic<bool> farRan = false;
  {
    SerialQueue queue("test.queue");
    const auto now = Clock::now();
    queue.asyncAt(now + 60ms, [&] { order.push_back(3); });
    queue.asyncAt(now + 20ms, [&] { order.push_back(1); });
    queue.asyncAt(now + 40ms, [&] { order.push_back(2); });
    queue.asyncAt(now + 40ms, [&] { order.push_back(22); });  // same time: submission order
    queue.asyncAt(now + 1h, [&] { farRan = true; });
    queue.async([&] { order.push_back(0); });
    std::promise<void> last;
    queue.asyncAt(now + 60ms, [&] { last.set_value(); });
    last.get_future().wait();
    queue.drain();
    EXPECT_EQ(order.size(), 5u);
    EXPECT_NE(std::ranges::find(order, 0), order.end());
    std::erase(order, 0);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 22, 3}));
    // The queue ends here without waiting an hour for the last item.
  }
  EXPECT_FALSE(farRan);
}

TEST(RepeatingTimer, RunsAtOnceThenOnTheGridMergesWhatCameDueMeanwhileAndStopsWhenCancelled) {
  constexpr auto interval = 40ms;
  SerialQueue queue("test.timer");
  std::vector<Clock::time_point> runs;  // touched on the queue only
  std::promise<void> fourRuns;
  const auto resumed = Clock::now();
  RepeatingTimer timer(queue, interval, [&] {
    runs.push_back(Clock::now());
    // The first run takes 3.5 intervals: three deadlines pass while it runs.
    if (runs.size() == 1) std::this_thread::sleep_until(resumed + interval * 7 / 2);
    if (runs.size() == 4) fourRuns.set_value();
  });
  timer.resume();
  fourRuns.get_future().wait();
  timer.cancel();
  queue.drain();
  const std::size_t atCancel = runs.size();

  ASSERT_GE(runs.size(), 4u);
  // The deadlines that passed during the first run come to one run; the run after it keeps to
  // the grid of the first one, rather than following at once as a queued deadline would.
  EXPECT_GE(runs[2] - resumed, interval * 4);
  EXPECT_GE(runs[3] - resumed, interval * 5);

  // Nothing runs after the cancel, also once further deadlines have passed.
  std::promise<void> later;
  queue.asyncAt(Clock::now() + interval * 3, [&] { later.set_value(); });
  later.get_future().wait();
  queue.drain();
  EXPECT_EQ(runs.size(), atCancel);
}

}  // namespace
}  // namespace micdetector
