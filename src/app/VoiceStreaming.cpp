// The voice side of a call: opening the voice files, one chunk per tick while talking, and
// storing the peer's voice.

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "app/Controls.h"
#include "app/MainForm.h"
#include "app/VoiceFiles.h"
#include "app/VoiceFolder.h"
#include "net/NMUDP.h"
#include "phone/CallRules.h"
#include "shell/TextConversions.h"

namespace {

// A name in the voice folder. Without a known folder the path stays empty, so the open fails
// rather than reaching a file of that name in the root.
std::string InVoiceFolder(const std::string& name) {
    const std::string folder = voice::VoiceFolder();
    return folder.empty() ? std::string() : folder + "/" + name;
}

}  // namespace

void TForm1::bOpenClick(QObject* /*Sender*/) {
    const int superseded = SendFile;
    SendFile = voice::OpenForReading(InVoiceFolder(controls::Text(eFile)));
    // Nothing can reach the replaced handle any more; left open it would leak on every click.
    voice::Close(superseded);
    // The incoming file's earlier handle stays open: its lock is what refuses a second writer.
    RecvFile = voice::OpenForWriting(InVoiceFolder("recv.au"));
    if (SendFile > 0 && RecvFile > 0) {
        controls::SetCaption(bOpen, "open ok");
    }
}

void TForm1::Timer1Timer(TTimer& /*Sender*/) {
    if (CallMode == ModeTalking && SendFile > 0) {
        std::array<std::uint8_t, phone::kVoiceSize> datagram{};  // filler bytes stay zero
        const auto n = static_cast<std::int16_t>(voice::Read(
            SendFile, datagram.data() + phone::kOffsetPayload, phone::kVoicePayloadSize));
        if (n > 0) {
            const std::uint16_t seq = phone::VoiceSeq(NextSeq);
            const std::int32_t target = StrToInt(controls::Text(eTarget));
            phone::BuildVoiceHeader(datagram, seq, target, n);
            UDPSock->RemoteHost = controls::Text(eIP);
            UDPSock->SendDatagram(datagram, static_cast<std::int32_t>(datagram.size()));
            phone::AdvanceVoiceSeq(NextSeq);
            controls::IncrementCount(LSend);
        }
    }
    controls::SetCaption(LMode, IntToStr(CallMode));
}

void TForm1::ReceiveVoice(std::span<const std::uint8_t, phone::kReceiveBufferSize> buffer) {
    if (RecvFile > 0) {
        const std::span<const std::uint8_t> voice = phone::VoiceToStore(buffer);
        if (!voice.empty()) {
            voice::Write(RecvFile, voice.data(), voice.size());
        }
    }
    controls::IncrementCount(LRecv);
}
