// The search's text rules: "contains" at character boundaries with ASCII
// letters folded, the relative path, column letters and labels.
#include <gtest/gtest.h>

#include <iterator>
#include <random>
#include <string>

#include "search/text_match.h"

namespace {

bool has(std::string_view needle, std::string_view text) { return TextMatcher(needle).contains(text); }

TEST(Matching, AsciiLettersFoldBothWaysNothingElse) {
  EXPECT_TRUE(has("abc", "xABCy"));
  EXPECT_TRUE(has("abc", "AbC"));
  EXPECT_TRUE(has("ABC", "xxabc"));
  EXPECT_TRUE(has("aBc", "zzzzzzzzzzzzzzzzzzzzzzabC"));
  EXPECT_FALSE(has("abc", "ab c"));
  EXPECT_FALSE(has("@", "`"));  // 0x40 and 0x60 are not letters
  EXPECT_FALSE(has("[", "{"));
  EXPECT_FALSE(has("é", "É"));        // no folding beyond ASCII
  EXPECT_FALSE(has("a", "ａ"));       // nor of full-width forms
  EXPECT_TRUE(has("Ab1-", "xaB1-y"));
}

TEST(Matching, EmptyCellsShortCellsAndBlanks) {
  EXPECT_FALSE(has("a", ""));
  EXPECT_FALSE(has("abc", "ab"));
  EXPECT_TRUE(has("abc", "abc"));
  EXPECT_TRUE(has("c", "abc"));  // at the very end
  EXPECT_TRUE(has(" ", "a b"));  // a blank search text is searched as typed
  EXPECT_FALSE(has(" ", "ab"));
  EXPECT_TRUE(has("  ", "x  "));
  EXPECT_FALSE(has("", "abc"));  // never called with an empty text, but no match
}

TEST(Matching, ChineseOnlyAtCharacterBoundaries) {
  EXPECT_TRUE(has("中文", "这是中文文本"));
  EXPECT_TRUE(has("文", "中文"));
  EXPECT_FALSE(has("中文", "中 文"));
  // "\xB8\xAD" are the last two bytes of 中 (E4 B8 AD): inside a character.
  EXPECT_FALSE(has("\xB8\xAD", "中"));
  EXPECT_FALSE(has("\xB8\xAD", "a中b"));
  // The same bytes standing alone are invalid, so each is a character.
  EXPECT_TRUE(has("\xB8\xAD", "a\xB8\xAD"));
  // A lead byte whose sequence is cut short is a character of its own, and
  // the ASCII byte after it is a boundary again.
  EXPECT_TRUE(has("ab", "\xE4" "ab"));
  EXPECT_TRUE(has("\xE4", "x\xE4"));
  EXPECT_TRUE(has("A中b", "xa中B"));
  EXPECT_FALSE(has("中", "\xE4\xB8"));
}

TEST(Matching, FirstLetterCaseVariantsFurtherOn) {
  // Candidates of both cases of the first byte, the real match late.
  EXPECT_TRUE(has("ab", "aAaAaAaAaAaAaAb"));
  EXPECT_TRUE(has("Ab", "AaAaAaAaAaAaAaAB"));
  EXPECT_FALSE(has("ab", "aAaAaAaAaAaAaAa"));
  EXPECT_TRUE(has("1ab", "11111111ab1aB"));
  // Texts are searched eight bytes at a time: a match at every offset of
  // texts of every length up to three words, and a half match at the end.
  for (size_t len = 2; len <= 24; ++len)
    for (size_t at = 0; at + 2 <= len; ++at) {
      std::string text(len, '[');  // '[' | 0x20 is '{', no letter
      text[at] = at % 2 ? 'Z' : 'z';
      text[at + 1] = at % 3 ? 'B' : 'b';
      EXPECT_TRUE(has("zB", text)) << text;
      text[at + 1] = 'z';
      EXPECT_FALSE(has("zB", text)) << text;
    }
}

// find() searches many texts laid side by side (a cached book's texts) by
// memchr on one byte of the needle: it must give every occurrence, the
// first at or after each position, for needles of letters only (both cases
// looked for), with other ASCII bytes, and with Chinese.
TEST(Matching, FindGivesTheNextOccurrenceFromEveryPosition) {
  std::mt19937 random(11);
  const char* const pieces[] = {"a", "B", "ab", "AB", "蓝", "鲸", "1", "-", "z", "Zebra", "\x05", "\xE8"};
  for (const char* needle : {"ab", "Ab", "zebra蓝鲸", "a-b", "蓝鲸", "1a", "b"}) {
    const TextMatcher matcher(needle);
    const std::string folded = [&] {
      std::string f(needle);
      for (char& c : f) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
      return f;
    }();
    for (int round = 0; round < 40; ++round) {
      std::string data;
      const int count = static_cast<int>(random() % 40);
      for (int i = 0; i < count; ++i) data += pieces[random() % std::size(pieces)];
      std::string lower = data;
      for (char& c : lower) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
      for (size_t from = 0; from <= data.size() + 1; ++from) {
        const size_t want = from > data.size() ? std::string::npos : lower.find(folded, from);
        EXPECT_EQ(matcher.find(data.data(), data.size(), from), want == std::string::npos ? data.size() : want)
            << needle << " in " << data << " from " << from;
      }
    }
  }
}

TEST(RelativePath, RemovesEveryOccurrenceFoldingAsciiCase) {
  EXPECT_EQ(relativePath("/data/sub/a.xls", "/data"), "/sub/a.xls");
  EXPECT_EQ(relativePath("/data/sub/a.xls", "/DATA/"), "sub/a.xls");
  EXPECT_EQ(relativePath("/Data/x.xls", "/dAtA"), "/x.xls");
  EXPECT_EQ(relativePath("/d/x/d/y.xls", "/d"), "/x/y.xls");
  EXPECT_EQ(relativePath("aaa", "aa"), "a");  // left to right, no overlap
  EXPECT_EQ(relativePath("/data/x.xls", ""), "/data/x.xls");
  EXPECT_EQ(relativePath("/文件/文.xls", "文"), "/件/.xls");
  EXPECT_EQ(relativePath("/中/a.xls", "\xAD"), "/中/a.xls");  // never inside a character
  EXPECT_EQ(relativePath("/a/b.xls", "/a/b.xls"), "");
}

TEST(Labels, ColumnLettersAreBijectiveBase26) {
  const std::pair<int, const char*> cases[] = {{1, "A"},   {26, "Z"},   {27, "AA"},  {50, "AX"},   {52, "AZ"},
                                               {53, "BA"}, {702, "ZZ"}, {703, "AAA"}, {16384, "XFD"}};
  for (auto [n, letters] : cases) EXPECT_EQ(columnLetters(n), letters) << n;
  EXPECT_EQ(cellReference(6, 2), "C7");
  EXPECT_EQ(cellReference(1048575, 16383), "XFD1048576");
  EXPECT_EQ(sheetLabel(2, "Sheet2"), "2 Sheet2");
  EXPECT_EQ(sheetLabel(10, "表 一"), "10 表 一");
}

}  // namespace
