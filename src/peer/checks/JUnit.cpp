#include "peer/checks/JUnit.h"

#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace peer {
namespace {

bool Continuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// The length of the UTF-8 sequence at `at` if it is valid and a character XML 1.0 allows; 0
// otherwise.
std::size_t AllowedCharacter(std::string_view text, std::size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    std::size_t length = 0;
    std::uint32_t code = 0;
    if (lead < 0x80) {
        length = 1;
        code = lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07;
    } else {
        return 0;
    }
    if (text.size() - at < length) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(text[at + i]);
        if (!Continuation(byte)) {
            return 0;
        }
        code = (code << 6) | (byte & 0x3F);
    }
    const bool shortest = (length != 3 || code >= 0x800) && (length != 4 || code >= 0x10000);
    const bool xmlChar = code == 0x9 || code == 0xA || code == 0xD ||
                         (code >= 0x20 && code <= 0xD7FF) || (code >= 0xE000 && code <= 0xFFFD) ||
                         (code >= 0x10000 && code <= 0x10FFFF);
    return shortest && xmlChar ? length : 0;
}

std::string Seconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", std::isfinite(seconds) && seconds > 0 ? seconds : 0.0);
    return text;
}

std::string Attribute(const char* name, std::string_view value) {
    return std::string(" ") + name + "=\"" + XmlEscaped(value, true) + "\"";
}

std::string Count(const char* name, std::size_t value) {
    return Attribute(name, std::to_string(value));
}

void PutOutput(std::string& xml, const std::string& output, const char* indent) {
    if (!output.empty()) {
        xml += std::string(indent) + "<system-out>" + XmlEscaped(output, false) + "</system-out>\n";
    }
}

void PutCase(std::string& xml, const JUnitCase& check) {
    xml += "    <testcase" + Attribute("name", check.name) +
           Attribute("classname", check.classname) + Attribute("time", Seconds(check.seconds));
    const char* element = check.outcome == JUnitCase::Outcome::Failed    ? "failure"
                          : check.outcome == JUnitCase::Outcome::Error   ? "error"
                          : check.outcome == JUnitCase::Outcome::Skipped ? "skipped"
                                                                         : nullptr;
    if (element == nullptr && check.output.empty()) {
        xml += "/>\n";
        return;
    }
    xml += ">\n";
    if (element != nullptr) {
        xml += std::string("      <") + element + Attribute("message", check.message);
        if (check.outcome != JUnitCase::Outcome::Skipped) {
            xml += Attribute("type", check.type);
        }
        // The reason again as text: some readers show only the element's text.
        xml += ">" + XmlEscaped(check.message, false) + "</" + element + ">\n";
    }
    PutOutput(xml, check.output, "      ");
    xml += "    </testcase>\n";
}

}  // namespace

std::string XmlEscaped(std::string_view raw, bool attribute) {
    std::string escaped;
    escaped.reserve(raw.size());
    for (std::size_t at = 0; at < raw.size();) {
        const std::size_t length = AllowedCharacter(raw, at);
        if (length == 0) {
            char text[8];
            std::snprintf(text, sizeof text, "\\x%02X", static_cast<unsigned char>(raw[at]));
            escaped += text;
            ++at;
            continue;
        }
        const char c = raw[at];
        if (length > 1) {
            escaped.append(raw.substr(at, length));
        } else if (c == '&') {
            escaped += "&amp;";
        } else if (c == '<') {
            escaped += "&lt;";
        } else if (c == '>') {
            escaped += "&gt;";
        } else if (c == '"') {
            escaped += "&quot;";
        } else if (c == '\r') {
            // A reader turns a bare carriage return into a newline even in text.
            escaped += "&#13;";
        } else if (attribute && c == '\n') {
            escaped += "&#10;";
        } else if (attribute && c == '\t') {
            escaped += "&#9;";
        } else {
            escaped += c;
        }
        at += length;
    }
    return escaped;
}

std::string JUnitXml(std::span<const JUnitSuite> suites) {
    std::size_t tests = 0, failures = 0, errors = 0, skipped = 0;
    double seconds = 0;
    std::string body;
    for (const JUnitSuite& suite : suites) {
        std::size_t suiteFailures = 0, suiteErrors = 0, suiteSkipped = 0;
        for (const JUnitCase& check : suite.cases) {
            suiteFailures += check.outcome == JUnitCase::Outcome::Failed;
            suiteErrors += check.outcome == JUnitCase::Outcome::Error;
            suiteSkipped += check.outcome == JUnitCase::Outcome::Skipped;
        }
        body +=
            "  <testsuite" + Attribute("name", suite.name) + Count("tests", suite.cases.size()) +
            Count("failures", suiteFailures) + Count("errors", suiteErrors) +
            Count("skipped", suiteSkipped) + Attribute("time", Seconds(suite.seconds)) +
            Attribute("timestamp", suite.timestamp) + Attribute("hostname", suite.hostname) + ">\n";
        for (const JUnitCase& check : suite.cases) {
            PutCase(body, check);
        }
        PutOutput(body, suite.output, "    ");
        body += "  </testsuite>\n";
        tests += suite.cases.size();
        failures += suiteFailures;
        errors += suiteErrors;
        skipped += suiteSkipped;
        seconds += std::isfinite(suite.seconds) && suite.seconds > 0 ? suite.seconds : 0;
    }
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites" + Count("tests", tests) +
           Count("failures", failures) + Count("errors", errors) + Count("skipped", skipped) +
           Attribute("time", Seconds(seconds)) + ">\n" + body + "</testsuites>\n";
}

std::string JUnitTimestamp(std::time_t time) {
    std::tm local{};
    char text[32] = "1970-01-01T00:00:00";
    if (::localtime_r(&time, &local) != nullptr) {
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    }
    return text;
}

std::string JUnitHostname() {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') {
        return "localhost";
    }
    return name;
}

}  // namespace peer
