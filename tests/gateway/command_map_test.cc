// Parsing of parameter names and defaults, and the binding of argument texts
// by position and by name.
#include "gateway/command_map.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace gateway {
namespace {

// A writable copy of a text, as the request cycle hands texts to the binders.
struct Text {
  explicit Text(const std::string& text) : bytes(text.begin(), text.end()) { bytes.push_back(0); }
  char* get() { return bytes.data(); }
  std::vector<char> bytes;
};

const unsigned char kSixTexts[] = {ArgText, ArgText, ArgText, ArgText, ArgText, ArgText, 0};
constexpr char kDoCommandNames[] = "Logon= Command= P1= P2= P3= Token=";

TEST(CountParamNamesTest, CountsNamesAndRejectsBadTexts) {
  const struct {
    const char* text;
    int result;
    int count;
  } cases[] = {
      {"Logon= Command= P1= P2= P3= Token=", ResultOk, 6},
      {"a b\tc", ResultOk, 3},
      {"a&b", ResultOk, 2},
      {"a='x y' b", ResultOk, 2},
      {"", ResultNoParamNames, 0},
      {"   ", ResultNoParamNames, 0},
      {"'a", ResultUnbalancedQuote, 0},
      {"a='open", ResultUnbalancedQuote, 1},
  };
  for (const auto& c : cases) {
    int count = -1;
    EXPECT_EQ(CountParamNames(c.text, '&', &count), c.result) << c.text;
    if (c.result != ResultUnbalancedQuote || c.count != 0) {
      EXPECT_EQ(count, c.count) << c.text;
    }
  }
}

TEST(ParseParamNamesTest, CutsNamesAndDefaults) {
  const unsigned char types[] = {ArgText, ArgLong, ArgText, 0};
  std::unique_ptr<ParamInfo> info;
  ASSERT_EQ(ParseParamNames("first=x second third='a b'", 3, types, '&', &info), ResultBadArgument)
      << "a required parameter after one with a default";
  ASSERT_EQ(ParseParamNames("first second=42 third='a b'", 3, types, '&', &info), ResultOk);
  EXPECT_EQ(info->required_count, 1) << "a required parameter before the defaults is fine";
  ASSERT_EQ(ParseParamNames("first= second=42 third='a b%41'", 3, types, '&', &info), ResultOk);
  ASSERT_EQ(info->names.size(), 3u);
  EXPECT_STREQ(info->names[0], "first");
  EXPECT_STREQ(info->names[2], "third");
  EXPECT_STREQ(info->default_values[0].text, "");
  EXPECT_EQ(info->default_values[1].long_value, 42);
  EXPECT_STREQ(info->default_values[2].text, "a bA") << "quoted default keeps blanks, decoded";
  EXPECT_EQ(info->required_count, 0);

  ASSERT_EQ(ParseParamNames("a b", 2, types + 1, '&', &info), ResultOk);
  EXPECT_EQ(info->required_count, 2);
}

TEST(ParseParamNamesTest, RefusesMalformedTexts) {
  const struct {
    const char* text;
    int types;
    int result;
  } cases[] = {
      {"", 1, ResultNoParamNames},         {"a= b=", 3, ResultBadArgCount},
      {"a=x b", 2, ResultBadArgument},     {"a=x b=", 2, ResultOk},
      {"a b'c", 2, ResultUnbalancedQuote}, {"=a", 1, ResultUnbalancedQuote},
  };
  for (const auto& c : cases) {
    std::unique_ptr<ParamInfo> info;
    EXPECT_EQ(ParseParamNames(c.text, c.types, kSixTexts, '&', &info), c.result) << c.text;
    EXPECT_EQ(info == nullptr, c.result != ResultOk) << "only a good build is kept: " << c.text;
  }
}

class BindNamedTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(ParseParamNames(kDoCommandNames, 6, kSixTexts, '&', &info_), ResultOk);
  }
  // The six texts bound from `arguments`, or the failing result code.
  std::vector<std::string> Bind(const std::string& arguments, int* result) {
    Text text(arguments);
    ArgumentList bound;
    *result = BindNamedArguments(kSixTexts, arguments.empty() ? nullptr : text.get(), '&', *info_,
                                 &bound);
    std::vector<std::string> texts;
    for (const ArgValue& value : bound) texts.emplace_back(value.text);
    return texts;
  }
  std::unique_ptr<ParamInfo> info_;
};

TEST_F(BindNamedTest, BindsByNameAndPositionWithEmptyDefaults) {
  const struct {
    const char* arguments;
    std::vector<std::string> texts;
  } cases[] = {
      {"Logon=joe&Command=list&P1=&P2=&P3=&Token=", {"joe", "list", "", "", "", ""}},
      {"logon=joe&command=list&p1=12", {"joe", "list", "12", "", "", ""}},
      {"joe&list", {"joe", "list", "", "", "", ""}},
      {"", {"", "", "", "", "", ""}},
      {"joe&Command=a%20b", {"joe", "a b", "", "", "", ""}},
      {"&&Logon=x&&", {"x", "", "", "", "", ""}},
      {"P3=c&Logon=a", {"a", "", "", "", "c", ""}},
      {"a&b&c&d&e&f", {"a", "b", "c", "d", "e", "f"}},
      {"a&b&c&d&e&f&", {"a", "b", "c", "d", "e", "f"}},
  };
  for (const auto& c : cases) {
    int result = -1;
    EXPECT_EQ(Bind(c.arguments, &result), c.texts) << c.arguments;
    EXPECT_EQ(result, ResultOk) << c.arguments;
  }
}

TEST_F(BindNamedTest, RefusesWhatCannotBeBound) {
  const struct {
    const char* arguments;
    int result;
  } cases[] = {
      {"Logon=a&Logon=b", ResultBadArgument}, {"Logon=a&Colour=b", ResultBadArgument},
      {"Logon=a&joe", ResultBadArgument},     {"joe&Logon=a", ResultBadArgument},
      {"a&b&c&d&e&f&g", ResultBadArgCount},   {"a&b&c&d&e&f&&", ResultBadArgCount},
  };
  for (const auto& c : cases) {
    int result = -1;
    Bind(c.arguments, &result);
    EXPECT_EQ(result, c.result) << c.arguments;
  }
}

TEST(BindNamedArgumentsTest, RegressionPositionalValueTakesItsOwnParametersType) {
  // After a named argument a positional one goes to the first parameter not
  // yet bound by position, and is converted by that parameter's type, not
  // by the type of the place it holds in the text.
  const unsigned char types[] = {ArgText, ArgLong, ArgDouble, 0};
  std::unique_ptr<ParamInfo> info;
  ASSERT_EQ(ParseParamNames("Name= Count=0 Ratio=0.5", 3, types, '&', &info), ResultOk);
  const struct {
    const char* arguments;
    const char* name;
    std::int32_t count;
    double ratio;
  } cases[] = {
      {"Count=7&joe", "joe", 7, 0.5},
      {"Ratio=2.5&joe&9", "joe", 9, 2.5},
      {"joe&9&1.25", "joe", 9, 1.25},
  };
  for (const auto& c : cases) {
    Text text(c.arguments);
    ArgumentList bound;
    ASSERT_EQ(BindNamedArguments(types, text.get(), '&', *info, &bound), ResultOk) << c.arguments;
    ASSERT_EQ(bound.size(), 3u) << c.arguments;
    EXPECT_STREQ(bound[0].text, c.name) << c.arguments;
    EXPECT_EQ(bound[1].long_value, c.count) << c.arguments;
    EXPECT_DOUBLE_EQ(bound[2].double_value, c.ratio) << c.arguments;
  }
}

TEST(BindNamedArgumentsTest, RegressionHandlerWritingIntoADefaultChangesNoOtherRequest) {
  // Handlers cut and trim their texts in place; a default text is the
  // request's own copy, so the next request still gets the default.
  const unsigned char types[] = {ArgText, ArgText, 0};
  std::unique_ptr<ParamInfo> info;
  ASSERT_EQ(ParseParamNames("Logon=guest Where=%20home", 2, types, '&', &info), ResultOk);
  for (const char* arguments : {"", "Logon=&Where=", "Logon=anna"}) {
    Text text(arguments);
    ArgumentList first;
    ASSERT_EQ(BindNamedArguments(types, text.get(), '&', *info, &first), ResultOk);
    ASSERT_STREQ(first[1].text, " home") << arguments;
    first[1].text[0] = '\0';  // a handler that cuts its argument
    if (std::string(first[0].text) == "guest") first[0].text[0] = 'X';
    ArgumentList second;
    Text again(arguments);
    ASSERT_EQ(BindNamedArguments(types, again.get(), '&', *info, &second), ResultOk);
    EXPECT_STREQ(second[1].text, " home") << arguments;
    EXPECT_STREQ(info->default_texts[1], " home") << arguments;
    EXPECT_STREQ(info->default_texts[0], "guest") << arguments;
  }
}

TEST(BindArgumentsTest, ConvertsEachTypeCodeInOrder) {
  const unsigned char types[] = {ArgShort, ArgLong, ArgFloat, ArgDouble, ArgText, 0};
  Text text("70000&-12abc&1.5&2.25&x%2By");
  ArgumentList bound;
  ASSERT_EQ(BindArguments(types, text.get(), '&', 0, &bound), ResultOk);
  ASSERT_EQ(bound.size(), 5u);
  EXPECT_EQ(bound[0].short_value, 70000u & 0xFFFFu);
  EXPECT_EQ(bound[1].long_value, -12);
  EXPECT_FLOAT_EQ(bound[2].float_value, 1.5f);
  EXPECT_DOUBLE_EQ(bound[3].double_value, 2.25);
  EXPECT_STREQ(bound[4].text, "x+y");
}

TEST(BindArgumentsTest, CountsAndPlacesArguments) {
  const unsigned char none[] = {ArgNone, 0};
  const unsigned char raw[] = {ArgRaw, 0};
  const unsigned char raw_second[] = {ArgText, ArgRaw, 0};
  const unsigned char two[] = {ArgText, ArgText, 0};
  const struct {
    const unsigned char* types;
    const char* arguments;  // null: no argument text
    int result;
  } cases[] = {
      {none, nullptr, ResultOk},
      {none, "x", ResultBadArgCount},
      {raw, nullptr, ResultBadArgCount},
      {raw, "a&b&c", ResultOk},
      {raw_second, "a&b", ResultBadArgument},
      {two, "a", ResultBadArgCount},
      {two, "a&b&c", ResultBadArgCount},
      {two, "a&b", ResultOk},
  };
  for (const auto& c : cases) {
    Text text(c.arguments != nullptr ? c.arguments : "");
    ArgumentList bound;
    EXPECT_EQ(BindArguments(c.types, c.arguments != nullptr ? text.get() : nullptr, '&', 5, &bound),
              c.result)
        << (c.arguments ? c.arguments : "(none)");
  }
}

TEST(BindArgumentsTest, RawArgumentIsTheWholeTextAndItsCount) {
  const unsigned char raw[] = {ArgRaw, 0};
  Text text("a&b=c");
  ArgumentList bound;
  ASSERT_EQ(BindArguments(raw, text.get(), '&', 5, &bound), ResultOk);
  ASSERT_EQ(bound.size(), 1u);
  EXPECT_EQ(bound[0].text, text.get());
  EXPECT_EQ(bound[0].raw_count, 5u);
  EXPECT_STREQ(bound[0].text, "a&b=c") << "a raw text is neither split nor decoded";
}

TEST(ConvertArgumentTest, NumbersSaturateInsteadOfOverflowing) {
  Text huge("99999999999999999999");
  EXPECT_EQ(ConvertArgument(ArgLong, huge.get()).long_value, INT32_MAX);
  Text blank("  -7x");
  EXPECT_EQ(ConvertArgument(ArgLong, blank.get()).long_value, -7);
  Text none("abc");
  EXPECT_EQ(ConvertArgument(ArgShort, none.get()).short_value, 0u);
  Text large_float("1e300");
  EXPECT_TRUE(std::isinf(ConvertArgument(ArgFloat, large_float.get()).float_value));
}

}  // namespace
}  // namespace gateway
