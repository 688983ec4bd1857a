// Places the sample voice files in a directory where they are missing: "send.au", a short tone in
// the Sun audio format (8-bit mu-law, 8000 samples per second, mono), and an empty "recv.au".
// Existing files are never touched.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

std::uint8_t MuLaw(int sample) {
    constexpr int kBias = 0x84;
    constexpr int kClip = 32635;
    int sign = sample < 0 ? 0x80 : 0;
    if (sign != 0) {
        sample = -sample;
    }
    if (sample > kClip) {
        sample = kClip;
    }
    sample += kBias;
    int exponent = 7;
    for (int mask = 0x4000; (sample & mask) == 0 && exponent > 0; mask >>= 1) {
        --exponent;
    }
    int mantissa = (sample >> (exponent + 3)) & 0x0F;
    return static_cast<std::uint8_t>(~(sign | (exponent << 4) | mantissa));
}

void PutBigEndian(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

std::vector<std::uint8_t> Tone() {
    constexpr std::uint32_t kRate = 8000;
    constexpr std::uint32_t kSamples = kRate * 3;
    constexpr double kPi = 3.14159265358979323846;
    std::vector<std::uint8_t> file;
    file.insert(file.end(), {'.', 's', 'n', 'd'});
    PutBigEndian(file, 24);        // header size
    PutBigEndian(file, kSamples);  // data size
    PutBigEndian(file, 1);         // 8-bit mu-law
    PutBigEndian(file, kRate);
    PutBigEndian(file, 1);  // channels
    for (std::uint32_t i = 0; i < kSamples; ++i) {
        double t = static_cast<double>(i) / kRate;
        // A 440 Hz tone that swells and fades once a second, so it is heard as a ring.
        double envelope = 0.5 - 0.5 * std::cos(2 * kPi * t);
        double value = 12000.0 * envelope * std::sin(2 * kPi * 440.0 * t);
        file.push_back(MuLaw(static_cast<int>(value)));
    }
    return file;
}

bool PlaceIfMissing(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
    if (std::filesystem::exists(path)) {
        return true;
    }
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
        return 2;
    }
    std::filesystem::path directory(argv[1]);
    bool ok =
        PlaceIfMissing(directory / "send.au", Tone()) && PlaceIfMissing(directory / "recv.au", {});
    if (!ok) {
        std::fprintf(stderr, "cannot place the voice files in %s\n", argv[1]);
        return 1;
    }
    return 0;
}
