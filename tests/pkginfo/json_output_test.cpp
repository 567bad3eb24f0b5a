// pkginfo's JSON lines: whatever bytes a package file or a failure puts into them,
// each line is one object a strict reader accepts, reading back as the text with
// U+FFFD where the bytes were not UTF-8. Every object is written out in one place,
// so a few fields stand for all (the run's tests place the others).

#include <gtest/gtest.h>

#include <functional>

#include "json_output.h"
#include "pkginfo_test_support.h"

namespace {

using Json = nlohmann::json;

// Every control character JSON must escape, quotes, a backslash, Cyrillic and
// more of Unicode, and between them bytes that are no UTF-8: a lone 0xFF, an
// overlong slash, a UTF-16 surrogate, a sequence cut short mid-text and at the end.
const std::string kOdd = std::string("a\x01\x1f\n\r\t\b\f") + std::string(1, '\0') +
                         "\x7f \"q\" \\ Пакет ✓ 😀 " + "\xff" + "|" + "\xc0\xaf" + "|" +
                         "\xed\xa0\x80" + "|" + "\xe2\x9c" + "z|" + "\xd0";
// One U+FFFD for each maximal piece of an invalid sequence, as Unicode recommends.
const std::string kOddRead = std::string("a\x01\x1f\n\r\t\b\f") + std::string(1, '\0') +
                             "\x7f \"q\" \\ Пакет ✓ 😀 \uFFFD|\uFFFD\uFFFD|"
                             "\uFFFD\uFFFD\uFFFD|\uFFFDz|\uFFFD";

struct OddCase {
  const char* what;
  std::function<std::string(const std::string&)> line;
  const char* pointer;      // where the text lands in the object
  std::string before = {};  // what the tool's own sentence puts before it
};

rtl::TPackageRecord Package(const std::string& description) {
  rtl::TPackageRecord record;
  record.name = "oddpkg";
  record.description = description;
  record.units = {"OddUnit"};
  record.exports = {{"@OddUnit@Register$qqrv", "rtl_unit_register_OddUnit"},
                    {description, "odd_export"}};
  return record;
}

pkginfo::CheckReport Check(const std::string& text) {
  pkginfo::CheckReport report;
  report.file = "/tmp/libodd.so";
  report.symbols.emplace().push_back({text, "", report.file});
  return report;
}

const OddCase kOddCases[] = {
    {"a description", [](const std::string& t) { return pkginfo::InfoJson("f", Package(t)); },
     "/description"},
    {"an export's name", [](const std::string& t) { return pkginfo::InfoJson("f", Package(t)); },
     "/otherExports/0/name"},
    {"the check's problem with a symbol",
     [](const std::string& t) { return pkginfo::CheckJson(Check(t)); }, "/problems/0",
     "/tmp/libodd.so: undefined symbol: "},
};

TEST(JsonOutput, AnyBytesComeOutAsOneLineThatReadsBack) {
  for (const OddCase& c : kOddCases) {
    const std::string line = c.line(kOdd);
    EXPECT_EQ(std::string::npos, line.find('\n'))
        << c.what << ": a raw line break would split the object over two lines";
    Json v;
    ASSERT_NO_THROW(v = pktest::ParseJson(line)) << c.what << ": the line must parse";
    const Json::json_pointer where(c.pointer);
    ASSERT_TRUE(v.contains(where)) << c.what << ": no " << c.pointer << " in " << line;
    EXPECT_EQ(c.before + kOddRead, v.at(where).get<std::string>())
        << c.what << ": reads back as written, U+FFFD for the invalid bytes";
  }
}

}  // namespace
