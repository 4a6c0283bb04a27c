#include "search/stop_flag.h"

std::atomic<int> stopFlag{0};
