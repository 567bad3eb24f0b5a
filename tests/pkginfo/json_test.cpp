// pkginfo's JSON text: escaping of whatever bytes a package file holds, and the
// writer's structure.

#include <gtest/gtest.h>

#include "json.h"
#include "pkginfo_test_support.h"
#include "rtl/sysutils.h"

namespace {

using pkginfo::JsonQuote;
using pkginfo::JsonWriter;

struct QuoteCase {
  const char* what;
  std::string in;
  std::string out;
};

class JsonQuoteTest : public testing::TestWithParam<QuoteCase> {};

TEST_P(JsonQuoteTest, EscapesExactlyWhatJsonRequires) {
  const QuoteCase& c = GetParam();
  EXPECT_EQ(c.out, JsonQuote(c.in)) << c.what;
  // Whatever went in, what comes out is a JSON string a strict reader accepts.
  EXPECT_NO_THROW(pktest::ParseJson(JsonQuote(c.in))) << c.what << ": output must parse";
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, JsonQuoteTest,
    testing::Values(
        QuoteCase{"plain ASCII passes", "TForm1", "\"TForm1\""},
        QuoteCase{"empty text", "", "\"\""},
        QuoteCase{"quote and backslash are escaped", "a\"b\\c", "\"a\\\"b\\\\c\""},
        QuoteCase{"the mangled name keeps @ and $", "@Stdreg@Register$qqrv",
                  "\"@Stdreg@Register$qqrv\""},
        QuoteCase{"short escapes for the common controls", "\n\r\t\b\f", "\"\\n\\r\\t\\b\\f\""},
        QuoteCase{"other controls as \\u00XX", std::string("\x01\x1f", 2) + std::string(1, '\0'),
                  "\"\\u0001\\u001f\\u0000\""},
        QuoteCase{"DEL is no control in JSON", "\x7f", "\"\x7f\""},
        QuoteCase{"UTF-8 passes through", "Пакет ✓ 😀", "\"Пакет ✓ 😀\""},
        QuoteCase{"a stray continuation byte", "a\x80z", "\"a\\ufffdz\""},
        QuoteCase{"a lone lead byte at the end", "a\xd0", "\"a\\ufffd\""},
        QuoteCase{"a lead byte followed by ASCII", "\xd0z", "\"\\ufffdz\""},
        QuoteCase{"an overlong slash", "\xc0\xaf", "\"\\ufffd\\ufffd\""},
        QuoteCase{"an overlong three-byte form", "\xe0\x80\xaf", "\"\\ufffd\\ufffd\\ufffd\""},
        QuoteCase{"a UTF-16 surrogate encoded as UTF-8", "\xed\xa0\x80",
                  "\"\\ufffd\\ufffd\\ufffd\""},
        QuoteCase{"past U+10FFFF", "\xf4\x90\x80\x80", "\"\\ufffd\\ufffd\\ufffd\\ufffd\""},
        QuoteCase{"Windows-1251 text is not UTF-8", "\xcf\xe0\xea\xe5\xf2",
                  "\"\\ufffd\\ufffd\\ufffd\\ufffd\\ufffd\""}),
    [](const testing::TestParamInfo<QuoteCase>& info) {
      return "Case" + std::to_string(info.index);
    });

TEST(JsonWriter, NestedValuesReadBackAsWritten) {
  JsonWriter json;
  json.BeginObject()
      .Key("name")
      .String("stdreg")
      .Key("flags")
      .Number(-3)
      .Key("empty")
      .BeginArray()
      .EndArray()
      .Key("units")
      .StringArray({"A", "B"})
      .Key("nested")
      .BeginArray()
      .BeginObject()
      .EndObject()
      .Null()
      .Bool(false)
      .EndArray()
      .EndObject();
  const pktest::Json v = pktest::ParseJson(json.Text());
  EXPECT_EQ("stdreg", v["name"].string) << "a string member";
  EXPECT_EQ(-3, v["flags"].number) << "a negative number";
  EXPECT_TRUE(v["empty"].array.empty()) << "an empty array";
  EXPECT_EQ((std::vector<std::string>{"A", "B"}), v["units"].Strings())
      << "a string array in order";
  ASSERT_EQ(3u, v["nested"].array.size()) << "three values in the nested array";
  EXPECT_EQ(pktest::Json::Kind::Object, v["nested"].array[0].kind);
  EXPECT_EQ(pktest::Json::Kind::Null, v["nested"].array[1].kind);
  EXPECT_EQ(pktest::Json::Kind::Bool, v["nested"].array[2].kind);
  EXPECT_EQ(5u, v.object.size()) << "no member lost or repeated: " << json.Text();
}

TEST(JsonWriter, MisuseRaisesInsteadOfWritingBrokenText) {
  const auto raises = [](const char* what, auto&& steps) {
    JsonWriter json;
    EXPECT_THROW(steps(json), rtl::Exception) << what;
  };
  raises("a value in an object without a key", [](JsonWriter& j) { j.BeginObject().String("x"); });
  raises("two keys in a row", [](JsonWriter& j) { j.BeginObject().Key("a").Key("b"); });
  raises("a key in an array", [](JsonWriter& j) { j.BeginArray().Key("a"); });
  raises("closing an array as an object", [](JsonWriter& j) { j.BeginArray().EndObject(); });
  raises("closing an object whose last key has no value",
         [](JsonWriter& j) { j.BeginObject().Key("a").EndObject(); });
  raises("a second top-level value", [](JsonWriter& j) { j.Number(1).Number(2); });
  raises("asking for the text of an open object",
         [](JsonWriter& j) { (void)j.BeginObject().Text(); });
}

}  // namespace
