// quorvane-search: `--dump FILE` shows a workbook as the library reads it;
// everything else is the command-line search.
#include <cstdio>
#include <cstring>
#include <new>

#include "cli/dump.h"
#include "cli/search_cli.h"

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "--dump") == 0) {
    if (argc != 3) {
      std::fprintf(stderr, "用法：quorvane-search --dump 文件\n");
      return 2;
    }
    return runDump(argv[2]);
  }
  try {
    return runSearchCli(argc, argv);
  } catch (const std::bad_alloc&) {
    // Everything that can run out of memory on its own is caught where it
    // happens; this is the last resort, so the program never aborts.
    std::fputs("内存不足\n", stderr);
    return 2;  // an error, not "nothing matched"
  }
}
