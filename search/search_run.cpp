#include "search/search_run.h"

#include <utility>
#include <vector>

#include "search/enumeration.h"

bool runSearch(const SearchSettings& settings, const XlApi& api, WorkbookSource& source,
               const std::atomic<int>& stop, const DeliverFn& deliver) {
  ScanOutput pending;
  WorkbookScanner scanner(api, source, settings, stop, pending);
  scanner.onRowsPending = [&] { deliver(pending, false); };
  scanner.setProgressMaximum(countWorkbooks(settings.folderText, kWorkbookPattern));
  deliver(pending, false);
  // The visit is taken whole first so the source knows every file ahead;
  // the scan then goes through them in the walk's order.
  std::vector<std::pair<std::string, std::string>> files;
  visitWorkbooks(settings.folderText, kWorkbookPattern,
                 [&](const std::string& prefix, const std::string& name) { files.emplace_back(prefix, name); });
  std::vector<std::string> paths;
  paths.reserve(files.size());
  for (const auto& [prefix, name] : files) paths.push_back(prefix + name);
  source.plan(paths);
  for (const auto& [prefix, name] : files) {
    scanner.scanWorkbook(prefix, name);
    deliver(pending, false);
  }
  deliver(pending, true);
  return stop.load() != 0;
}
