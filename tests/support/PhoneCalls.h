#pragma once
// A main window on loopback with a peer socket at 127.0.0.2 standing for the other endpoint, and
// the datagrams and voice files that tests exchange with it. Includes what such tests use.

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "app/Controls.h"
#include "app/MainForm.h"
#include "shell/ApplicationTitle.h"
#include "support/EventWaits.h"
#include "support/RecordingBoxes.h"
#include "support/TestWindows.h"
#include "support/UdpPeer.h"

namespace testsupport {

using Bytes = std::vector<std::uint8_t>;

// "zelk", then `words` little-endian (Seq, Target, Command, Status and, for voice, Length), then
// `payload`; cut or padded with zeros to `size` unless that is 0.
Bytes Zelk(std::initializer_list<int> words, const Bytes& payload = {}, std::size_t size = 0);

inline Bytes Request(int seq, int target, int command, int status = 0) {
    return Zelk({seq, target, command, status});
}

std::uint16_t Word(const Bytes& bytes, std::size_t offset);

// The voice bytes of a voice datagram: as many as its Length says.
Bytes Payload(const Bytes& voice);

// Bytes that differ from each neighbour and from one seed to the next.
Bytes Pattern(std::size_t size, std::uint8_t seed);

// Each byte after a blank, as Memo1 shows it.
std::string Hex(const Bytes& bytes);

// Two lower-case digits a byte, nothing between: as the peer's --hex takes it and tshark prints.
std::string HexOf(const Bytes& bytes);

// Dispatches events until the log's gathered lines are all in place, their slices done; bounded.
bool WaitUntilSettled();

// Whether the test namespace's names, resolver and private mounts are there.
bool InTestNamespace();

void WriteFile(const std::filesystem::path& path, const Bytes& bytes, bool append = false);
Bytes ReadFile(const std::filesystem::path& path);

class PeerCallTest : public ::testing::Test {
  protected:
    PeerCallTest() { NewWindow(); }
    ~PeerCallTest() override { Boxes().whileOpen = nullptr; }

    // A new window calling the peer, with no boxes recorded yet.
    void NewWindow() {
        ResetBoxes();
        window = MakeWindow("127.0.0.2", peer.Port());
        controls::SetText(window->ePort, std::to_string(peer.Port()));
    }
    void Deliver(const Bytes& bytes, UdpPeer& from) {
        from.SendTo(bytes, "127.0.0.1", BoundPort(*window));
    }
    void Deliver(const Bytes& bytes) { Deliver(bytes, peer); }
    // The bytes of the next datagram reaching `at`; none after a bounded wait.
    static Bytes Next(UdpPeer& at) {
        auto datagram = at.Receive();
        return datagram ? datagram->bytes : Bytes{};
    }
    Bytes Next() { return Next(peer); }
    // The log once every line gathered so far is in place.
    std::string Memo() const {
        WaitUntilSettled();
        return window->Memo1->toPlainText().toStdString();
    }

    UdpPeer peer{"127.0.0.2"};
    std::unique_ptr<TForm1> window;
};

// With the voice files beside the test binary, new for every test: windows keep them open, and
// the lock on the incoming one, until the process ends.
class VoiceFileTest : public PeerCallTest {
  protected:
    VoiceFileTest() { RemoveVoiceFiles(); }
    ~VoiceFileTest() override { RemoveVoiceFiles(); }
    void RemoveVoiceFiles() {
        std::filesystem::remove_all(sendPath);
        std::filesystem::remove_all(recvPath);
    }

    const std::filesystem::path sendPath =
        std::filesystem::path(shell::ExecutableDirectory()) / "send.au";
    const std::filesystem::path recvPath =
        std::filesystem::path(shell::ExecutableDirectory()) / "recv.au";
};

}  // namespace testsupport
