// The main window's layout: positions and sizes in pixels at 96 pixels per inch, relative to the
// client area, for a font whose text height is 12.
//
// Accessible names go only to fields without a visible caption; a captioned control is named by
// its caption, so a screen reader says what is on screen and follows it when it changes.

#include "app/FormDescription.h"

namespace {

using Props = std::vector<StoredProperty>;

StoredProperty Described(const char* description) {
    return {"AccessibleDescription", std::string(description)};
}

StoredProperty Named(const char* name) {
    return {"AccessibleName", std::string(name)};
}

StoredComponent Geometry(std::string className, std::string name, std::int64_t left,
                         std::int64_t top, std::int64_t width, std::int64_t height, Props rest) {
    Props props = {{"Left", left}, {"Top", top}, {"Width", width}, {"Height", height}};
    props.insert(props.end(), rest.begin(), rest.end());
    return {std::move(className), std::move(name), std::move(props)};
}

FormDescription BuildForm1() {
    FormDescription d;
    d.form = {"TForm1",
              "Form1",
              {
                  {"Left", std::int64_t{192}},
                  {"Top", std::int64_t{114}},
                  {"Width", std::int64_t{257}},
                  {"Height", std::int64_t{299}},
                  {"Caption", std::string("Form1")},
                  {"Color", std::string("clBtnFace")},
                  {"Font.Charset", std::string("SHIFTJIS_CHARSET")},
                  {"Font.Color", std::string("clWindowText")},
                  {"Font.Height", std::int64_t{-12}},
                  {"Font.Name", std::string("ＭＳ Ｐゴシック")},
                  {"Font.Style", std::vector<std::string>{}},
                  {"OnCreate", HandlerName{"FormCreate"}},
                  {"PixelsPerInch", std::int64_t{96}},
                  {"TextHeight", std::int64_t{12}},
                  Described("Places and answers calls with one peer and streams voice files"),
              }};
    d.components = {
        Geometry("TLabel", "LRecv", 168, 152, 6, 12,
                 {{"Caption", std::string("0")}, Described("Voice datagrams received")}),
        Geometry("TLabel", "LSend", 216, 152, 6, 12,
                 {{"Caption", std::string("0")}, Described("Voice datagrams sent")}),
        Geometry("TLabel", "LMode", 200, 88, 33, 12,
                 {{"Caption", std::string("LMode")},
                  Described("Call mode: 1 idle, 6 calling, 7 talking")}),
        Geometry("TLabel", "Label1", 152, 152, 8, 12,
                 {{"Caption", std::string("R")},
                  Described("Marks the count of voice datagrams received")}),
        Geometry(
            "TLabel", "Label2", 200, 152, 7, 12,
            {{"Caption", std::string("S")}, Described("Marks the count of voice datagrams sent")}),
        Geometry("TEdit", "eIP", 8, 8, 121, 20,
                 {{"TabOrder", std::int64_t{0}},
                  {"Text", std::string("192.168.1.20")},
                  Named("Peer address"),
                  Described("IPv4 address or host name of the peer that calls and voice go to")}),
        Geometry("TEdit", "ePort", 144, 8, 57, 20,
                 {{"TabOrder", std::int64_t{1}},
                  {"Text", std::string("20080")},
                  Named("Peer port"),
                  Described("UDP port of the peer that requests go to")}),
        Geometry("TButton", "bRing", 8, 40, 75, 25,
                 {{"Caption", std::string("Ring")},
                  {"TabOrder", std::int64_t{2}},
                  {"OnClick", HandlerName{"bRingClick"}},
                  Described("Rings the target at the peer")}),
        Geometry("TButton", "bTalk", 88, 40, 75, 25,
                 {{"Caption", std::string("Talk")},
                  {"TabOrder", std::int64_t{3}},
                  {"OnClick", HandlerName{"bTalkClick"}},
                  Described("Starts talking: the voice file streams to the peer")}),
        Geometry("TButton", "bDiscon", 168, 40, 75, 25,
                 {{"Caption", std::string("Disconnect")},
                  {"TabOrder", std::int64_t{4}},
                  {"OnClick", HandlerName{"bDisconClick"}},
                  Described("Ends the call; streaming pauses where it is")}),
        Geometry("TMemo", "Memo1", 8, 168, 233, 89,
                 {{"Lines.Strings", std::vector<std::string>{"Memo1"}},
                  {"ScrollBars", std::string("ssVertical")},
                  {"TabOrder", std::int64_t{5}},
                  Named("Log"),
                  Described("Requests received from the peer and the replies, newest first")}),
        Geometry("TCheckBox", "hook", 8, 80, 97, 17,
                 {{"Caption", std::string("hook")},
                  {"TabOrder", std::int64_t{6}},
                  Described("Ticked when the peer rings")}),
        Geometry("TEdit", "eFile", 8, 120, 121, 20,
                 {{"TabOrder", std::int64_t{7}},
                  {"Text", std::string("send.au")},
                  Named("Voice file"),
                  Described("Name of the voice file to send, taken when open is pressed")}),
        Geometry("TButton", "bOpen", 168, 120, 75, 25,
                 {{"Caption", std::string("open")},
                  {"TabOrder", std::int64_t{8}},
                  {"OnClick", HandlerName{"bOpenClick"}},
                  Described("Opens the voice file to send and recv.au to store the peer's voice")}),
        Geometry("TEdit", "eTarget", 128, 80, 57, 20,
                 {{"TabOrder", std::int64_t{9}},
                  {"Text", std::string("1")},
                  Named("Target"),
                  Described("Number to call, sent as the target of every request and voice")}),
        {"TNMUDP",
         "UDPSock",
         {{"RemotePort", std::int64_t{20080}},
          {"LocalPort", std::int64_t{20080}},
          {"ReportLevel", std::int64_t{1}},
          {"OnDataReceived", HandlerName{"UDPSockDataReceived"}}}},
        {"TTimer",
         "Timer1",
         {{"Interval", std::int64_t{47}}, {"OnTimer", HandlerName{"Timer1Timer"}}}},
    };
    return d;
}

}  // namespace

const FormDescription& StoredForm1() {
    static const FormDescription description = BuildForm1();
    return description;
}
