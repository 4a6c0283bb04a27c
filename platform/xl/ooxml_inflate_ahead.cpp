// The inflate-ahead thread of a large part: it inflates a few chunks ahead
// of the parser, so a huge part keeps two cores busy. The two sides hand
// chunks over through a short queue; a chunk goes back to the spares once
// the parser has copied it out.
#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "platform/xl/ooxml_internal.h"
#include "platform/xl/ooxml_xml.h"

namespace xl::ooxml {

struct PartSource::Ahead {
  static constexpr size_t kChunk = 1u << 20;
  static constexpr size_t kQueued = 4;
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::vector<char>> full;
  std::vector<std::vector<char>> spare;
  std::vector<char> current;
  size_t pos = 0;
  bool done = false, cancel = false, failed = false, outOfMemory = false;
  LoadError error;
  std::thread thread;
};

void PartSource::AheadStop::operator()(Ahead* a) const {
  {
    std::lock_guard lock(a->mutex);
    a->cancel = true;
  }
  a->changed.notify_all();
  if (a->thread.joinable()) a->thread.join();
  delete a;
}

void PartSource::inflateAhead() {
  if (ahead_ || inMemory_) return;
  ahead_.reset(new Ahead);
  Ahead* a = ahead_.get();
  try {
    a->thread = std::thread([this, a] {
      try {
        inflateLoop(*a);
      } catch (const std::bad_alloc&) {
        // Out of memory here ends the part like damage would, on the
        // parser's side, instead of ending the process.
        std::lock_guard lock(a->mutex);
        a->done = a->failed = a->outOfMemory = true;
        a->changed.notify_all();
      }
    });
  } catch (const std::system_error&) {
    ahead_.reset();  // no thread to be had: the parser inflates as it reads
  }
}

void PartSource::inflateLoop(Ahead& a) {
  for (;;) {
    std::vector<char> chunk;
    {
      std::unique_lock lock(a.mutex);
      a.changed.wait(lock, [&] { return a.cancel || a.full.size() < Ahead::kQueued; });
      if (a.cancel) return;
      if (!a.spare.empty()) {
        chunk = std::move(a.spare.back());
        a.spare.pop_back();
      }
    }
    chunk.resize(Ahead::kChunk);
    LoadError error;
    const int64_t got = readEntry(chunk.data(), chunk.size(), error);
    std::lock_guard lock(a.mutex);
    if (got <= 0) {
      a.done = true;
      a.failed = got < 0;
      a.error = std::move(error);
      a.changed.notify_all();
      return;
    }
    chunk.resize(static_cast<size_t>(got));
    a.full.push_back(std::move(chunk));
    a.changed.notify_all();
  }
}

int64_t PartSource::readAhead(char* buf, size_t n, LoadError& error) {
  Ahead* a = ahead_.get();
  int64_t got = 0;
  while (static_cast<size_t>(got) < n) {
    if (a->pos == a->current.size()) {
      std::unique_lock lock(a->mutex);
      if (!a->current.empty()) {
        a->spare.push_back(std::move(a->current));
        a->current.clear();
        a->changed.notify_all();
      }
      a->pos = 0;
      // Hand over what is here rather than wait for a whole buffer.
      if (a->full.empty() && got > 0) break;
      a->changed.wait(lock, [&] { return !a->full.empty() || a->done; });
      if (a->full.empty()) {
        if (a->failed) {
          error = a->outOfMemory ? LoadError{LoadCause::TooLargeNoMemory} : a->error;
          return -1;
        }
        break;
      }
      a->current = std::move(a->full.front());
      a->full.pop_front();
      a->changed.notify_all();
    }
    const size_t take = std::min(n - static_cast<size_t>(got), a->current.size() - a->pos);
    std::memcpy(buf + got, a->current.data() + a->pos, take);
    a->pos += take;
    got += static_cast<int64_t>(take);
  }
  return got;
}

}  // namespace xl::ooxml
