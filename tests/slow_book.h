// Workbooks that take the library about a second to load, for the tests that
// stop, close or tear down in the middle of a load. Written as raw bytes
// (sheet XML into a zip, BIFF records into a bare stream) so making one costs
// far less than reading it.
#pragma once

#include <string>

namespace slowbook {

// Every 1000th row (row 0 included) carries "needle" in its first cell, and
// no other cell holds it.
inline constexpr const char* kNeedle = "needle";

// An .xlsx with one sheet of `rows` rows of ten cells (numbers, shared and
// inline texts).
void writeXlsx(const std::string& path, int rows);
// A bare BIFF8 worksheet stream (.xls) of `rows` rows (at most 65,536) of
// forty LABEL and NUMBER cells.
void writeXls(const std::string& path, int rows);

// A small .xlsx of `rows` rows of `columns` cells that all refer to one
// shared string of `stringBytes` bytes: mostly "amplify" with a few Chinese
// characters, or only "放大". Read naively it takes rows x columns x
// stringBytes of memory.
enum class Script { MostlyAscii, Chinese };
void writeAmplified(const std::string& path, int rows, size_t stringBytes, Script script = Script::MostlyAscii,
                    int columns = 1);

// Rows that make a load take about a second on this class of machine (the
// .xlsx reader uses both cores on a sheet this big, so it takes many rows).
inline constexpr int kSlowXlsxRows = 1'200'000;
inline constexpr int kSlowXlsRows = 60'000;

}  // namespace slowbook
