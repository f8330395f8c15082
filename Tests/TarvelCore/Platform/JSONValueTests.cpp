#include <gtest/gtest.h>

#include "TarvelCore/Platform/JSONValue.hpp"

namespace tarvel {
namespace {

JSONValue parsed(std::string_view text) {
  auto json = Coding::parse(text);
  if (!json) {
    ADD_FAILURE() << "not JSON: " << text;
    return {};
  }
  return JSONValue::fromJSON(*json).value();
}

TEST(JSONValue, DecodesEachKindAsItsCase) {
  struct Case {
    const char* text;
    JSONValue expected;
  };
  const Case cases[] = {
      {"null", JSONValue::null()},
      {"true", JSONValue::boolean(true)},
      {"1", JSONValue::number(1.0)},
      {"-2.5e3", JSONValue::number(-2500)},
      {"18446744073709551615", JSONValue::number(18446744073709551615.0)},
      {"\"1\"", JSONValue::string("1")},
      {"\"\\u00e4\"", JSONValue::string("\xC3\xA4")},
      {"{\"a\":[null,{}]}",
       JSONValue::object({{"a", JSONValue::array({JSONValue::null(), JSONValue::object({})})}})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const JSONValue value = parsed(c.text);
    EXPECT_EQ(value, c.expected);
    EXPECT_EQ(value.kind(), c.expected.kind());
  }
  const auto binary = JSONValue::fromJSON(Json::binary({1, 2}));
  ASSERT_FALSE(binary);
  EXPECT_EQ(binary.error().description, "Unsupported JSON value");
}

TEST(JSONValue, AccessorsAreAbsentForOtherCases) {
  const JSONValue object = parsed(R"({"s":"text","b":false,"n":3,"a":[1]})");
  EXPECT_EQ(*object["s"]->stringValue(), "text");
  EXPECT_EQ(object["b"]->boolValue(), false);
  EXPECT_EQ(object["n"]->numberValue(), 3.0);
  EXPECT_EQ(object["a"]->arrayValue()->size(), 1u);
  EXPECT_EQ(object["missing"], nullptr);
  EXPECT_EQ(object["s"]->boolValue(), std::nullopt);
  EXPECT_EQ(object["n"]->stringValue(), nullptr);
  EXPECT_EQ(object.arrayValue(), nullptr);
  EXPECT_EQ(JSONValue::null()["key"], nullptr);
  EXPECT_EQ((*object["a"])["0"], nullptr);
  EXPECT_EQ(JSONValue::string("x").objectValue(), nullptr);
}

TEST(JSONValue, EncodesWholeNumbersAsIntegersAndRoundTrips) {
  const JSONValue value = JSONValue::object({
      {"whole", JSONValue::number(1.0)},
      {"fraction", JSONValue::number(1.5)},
      {"huge", JSONValue::number(1e300)},
      {"notFinite", JSONValue::number(std::numeric_limits<double>::infinity())},
      {"list", JSONValue::array({JSONValue::boolean(true), JSONValue::string("a/b")})},
  });
  const std::string text = Coding::encode(toJSON(value));
  EXPECT_EQ(text,
            R"({"fraction":1.5,"huge":1e+300,"list":[true,"a/b"],"notFinite":null,"whole":1})");
  EXPECT_EQ(parsed(text)["whole"]->numberValue(), 1.0);
  EXPECT_EQ(decodeJSONText<JSONValue>(R"({"k":[1,"2",null]})").value(),
            parsed(R"({"k":[1,"2",null]})"));
}

TEST(JSONValue, EqualityAndHashing) {
  const JSONValue a = parsed(R"({"x":[1,2,{"y":"z"}],"w":null})");
  const JSONValue b = parsed(R"({"w":null,"x":[1,2,{"y":"z"}]})");
  EXPECT_EQ(a, b);
  EXPECT_EQ(std::hash<JSONValue>{}(a), std::hash<JSONValue>{}(b));
  const JSONValue different[] = {
      parsed(R"({"x":[1,2,{"y":"Z"}],"w":null})"), parsed(R"({"x":[1,2],"w":null})"),
      parsed(R"({"x":[1,2,{"y":"z"}],"v":null})"), parsed(R"({"x":[2,1,{"y":"z"}],"w":null})"),
      parsed(R"([{"x":[1,2,{"y":"z"}],"w":null}])")};
  for (const JSONValue& other : different) {
    EXPECT_NE(a, other);
    EXPECT_NE(std::hash<JSONValue>{}(a), std::hash<JSONValue>{}(other));
  }
  // Same payload bits, different case.
  EXPECT_NE(JSONValue::number(1), JSONValue::boolean(true));
  EXPECT_NE(JSONValue::string(""), JSONValue::null());
  EXPECT_NE(JSONValue::array({}), JSONValue::object({}));
  EXPECT_NE(std::hash<JSONValue>{}(JSONValue::array({})),
            std::hash<JSONValue>{}(JSONValue::object({})));
  // Equal numbers hash alike.
  EXPECT_EQ(JSONValue::number(0.0), JSONValue::number(-0.0));
  EXPECT_EQ(std::hash<JSONValue>{}(JSONValue::number(0.0)),
            std::hash<JSONValue>{}(JSONValue::number(-0.0)));
  EXPECT_NE(JSONValue::number(std::nan("")), JSONValue::number(std::nan("")));
}

// Far deeper than the thread's stack could take if any walk recursed.
constexpr std::size_t deepLevels = 400000;

JSONValue deepArray(std::size_t levels, JSONValue leaf) {
  JSONValue value = std::move(leaf);
  for (std::size_t i = 0; i < levels; ++i) {
    JSONValue::Array wrapper;
    wrapper.push_back(std::move(value));
    value = JSONValue::array(std::move(wrapper));
  }
  return value;
}

TEST(JSONValue, DeepValuesAreCopiedComparedHashedAndDestroyedWithoutRecursion) {
  JSONValue deep = deepArray(deepLevels, JSONValue::string("leaf"));
  const JSONValue copy = deep;  // NOLINT(performance-unnecessary-copy-initialization)
  EXPECT_EQ(copy, deep);
  EXPECT_EQ(std::hash<JSONValue>{}(copy), std::hash<JSONValue>{}(deep));
  const JSONValue other = deepArray(deepLevels, JSONValue::string("leaf2"));
  EXPECT_NE(other, deep);

  // Walk down the copy: it is a separate, complete value.
  const JSONValue* cursor = &copy;
  std::size_t depth = 0;
  while (const JSONValue::Array* elements = cursor->arrayValue()) {
    cursor = &elements->front();
    ++depth;
  }
  EXPECT_EQ(depth, deepLevels);
  EXPECT_EQ(*cursor, JSONValue::string("leaf"));

  // Assignment over a deep value releases the old one without recursion, too.
  deep = JSONValue::number(1);
  EXPECT_EQ(deep, JSONValue::number(1));
  JSONValue moved = deepArray(deepLevels, JSONValue::null());
  moved = std::move(*moved.arrayValue()->data());  // a child of the value being replaced
  EXPECT_EQ(moved.kind(), JSONValue::Kind::array);
}

TEST(JSONValue, DeepConversionBothWaysDoesNotRecurse) {
  Json root = Json::array();
  Json* cursor = &root;
  for (std::size_t i = 0; i < deepLevels; ++i) {
    cursor->push_back(Json::object());
    cursor = &(*cursor)[0];
    (*cursor)["k"] = Json::array();
    cursor = &(*cursor)["k"];
  }
  const auto converted = JSONValue::fromJSON(root);
  ASSERT_TRUE(converted);
  const Json back = converted->toJSON();
  const Json* left = &root;
  const Json* right = &back;
  std::size_t levels = 0;
  while (!left->empty()) {
    ASSERT_EQ(left->type(), right->type());
    ASSERT_EQ(left->size(), right->size());
    left = left->is_array() ? &left->front() : &(*left)["k"];
    right = right->is_array() ? &right->front() : &(*right)["k"];
    ++levels;
  }
  EXPECT_TRUE(right->empty());
  EXPECT_EQ(levels, 2 * deepLevels);
}

}  // namespace
}  // namespace tarvel
