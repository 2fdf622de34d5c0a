// The host link's rules against a scripted window system, the XML messages,
// and the bar's frame side against a scripted frame.
#include <gtest/gtest.h>

#include <string>

#include "hostframesink.h"
#include "hostmessage.h"
#include "processtalkimpl.h"
#include "scriptedlink.h"

namespace {

constexpr TalkWindow kOwn = 0x100001, kHost = 0x200001, kOther = 0x300001;

std::vector<std::uint8_t> bytes(const std::string& s) { return {s.begin(), s.end()}; }

class LinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        transport.windows = {kOwn, kHost, kOther};
        ASSERT_EQ(link.Initialize(kOwn, &sink), 1);
    }
    int deliver(const std::vector<std::uint8_t>& packet) {
        TalkCopyData copy;
        copy.dwData = 12;
        copy.cbData = static_cast<std::uint32_t>(packet.size());
        copy.lpData = packet.data();
        return link.OnCopyData(0, &copy);
    }
    void connectHost() {
        deliver(CLinkPacket::Build(CLinkPacket::TYPE_CONNECT, kOwn, kHost));
        ASSERT_TRUE(link.IsConnected());
        sink.log.clear();
        transport.sent.clear();
    }
    ScriptedTransport transport;
    RecordingSink sink;
    ProcessTalkImpl link{transport};
};

}  // namespace

TEST(LinkPacket, LayoutAndShortPackets) {
    const auto packet = CLinkPacket::Build(2, 0x04030201, 0x08070605, bytes("xy"));
    EXPECT_EQ(packet, (std::vector<std::uint8_t>{2, 1, 2, 3, 4, 5, 6, 7, 8, 'x', 'y'}));
    LinkPacketHeader h = CLinkPacket::Parse(packet);
    EXPECT_EQ(h.type, 2);
    EXPECT_EQ(h.destination, 0x04030201u);
    EXPECT_EQ(h.source, 0x08070605u);
    h = CLinkPacket::Parse({});
    EXPECT_EQ(h.type, 0);
    EXPECT_EQ(h.destination, 0u);
    h = CLinkPacket::Parse(std::vector<std::uint8_t>{1, 1, 0, 0, 0, 9});
    EXPECT_EQ(h.type, 1);
    EXPECT_EQ(h.destination, 1u);
    EXPECT_EQ(h.source, 0u);
}

TEST_F(LinkTest, ConnectRequestConnectsAndAcceptsOnlyWhenAddressedFromAWindow) {
    deliver(CLinkPacket::Build(CLinkPacket::TYPE_CONNECT, kOther, kHost));  // not for us
    deliver(CLinkPacket::Build(CLinkPacket::TYPE_CONNECT, kOwn, 0x999));    // no such window
    deliver(CLinkPacket::Build(CLinkPacket::TYPE_CONNECT, 0, kHost));
    EXPECT_FALSE(link.IsConnected());
    EXPECT_TRUE(transport.sent.empty());
    deliver(CLinkPacket::Build(CLinkPacket::TYPE_CONNECT, kOwn, kHost));
    EXPECT_TRUE(link.IsConnected());
    EXPECT_EQ(link.GetPeerWindow(), kHost);
    EXPECT_EQ(sink.log, (std::vector<std::string>{"state 1", "timer 1000"}));
    ASSERT_EQ(transport.sent.size(), 1u);
    EXPECT_EQ(transport.sent[0], CLinkPacket::Build(CLinkPacket::TYPE_ACCEPT, kHost, kOwn));
    EXPECT_EQ(transport.watched, kHost);
}

TEST_F(LinkTest, SecondHostIsPutToTheSinkAndGetsNoAccept) {
    connectHost();
    deliver(CLinkPacket::Build(CLinkPacket::TYPE_CONNECT, kOwn, kOther));
    EXPECT_EQ(sink.log, std::vector<std::string>{"multi"});
    EXPECT_TRUE(transport.sent.empty());
    EXPECT_EQ(link.GetPeerWindow(), kHost);
}

TEST_F(LinkTest, IgnoredPackets) {
    connectHost();
    // An accept while connected, a disconnect from another window, a data
    // packet of exactly 9 bytes, data from another window or for another
    // destination, an unknown type.
    deliver(CLinkPacket::Build(CLinkPacket::TYPE_ACCEPT, kOwn, kOther));
    deliver(CLinkPacket::Build(CLinkPacket::TYPE_DISCONNECT, kOwn, kOther));
    deliver(CLinkPacket::Build(CLinkPacket::TYPE_DATA, kOwn, kHost));
    deliver(CLinkPacket::Build(CLinkPacket::TYPE_DATA, kOwn, kOther, bytes("a")));
    deliver(CLinkPacket::Build(CLinkPacket::TYPE_DATA, kOther, kHost, bytes("b")));
    deliver(CLinkPacket::Build(7, kOwn, kHost, bytes("c")));
    EXPECT_TRUE(sink.log.empty());
    EXPECT_TRUE(link.IsConnected());
    EXPECT_EQ(link.GetPeerWindow(), kHost);
    deliver(CLinkPacket::Build(CLinkPacket::TYPE_DATA, kOwn, kHost, bytes("<x/>")));
    EXPECT_EQ(sink.log, std::vector<std::string>{"data <x/>"});
}

TEST_F(LinkTest, AcceptFromAWindowConnectsButNotFromNoWindow) {
    deliver(CLinkPacket::Build(CLinkPacket::TYPE_ACCEPT, kOwn, 0));
    deliver(CLinkPacket::Build(CLinkPacket::TYPE_ACCEPT, kOwn, 0x999));
    EXPECT_FALSE(link.IsConnected());
    EXPECT_EQ(link.Connect(0x999), 0);
    EXPECT_EQ(link.Connect(kHost), 1);
    EXPECT_EQ(transport.sent.back(), CLinkPacket::Build(CLinkPacket::TYPE_CONNECT, kHost, kOwn));
    EXPECT_FALSE(link.IsConnected());
    deliver(CLinkPacket::Build(CLinkPacket::TYPE_ACCEPT, kOwn, kHost));
    EXPECT_TRUE(link.IsConnected());
}

TEST_F(LinkTest, EndsByDisconnectPacketDisconnectSendDataAndCheckPeer) {
    connectHost();
    deliver(CLinkPacket::Build(CLinkPacket::TYPE_DISCONNECT, kOwn, kHost));
    EXPECT_FALSE(link.IsConnected());
    EXPECT_EQ(sink.log, (std::vector<std::string>{"state 0", "timer off"}));
    EXPECT_EQ(link.GetPeerWindow(), 0u);

    connectHost();
    EXPECT_EQ(link.Disconnect(), 1);
    EXPECT_EQ(link.Disconnect(), 0);
    ASSERT_EQ(transport.sent.size(), 1u);
    EXPECT_EQ(transport.sent[0], CLinkPacket::Build(CLinkPacket::TYPE_DISCONNECT, kHost, kOwn));

    connectHost();
    EXPECT_EQ(link.SendData("abc", 3), 1);
    EXPECT_EQ(transport.sent.back(), CLinkPacket::Build(CLinkPacket::TYPE_DATA, kHost, kOwn, bytes("abc")));
    transport.windows.erase(kHost);
    sink.log.clear();
    EXPECT_EQ(link.SendData("abc", 3), 0);
    EXPECT_FALSE(link.IsConnected());
    EXPECT_EQ(sink.log, (std::vector<std::string>{"state 0", "timer off"}));

    transport.windows.insert(kHost);
    connectHost();
    link.CheckPeer();
    EXPECT_TRUE(link.IsConnected());
    transport.windows.erase(kHost);
    link.CheckPeer();
    EXPECT_FALSE(link.IsConnected());
    EXPECT_EQ(link.SendData("abc", 3), 0);
}

TEST(HostMessage, AnswersArePrintedInTheProtocolsForm) {
    const auto id = CHostMessage::ParseGuid("1F2EF784-7DAE-4F70-80FA-9FFE891D7C92");
    ASSERT_TRUE(id);
    EXPECT_EQ(CHostMessage::PrintAnswer("0.1.0.0", *id, 2),
              "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\n"
              "<Tolvane version=\"0.1.0.0\" id=\"1f2ef784-7dae-4f70-80fa-9ffe891d7c92\">\n"
              "    <cmd opt=\"respond\" val=\"2\" ret=\"0\" />\n"
              "</Tolvane>\n");
    EXPECT_EQ(CHostMessage::PrintAnswer("1.2.3.4", CHostMessage::Guid{}, std::nullopt),
              "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\n"
              "<Tolvane version=\"1.2.3.4\" id=\"00000000-0000-0000-0000-000000000000\">\n"
              "    <cmd opt=\"respond\" ret=\"0\" />\n"
              "</Tolvane>\n");
    for (const char* bad : {"", "{1f2ef784-7dae-4f70-80fa-9ffe891d7c92}", "1f2ef784-7dae-4f70-80fa-9ffe891d7c9g",
                            "1f2ef7847-dae-4f70-80fa-9ffe891d7c92"})
        EXPECT_FALSE(CHostMessage::ParseGuid(bad)) << bad;
    const auto fresh = CHostMessage::NewGuid();
    EXPECT_EQ(CHostMessage::ParseGuid(CHostMessage::FormatGuid(fresh)), fresh);
}

TEST(HostMessage, CommandsAndWhatIsNotOne) {
    auto command = CHostMessage::ParseCommand(
        "<Tolvane id=\"x\"><cmd opt=\"set\" type=\"source\"><mic id=\"1\" name=\"USB Mic\" disable=\"0\"/>"
        "<speeker name=\"Sp\" disable=\"3\"/></cmd><cmd opt=\"qurey\"/></Tolvane>");
    ASSERT_TRUE(command);
    EXPECT_EQ(command->opt, "set");
    EXPECT_EQ(command->type, "source");
    EXPECT_EQ(command->mic.name, "USB Mic");
    EXPECT_EQ(command->speaker.disable, 3);
    command = CHostMessage::ParseCommand("<Tolvane><cmd opt=\"set\" type=\"record\" val=\"12abc\" name=\"Ä\"/></Tolvane>");
    ASSERT_TRUE(command);
    EXPECT_EQ(command->val, 12);
    EXPECT_EQ(command->name, "Ä");
    EXPECT_EQ(command->id, "");
    std::string bomb;
    for (int i = 0; i < 100000; ++i) bomb += "<a>";
    for (const std::string& bad :
         {std::string("<Tolvane><cmd"), std::string("<tolvane><cmd opt=\"set\"/></tolvane>"),
          std::string("<Tolvane><command/></Tolvane>"), "<Tolvane>" + bomb, std::string("<Tolvane name=\"\xC3\x28\"><cmd/></Tolvane>"),
          std::string("<Tolvane><cmd opt=\"s\0et\"/></Tolvane>", 34), std::string()})
        EXPECT_FALSE(CHostMessage::ParseCommand(bad)) << bad.substr(0, 40);
    const std::string big = "<Tolvane><cmd name=\"" + std::string(1 << 20, 'n') + "\"/></Tolvane>";
    command = CHostMessage::ParseCommand(big);
    ASSERT_TRUE(command);
    EXPECT_EQ(command->name.size(), 1u << 20);
}

TEST(HostFrameSink, RecordCommandsAreAnsweredFirstThenCarriedOut) {
    ScriptedFrame frame;
    RecordingMessages messages;
    messages.log = &frame.log;
    ScriptedLink link;
    link.log = &frame.log;
    CHostFrameSink sink(frame, messages, "0.1.0.0");
    sink.SetLink(&link);
    auto send = [&](const std::string& text) { sink.OnReceiveData(text.data(), static_cast<unsigned>(text.size())); };
    const std::string id = "1f2ef784-7dae-4f70-80fa-9ffe891d7c92";
    send("<Tolvane id=\"" + id + "\"><cmd opt=\"qurey\" type=\"record\"/></Tolvane>");
    send("<Tolvane id=\"" + id + "\"><cmd opt=\"set\" type=\"record\" val=\"2\"/></Tolvane>");  // nothing records
    send("<Tolvane><cmd opt=\"set\" type=\"record\" val=\"1\" name=\"Alice\"/></Tolvane>");
    send("<Tolvane><cmd opt=\"set\" type=\"record\" val=\"1\"/></Tolvane>");  // running: answers only
    send("<Tolvane><cmd opt=\"set\" type=\"record\" val=\"2\"/></Tolvane>");
    send("<Tolvane><cmd opt=\"qurey\" type=\"record\"/></Tolvane>");
    send("<Tolvane><cmd opt=\"set\" type=\"record\" val=\"1\"/></Tolvane>");  // paused: resumes
    send("<Tolvane><cmd opt=\"set\" type=\"record\" val=\"0\"/></Tolvane>");
    send("<Tolvane><cmd opt=\"set\" type=\"record\" val=\"7\"/></Tolvane>");
    send("<Tolvane><cmd opt=\"Set\" type=\"record\" val=\"1\"/></Tolvane>");
    send("<Tolvane><cmd opt=\"query\" type=\"record\"/></Tolvane>");
    send("<Tolvane><cmd opt=\"set\" type=\"source\"><mic name=\"M\" disable=\"0\"/></cmd></Tolvane>");
    EXPECT_EQ(frame.log, (std::vector<std::string>{"answer", "answer", "answer", "doStart", "answer", "answer",
                                                    "doPause", "answer", "answer", "doResume", "answer", "doStop",
                                                    "finish prompt", "devices M|0||0"}));
    EXPECT_EQ(frame.hostNames, (std::vector<std::string>{"Alice", "", ""}));
    ASSERT_EQ(link.sent.size(), 8u);
    EXPECT_NE(link.sent[0].find("id=\"" + id + "\""), std::string::npos);
    EXPECT_NE(link.sent[0].find("val=\"0\""), std::string::npos);
    EXPECT_NE(link.sent[2].find("id=\"00000000-0000-0000-0000-000000000000\""), std::string::npos);
    EXPECT_NE(link.sent[5].find("val=\"2\""), std::string::npos);
    EXPECT_EQ(link.sent[2].find("val="), std::string::npos);

    // A stop while the link is gone shows no prompt.
    frame.log.clear();
    frame.recording = true;
    link.connected = false;
    send("<Tolvane><cmd opt=\"set\" type=\"record\" val=\"0\"/></Tolvane>");
    EXPECT_EQ(frame.log, (std::vector<std::string>{"answer", "doStop"}));
}

TEST(HostFrameSink, ConnectStatesStopTheRecordingAndTheHostsEndIsToldAfterTheStop) {
    ScriptedFrame frame;
    RecordingMessages messages;
    messages.log = &frame.log;
    CHostFrameSink sink(frame, messages, "0.1.0.0");
    frame.recording = true;
    sink.OnConnectState(1);
    EXPECT_EQ(frame.log, (std::vector<std::string>{"autoSync 1", "doStop"}));
    frame.log.clear();
    frame.recording = true;
    sink.OnConnectState(0);
    EXPECT_EQ(frame.log, (std::vector<std::string>{"autoSync 0", "doStop", "box ID_TEXT_RECORD_FINISH"}));
    frame.log.clear();
    sink.OnConnectState(0);  // nothing recorded
    EXPECT_EQ(frame.log, (std::vector<std::string>{"autoSync 0", "doStop"}));
    frame.log.clear();
    EXPECT_EQ(sink.OnMultiConnect(), 1);
    EXPECT_EQ(frame.log, std::vector<std::string>{"box ID_TEXT_MULTY_CONNECT_TIP"});
}
