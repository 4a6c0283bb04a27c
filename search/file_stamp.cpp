#include "search/file_stamp.h"

#include <ctime>
#include <initializer_list>

namespace {
constexpr int64_t kSecondNs = 1'000'000'000;
// FAT's modification times step by 2 s; other whole-second systems by 1 s.
constexpr int64_t kWholeSecondStepNs = 2 * kSecondNs;
// A kernel's clock tick: 10 ms at 100 Hz, 15.6 ms on Windows file servers.
constexpr int64_t kFractionStepNs = 20'000'000;
}  // namespace

int64_t wallClockNs() {
  // The fine clock: with fine-grained file times a file's times may be ahead
  // of the coarse one.
  timespec t{};
  ::clock_gettime(CLOCK_REALTIME, &t);
  return static_cast<int64_t>(t.tv_sec) * kSecondNs + t.tv_nsec;
}

int64_t timestampStepNs(int64_t timeNs) { return timeNs % kSecondNs == 0 ? kWholeSecondStepNs : kFractionStepNs; }

bool isSettled(const FileStamp& stamp, int64_t lookedAtNs) {
  for (const int64_t t : {stamp.modifiedNs, stamp.changedNs})
    if (t > lookedAtNs - timestampStepNs(t)) return false;
  return true;
}
