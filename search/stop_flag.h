// The one process-wide stop request: 0 while a search runs and no stop has
// been asked for, 1 once a stop is asked for and after every search. Written
// by the stop button and the main window's close, read by the scan on the
// worker thread, hence atomic.
#pragma once

#include <atomic>

extern std::atomic<int> stopFlag;
