// pkginfo's JSON lines: whatever bytes a package file or a failure puts into them,
// each line is one object a strict reader accepts, reading back as the text with
// U+FFFD where the bytes were not UTF-8.

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
  const char* pointer;  // where the text lands in the object
};

rtl::detail::ElfPackageInfo Package(const std::string& description) {
  rtl::detail::ElfPackageInfo info;
  info.hasRecord = true;
  info.record.name = "oddpkg";
  info.record.description = description;
  info.record.units = {"OddUnit"};
  info.record.exports = {{"@OddUnit@Register$qqrv", "rtl_unit_register_OddUnit"},
                         {description, "odd_export"}};
  return info;
}

pkginfo::CheckReport Check(const std::string& text) {
  pkginfo::CheckReport report;
  report.file = "/tmp/libodd.so";
  report.package = "odd";
  pkginfo::Resolution missing;
  missing.name = "pkgodd";
  missing.neededBy = report.file;
  missing.problem = "required package pkgodd not found";
  missing.looked = {text};
  report.packages.emplace().push_back(missing);
  report.symbols.emplace().push_back({text, "", report.file});
  return report;
}

pkginfo::RegistrationRun Registration(const std::string& text) {
  pkginfo::RegistrationRun run;
  run.file = "/tmp/libodd.so";
  run.package = "odd";
  run.procedures.push_back({"@OddUnit@Register$qqrv", {{text, {"TOdd"}}}, text});
  return run;
}

const OddCase kOddCases[] = {
    {"a description", [](const std::string& t) { return pkginfo::InfoJson("f", Package(t)); },
     "/description"},
    {"an export's name", [](const std::string& t) { return pkginfo::InfoJson("f", Package(t)); },
     "/otherExports/0/name"},
    {"the name of a file that cannot be read",
     [](const std::string& t) { return pkginfo::ErrorJson(t, "cannot open"); }, "/file"},
    {"a reading error", [](const std::string& t) { return pkginfo::ErrorJson("f", t); }, "/error"},
    {"a place the check looked", [](const std::string& t) { return pkginfo::CheckJson(Check(t)); },
     "/requiredPackages/0/looked/0"},
    {"an unresolved symbol", [](const std::string& t) { return pkginfo::CheckJson(Check(t)); },
     "/unresolvedSymbols/0/symbol"},
    {"a palette page",
     [](const std::string& t) { return pkginfo::RegistrationJson(Registration(t)); },
     "/procedures/0/registrations/0/page"},
    {"a procedure's exception message",
     [](const std::string& t) { return pkginfo::RegistrationJson(Registration(t)); },
     "/procedures/0/error"},
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
    EXPECT_EQ(kOddRead, v.at(where).get<std::string>())
        << c.what << ": reads back as written, U+FFFD for the invalid bytes";
  }
}

TEST(JsonOutput, AProblemOfTheCheckNamesTheSymbolReadBack) {
  // The check's own sentence around a package's text keeps the text's replacement.
  const Json v = pktest::ParseJson(pkginfo::CheckJson(Check("sym\xff")));
  EXPECT_EQ("/tmp/libodd.so: undefined symbol: sym\uFFFD",
            v.at("problems").at(1).get<std::string>());
  EXPECT_FALSE(v.at("ok").get<bool>()) << "a missing package and a symbol fail the check";
}

// Readers that go by position, and people, see the keys in the order the tool
// has always written them.
TEST(JsonOutput, KeysKeepTheirOrder) {
  const auto keys = [](const std::string& line) {
    const nlohmann::ordered_json object = nlohmann::ordered_json::parse(line);
    std::vector<std::string> out;
    for (const auto& item : object.items()) out.push_back(item.key());
    return out;
  };
  using Keys = std::vector<std::string>;
  EXPECT_EQ((Keys{"file", "packageInformation", "package", "description", "flags", "requires",
                  "contains", "buildArtifact", "registrationProcedures", "otherExports"}),
            keys(pkginfo::InfoJson("f", Package("d"))))
      << "package information";
  pkginfo::CheckReport unreadable;
  unreadable.file = "f";
  unreadable.problem = "f: not an ELF file (bad magic)";
  EXPECT_EQ((Keys{"file", "error", "requiredPackages", "neededLibraries", "unresolvedSymbols",
                  "problems", "ok"}),
            keys(pkginfo::CheckJson(unreadable)))
      << "a check of a file that is no package";
  EXPECT_EQ((Keys{"file", "package", "procedures", "ok"}),
            keys(pkginfo::RegistrationJson(Registration("p"))))
      << "a registration run";
}

TEST(JsonOutput, RegistrationProceduresAreToldFromOtherExports) {
  const Json v = pktest::ParseJson(pkginfo::InfoJson("f", Package("plain_function")));
  EXPECT_EQ(Json::parse(R"([{"name":"@OddUnit@Register$qqrv",)"
                        R"("symbol":"rtl_unit_register_OddUnit"}])"),
            v.at("registrationProcedures"))
      << "the unit's procedure is a registration procedure";
  EXPECT_EQ(Json::parse(R"([{"name":"plain_function","symbol":"odd_export"}])"),
            v.at("otherExports"))
      << "an ordinary function is not";
}

}  // namespace
