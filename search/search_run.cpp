#include "search/search_run.h"

#include "search/enumeration.h"

bool runSearch(const SearchSettings& settings, const XlApi& api, WorkbookSource& source,
               const std::atomic<int>& stop, const DeliverFn& deliver) {
  ScanOutput pending;
  WorkbookScanner scanner(api, source, settings, stop, pending);
  scanner.onRowsPending = [&] { deliver(pending, false); };
  scanner.setProgressMaximum(countWorkbooks(settings.folderText, kWorkbookPattern));
  deliver(pending, false);
  visitWorkbooks(settings.folderText, kWorkbookPattern,
                 [&](const std::string& prefix, const std::string& name) {
                   scanner.scanWorkbook(prefix, name);
                   deliver(pending, false);
                 });
  deliver(pending, true);
  return stop.load() != 0;
}
