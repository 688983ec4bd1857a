// Reading a scenario: every line is checked, and every file it streams opened, before the run
// sends anything; a fault names the file, the line and what is wrong.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <map>

#include "peer/Addresses.h"
#include "peer/DatagramLook.h"
#include "peer/Files.h"
#include "peer/PeerError.h"
#include "peer/commands/CommandLine.h"
#include "peer/scenario/Scenario.h"

namespace peer {
namespace {

constexpr double kLongestMs = 86'400'000;

// A fault of one line; the caller puts the file and line in front.
struct LineFault {
    std::string message;
};

struct Word {
    std::string text;
    bool quoted = false;
};

// Words of a line up to its comment; `written` is the step's text without the comment.
std::vector<Word> Words(std::string_view line, std::string& written) {
    std::vector<Word> words;
    std::size_t first = std::string_view::npos, last = 0;
    std::size_t i = 0;
    while (i < line.size()) {
        if (std::isspace(static_cast<unsigned char>(line[i])) != 0) {
            ++i;
            continue;
        }
        if (line[i] == '#') {
            break;
        }
        if (first == std::string_view::npos) {
            first = i;
        }
        Word word;
        if (line[i] == '"') {
            // Within quotes \" is a quote and \\ a backslash; any other backslash is itself, as
            // in the files saved before quotes were escaped.
            word.quoted = true;
            for (++i;; ++i) {
                if (i == line.size()) {
                    throw LineFault{"a quote that is not closed"};
                }
                if (line[i] == '"') {
                    break;
                }
                if (line[i] == '\\' && i + 1 < line.size() &&
                    (line[i + 1] == '"' || line[i + 1] == '\\')) {
                    ++i;
                }
                word.text += line[i];
            }
            ++i;
        } else {
            const std::size_t start = i;
            while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i])) == 0) {
                ++i;
            }
            word.text = std::string(line.substr(start, i - start));
        }
        last = i;
        words.push_back(std::move(word));
    }
    written = first == std::string_view::npos ? "" : std::string(line.substr(first, last - first));
    return words;
}

std::int32_t Field16(const std::string& key, const std::string& value) {
    long number = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
    if (value.empty() || error != std::errc() || end != value.data() + value.size() ||
        number < -32768 || number > 65535) {
        throw LineFault{key + "=" + value + ": \"" + value +
                        "\" is not a number from -32768 to 65535"};
    }
    return static_cast<std::int32_t>(number);
}

std::uint64_t Count(const std::string& key, const std::string& value) {
    std::uint64_t number = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
    if (value.empty() || error != std::errc() || end != value.data() + value.size() || number < 1 ||
        number > 1'000'000'000) {
        throw LineFault{key + "=" + value + ": \"" + value +
                        "\" is not a whole number from 1 to 1000000000"};
    }
    return number;
}

// A datagram's size: an empty one has 0.
std::int32_t Size(const std::string& value) {
    std::size_t number = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
    if (value.empty() || error != std::errc() || end != value.data() + value.size() ||
        number > kLargestDatagram) {
        throw LineFault{"size=" + value + ": \"" + value + "\" is not a whole number from 0 to " +
                        std::to_string(kLargestDatagram)};
    }
    return static_cast<std::int32_t>(number);
}

// Milliseconds written as a number, given back in seconds.
double Milliseconds(const std::string& what, const std::string& value) {
    double number = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
    if (value.empty() || error != std::errc() || end != value.data() + value.size() ||
        !std::isfinite(number)) {
        throw LineFault{what + ": \"" + value + "\" is not a number of milliseconds"};
    }
    if (number < 0 || number > kLongestMs) {
        throw LineFault{what + ": " + value + " ms is not from 0 to 86400000"};
    }
    return number / 1000;
}

FieldWant Want(const std::string& key, const std::string& value) {
    if (value == "any") {
        return {FieldWant::How::Any, 0};
    }
    return {FieldWant::How::Value, Field16(key, value)};
}

std::vector<std::uint8_t> Hex(const std::string& digits) {
    if (digits.size() % 2 != 0) {
        throw LineFault{"hex=: an odd number of hex digits (" + std::to_string(digits.size()) +
                        ")"};
    }
    if (digits.size() / 2 > kLargestDatagram) {
        throw LineFault{"hex=: more than " + std::to_string(kLargestDatagram) + " bytes"};
    }
    std::vector<std::uint8_t> bytes(digits.size() / 2);
    for (std::size_t i = 0; i < digits.size(); ++i) {
        const char c = digits[i];
        if (std::isxdigit(static_cast<unsigned char>(c)) == 0) {
            throw LineFault{std::string("hex=: \"") + c + "\" is not a hex digit"};
        }
        const int value = std::isdigit(static_cast<unsigned char>(c)) != 0
                              ? c - '0'
                              : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
        bytes[i / 2] = static_cast<std::uint8_t>(bytes[i / 2] << 4 | value);
    }
    return bytes;
}

std::int16_t Command(const std::string& text, const std::string& step) {
    const auto code = CommandCode(text);
    if (!code) {
        throw LineFault{step + ": \"" + text +
                        "\" is not ring, talk, hangup, disconnect, voice or a number from -32768 "
                        "to 65535"};
    }
    return *code;
}

std::string OpenableFile(const std::string& written, const std::filesystem::path& folder) {
    const std::filesystem::path path = std::filesystem::path(written).is_absolute()
                                           ? std::filesystem::path(written)
                                           : folder / written;
    // Looked at before it is opened: a pipe would block the open, a device would be opened.
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) {
        throw LineFault{"stream: \"" + written + "\" is not a regular file"};
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        throw LineFault{"stream: cannot open \"" + written + "\": " + std::strerror(errno)};
    }
    ::close(fd);
    return path.string();
}

// The FIELD=VALUE words after the first `fixed` words, each allowed at most once.
std::map<std::string, std::string> Fields(const std::vector<Word>& words, std::size_t fixed,
                                          const std::string& step,
                                          std::initializer_list<const char*> allowed) {
    std::map<std::string, std::string> fields;
    for (std::size_t i = fixed; i < words.size(); ++i) {
        const std::string& word = words[i].text;
        const auto equals = word.find('=');
        if (equals == std::string::npos || words[i].quoted) {
            throw LineFault{step + ": \"" + word + "\" is not FIELD=VALUE"};
        }
        const std::string key = word.substr(0, equals);
        bool known = false;
        for (const char* name : allowed) {
            known = known || key == name;
        }
        if (!known) {
            std::string names;
            for (const char* name : allowed) {
                names += std::string(names.empty() ? "" : ", ") + name;
            }
            throw LineFault{step + ": unknown field \"" + key + "\" (" +
                            (names.empty() ? std::string("it takes none") : "it takes " + names) +
                            ")"};
        }
        if (!fields.emplace(key, word.substr(equals + 1)).second) {
            throw LineFault{step + ": " + key + "= given twice"};
        }
    }
    return fields;
}

void NoMoreThan(const std::vector<Word>& words, std::size_t count, const std::string& step) {
    if (words.size() > count) {
        throw LineFault{step + ": \"" + words[count].text + "\" is more than it takes"};
    }
}

ScenarioStep ParseSend(const std::vector<Word>& words) {
    ScenarioStep step;
    step.type = ScenarioStep::Type::Send;
    if (words.size() < 2) {
        throw LineFault{"send: a command or hex= is missing"};
    }
    std::map<std::string, std::string> fields;
    if (words[1].text.starts_with("hex=")) {
        step.hex = Hex(words[1].text.substr(4));
        fields = Fields(words, 2, "send hex=", {"from"});
    } else {
        step.command = Command(words[1].text, "send");
        fields = Fields(words, 2, "send", {"seq", "target", "status", "from"});
    }
    for (const auto& [key, value] : fields) {
        if (key == "from") {
            if (!IsDottedAddress(value)) {
                throw LineFault{"from=" + value + ": not a dotted IPv4 address such as 192.0.2.7"};
            }
            step.from = value;
        } else {
            const std::int32_t number = Field16(key, value);
            (key == "seq" ? step.seq : key == "target" ? step.target : step.status) = number;
        }
    }
    return step;
}

ScenarioStep ParseExpect(const std::vector<Word>& words) {
    ScenarioStep step;
    step.type = ScenarioStep::Type::Expect;
    const std::string kind = words.size() > 1 ? words[1].text : "";
    std::size_t fixed = 2;
    std::map<std::string, std::string> fields;
    if (kind == "request" || kind == "reply") {
        step.kind = kind == "request" ? Kind::Request : Kind::Reply;
        if (words.size() < 3 || words[2].text.find('=') != std::string::npos) {
            throw LineFault{"expect " + kind + ": the command is missing"};
        }
        step.command = Command(words[2].text, "expect " + kind);
        fixed = 3;
        fields =
            Fields(words, fixed, "expect " + kind, {"status", "target", "seq", "size", "within"});
    } else if (kind == "voice") {
        step.kind = Kind::Voice;
        fields =
            Fields(words, fixed, "expect voice", {"count", "target", "length", "size", "within"});
    } else if (kind == "ignored") {
        step.kind = Kind::Ignored;
        fields = Fields(words, fixed, "expect ignored", {"size", "within"});
    } else {
        throw LineFault{"expect: \"" + kind + "\" is not request, reply, voice or ignored"};
    }
    for (const auto& [key, value] : fields) {
        if (key == "status") {
            step.wantStatus = Want(key, value);
        } else if (key == "target") {
            step.wantTarget = Want(key, value);
        } else if (key == "seq") {
            step.wantSeq = Field16(key, value);
        } else if (key == "length") {
            step.wantLength = Field16(key, value);
        } else if (key == "size") {
            step.wantSize = Size(value);
        } else if (key == "count") {
            step.count = Count(key, value);
        } else {
            step.within = Milliseconds("within=", value);
        }
    }
    return step;
}

ScenarioStep ParseLine(const std::vector<Word>& words, const std::filesystem::path& folder) {
    const std::string& name = words[0].text;
    if (name == "send") {
        return ParseSend(words);
    }
    if (name == "expect") {
        return ParseExpect(words);
    }
    ScenarioStep step;
    if (name == "wait") {
        if (words.size() < 2) {
            throw LineFault{"wait: the milliseconds (or \"stream\") are missing"};
        }
        NoMoreThan(words, 2, "wait");
        if (words[1].text == "stream" && !words[1].quoted) {
            step.type = ScenarioStep::Type::WaitStream;
        } else {
            step.type = ScenarioStep::Type::Wait;
            step.seconds = Milliseconds("wait", words[1].text);
        }
        return step;
    }
    if (name == "stream") {
        step.type = ScenarioStep::Type::Stream;
        if (words.size() < 2 ||
            (!words[1].quoted && words[1].text.find('=') != std::string::npos)) {
            throw LineFault{"stream: the file is missing"};
        }
        for (const auto& [key, value] : Fields(words, 2, "stream", {"chunks", "seq", "target"})) {
            if (key == "chunks") {
                step.chunks = Count(key, value);
            } else {
                (key == "seq" ? step.seq : step.target) = Field16(key, value);
            }
        }
        step.file = OpenableFile(words[1].text, folder);
        return step;
    }
    if (name == "stop") {
        NoMoreThan(words, 1, "stop");
        step.type = ScenarioStep::Type::Stop;
        return step;
    }
    throw LineFault{"unknown step \"" + name + "\" (send, expect, wait, stream or stop)"};
}

}  // namespace

Scenario ParseScenarioText(std::string_view text, const std::string& name,
                           const std::filesystem::path& folder) {
    Scenario scenario;
    scenario.path = name;
    // Some editors put a byte-order mark in front of UTF-8.
    if (text.starts_with("\xEF\xBB\xBF")) {
        text.remove_prefix(3);
    }
    int number = 0;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        ++number;
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        try {
            std::string written;
            const std::vector<Word> words = Words(line, written);
            if (words.empty()) {
                continue;
            }
            ScenarioStep step = ParseLine(words, folder);
            step.line = number;
            step.text = written;
            scenario.steps.push_back(std::move(step));
        } catch (const LineFault& fault) {
            throw UsageError(name + ":" + std::to_string(number) + ": " + fault.message);
        }
    }
    if (scenario.steps.empty()) {
        throw UsageError(name + ": no steps");
    }
    return scenario;
}

Scenario ParseScenario(const std::string& path) {
    // Opened without waiting, so a FIFO cannot hold the run before it is refused.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        throw UsageError(SystemMessage("cannot open the scenario \"" + path + "\""));
    }
    FileHandle closer(fd);
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        throw UsageError(SystemMessage("cannot read the scenario \"" + path + "\""));
    }
    if (S_ISDIR(status.st_mode)) {
        throw UsageError("the scenario \"" + path + "\" is a directory");
    }
    if (!S_ISREG(status.st_mode)) {
        throw UsageError("the scenario \"" + path + "\" is not a regular file");
    }
    const std::string tooLong = "the scenario \"" + path + "\" is longer than " +
                                std::to_string(kLongestScenario >> 20) + " MiB";
    if (static_cast<std::uint64_t>(status.st_size) > kLongestScenario) {
        throw UsageError(tooLong);
    }
    // Read to its end, however it has grown since, but never past the limit.
    std::string text(static_cast<std::size_t>(status.st_size) + 1, '\0');
    std::size_t filled = 0;
    for (;;) {
        if (filled == text.size()) {
            if (text.size() > kLongestScenario) {
                throw UsageError(tooLong);
            }
            text.resize(std::min<std::size_t>(text.size() * 2, kLongestScenario + 1));
        }
        const ssize_t count = ::read(fd, text.data() + filled, text.size() - filled);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            throw UsageError(SystemMessage("cannot read the scenario \"" + path + "\""));
        }
        if (count == 0) {
            break;
        }
        filled += static_cast<std::size_t>(count);
    }
    text.resize(filled);
    return ParseScenarioText(text, path, std::filesystem::path(path).parent_path());
}

}  // namespace peer
