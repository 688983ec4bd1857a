#include "peer/scenario/Scenario.h"

#include <cctype>

namespace peer {
namespace {

bool Matches(const FieldWant& want, std::int32_t standing, std::int16_t field) {
    switch (want.how) {
        case FieldWant::How::Any:
            return true;
        case FieldWant::How::Value:
            standing = want.value;
            break;
        case FieldWant::How::Default:
            break;
    }
    // A 16-bit field: -1 and 65535 are the same bits.
    return static_cast<std::uint16_t>(standing) == static_cast<std::uint16_t>(field);
}

}  // namespace

bool Expected(const ScenarioStep& expect, const DatagramLook& look, std::size_t size,
              std::int32_t target) {
    if (look.kind != expect.kind) {
        return false;
    }
    if (expect.wantSize && static_cast<std::size_t>(*expect.wantSize) != size) {
        return false;
    }
    const phone::PhoneDatagram& header = look.header;
    switch (expect.kind) {
        case Kind::Request:
        case Kind::Reply: {
            // A reply is taken as accepted unless the step says otherwise; a request's status
            // is 0 by what it is.
            const std::int32_t status = expect.kind == Kind::Reply ? phone::StatusAccepted : 0;
            return header.Command == expect.command &&
                   Matches(expect.wantStatus, status, header.Status) &&
                   Matches(expect.wantTarget, target, header.Target) &&
                   (!expect.wantSeq || static_cast<std::uint16_t>(*expect.wantSeq) == header.Seq);
        }
        case Kind::Voice:
            return Matches(expect.wantTarget, target, header.Target) &&
                   (!expect.wantLength || static_cast<std::uint16_t>(*expect.wantLength) ==
                                              static_cast<std::uint16_t>(header.Length));
        case Kind::Ignored:
            return true;
    }
    return false;
}

std::string QuotedPath(const std::string& path) {
    bool plain = !path.empty();
    for (const char c : path) {
        plain = plain && std::isspace(static_cast<unsigned char>(c)) == 0 && c != '#' && c != '=' &&
                c != '"';
    }
    if (plain) {
        return path;
    }
    std::string quoted = "\"";
    for (const char c : path) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
        }
        quoted += c;
    }
    return quoted + "\"";
}

}  // namespace peer
