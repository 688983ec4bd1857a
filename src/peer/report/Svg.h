#pragma once
// A small builder of inline SVG for the HTML report. Every text and attribute value passes
// EscapeText, so nothing a run carries (a command line, a scenario's text, a reason) can end a
// tag or open one.

#include <string>
#include <string_view>

namespace peer {

// `text` made safe in HTML and SVG content and in double- or single-quoted attributes: the
// markup characters as entities, and bytes that are not UTF-8, control characters and
// non-characters as U+FFFD.
std::string EscapeText(std::string_view text);

// A number as SVG and the report write it: fixed, at most `decimals` places, trailing zeros
// dropped, the same in every locale; not-a-number and the infinities as 0.
std::string Num(double value, int decimals = 1);

// The "d" of a path, drawn one command at a time.
class PathData {
  public:
    void MoveTo(double x, double y);
    void LineTo(double x, double y);
    void VerticalTo(double y);
    bool Empty() const { return d_.empty(); }
    const std::string& Text() const { return d_; }

  private:
    std::string d_;
};

class Svg {
  public:
    enum class Anchor { Start, Middle, End };

    // A picture `width` by `height` pixels that scales down with the page; `title` and `desc`
    // are what a screen reader says of it.
    Svg(std::string_view id, int width, int height, std::string_view title, std::string_view desc);

    // `tip`: a title of the element itself, shown on hovering, read on focus.
    void Line(double x1, double y1, double x2, double y2, std::string_view cls);
    void Rect(double x, double y, double width, double height, std::string_view cls,
              std::string_view tip = {});
    void Circle(double cx, double cy, double r, std::string_view cls, std::string_view tip = {});
    void Path(const PathData& path, std::string_view cls, std::string_view tip = {});
    void Text(double x, double y, std::string_view text, std::string_view cls = {},
              Anchor anchor = Anchor::Start);
    void OpenGroup(std::string_view cls, std::string_view tip = {});
    void CloseGroup();

    // The whole element.
    std::string Finish();

  private:
    void Close(std::string_view tag, std::string_view tip);

    std::string out_;
};

}  // namespace peer
