#include "support/PhoneCalls.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "shell/Gathering.h"

namespace testsupport {

Bytes Zelk(std::initializer_list<int> words, const Bytes& payload, std::size_t size) {
    Bytes bytes{'z', 'e', 'l', 'k'};
    for (const int word : words) {
        bytes.insert(bytes.end(),
                     {static_cast<std::uint8_t>(word), static_cast<std::uint8_t>(word >> 8)});
    }
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    if (size != 0) {
        bytes.resize(size);
    }
    return bytes;
}

std::uint16_t Word(const Bytes& bytes, std::size_t offset) {
    return static_cast<std::uint16_t>(bytes.at(offset) | bytes.at(offset + 1) << 8);
}

Bytes Payload(const Bytes& voice) {
    const std::size_t end = 14u + Word(voice, 12);
    return Bytes(voice.begin() + 14,
                 voice.begin() + static_cast<std::ptrdiff_t>(std::min(end, voice.size())));
}

Bytes Pattern(std::size_t size, std::uint8_t seed) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>(seed + i * 13 + i / 256);
    }
    return bytes;
}

namespace {

// `format` writes one byte in at most three characters.
std::string EachByte(const Bytes& bytes, const char* format) {
    std::string text;
    for (const std::uint8_t byte : bytes) {
        char digits[4];
        std::snprintf(digits, sizeof digits, format, byte);
        text += digits;
    }
    return text;
}

}  // namespace

std::string Hex(const Bytes& bytes) {
    return EachByte(bytes, " %02X");
}

std::string HexOf(const Bytes& bytes) {
    return EachByte(bytes, "%02x");
}

bool WaitUntilSettled() {
    return WaitFor([] { return !shell::SettleInProgress(); });
}

bool InTestNamespace() {
    return std::getenv("UDPPHONE_TEST_NAMESPACE") != nullptr;
}

void WriteFile(const std::filesystem::path& path, const Bytes& bytes, bool append) {
    std::ofstream(path, std::ios::binary | (append ? std::ios::app : std::ios::trunc))
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

Bytes ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

}  // namespace testsupport
