#pragma once
// Conversions between the texts of the window's fields and 32-bit integers.

#include <cstdint>
#include <string>
#include <string_view>

// Leading blanks, then either an optionally signed decimal that fits 32 bits, or a hexadecimal
// prefix ("$", "x", "X", "0x", "0X") and at most eight significant hex digits taken as a 32-bit
// pattern. Nothing may follow. Anything else raises EConvertError naming the whole text.
std::int32_t StrToInt(std::string_view text);

std::string IntToStr(std::int32_t value);

// Upper-case digits of the value as a 32-bit pattern, zero-padded to at least `digits`.
std::string IntToHex(std::int32_t value, int digits);

// The message of the conversion error for `text`.
std::string NotAnIntegerMessage(std::string_view text);
