#include "cli/library_on_demand.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <type_traits>

#include "app/library_deploy.h"
#include "app/library_image.h"
#include "app/settings.h"
#include "platform/xl/write_all.h"

namespace {

XlApi& table() {
  static XlApi api;
  return api;
}

// As the window does: the copy beside the program (or in the user's cache
// folder) that holds exactly this image, written there when it does not.
// When neither can be written (a full disk), the image goes into a file of
// memory instead.
bool load(XlApi& api, std::string& reason) {
  const LibraryImage image = embeddedLibraryImage();
  LibraryFailure failure;
  if (startSpreadsheetLibrary(image, programDirectory(), libraryCacheDirectory(), api, failure)) return true;
  reason = failure.libraryPath + " " + failure.entryPoint + " " + failure.reason;
  const int fd = ::memfd_create(kLibraryFileName, MFD_CLOEXEC);
  if (fd < 0) return false;
  std::string missing;
  const bool loaded = xl::writeAll(fd, image.data(), image.size()) &&
                      loadXlApi("/proc/self/fd/" + std::to_string(fd), api, missing);
  ::close(fd);  // a loaded library keeps its own mapping
  if (!missing.empty()) reason += "；" + missing;
  return loaded;
}

BookHandle createOnDemand() {
  static std::once_flag once;
  static BookHandle (*create)() = nullptr;
  std::call_once(once, [] {
    XlApi loaded;
    std::string reason;
    if (!load(loaded, reason)) {
      std::fprintf(stderr, "无法加载函数库 %s：%s\n", kLibraryFileName, reason.c_str());
      return;
    }
    create = loaded.createXMLBook;
    // Every entry point after this one, which other threads may be reading:
    // the others are read only through books made after this returns.
    static_assert(std::is_trivially_copyable_v<XlApi> && offsetof(XlApi, createXMLBook) == 0 &&
                  offsetof(XlApi, bookLoad) == sizeof loaded.createXMLBook);
    std::memcpy(reinterpret_cast<char*>(&table()) + offsetof(XlApi, bookLoad),
                reinterpret_cast<const char*>(&loaded) + offsetof(XlApi, bookLoad),
                sizeof(XlApi) - offsetof(XlApi, bookLoad));
  });
  return create ? create() : nullptr;
}

}  // namespace

const XlApi& libraryOnDemand() {
  static const bool ready = [] {
    table().createXMLBook = createOnDemand;
    return true;
  }();
  (void)ready;
  return table();
}
