// Damaged OLE2 containers around an intact workbook stream, and damaged
// workbook streams, load as a spreadsheet application loads them (or give
// more where it gives up): the fixtures come from make_damaged_xls.py, one
// file per kind of damage.
#include <gsf/gsf.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "platform/xl/book.h"
#include "platform/xl/ole2_salvage.h"

namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// Whether libgsf gives the whole "Workbook" stream of the file.
bool gsfReadsWorkbook(const std::string& path) {
  gsf_init();
  GError* err = nullptr;
  GsfInput* in = gsf_input_stdio_new(path.c_str(), &err);
  if (err) g_error_free(err);
  if (!in) return false;
  err = nullptr;
  GsfInfile* ole = gsf_infile_msole_new(in, &err);
  if (err) g_error_free(err);
  bool ok = false;
  if (ole) {
    GsfInput* stream = gsf_infile_child_by_name(ole, "Workbook");
    if (stream) {
      std::vector<guint8> buf(static_cast<size_t>(std::max<gsf_off_t>(gsf_input_size(stream), 1)));
      ok = gsf_input_read(stream, static_cast<size_t>(gsf_input_size(stream)), buf.data()) != nullptr;
      g_object_unref(stream);
    }
    g_object_unref(ole);
  }
  g_object_unref(in);
  return ok;
}

class Salvage : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = (fs::path(QUORVANE_TEST_SCRATCH) / ("salvage-" + std::to_string(::getpid()))).string();
    fs::create_directories(dir_);
    std::string cmd = "/usr/bin/python3 '" + std::string(QUORVANE_SOURCE_DIR) + "/tests/platform/xl/make_damaged_xls.py' '" +
                      dir_ + "'";
    ok_ = std::system(cmd.c_str()) == 0;
  }
  static void TearDownTestSuite() {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  void SetUp() override { ASSERT_TRUE(ok_) << "make_damaged_xls.py failed"; }
  static std::string path(const char* name) { return dir_ + "/" + name; }

  // Loads a fixture: each sheet's name and how many rows it holds. Every cell
  // must read "<word> <its row>" in column A, the word "row" in the first
  // sheet and the sheet's name in the others, and the rows 0 .. count-1 must
  // all be there.
  static std::vector<std::pair<std::string, size_t>> loadedSheets(const char* name) {
    xl::Book book;
    EXPECT_TRUE(book.load(path(name))) << name << ": " << book.error();
    std::vector<std::pair<std::string, size_t>> out;
    for (const xl::Sheet& s : book.sheets) {
      const std::string word = out.empty() ? "row" : s.name;
      size_t row = 0;
      for (const xl::CellRef& c : s.cells()) {
        EXPECT_EQ(c.row, row) << name;
        EXPECT_EQ(c.col, 0u) << name;
        EXPECT_EQ(std::string(book.text(c), c.len), word + " " + std::to_string(c.row)) << name;
        ++row;
      }
      out.emplace_back(s.name, s.cells().size());
    }
    return out;
  }

  // The rows of a fixture of one sheet, "Data".
  static size_t loadedRows(const char* name) {
    const auto sheets = loadedSheets(name);
    if (sheets.size() != 1 || sheets[0].first != "Data") {
      ADD_FAILURE() << name << ": " << sheets.size() << " sheets";
      return 0;
    }
    return sheets[0].second;
  }

  using Sheets = std::vector<std::pair<std::string, size_t>>;

  static inline std::string dir_;
  static inline bool ok_ = false;
};

TEST_F(Salvage, ContainersLibgsfRefusesStillGiveTheirWorkbook) {
  // The damage is real: libgsf alone cannot read these.
  for (const char* name : {"dir_chain_past_end.xls", "fat_count_past_end.xls", "cut_last_sector.xls",
                           "fat_loop.xls", "mini_fat_loop.xls"})
    EXPECT_FALSE(gsfReadsWorkbook(path(name))) << name;
  EXPECT_TRUE(gsfReadsWorkbook(path("good.xls")));

  EXPECT_EQ(loadedRows("good.xls"), 400u);
  // The stream itself is whole: every cell.
  EXPECT_EQ(loadedRows("dir_chain_past_end.xls"), 400u);
  EXPECT_EQ(loadedRows("fat_count_past_end.xls"), 400u);
  EXPECT_EQ(loadedRows("dir_count_past_end.xls"), 400u);
  // The stream ends early (the file cut inside its last sector, a chain
  // looping back): every cell before the damage.
  size_t cut = loadedRows("cut_last_sector.xls");
  EXPECT_GT(cut, 380u);
  EXPECT_LT(cut, 400u);
  size_t looped = loadedRows("fat_loop.xls");  // 7 of 16 sectors
  EXPECT_GT(looped, 150u);
  EXPECT_LT(looped, 250u);
  size_t mini = loadedRows("mini_fat_loop.xls");  // 5 units of 64 bytes
  EXPECT_GT(mini, 5u);
  EXPECT_LT(mini, 40u);
}

// LibreOffice Calc (7.4) shows each of these as loaded here, cell for cell
// (salvage_against_calc holds them against it where it is installed).
TEST_F(Salvage, LoopsCyclesAndSharedSectorsReadAsCalcReadsThem) {
  EXPECT_EQ(loadedRows("tree_cycle.xls"), 400u);
  EXPECT_EQ(loadedRows("tree_child_points_back.xls"), 400u);
  EXPECT_EQ(loadedRows("shared_sectors.xls"), 400u);
  EXPECT_EQ(loadedRows("mini_stream_loop.xls"), 40u);
  // An entry of no known type in the directory tree hides the workbook
  // beside it from libgsf, which then lists no workbook at all.
  for (const char* name : {"tree_hidden_by_unused_entry.xls", "tree_hidden_by_unknown_type.xls"}) {
    EXPECT_FALSE(gsfReadsWorkbook(path(name))) << name;
    EXPECT_EQ(loadedRows(name), 400u) << name;
  }
}

TEST_F(Salvage, LoopsCalcRefusesStillGiveTheWholeStream) {
  // Calc opens these two as text; the workbook stream itself is intact.
  EXPECT_EQ(loadedRows("dir_loop.xls"), 400u);
  EXPECT_EQ(loadedRows("mini_fat_chain_loop.xls"), 40u);
}

TEST_F(Salvage, AWorkbookOnlyInsideAStorageIsNotTheFilesWorkbook) {
  // As a workbook embedded in a document is: the document is not a workbook.
  xl::Book book;
  EXPECT_FALSE(book.load(path("embedded_workbook.xls")));
  EXPECT_EQ(book.error(), xl::LoadCause::NotWorkbookOle2NoStream);
  std::vector<uint8_t> file = readFile(path("embedded_workbook.xls"));
  std::vector<uint8_t> stream;
  EXPECT_FALSE(xl::ole2::salvageWorkbookStream(file.data(), file.size(), stream, xl::ole2::Search::TopLevel));
  EXPECT_TRUE(xl::ole2::salvageWorkbookStream(file.data(), file.size(), stream, xl::ole2::Search::Anywhere));
}

// Calc (7.4) opens none of these: it takes a stream for BIFF only when its
// first record is a BOF.
TEST_F(Salvage, AStreamNotBeginningWithBofIsReadFromItsFirstBof) {
  // The sheet offsets point short of the sheets by the junk's length: the
  // sheets are found in order instead.
  EXPECT_EQ(loadedSheets("junk_before_bof.xls"), (Sheets{{"Data", 400}, {"Two", 400}}));
  EXPECT_EQ(loadedRows("record_before_bof.xls"), 400u);

  xl::Book book;
  EXPECT_FALSE(book.load(path("bof_too_far.xls")));
  EXPECT_EQ(book.error(), xl::LoadCause::NotWorkbookNoBof);
}

TEST_F(Salvage, ARecordRunningPastTheStreamEndsItThere) {
  // Cut inside the globals, after the sheet directory: the sheets, empty.
  // Calc shows the same.
  EXPECT_EQ(loadedSheets("globals_cut.xls"), (Sheets{{"Data", 0}, {"Two", 0}}));
  // Cut before the sheet directory: nothing is left, and an empty book
  // would say the workbook holds no cells.
  xl::Book book;
  EXPECT_FALSE(book.load(path("globals_cut_before_sheets.xls")));
  EXPECT_EQ(book.error(), xl::LoadCause::DamagedRecordOverrun);
  // A globals record whose length runs past the end, the sheets intact
  // where the sheet directory says they are: every cell. Calc stops at the
  // damaged record and shows both sheets empty.
  EXPECT_EQ(loadedSheets("globals_record_past_end.xls"), (Sheets{{"Data", 400}, {"Two", 400}}));
  // The same in the first sheet: its cells before the damaged record, and
  // the next sheet whole. Calc also shows the damaged LABEL (its text lies
  // within the bytes there are) and nothing of the second sheet.
  EXPECT_EQ(loadedSheets("sheet_record_past_end.xls"), (Sheets{{"Data", 100}, {"Two", 400}}));
}

TEST_F(Salvage, AStreamWhoseLastRecordIsCutKeepsTheCellsBefore) {
  EXPECT_TRUE(gsfReadsWorkbook(path("records_cut_short.xls")));
  EXPECT_EQ(loadedRows("records_cut_short.xls"), 399u);
}

TEST_F(Salvage, NothingToSalvageKeepsTheFailureText) {
  xl::Book book;
  EXPECT_FALSE(book.load(path("no_directory.xls")));
  EXPECT_EQ(book.error(), xl::LoadCause::DamagedOle2);
  EXPECT_TRUE(book.sheets.empty());
}

TEST_F(Salvage, TheFallbackReadsAGoodContainerAsLibgsfDoes) {
  std::vector<uint8_t> good = readFile(path("good.xls"));
  std::vector<uint8_t> mine;
  ASSERT_TRUE(xl::ole2::salvageWorkbookStream(good.data(), good.size(), mine));
  std::vector<uint8_t> cut = readFile(path("records_cut_short.xls"));
  std::vector<uint8_t> shorter;
  ASSERT_TRUE(xl::ole2::salvageWorkbookStream(cut.data(), cut.size(), shorter));
  // The same stream, the second without its last 7 bytes: sizes come from
  // the directory, not from the sectors' padding.
  ASSERT_EQ(shorter.size() + 7, mine.size());
  EXPECT_TRUE(std::equal(shorter.begin(), shorter.end(), mine.begin()));
  EXPECT_EQ(mine[0], 0x09);  // the BOF record
  EXPECT_EQ(mine[1], 0x08);
}

TEST_F(Salvage, MutatedContainersStayInsideTheFile) {
  // Random damage to every fixture: the fallback never crashes, never gives
  // more than the file holds, and a load always ends in a book or a text.
  std::mt19937 rng(20261209);
  for (const char* name : {"good.xls", "mini_fat_loop.xls", "fat_loop.xls", "cut_last_sector.xls"}) {
    const std::vector<uint8_t> original = readFile(path(name));
    for (int round = 0; round < 400; ++round) {
      std::vector<uint8_t> d = original;
      const int edits = 1 + static_cast<int>(rng() % 6);
      for (int e = 0; e < edits; ++e) {
        // Most damage where the structure is: the header and the FAT and
        // directory sectors at the front.
        size_t pos = rng() % (rng() % 2 ? std::min<size_t>(d.size(), 1536) : d.size());
        switch (rng() % 3) {
          case 0: d[pos] = static_cast<uint8_t>(rng()); break;
          case 1: d[pos] = 0xFF; break;
          default: d.resize(std::max<size_t>(pos, 512)); break;
        }
      }
      std::vector<uint8_t> stream;
      if (xl::ole2::salvageWorkbookStream(d.data(), d.size(), stream)) {
        EXPECT_LE(stream.size(), d.size());
      }
      const std::string mutated = dir_ + "/mutated.xls";
      std::ofstream(mutated, std::ios::binary | std::ios::trunc)
          .write(reinterpret_cast<const char*>(d.data()), static_cast<std::streamsize>(d.size()));
      xl::Book book;
      if (!book.load(mutated)) {
        EXPECT_FALSE(book.error().empty());
      }
    }
  }
}

}  // namespace
