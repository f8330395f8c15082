#include <gtest/gtest.h>

#include "TarvelCore/Platform/Coding.hpp"
#include "TarvelCore/Platform/Date.hpp"

namespace tarvel {
namespace {

TEST(Coding, NestingBeyondTheLimitFailsWithoutRecursion) {
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  auto parsed = Coding::parse(deep);
  ASSERT_FALSE(parsed);
  EXPECT_EQ(parsed.error().kind, DecodingError::Kind::dataCorrupted);
  const std::string limit = std::string(512, '[') + std::string(512, ']');
  EXPECT_TRUE(Coding::parse(limit));
  const std::string over = std::string(513, '{');
  EXPECT_FALSE(Coding::parse(over));
  // Brackets inside strings do not count.
  EXPECT_TRUE(Coding::parse("[\"" + std::string(2000, '[') + "\"]"));
}

TEST(Coding, InvalidUTF8FailsDecodingAndNeverReachesTheWire) {
  EXPECT_FALSE(Coding::parse("\"\xC3\x28\""));
  EXPECT_FALSE(Coding::parse("{\"a\":\"\xFF\"}"));
  const std::string encoded =
      Coding::encode(Json(std::string("a\xFF"
                                      "b")));
  EXPECT_EQ(encoded,
            "\"a\xEF\xBF\xBD"
            "b\"");
}

TEST(Coding, EncoderSortsKeysAndLeavesSlashes) {
  Json value = {{"b", 1}, {"a", {{"d", "x/y"}, {"c", true}}}};
  EXPECT_EQ(Coding::encode(value), R"({"a":{"c":true,"d":"x/y"},"b":1})");
}

TEST(Dates, ISO8601FormsAndLimits) {
  struct Case {
    const char* text;
    const char* expected;  // nullptr: rejected
  };
  const Case cases[] = {
      {"2026-12-07T11:47:08Z", "2026-12-07T11:47:08.000Z"},
      {"2026-12-07T11:47:08.123Z", "2026-12-07T11:47:08.123Z"},
      {"2026-12-07T11:47:08.123456Z", "2026-12-07T11:47:08.123Z"},
      {"2026-12-07T13:47:08+02:00", "2026-12-07T11:47:08.000Z"},
      {"0001-01-01T00:00:00Z", "0001-01-01T00:00:00.000Z"},
      {"9999-12-31T23:59:59.999Z", "9999-12-31T23:59:59.999Z"},
      {"2026-12-07 11:47:08Z", nullptr},
      {"2026-12-07T11:47:08", nullptr},
      {"2026-02-30T11:47:08Z", nullptr},
      {"2026-12-07T11:47:08.Z", nullptr},
      {"", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const auto date = Dates::parseISO8601(c.text);
    if (c.expected == nullptr) {
      EXPECT_FALSE(date.has_value());
    } else {
      ASSERT_TRUE(date.has_value());
      EXPECT_EQ(Dates::iso8601(*date), c.expected);
    }
  }
  EXPECT_EQ(Dates::iso8601(Dates::fromSecondsSince1970(-0.0005)), "1969-12-31T23:59:59.999Z");
  EXPECT_FALSE(Dates::isWritable(Dates::fromSecondsSince1970(1e14)));
  EXPECT_TRUE(Dates::isWritable(Dates::fromSecondsSince1970(1.7e9)));
}

}  // namespace
}  // namespace tarvel
