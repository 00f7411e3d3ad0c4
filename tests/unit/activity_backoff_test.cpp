// The user-activity watcher's pause before restarting a monitor that keeps
// ending at once.
#include "device/activity_backoff.h"

#include <gtest/gtest.h>

#include <vector>

namespace ostrel {
namespace {

using std::chrono::milliseconds;

std::vector<long long> pauses_after(activity_backoff& backoff, const std::vector<milliseconds>& lifetimes) {
  std::vector<long long> pauses;
  for (auto lifetime : lifetimes) pauses.push_back(backoff.after_monitor(lifetime).count());
  return pauses;
}

TEST(ActivityBackoffTest, FromTheThirdQuickEndInARowThePauseDoublesFromOneUpToThirtySeconds) {
  activity_backoff backoff;
  const std::vector<milliseconds> quick(9, milliseconds(5));
  EXPECT_EQ(pauses_after(backoff, quick),
            (std::vector<long long>{0, 0, 1000, 2000, 4000, 8000, 16000, 30000, 30000}));
}

TEST(ActivityBackoffTest, AMonitorLivingTwoHundredMillisecondsEndsThePausesAndStartsTheCountAfresh) {
  activity_backoff backoff;
  // 199 ms is still at once; 200 ms is a monitor that watched.
  EXPECT_EQ(pauses_after(backoff, {milliseconds(199), milliseconds(199), milliseconds(200), milliseconds(0),
                                   milliseconds(0)}),
            (std::vector<long long>{0, 0, 0, 0, 0}));
  EXPECT_EQ(pauses_after(backoff, {milliseconds(0), milliseconds(0)}), (std::vector<long long>{1000, 2000}));
  EXPECT_EQ(pauses_after(backoff, {std::chrono::minutes(5), milliseconds(0), milliseconds(0), milliseconds(0)}),
            (std::vector<long long>{0, 0, 0, 1000}));
}

}  // namespace
}  // namespace ostrel
