#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
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

// The conversion error's message, or nothing when the text converted.
std::optional<std::string> RefusalOf(const std::string& text) {
    try {
        StrToInt(text);
    } catch (const EConvertError& error) {
        return error.Message();
    }
    return std::nullopt;
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
            try {
                EXPECT_EQ(StrToInt(text), value) << text.substr(0, 40);
            } catch (const EConvertError& error) {
                ADD_FAILURE() << error.Message().substr(0, 60);
            }
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
        "$100000000", "0x123456789", "１２",       "12\0"s};
    // Embedded NULs and texts far beyond any field.
    refused.push_back("\0"s + "12");
    refused.push_back("1\0002"s);
    refused.push_back(std::string(100000, '9'));
    refused.push_back(std::string(100000, ' ') + "x");
    for (const std::string& text : refused) {
        EXPECT_EQ(RefusalOf(text), Refused(text)) << text.substr(0, 40);
    }
}

// Any bytes at all either convert or are refused with themselves in the message.
TEST(StrToIntTest, ArbitraryTextsConvertOrAreRefusedWhole) {
    std::mt19937 random(20080);
    const std::string alphabet = " +-$xX0123456789abcdefABCDEFg\t\0\xEF\xBC\x91"s;
    for (int round = 0; round < 20000; ++round) {
        std::string text(random() % 16, ' ');
        for (char& c : text) {
            c = alphabet[random() % alphabet.size()];
        }
        if (auto message = RefusalOf(text)) {
            EXPECT_EQ(*message, Refused(text));
        }
    }
}

TEST(StrToIntTest, ReadsBackWhatIntToStrAndIntToHexWrite) {
    std::mt19937 random(47);
    for (int round = 0; round < 20000; ++round) {
        const auto value = static_cast<std::int32_t>(random());
        ASSERT_EQ(StrToInt(IntToStr(value)), value);
        ASSERT_EQ(StrToInt("$" + IntToHex(value, 8)), value);
        ASSERT_EQ(StrToInt("0x" + IntToHex(value, 1)), value);
    }
}

TEST(IntToStrTest, PlainDecimal) {
    EXPECT_EQ(IntToStr(0), "0");
    EXPECT_EQ(IntToStr(400), "400");
    EXPECT_EQ(IntToStr(-1), "-1");
    EXPECT_EQ(IntToStr(kMax), "2147483647");
    EXPECT_EQ(IntToStr(kMin), "-2147483648");
}

TEST(IntToHexTest, UpperCasePaddedNeverCut) {
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
