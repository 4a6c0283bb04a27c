// quorvane-search --dump FILE: the workbook as the library reads it, as JSON.
#pragma once

int runDump(const char* path);
