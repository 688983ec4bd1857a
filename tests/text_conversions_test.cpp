#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "shell/Exceptions.h"
#include "shell/TextConversions.h"

using namespace std::string_literals;

namespace {

constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();

// The value StrToInt read, or the message of its conversion error.
std::string Converted(const std::string& text) {
    try {
        return std::to_string(StrToInt(text));
    } catch (const EConvertError& error) {
        return error.Message();
    }
}

std::string Refused(const std::string& text) {
    return "'" + text + "' は整数ではありません";
}

}  // namespace

TEST(StrToIntTest, AcceptsBlanksSignsAndEveryHexPrefix) {
    const std::pair<std::int32_t, std::vector<std::string>> cases[] = {
        {12, {"12", " 12", "     +12", "$0C", "0x0c", "0X0C", "x0c", "X0C", "  $c", "0012"}},
        {-12, {"-12", "  -012"}},
        {0, {"0", "-0", "+0", "$0", "0x00000000"}},
        {31, {"x1F", "X1f", "$1f"}},
        {0xABCD, {"$aBcD", "0xabcd"}},
        {kMax, {"2147483647", "+0000000000002147483647", "$7FFFFFFF"}},
        {kMin, {"-2147483648", "$80000000"}},
        {-1, {"$FFFFFFFF", "0xffffffff", "-1"}},
        {1, {"$000000001", std::string(99999, '0') + "1"}},
        {-2, {"$00000000000000000000FFFFFFFE"}}};
    for (const auto& [value, texts] : cases) {
        for (const std::string& text : texts) {
            EXPECT_EQ(Converted(text).substr(0, 60), std::to_string(value)) << text.substr(0, 40);
        }
    }
}

TEST(StrToIntTest, RefusesEverythingElseNamingTheWholeText) {
    std::vector<std::string> refused = {
        "",           "   ",         "12 ",        "1 2",         "\t12",
        "12\n",       "-$0C",        "+$0C",       "$-1",         "1e2",
        "12.0",       "+",           "-",          "+-1",         "--1",
        "$",          "x",           "0x",         "0x 1",        "00x1",
        "0xG",        "$12345678 ",  "2147483648", "-2147483649", "99999999999999999999",
        "$100000000", "0x123456789", "１２",       "12\0"s,       "1\0002"s};
    refused.insert(refused.end(),
                   {"\0"s + "12", std::string(100000, '9'), std::string(100000, ' ') + "x"});
    for (const std::string& text : refused) {
        EXPECT_TRUE(Converted(text) == Refused(text)) << text.substr(0, 40);
    }
}

// Any bytes at all either convert or are refused with themselves in the message, and what
// IntToStr and IntToHex write reads back.
TEST(StrToIntTest, RandomTextsAndValues) {
    std::mt19937 random(20080);
    const std::string alphabet = " +-$xX0123456789abcdefABCDEFg\t\0\xEF\xBC\x91"s;
    for (int round = 0; round < 20000; ++round) {
        std::string text(random() % 16, ' ');
        for (char& c : text) {
            c = alphabet[random() % alphabet.size()];
        }
        try {
            StrToInt(text);
        } catch (const EConvertError& error) {
            EXPECT_EQ(error.Message(), Refused(text));
        }
        const auto value = static_cast<std::int32_t>(random());
        ASSERT_EQ(StrToInt(IntToStr(value)), value);
        ASSERT_EQ(StrToInt("$" + IntToHex(value, 8)), value);
        ASSERT_EQ(StrToInt("0x" + IntToHex(value, 1)), value);
    }
}

TEST(IntToTextTest, PlainDecimalAndUpperCaseHexPaddedNeverCut) {
    EXPECT_EQ(IntToStr(0) + " " + IntToStr(400) + " " + IntToStr(-1) + " " + IntToStr(kMax) + " " +
                  IntToStr(kMin),
              "0 400 -1 2147483647 -2147483648");
    const struct {
        std::int32_t value;
        int digits;
        const char* text;
    } cases[] = {
        {5, 2, "05"},           {31, 2, "1F"},
        {0, 2, "00"},           {0xABC, 2, "ABC"},
        {-1, 2, "FFFFFFFF"},    {std::int16_t{-2}, 2, "FFFFFFFE"},  // a 16-bit field, sign-extended
        {kMin, 2, "80000000"},  {10, 6, "00000A"},
        {255, 0, "FF"},         {0, 0, "0"},
        {1, 12, "000000000001"}};
    for (const auto& c : cases) {
        EXPECT_EQ(IntToHex(c.value, c.digits), c.text) << c.value << " width " << c.digits;
    }
}
