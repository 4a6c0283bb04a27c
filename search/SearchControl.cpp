#include "search/SearchControl.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>
#include <utility>

#include "app/FolderInput.h"
#include "app/MainWindow.h"
#include "app/StopWindow.h"
#include "app/library_deploy.h"
#include "app/row_colours.h"
#include "platform/toolkit/progress_bar.h"
#include "platform/toolkit/user_dialogs.h"
#include "platform/toolkit/window_ops.h"
#include "results/GridView.h"
#include "search/cell_cache.h"
#include "search/read_ahead.h"
#include "search/search_run.h"
#include "search/stop_flag.h"
#include "ui_MainWindow.h"
#include "ui_StopWindow.h"

using Clock = std::chrono::steady_clock;

namespace {
// A batch goes to the window after this long or this many rows, whichever
// comes first, so the grid and the progress keep up without a repaint per row.
constexpr auto kBatchInterval = std::chrono::milliseconds(50);
constexpr size_t kBatchRows = 2000;
constexpr size_t kBatchBytes = size_t(16) << 20;  // long rows: fewer of them
// Longest stretch the window spends applying rows before it lets the event
// loop paint and take input.
constexpr auto kApplyBudget = std::chrono::milliseconds(30);
// Least time between two applications: every one makes the grid repaint its
// visible rows, which costs more than applying a few thousand rows, so rows
// arriving in a flood are applied in fewer, fuller slices.
constexpr auto kApplyPause = std::chrono::milliseconds(40);
// What the worker may have waiting for the window (text bytes, and a guess of
// a row's own cost) before it waits in turn: a scan faster than the grid must
// not pile its rows up in memory. Large enough that the window's pauses
// between applications do not hold up an ordinary search.
constexpr size_t kQueuedBytes = size_t(64) << 20;
constexpr size_t kRowCost = 64;
constexpr int kLoaderNice = 10;
constexpr size_t kMemoryReserve = size_t(32) << 20;  // never touched: costs no resident memory

size_t queuedCost(const ScanOutput& batch) { return batch.textBytes() + batch.rowOps() * kRowCost; }
}  // namespace

// Shared by the worker and the window; outlives either side.
struct SearchChannel {
  std::mutex mutex;
  std::condition_variable taken;  // a batch was taken, or none will be any more
  std::deque<ScanOutput> batches;
  size_t queuedBytes = 0;      // queuedCost of `batches`
  bool lastDelivered = false;  // the final batch is queued
  bool workerEnded = false;    // the worker has nothing left to do but return
  bool drainPosted = false;
  bool stopped = false;
  bool discard = false;  // the grid could take no more rows: the rest are dropped
  bool outOfMemory = false;  // the worker ran out of memory: the results are incomplete
  SearchControl* receiver = nullptr;  // null once the control is gone
  // The file whose scan began last, shown at once (its rows may take long).
  std::atomic<int> livePosition{-1};
  std::atomic<int> liveMaximum{0};
  std::atomic<bool> livePosted{false};
};

SearchControl::SearchControl(MainWindow& window) : QObject(&window), window_(window) {
  Ui::MainWindow& f = window_.form();
  connect(f.按钮1, &QPushButton::clicked, this, &SearchControl::startSearch);
  searchBox_ = f.编辑框2;
  searchBox_->installEventFilter(this);
  if (!qobject_cast<GridView*>(f.高级表格1)) ownGrid_ = std::make_unique<ResultsGrid>();
}

SearchControl::~SearchControl() {
  // Destroyed mid-search (the window goes): the stop cancels the loads in
  // progress, so the worker and its loaders end within moments and are
  // joined here; the process then ends normally.
  if (running_) {
    stopFlag = 1;
    {
      std::lock_guard lock(channel_->mutex);
      channel_->receiver = nullptr;
      channel_->discard = true;
    }
    channel_->taken.notify_all();
  }
  if (worker_.joinable()) worker_.join();
  delete stopWindow_.data();
}

StopWindow* SearchControl::stopWindow() const { return stopWindow_.data(); }

ResultsGrid& SearchControl::grid() {
  if (auto* view = qobject_cast<GridView*>(window_.form().高级表格1)) return *view->grid();
  return *ownGrid_;
}

bool SearchControl::eventFilter(QObject* watched, QEvent* event) {
  // Compared by the pointer kept at start: events reach here while the
  // window is being torn down too.
  if (watched == searchBox_ && event->type() == QEvent::KeyRelease) {
    auto* key = static_cast<QKeyEvent*>(event);
    if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) && !key->isAutoRepeat()) startSearch();
  }
  return QObject::eventFilter(watched, event);
}

void SearchControl::disableSearchInputs() {
  Ui::MainWindow& f = window_.form();
  for (QWidget* w : std::initializer_list<QWidget*>{f.编辑框2, f.隐藏选择框, f.列名选择框, f.按钮1, f.按钮2, f.按钮3,
                                                    f.目录按钮})
    w->setEnabled(false);
}

void SearchControl::enableSearchInputs() {
  Ui::MainWindow& f = window_.form();
  for (QWidget* w : std::initializer_list<QWidget*>{f.编辑框2, f.隐藏选择框, f.列名选择框, f.按钮1, f.按钮2, f.按钮3,
                                                    f.目录按钮})
    w->setEnabled(true);
}

void SearchControl::startSearch() {
  Ui::MainWindow& f = window_.form();
  const QString text = f.编辑框2->text();
  if (text.isEmpty() || searching()) return;
  // The last search's worker, which returned long ago.
  if (worker_.joinable()) worker_.join();

  f.分组框1->hide();
  stopFlag = 0;

  // While StopWindow is open the main window takes no input. Its input is
  // filtered out rather than the window disabled, which would grey the
  // status and progress the user watches, or blocked by a modal window: the
  // window system's close requests (a logout, another program's close) must
  // still reach it.
  auto* stop = new StopWindow();
  stop->setAttribute(Qt::WA_DeleteOnClose);
  stop->placeOver(&window_);
  connect(stop->form().按钮1, &QPushButton::clicked, this, &SearchControl::onStopButton);
  connect(stop, &QObject::destroyed, this, &SearchControl::onStopWindowGone);
  stopWindow_ = stop;
  stop->show();
  window_.setInputBlocked(true);

  grid().clearForSearch();
  setStatusText(f.状态条1, QStringLiteral("搜索中..."));
  // Not the last search's full bar until the first file is done.
  setProgressPosition(f.进度条1, 0);
  disableSearchInputs();

  SearchSettings settings;
  const QByteArray utf8 = text.toUtf8();
  settings.searchText.assign(utf8.constData(), size_t(utf8.size()));
  settings.titles = f.列名选择框->isChecked();
  settings.skipHidden = f.隐藏选择框->isChecked();
  settings.folderText = FolderInput::folderText(f.编辑框1);
  settings.titleColour = titleColour;
  settings.failureColour = failureColour;

  if (!cacheOpened_) {
    cache_ = openCellCacheFromEnvironment();
    cacheOpened_ = true;
  }

  // Without it (memory short already) the search runs all the same.
  memoryReserve_.reset(new (std::nothrow) char[kMemoryReserve]);
  channel_ = std::make_shared<SearchChannel>();
  channel_->receiver = this;
  // The worker calls through its own copy of the library's table, so
  // nothing the UI thread does to the process-wide one reaches a search.
  running_ = true;
  worker_ = std::thread([channel = channel_, settings, api = xlApi(), cache = cache_, fileHook = fileHook_] {
    const bool stopped = runWorker(*channel, settings, api, cache.get(), fileHook);
    // Only now, with the loaders joined, does the window end the search; it
    // joins this thread when the next one starts, so it never waits on it.
    std::lock_guard lock(channel->mutex);
    channel->stopped = stopped;
    channel->workerEnded = true;
    if (channel->receiver && !channel->drainPosted) {
      channel->drainPosted = true;
      QMetaObject::invokeMethod(channel->receiver, &SearchControl::drainBatches, Qt::QueuedConnection);
    }
  });
}

bool SearchControl::runWorker(SearchChannel& channel, const SearchSettings& settings, const XlApi& api,
                              CellCache* cache, const std::function<void()>& fileHook) {
  {
    // The loaders read the next workbooks ahead in books of their own; the
    // scan takes them in the walk's order. They run below the window's
    // priority: with every core loading, the UI thread would otherwise wait
    // its turn behind them for tens of milliseconds.
    ReadAheadLimits limits;
    limits.loaderNice = kLoaderNice;
    ReadAheadSource source(api, stopFlag, limits);
    if (cache) source.useCache(cache, settings.searchText);
    auto lastHandOver = Clock::now();
    auto deliver = [&](ScanOutput& pending, bool last) {
      auto now = Clock::now();
      if (!last && pending.rowOps() < kBatchRows && pending.textBytes() < kBatchBytes &&
          now - lastHandOver < kBatchInterval)
        return;
      lastHandOver = now;
      ScanOutput batch;
      batch.swap(pending);
      std::unique_lock lock(channel.mutex);
      channel.taken.wait(lock, [&] {
        return channel.batches.empty() || channel.queuedBytes < kQueuedBytes || channel.discard;
      });
      if (!batch.empty() && !channel.discard) {
        channel.queuedBytes += queuedCost(batch);
        channel.batches.push_back(std::move(batch));
      }
      if (last) channel.lastDelivered = true;
      if (channel.receiver && !channel.drainPosted) {
        channel.drainPosted = true;
        QMetaObject::invokeMethod(channel.receiver, &SearchControl::drainBatches, Qt::QueuedConnection);
      }
    };
    try {
      runSearch(
          settings, api, source, stopFlag,
          [&](ScanOutput& pending, bool last) {
            if (!last && fileHook) fileHook();
            deliver(pending, last);
          },
          nullptr,
          [&](int position, int maximum) {
            channel.liveMaximum.store(maximum, std::memory_order_relaxed);
            channel.livePosition.store(position, std::memory_order_release);
            // One notice waits at a time; it shows the latest file.
            if (channel.livePosted.exchange(true)) return;
            std::lock_guard lock(channel.mutex);
            if (channel.receiver)
              QMetaObject::invokeMethod(channel.receiver, &SearchControl::showLiveProgress, Qt::QueuedConnection);
          });
    } catch (...) {
      // Out of memory in the middle of a search: what was found stays, the
      // search ends as a stopped one and the user is told rows are missing.
      stopFlag = 1;
      std::lock_guard lock(channel.mutex);
      channel.lastDelivered = true;
      channel.outOfMemory = true;
    }
  }
  return stopFlag != 0;
}

void SearchControl::showLiveProgress() {
  if (!channel_) return;
  channel_->livePosted.store(false);
  const int position = channel_->livePosition.load(std::memory_order_acquire);
  if (position < 0) return;
  showProgress(position, channel_->liveMaximum.load(std::memory_order_relaxed));
}

void SearchControl::showProgress(int position, int maximum) {
  Ui::MainWindow& f = window_.form();
  // A batch's progress may be older than the file the scan has begun since.
  if (channel_) position = std::max(position, channel_->livePosition.load(std::memory_order_acquire));
  if (progressMaximum(f.进度条1) != maximum) setProgressMaximum(f.进度条1, maximum);
  setProgressPosition(f.进度条1, position);
  if (position > 0)
    setStatusText(f.状态条1, QStringLiteral("搜索中...%1/%2").arg(progressPosition(f.进度条1)).arg(maximum));
}

void SearchControl::drainBatches() {
  if (!channel_) return;  // the search was ended by a close
  if (const auto since = Clock::now() - lastDrainEnd_; since < kApplyPause) {
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(kApplyPause - since);
    QTimer::singleShot(std::max<int>(1, static_cast<int>(wait.count())), this, &SearchControl::drainBatches);
    return;
  }
  ResultsGrid& g = grid();
  const auto start = Clock::now();
  int position = -1, maximum = -1;
  auto onProgress = [&](int pos, int max, std::string_view) {
    position = pos;
    maximum = max;
  };
  bool finished = false;
  for (;;) {
    ScanOutput batch;
    {
      std::lock_guard lock(channel_->mutex);
      if (channel_->batches.empty()) {
        channel_->drainPosted = false;
        finished = channel_->lastDelivered && channel_->workerEnded;
        break;
      }
      batch.swap(channel_->batches.front());
      channel_->batches.pop_front();
      channel_->queuedBytes -= queuedCost(batch);
    }
    channel_->taken.notify_one();
    if (!applyBatch(batch, g, onProgress)) continue;  // out of memory: the rest is dropped
    if (Clock::now() - start > kApplyBudget) {
      // More may wait: come back after the event loop has had its turn.
      QMetaObject::invokeMethod(this, &SearchControl::drainBatches, Qt::QueuedConnection);
      break;
    }
  }
  lastDrainEnd_ = Clock::now();
  if (maximum >= 0) showProgress(position, maximum);
  if (finished) {
    bool stopped;
    {
      std::lock_guard lock(channel_->mutex);
      stopped = channel_->stopped;
      rowsLost_ = rowsLost_ || channel_->outOfMemory;
    }
    finishSearch(stopped);
  }
}

bool SearchControl::applyBatch(ScanOutput& batch, ResultsGrid& g,
                               const std::function<void(int, int, std::string_view)>& onProgress) {
  try {
    ResultsGrid::Batch rows(g);
    batch.applyTo(g, onProgress);
    return true;
  } catch (const std::bad_alloc&) {
  }
  // The grid cannot hold more: the search stops, what is in the grid stays,
  // and the rows still to come are dropped rather than tried one by one.
  memoryReserve_.reset();
  batch.clear();
  stopFlag = 1;
  rowsLost_ = true;
  {
    std::lock_guard lock(channel_->mutex);
    channel_->discard = true;
    channel_->batches.clear();
    channel_->queuedBytes = 0;
  }
  channel_->taken.notify_all();
  return false;
}

void SearchControl::finishSearch(bool stopped) {
  running_ = false;
  Ui::MainWindow& f = window_.form();
  // A stop that came while the last rows were being applied is a stop, not
  // a completed search.
  stopped = stopped || stopFlag != 0;
  setStatusText(f.状态条1, stopped ? QStringLiteral("搜索停止！") : QStringLiteral("搜索完成！"));
  window_.setInputBlocked(false);
  grid().setDisabled(false);
  enableSearchInputs();
  if (stopWindow_) {
    // It is deleted later, maybe while the next search runs: its end is no
    // stop of that one.
    disconnect(stopWindow_, &QObject::destroyed, this, nullptr);
    stopWindow_->closeAtEndOfSearch();
  }
  stopFlag = 1;
  setWindowTopmost(&window_, false);
  channel_.reset();
  memoryReserve_.reset();
  const bool rowsLost = std::exchange(rowsLost_, false);
  emit searchFinished();
  if (closePending_) {
    // The close asked for during the search: the program ends now.
    closePending_ = false;
    window_.close();
    return;
  }
  if (rowsLost) window_.dialogs().messageBox(QStringLiteral("内存不足，搜索已停止，结果不完整。"), kMessageBoxOk);
}

void SearchControl::onStopButton() {
  stopFlag = 1;
  // The main window can take the focus only once StopWindow is gone.
  if (stopWindow_) stopWindow_->closeAtEndOfSearch();
  window_.setInputBlocked(false);
  window_.activateWindow();
}

void SearchControl::onStopWindowGone() {
  // StopWindow refuses every close but its button's and the search's end;
  // if it goes some other way all the same, that is a stop: the user has no
  // stop button left.
  if (!searching()) return;
  stopFlag = 1;
  window_.setInputBlocked(false);
}

bool SearchControl::deferClose() {
  if (!searching()) return false;
  // MainWindow has set stopFlag; the search returns within moments (its
  // loads are cancelled) and finishSearch closes the window then.
  closePending_ = true;
  return true;
}
