// StrToInt on arbitrary bytes, against a reference parser written here from the grammar alone:
// leading blanks, then a signed decimal that fits 32 bits, or a hexadecimal prefix and at most
// eight significant hex digits taken as a 32-bit pattern, and nothing after. Every text either
// converts to the reference's value or raises EConvertError naming the whole text.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "shell/Exceptions.h"
#include "shell/TextConversions.h"

namespace {

[[noreturn]] void Fail(const char* what, std::string_view text) {
    std::fprintf(stderr, "str_to_int_fuzzer: %s for the text \"", what);
    for (unsigned char c : text) {
        std::fprintf(stderr, c >= 0x20 && c < 0x7F && c != '"' ? "%c" : "\\x%02X", c);
    }
    std::fprintf(stderr, "\"\n");
    std::abort();
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::string_view WithoutLeadingZeros(std::string_view digits) {
    while (digits.size() > 1 && digits.front() == '0') {
        digits.remove_prefix(1);
    }
    return digits;
}

std::optional<std::int32_t> ReferenceHex(std::string_view digits) {
    if (digits.empty()) {
        return std::nullopt;
    }
    for (char c : digits) {
        if (HexValue(c) < 0) {
            return std::nullopt;
        }
    }
    digits = WithoutLeadingZeros(digits);
    if (digits.size() > 8) {
        return std::nullopt;
    }
    std::uint32_t pattern = 0;
    for (char c : digits) {
        pattern = pattern << 4 | static_cast<std::uint32_t>(HexValue(c));
    }
    return static_cast<std::int32_t>(pattern);
}

std::optional<std::int32_t> ReferenceDecimal(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
    }
    text = WithoutLeadingZeros(text);
    if (text.size() > 10) {
        return std::nullopt;
    }
    std::int64_t magnitude = 0;
    for (char c : text) {
        magnitude = magnitude * 10 + (c - '0');
    }
    const std::int64_t value = negative ? -magnitude : magnitude;
    if (value < INT32_MIN || value > INT32_MAX) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(value);
}

std::optional<std::int32_t> Reference(std::string_view text) {
    while (!text.empty() && text.front() == ' ') {
        text.remove_prefix(1);
    }
    if (text.starts_with("0x") || text.starts_with("0X")) {
        return ReferenceHex(text.substr(2));
    }
    if (text.starts_with('$') || text.starts_with('x') || text.starts_with('X')) {
        return ReferenceHex(text.substr(1));
    }
    return ReferenceDecimal(text);
}

std::optional<std::int32_t> Convert(std::string_view text) {
    try {
        return StrToInt(text);
    } catch (const EConvertError& error) {
        if (error.Message() != "'" + std::string(text) + "' は整数ではありません") {
            Fail("wrong conversion message", text);
        }
        if (std::string_view(error.ClassName()) != "EConvertError") {
            Fail("wrong error class", text);
        }
        return std::nullopt;
    }
    // Any other exception escapes and ends the run as a crash.
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::optional<std::int32_t> expected = Reference(text);
    const std::optional<std::int32_t> actual = Convert(text);
    if (expected.has_value() != actual.has_value()) {
        Fail(actual ? "accepted a text the grammar refuses" : "refused a text the grammar accepts",
             text);
    }
    if (!actual) {
        return 0;
    }
    if (*actual != *expected) {
        Fail("converted to the wrong value", text);
    }
    // What the program writes, it reads back: counters in decimal, fields in hex.
    const std::string decimal = IntToStr(*actual);
    if (Convert(decimal) != actual || Reference(decimal) != actual) {
        Fail("decimal text does not read back", decimal);
    }
    const std::string hex = "$" + IntToHex(*actual, 8);
    if (hex.size() != 9 || Convert(hex) != actual) {
        Fail("hexadecimal text does not read back", hex);
    }
    return 0;
}
