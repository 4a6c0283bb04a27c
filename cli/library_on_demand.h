// The spreadsheet library of the command line, loaded only when a workbook
// must be read from its file (or written): a search the cell cache answers
// whole never loads it, nor the dozens of system libraries it pulls in, which
// took longer to start than such a search takes.
#pragma once

#include "platform/xl/xlapi.h"

// The entry points of the libxl.so this program carries. Its createXMLBook
// loads the library the first time it is called, on whichever thread; every
// other entry point takes a book, so it is reached only after that. When the
// library cannot be loaded, createXMLBook gives null (each file then fails
// as one the library could make no book for) and the reason is printed once.
const XlApi& libraryOnDemand();
