#pragma once
// tshark over a capture, decoding with this tree's dissector and nothing else of ours: the
// user's own Wireshark folders and preferences are kept out, and a dissector that the package
// installed into Wireshark's global folder is hidden for the run, since Wireshark would load it
// before the tree's and the tree's would then fail to register.

#include <QString>
#include <QStringList>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

// Why tshark cannot decode with the tree's dissector here; nothing when it can.
std::optional<std::string> TsharkUnusable();

struct TsharkRun {
    int exitCode = -1;  // -1: did not end in time
    std::vector<std::string> lines;
    // The standard error, without tshark's note that it runs as root.
    std::string errors;
};

// tshark `arguments` with the tree's dissector (a report such as -G comes first).
TsharkRun Tshark(const QStringList& arguments);

// One row a packet of `capture` with `fields` joined by "|" (several values of a field by ","),
// names never looked up, after `arguments` such as a display filter. Expects tshark to end well
// and to say nothing.
std::vector<std::string> TsharkFields(const QString& capture, const QStringList& fields,
                                      const QStringList& arguments = {});

}  // namespace testsupport
