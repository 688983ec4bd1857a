// The call logic of TForm1: the call buttons and the answering of requests from the peer.

#include <QCheckBox>
#include <QLineEdit>

#include "app/Controls.h"
#include "app/MainForm.h"
#include "net/NMUDP.h"
#include "phone/CallRules.h"
#include "shell/TextConversions.h"

void TForm1::FormCreate(QObject* /*Sender*/) {
    CallMode = ModeIdle;
    NextSeq = 1;
}

void TForm1::bRingClick(QObject* /*Sender*/) {
    SendRequest(ModeCalling, phone::CmdRing);
}

void TForm1::bTalkClick(QObject* /*Sender*/) {
    SendRequest(ModeTalking, phone::CmdTalk);
}

void TForm1::bDisconClick(QObject* /*Sender*/) {
    SendRequest(ModeIdle, phone::CmdDisconnect);
}

// The steps keep their order so that a failure part-way leaves the state the operator expects:
// the mode already changed and the sequence number spent before any field is read.
void TForm1::SendRequest(std::int32_t newMode, phone::Command command) {
    CallMode = newMode;
    std::array<std::uint8_t, phone::kRequestSize> request{};
    const std::uint16_t seq = phone::TakeRequestSeq(NextSeq);
    const std::int32_t target = StrToInt(controls::Text(eTarget));
    phone::BuildRequest(request, command, seq, target);
    UDPSock->RemoteHost = controls::Text(eIP);
    UDPSock->RemotePort = StrToInt(controls::Text(ePort));
    UDPSock->SendDatagram(request, static_cast<std::int32_t>(request.size()));
}

void TForm1::UDPSockDataReceived(TNMUDP& /*Sender*/, std::int32_t NumberBytes,
                                 const std::string& FromIP, std::int32_t /*Port*/) {
    // Copied out first: anything that dispatches messages may receive the next datagram.
    std::array<std::uint8_t, phone::kReceiveBufferSize> buffer{};
    UDPSock->ReadDatagram(buffer, NumberBytes);

    switch (phone::Classify(buffer, NumberBytes)) {
        case phone::DatagramKind::Voice:
            ReceiveVoice(buffer);
            return;
        case phone::DatagramKind::Request:
            break;
        default:
            return;
    }

    // What the window shows follows the shared rules: the same answer as the headless peer's.
    const phone::PhoneDatagram request = phone::ReadHeader(buffer);
    const std::string remembered = controls::Text(eIP);
    const phone::RequestAnswer answer = phone::AnswerRequest(CallMode, remembered, request, FromIP);
    if (answer.acceptedRing) {
        controls::InsertLineAtTop(Memo1, phone::DialLine(request));
    }
    if (answer.hook != phone::Hook::Unchanged) {
        hook->setChecked(answer.hook == phone::Hook::Lifted);
    }
    if (answer.acceptedRing) {
        controls::SetText(eIP, phone::PeerAfter(answer, remembered, FromIP));
        controls::SetText(eTarget, IntToStr(request.Target));
    }
    phone::SetStatus(buffer, answer.status);
    CallMode = answer.mode;

    // The reply goes to the peer in eIP at the socket's port, never back to the sender as such.
    UDPSock->RemoteHost = controls::Text(eIP);
    UDPSock->SendDatagram(buffer, static_cast<std::int32_t>(phone::kRequestSize));

    controls::InsertLineAtTop(Memo1, phone::SendLine(request));
    controls::InsertLineAtTop(Memo1, phone::ReadLine(std::span<const std::uint8_t>(buffer).first(
                                         static_cast<std::size_t>(NumberBytes))));
}
