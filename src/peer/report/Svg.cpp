#include "peer/report/Svg.h"

#include <charconv>
#include <cmath>
#include <cstdint>

namespace peer {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// The length of the well-formed UTF-8 sequence at the start of `bytes`, 0 when there is none.
std::size_t SequenceLength(std::string_view bytes, char32_t& code) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the second byte's range
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0F;
        low = lead == 0xE0 ? 0xA0 : 0x80;   // no overlong forms
        high = lead == 0xED ? 0x9F : 0xBF;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;  // nothing past U+10FFFF
    } else {
        return 0;
    }
    if (bytes.size() < length) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const unsigned char next = byte(i);
        if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) {
            return 0;
        }
        code = (code << 6) | (next & 0x3F);
    }
    return length;
}

bool Unwanted(char32_t code) {
    // C1 controls and the non-characters: HTML calls them parse errors.
    return (code >= 0x80 && code <= 0x9F) || (code >= 0xFDD0 && code <= 0xFDEF) ||
           (code & 0xFFFE) == 0xFFFE;
}

}  // namespace

std::string EscapeText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const char c = text[i];
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            switch (c) {
                case '&':
                    out += "&amp;";
                    break;
                case '<':
                    out += "&lt;";
                    break;
                case '>':
                    out += "&gt;";
                    break;
                case '"':
                    out += "&quot;";
                    break;
                case '\'':
                    out += "&#39;";
                    break;
                default:
                    if ((byte < 0x20 && c != '\t' && c != '\n') || byte == 0x7F) {
                        out += kReplacement;
                    } else {
                        out += c;
                    }
            }
            ++i;
            continue;
        }
        char32_t code = 0;
        const std::size_t length = SequenceLength(text.substr(i), code);
        if (length == 0 || Unwanted(code)) {
            out += kReplacement;
            i += length == 0 ? 1 : length;
        } else {
            out += text.substr(i, length);
            i += length;
        }
    }
    return out;
}

std::string Num(double value, int decimals) {
    if (!std::isfinite(value)) {
        return "0";
    }
    char text[512];  // the largest double, written out whole
    const auto [end, error] =
        std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
    if (error != std::errc()) {
        return "0";
    }
    std::string number(text, end);
    if (number.find('.') != std::string::npos) {
        number.erase(number.find_last_not_of('0') + 1);
        if (number.back() == '.') {
            number.pop_back();
        }
    }
    return number == "-0" ? "0" : number;
}

void PathData::MoveTo(double x, double y) {
    d_ += 'M';
    d_ += Num(x);
    d_ += ' ';
    d_ += Num(y);
}

void PathData::LineTo(double x, double y) {
    d_ += 'L';
    d_ += Num(x);
    d_ += ' ';
    d_ += Num(y);
}

void PathData::VerticalTo(double y) {
    d_ += 'V';
    d_ += Num(y);
}

Svg::Svg(std::string_view id, int width, int height, std::string_view title,
         std::string_view desc) {
    const std::string name = EscapeText(id);
    out_ = "<svg id=\"" + name + "\" class=\"chart\" role=\"img\" width=\"" +
           std::to_string(width) + "\" height=\"" + std::to_string(height) + "\" viewBox=\"0 0 " +
           std::to_string(width) + ' ' + std::to_string(height) + "\" aria-labelledby=\"" + name +
           "-title " + name + "-desc\">\n<title id=\"" + name + "-title\">" + EscapeText(title) +
           "</title>\n<desc id=\"" + name + "-desc\">" + EscapeText(desc) + "</desc>\n";
}

void Svg::Close(std::string_view tag, std::string_view tip) {
    if (tip.empty()) {
        out_ += "/>\n";
        return;
    }
    out_ += "><title>";
    out_ += EscapeText(tip);
    out_ += "</title></";
    out_ += tag;
    out_ += ">\n";
}

void Svg::Line(double x1, double y1, double x2, double y2, std::string_view cls) {
    out_ += "<line class=\"" + EscapeText(cls) + "\" x1=\"" + Num(x1) + "\" y1=\"" + Num(y1) +
            "\" x2=\"" + Num(x2) + "\" y2=\"" + Num(y2) + '"';
    Close("line", {});
}

void Svg::Rect(double x, double y, double width, double height, std::string_view cls,
               std::string_view tip) {
    out_ += "<rect class=\"" + EscapeText(cls) + "\" x=\"" + Num(x) + "\" y=\"" + Num(y) +
            "\" width=\"" + Num(width) + "\" height=\"" + Num(height) + '"';
    Close("rect", tip);
}

void Svg::Circle(double cx, double cy, double r, std::string_view cls, std::string_view tip) {
    out_ += "<circle class=\"" + EscapeText(cls) + "\" cx=\"" + Num(cx) + "\" cy=\"" + Num(cy) +
            "\" r=\"" + Num(r) + '"';
    Close("circle", tip);
}

void Svg::Path(const PathData& path, std::string_view cls, std::string_view tip) {
    if (path.Empty()) {
        return;
    }
    out_ += "<path class=\"" + EscapeText(cls) + "\" d=\"" + path.Text() + '"';
    Close("path", tip);
}

void Svg::Text(double x, double y, std::string_view text, std::string_view cls, Anchor anchor) {
    out_ += "<text x=\"" + Num(x) + "\" y=\"" + Num(y) + '"';
    if (!cls.empty()) {
        out_ += " class=\"" + EscapeText(cls) + '"';
    }
    if (anchor != Anchor::Start) {
        out_ += anchor == Anchor::Middle ? " text-anchor=\"middle\"" : " text-anchor=\"end\"";
    }
    out_ += '>' + EscapeText(text) + "</text>\n";
}

void Svg::OpenGroup(std::string_view cls, std::string_view tip) {
    out_ += "<g class=\"" + EscapeText(cls) + "\">";
    if (!tip.empty()) {
        out_ += "<title>" + EscapeText(tip) + "</title>";
    }
    out_ += '\n';
}

void Svg::CloseGroup() {
    out_ += "</g>\n";
}

std::string Svg::Finish() {
    out_ += "</svg>\n";
    return std::move(out_);
}

}  // namespace peer
