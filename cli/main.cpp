// quorvane-search: `--dump FILE` shows a workbook as the library reads it;
// everything else is the command-line search.
#include <cstdio>
#include <cstring>

#include "cli/dump.h"

#ifdef QUORVANE_HAVE_SEARCH_CLI
#include "cli/search_cli.h"
#endif

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "--dump") == 0) {
    if (argc != 3) {
      std::fprintf(stderr, "用法：quorvane-search --dump 文件\n");
      return 2;
    }
    return runDump(argv[2]);
  }
#ifdef QUORVANE_HAVE_SEARCH_CLI
  return runSearchCli(argc, argv);
#else
  // Until cli/search_cli.cpp exists (it defines runSearchCli and is picked up
  // by cli/CMakeLists.txt), only the dump is available.
  std::fprintf(stderr, "用法：quorvane-search --dump 文件\n");
  return 2;
#endif
}
