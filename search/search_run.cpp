#include "search/search_run.h"

#include <utility>
#include <vector>

#include "search/enumeration.h"

bool runSearch(const SearchSettings& settings, const XlApi& api, WorkbookSource& source,
               const std::atomic<int>& stop, const DeliverFn& deliver, const UnreadableFolderCallback* unreadable,
               const FileBeginsFn& onFileBegins) {
  ScanOutput pending;
  WorkbookScanner scanner(api, source, settings, stop, pending);
  scanner.onFileBegins = onFileBegins;
  scanner.onRowsPending = [&] { deliver(pending, false); };
  // The count and the visit in one walk, taken whole first so the source
  // knows every file ahead; the scan then goes through them in the walk's order.
  std::vector<std::pair<std::string, std::string>> files;
  const long long count = countAndVisitWorkbooks(
      settings.folderText, kWorkbookPattern,
      [&](const std::string& prefix, const std::string& name) { files.emplace_back(prefix, name); }, &stop,
      unreadable);
  scanner.setProgressMaximum(count);
  deliver(pending, false);
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
