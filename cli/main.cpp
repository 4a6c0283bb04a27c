// quorvane-search: `--dump FILE` shows a workbook as the library reads it;
// everything else is the command-line search.
#include <cstdio>
#include <cstring>

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
  return runSearchCli(argc, argv);
}
