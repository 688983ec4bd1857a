// The call logic of TForm1: the call buttons and the answering of requests from the peer.

#include <QCheckBox>
#include <QLineEdit>

#include "app/Controls.h"
#include "app/MainForm.h"
#include "net/NMUDP.h"
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

    phone::SetStatus(buffer, phone::StatusRejected);
    const phone::PhoneDatagram request = phone::ReadHeader(buffer);
    switch (request.Command) {
        case phone::CmdRing:
            if (CallMode == ModeIdle) {
                controls::InsertLineAtTop(Memo1, "Dial: " + IntToStr(request.Target));
                hook->setChecked(true);
                controls::SetText(eIP, FromIP);
                controls::SetText(eTarget, IntToStr(request.Target));
                phone::SetStatus(buffer, phone::StatusAccepted);
            }
            break;
        case phone::CmdTalk:
            if (FromIP == controls::Text(eIP)) {
                hook->setChecked(true);
                phone::SetStatus(buffer, phone::StatusAccepted);
                CallMode = ModeTalking;
            }
            break;
        case phone::CmdHangUp:
        case phone::CmdDisconnect:
            if (FromIP == controls::Text(eIP)) {
                hook->setChecked(false);
                phone::SetStatus(buffer, phone::StatusAccepted);
                CallMode = ModeIdle;
            }
            break;
        default:
            break;
    }

    // The reply goes to the peer in eIP at the socket's port, never back to the sender as such.
    UDPSock->RemoteHost = controls::Text(eIP);
    UDPSock->SendDatagram(buffer, static_cast<std::int32_t>(phone::kRequestSize));

    controls::InsertLineAtTop(
        Memo1, "Send: " + IntToHex(request.Target, 2) + " " + IntToHex(request.Command, 2));
    std::string dump;
    for (std::int32_t i = 0; i < NumberBytes; ++i) {
        dump += ' ';
        dump += IntToHex(buffer[static_cast<std::size_t>(i)], 2);
    }
    controls::InsertLineAtTop(Memo1, "Read: " + IntToStr(NumberBytes) + dump);
}
