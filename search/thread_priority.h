// Lowering the priority of one thread: Linux keeps a nice value per thread,
// so the loaders and the cache's writer yield to the scan and the window
// without the rest of the process doing so.
#pragma once

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

// The calling thread's nice value raised by `steps`, at most to 19; left as
// it is when it cannot be read.
inline void lowerThisThread(int steps) {
  const auto tid = static_cast<id_t>(::gettid());
  errno = 0;
  const int now = ::getpriority(PRIO_PROCESS, tid);
  if (errno == 0) ::setpriority(PRIO_PROCESS, tid, std::min(19, now + steps));
}
