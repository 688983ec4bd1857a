#pragma once
// Where the open button looks for send.au and recv.au. A build from the source tree keeps them
// beside the executable; the packaged build, whose executable lies in a folder the user cannot
// write, keeps them in a folder of the user's own, made at start with a sample tone to send.

#include <string>

namespace voice {

// $XDG_DATA_HOME/udpphone, or $HOME/.local/share/udpphone when XDG_DATA_HOME is unset, empty or
// relative (a relative one is ignored, as the XDG rule says). Empty when neither names an
// absolute folder: the opens then fail as for missing files.
std::string UserFolder(const char* xdgDataHome, const char* home);

enum class FolderOutcome { Existing, Created, Failed };

struct PreparedFolder {
    FolderOutcome outcome;
    std::string problem;  // what failed, for the operator, when the outcome is Failed
};

// When nothing stands at `folder`, makes it, and its missing parents private to the user, holding
// a copy of `sampleTone` as send.au and an empty recv.au. Anything already there, even a dangling
// link, is left alone. All or nothing: the folder appears complete or not at all, so a failed
// start tries again next time.
PreparedFolder PrepareFolder(const std::string& folder, const std::string& sampleTone);

// The folder the open button looks in, without a trailing "/"; empty when unknown.
std::string VoiceFolder();

// At start, for the packaged build: makes the user's folder when missing, and says on the
// standard error why it could not. Nothing to do for a build from the source tree.
void PrepareVoiceFolder();

}  // namespace voice
