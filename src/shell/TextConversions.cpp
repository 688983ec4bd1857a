#include "shell/TextConversions.h"

#include "phone/CallRules.h"
#include "shell/Exceptions.h"

namespace {

int HexDigitValue(char c) {
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

bool IsDecimalDigit(char c) {
    return c >= '0' && c <= '9';
}

// Parses digits up to the end of `digits`; false on anything else or an out-of-range value.
bool ParseHex(std::string_view digits, std::uint32_t& out) {
    if (digits.empty()) {
        return false;
    }
    std::uint64_t value = 0;
    for (char c : digits) {
        int digit = HexDigitValue(c);
        if (digit < 0) {
            return false;
        }
        value = value * 16 + static_cast<std::uint64_t>(digit);
        if (value > 0xFFFFFFFFu) {
            return false;
        }
    }
    out = static_cast<std::uint32_t>(value);
    return true;
}

bool ParseDecimal(std::string_view digits, bool negative, std::int32_t& out) {
    if (digits.empty()) {
        return false;
    }
    const std::uint64_t limit = negative ? 2147483648u : 2147483647u;
    std::uint64_t value = 0;
    for (char c : digits) {
        if (!IsDecimalDigit(c)) {
            return false;
        }
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        if (value > limit) {
            return false;
        }
    }
    out = negative ? static_cast<std::int32_t>(0 - value) : static_cast<std::int32_t>(value);
    return true;
}

bool TryStrToInt(std::string_view text, std::int32_t& out) {
    std::size_t start = text.find_first_not_of(' ');
    if (start == std::string_view::npos) {
        return false;
    }
    std::string_view rest = text.substr(start);
    std::uint32_t pattern = 0;
    if (rest.front() == '$' || rest.front() == 'x' || rest.front() == 'X') {
        if (!ParseHex(rest.substr(1), pattern)) {
            return false;
        }
        out = static_cast<std::int32_t>(pattern);
        return true;
    }
    if (rest.size() >= 2 && rest[0] == '0' && (rest[1] == 'x' || rest[1] == 'X')) {
        if (!ParseHex(rest.substr(2), pattern)) {
            return false;
        }
        out = static_cast<std::int32_t>(pattern);
        return true;
    }
    bool negative = false;
    if (rest.front() == '+' || rest.front() == '-') {
        negative = rest.front() == '-';
        rest.remove_prefix(1);
    }
    return ParseDecimal(rest, negative, out);
}

}  // namespace

std::string NotAnIntegerMessage(std::string_view text) {
    // Appended piece by piece: GCC 12's -Wrestrict misreads the inlined "'" + std::string(...)
    // at -O2 and warns about an overlap that cannot happen.
    std::string message = "'";
    message += text;
    message += "' は整数ではありません";
    return message;
}

std::int32_t StrToInt(std::string_view text) {
    std::int32_t value = 0;
    if (!TryStrToInt(text, value)) {
        throw EConvertError(NotAnIntegerMessage(text));
    }
    return value;
}

std::string IntToStr(std::int32_t value) {
    return std::to_string(value);
}

std::string IntToHex(std::int32_t value, int digits) {
    return phone::HexText(value, digits);
}
