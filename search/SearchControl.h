// Runs one search at a time for the main window: readies the window, shows
// StopWindow, counts, walks and scans on a worker thread, brings the rows to
// the grid in order in batches, and restores the window at the end.
#pragma once

#include <QObject>
#include <QPointer>

#include <chrono>
#include <functional>
#include <memory>
#include <string_view>
#include <thread>

class CellCache;
class MainWindow;
class ResultsGrid;
class ScanOutput;
class StopWindow;
struct SearchChannel;
struct SearchSettings;
struct XlApi;

class SearchControl : public QObject {
  Q_OBJECT

 public:
  // Binds 按钮1 and the Enter key in 编辑框2.
  explicit SearchControl(MainWindow& window);
  ~SearchControl() override;

  // Does nothing for an empty search text or while a search runs.
  void startSearch();
  bool searching() const { return running_; }
  StopWindow* stopWindow() const;  // null when none is open
  // A close request reached the main window (stopFlag is set): true while a
  // search runs, which then closes the window as soon as it has returned.
  bool deferClose();

  // The grid the search fills: the one the form's grid view shows.
  ResultsGrid& grid();

  void disableSearchInputs();
  void enableSearchInputs();

  // Called on the worker after the count and after each file of the
  // searches started from now on (tests hold a search there to stop it at a
  // known point).
  void setFileHook(std::function<void()> hook) { fileHook_ = std::move(hook); }

 signals:
  void searchFinished();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // The worker thread's whole job; returns whether the search was stopped.
  static bool runWorker(SearchChannel& channel, const SearchSettings& settings, const XlApi& api,
                        CellCache* cache, const std::function<void()>& fileHook);
  void drainBatches();
  void showLiveProgress();
  // The progress bar and 搜索中...k/N; never behind the file begun last.
  void showProgress(int position, int maximum);
  // False when the grid ran out of memory: the search is stopped then.
  bool applyBatch(ScanOutput& batch, ResultsGrid& grid,
                  const std::function<void(int, int, std::string_view)>& onProgress);
  void finishSearch(bool stopped);
  void onStopButton();
  void onStopWindowGone();

  MainWindow& window_;
  QObject* searchBox_ = nullptr;  // 编辑框2
  std::unique_ptr<ResultsGrid> ownGrid_;  // only when the form's grid is no GridView
  QPointer<StopWindow> stopWindow_;
  std::shared_ptr<SearchChannel> channel_;
  std::thread worker_;  // joined when the next search starts, or at the end
  bool running_ = false;  // from the start until the search has returned
  // Opened by the first search and kept for the next ones, so its writes
  // go on beside them; null when turned off or unusable.
  std::shared_ptr<CellCache> cache_;
  bool cacheOpened_ = false;
  std::function<void()> fileHook_;
  std::chrono::steady_clock::time_point lastDrainEnd_{};
  bool closePending_ = false;  // a close came during the search
  bool rowsLost_ = false;      // the grid ran out of memory during the search
  // Address space held while a search runs and let go when the grid runs
  // out of memory, so the window can still paint and tell the user.
  std::unique_ptr<char[]> memoryReserve_;
};
