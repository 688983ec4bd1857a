#include "shell/Exceptions.h"

#include <string_view>
#include <utility>

namespace {

// FNV-1a over the file's base name and the line: independent of where the tree was built.
std::uint32_t PositionOf(std::string_view file, unsigned line) {
    if (auto slash = file.find_last_of('/'); slash != std::string_view::npos) {
        file.remove_prefix(slash + 1);
    }
    std::uint32_t hash = 2166136261u;
    auto mix = [&hash](unsigned char byte) {
        hash ^= byte;
        hash *= 16777619u;
    };
    for (char c : file) {
        mix(static_cast<unsigned char>(c));
    }
    for (std::uint32_t rest = line; rest != 0; rest >>= 8) {
        mix(static_cast<unsigned char>(rest & 0xFF));
    }
    return hash;
}

}  // namespace

Exception::Exception(std::string message, const char* file, unsigned line)
    : message_(std::move(message)), position_(PositionOf(file != nullptr ? file : "", line)) {}

Exception::Exception(std::string message, std::uint32_t position) noexcept
    : message_(std::move(message)), position_(position) {}

EReadError::EReadError(const std::string& component, const std::string& property,
                       const Exception& inner)
    : Exception(component + "." + property + " の読み込み中のエラー : " + inner.Message(),
                inner.Position()) {}
