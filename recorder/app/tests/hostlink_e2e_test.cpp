// The host link end to end: the real tolvane on the private Xvfb, driven by
// tolvane-ctl (and, for packets no well-behaved host sends, by the link's
// own classes in this process). Answers are compared byte for byte with the
// protocol's form; recordings are checked with ffmpeg and flvmeta.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <algorithm>
#include <regex>

#include "e2efixture.h"
#include "hostmessage.h"
#include "linkpacket.h"
#include "processtalkimpl.h"
#include "scriptedlink.h"
#include "x11talktransport.h"

using namespace e2e;

namespace {

const std::string kVersion = TOLVANE_VERSION_TEXT;

// "WxH" of a window, from xdotool.
std::string geometry(const std::string& window) {
    const std::string out = run("xdotool getwindowgeometry " + window);
    const std::size_t at = out.find("Geometry: ");
    return at == std::string::npos ? std::string() : out.substr(at + 10, out.find('\n', at) - at - 10);
}

bool waitGeometry(const std::string& window, const std::string& want, std::chrono::milliseconds timeout = 5s) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < until) {
        if (geometry(window) == want) return true;
        std::this_thread::sleep_for(100ms);
    }
    return false;
}

// The answer's identifier; empty unless it has the protocol's form.
std::string answerId(const std::string& answer) {
    static const std::regex form("<Tolvane version=\"[^\"]*\" id=\"([0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12})\">");
    std::smatch match;
    return std::regex_search(answer, match, form) ? match[1].str() : std::string();
}

std::string expectedAnswer(const std::string& id, const char* val) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\n<Tolvane version=\"" + kVersion + "\" id=\"" + id +
           "\">\n    <cmd opt=\"respond\" " + (val ? std::string("val=\"") + val + "\" " : std::string()) +
           "ret=\"0\" />\n</Tolvane>\n";
}

void expectPlayable(const std::string& file) {
    EXPECT_EQ(CMediaProbe::DecodeErrors(file), "") << "ffmpeg decode of " << file;
    int errors = -1;
    CMediaProbe::FlvmetaCheck(file, errors);
    EXPECT_EQ(errors, 0) << "flvmeta of " << file;
    EXPECT_GT(CMediaProbe::MetaDuration(file), 1.0) << "the final onMetaData";
}

// A process that is not the test's child: ended by its id.
void endByPid(const std::string& pid) {
    if (pid.empty()) return;
    ::kill(static_cast<pid_t>(std::stol(pid)), SIGTERM);
    for (int i = 0; i < 100 && ::kill(static_cast<pid_t>(std::stol(pid)), 0) == 0; ++i)
        std::this_thread::sleep_for(100ms);
}

}  // namespace

TEST_F(TolvaneE2E, HostDrivesTheBarAndItsAnswersHaveTheProtocolsForm) {
    CProgram bar;
    const std::string window = startBar(bar);
    ASSERT_FALSE(window.empty());
    EXPECT_EQ(geometry(window), "375x40");
    CProgram host;
    ASSERT_TRUE(host.start({"--xml", "shell"}, environment(), TOLVANE_CTL_PROGRAM, true));
    auto ask = [&](const std::string& line) {
        host.writeLine(line);
        return host.readUntil("</Tolvane>\n");
    };
    std::string answer = ask("state");
    std::string id = answerId(answer);
    ASSERT_FALSE(id.empty()) << answer;
    EXPECT_EQ(answer, expectedAnswer(id, "0"));
    EXPECT_TRUE(waitGeometry(window, "285x40")) << "host-driven bar: " << geometry(window);
    screenshot("bar-host-driven");

    // F9 belongs to the host now.
    run("xdotool key F9");
    std::this_thread::sleep_for(1500ms);
    EXPECT_TRUE(recordings().empty()) << "F9 started a recording while host-driven";

    answer = ask("start Alice");
    EXPECT_EQ(answer, expectedAnswer(answerId(answer), nullptr));
    answer = ask("state");
    EXPECT_EQ(answer, expectedAnswer(answerId(answer), "1"));
    std::this_thread::sleep_for(1500ms);
    answer = ask("pause");
    EXPECT_EQ(answer, expectedAnswer(answerId(answer), nullptr));
    answer = ask("state");
    EXPECT_EQ(answer, expectedAnswer(answerId(answer), "2"));
    answer = ask("start");  // resumes
    answer = ask("state");
    EXPECT_EQ(answer, expectedAnswer(answerId(answer), "1"));
    std::this_thread::sleep_for(1500ms);

    // The bar, hidden while it records for a host, has the boxes' title.
    WindowList before = windowsNamed(caption());
    before.push_back(window);
    answer = ask("stop");
    EXPECT_EQ(answer, expectedAnswer(answerId(answer), nullptr));
    EXPECT_TRUE(dismissPrompt(before, "host-finish-prompt")) << "no finish prompt after the host's stop";
    answer = ask("state");
    EXPECT_EQ(answer, expectedAnswer(answerId(answer), "0"));

    host.writeLine("quit");
    EXPECT_EQ(host.wait(10s), 0);
    EXPECT_TRUE(waitGeometry(window, "375x40")) << "the bar left host mode: " << geometry(window);

    std::vector<std::string> files = recordings();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(std::regex_match(fs::path(files[0]).filename().string(), std::regex("Alice-[0-9]{14}\\.flv")))
        << files[0];
    expectPlayable(files[0]);
    endBar(bar);
}

TEST_F(TolvaneE2E, KilledHostEndsHostModeAndTheRecordingIsFinishedWithin1500ms) {
    CProgram bar;
    const std::string window = startBar(bar);
    ASSERT_FALSE(window.empty());
    CProgram host;
    ASSERT_TRUE(host.start({"record", "--name", "K", "-t", "100"}, environment(), TOLVANE_CTL_PROGRAM, true));
    ASSERT_EQ(host.readUntil("\n"), "state recording\n");
    std::this_thread::sleep_for(2500ms);
    WindowList before = windowsNamed(caption());
    before.push_back(window);  // hidden now, shown again when the host goes
    const auto killed = std::chrono::steady_clock::now();
    host.signal(SIGKILL);
    // The bar stops the recording (finishing the file) and then tells the
    // user: the box's appearance marks the finished file.
    std::string box;
    while (box.empty() && std::chrono::steady_clock::now() - killed < 10s) {
        for (const std::string& id : windowsNamed(caption()))
            if (std::find(before.begin(), before.end(), id) == before.end()) box = id;
        if (box.empty()) std::this_thread::sleep_for(10ms);
    }
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - killed);
    ASSERT_FALSE(box.empty()) << "no message after the host died";
    std::cout << "host death to finished file and message: " << elapsed.count() << " ms" << std::endl;
    EXPECT_LT(elapsed.count(), 1500);
    std::vector<std::string> files = recordings();
    ASSERT_EQ(files.size(), 1u);
    expectPlayable(files[0]);
    EXPECT_EQ(fs::path(files[0]).filename().string().substr(0, 2), "K-");
    std::this_thread::sleep_for(300ms);
    screenshot("host-gone");
    answer(box, "Return");
    EXPECT_TRUE(waitGeometry(window, "375x40")) << "the bar is the user's again: " << geometry(window);
    EXPECT_NE(run("xwininfo -id " + window).find("IsViewable"), std::string::npos) << "the bar is shown again";
    endBar(bar);
}

TEST_F(TolvaneE2E, WndConnectsAtStartAndASecondHostIsRefused) {
    CProgram first;
    ASSERT_TRUE(first.start({"launch"}, environment(), TOLVANE_CTL_PROGRAM, true));
    const std::string window = waitWindow("Tolvane");
    ASSERT_FALSE(window.empty());
    const std::string barPid = run("xdotool getwindowpid " + window).substr(0, run("xdotool getwindowpid " + window).find('\n'));
    first.writeLine("state");
    EXPECT_EQ(first.readUntil("\n", 20s), "state ready\n");
    EXPECT_TRUE(waitGeometry(window, "285x40"));

    const WindowList before = windowsNamed(caption());
    CProgram second;
    ASSERT_TRUE(second.start({"shell"}, environment(), TOLVANE_CTL_PROGRAM, true));
    EXPECT_EQ(second.wait(15s), 4) << "the second host is refused";
    std::string box = waitNewWindow(caption(), before, 5s);
    ASSERT_FALSE(box.empty()) << "no message about the second host";
    std::this_thread::sleep_for(300ms);
    screenshot("host-second-refused");
    answer(box, "Return");

    first.writeLine("state");
    EXPECT_EQ(first.readUntil("\n"), "state ready\n") << "the first host still drives the bar";
    first.writeLine("quit");
    EXPECT_EQ(first.wait(10s), 0);
    EXPECT_TRUE(waitGeometry(window, "375x40"));
    endByPid(barPid);
}

TEST_F(TolvaneE2E, HostilePacketsThroughTheLinkLeaveTheBarWorking) {
    CProgram bar;
    const std::string window = startBar(bar);
    ASSERT_FALSE(window.empty());
    const TalkWindow barWindow = static_cast<TalkWindow>(std::stoul(window));

    CX11TalkTransport transport;
    ASSERT_TRUE(transport.Open(s_pX->GetDisplayName().c_str()));
    const TalkWindow own = transport.CreateOwnWindow("hostile host");
    ProcessTalkImpl link(transport);
    RecordingSink sink;
    ASSERT_EQ(link.Initialize(own, &sink), 1);
    transport.SetReceiver(&link);
    auto pumpFor = [&](std::chrono::milliseconds time) {
        const auto until = std::chrono::steady_clock::now() + time;
        while (std::chrono::steady_clock::now() < until) {
            pollfd fd{transport.GetFd(), POLLIN, 0};
            ::poll(&fd, 1, 20);
            transport.Pump();
        }
    };
    ASSERT_EQ(link.Connect(barWindow), 1);
    for (int i = 0; i < 100 && !link.IsConnected(); ++i) pumpFor(50ms);
    ASSERT_TRUE(link.IsConnected());
    auto answers = [&] {
        return std::count_if(sink.log.begin(), sink.log.end(), [](const std::string& l) { return l.rfind("data ", 0) == 0; });
    };
    const std::string query = "<Tolvane id=\"1f2ef784-7dae-4f70-80fa-9ffe891d7c92\"><cmd opt=\"qurey\" type=\"record\"/></Tolvane>";
    auto expectAnswerTo = [&](const std::string& what) {
        sink.log.clear();
        EXPECT_EQ(link.SendData(query.data(), static_cast<unsigned>(query.size())), 1) << what;
        for (int i = 0; i < 100 && answers() == 0; ++i) pumpFor(20ms);
        EXPECT_EQ(answers(), 1) << "the bar answers after " << what;
    };
    expectAnswerTo("connecting");

    std::string bomb = "<Tolvane id=\"1f2ef784-7dae-4f70-80fa-9ffe891d7c92\">";
    for (int i = 0; i < 200000; ++i) bomb += "<cmd opt=\"qurey\" type=\"record\">";
    const std::vector<std::pair<std::string, std::string>> hostile{
        {"malformed XML", "<Tolvane id=\"x\"><cmd opt=\"qurey\" type=\"record\">"},
        {"another root", "<Tolvan><cmd opt=\"qurey\" type=\"record\"/></Tolvan>"},
        {"no cmd", "<Tolvane><command opt=\"qurey\" type=\"record\"/></Tolvane>"},
        {"nested elements", bomb},
        {"1 MiB of text", std::string(1 << 20, 'x')},
        {"invalid UTF-8", "<Tolvane id=\"\xC3\x28\"><cmd opt=\"qurey\" type=\"record\"/></Tolvane>"},
        {"over 1 MiB", "<Tolvane><cmd opt=\"qurey\" type=\"record\" name=\"" + std::string(1 << 20, 'n') + "\"/></Tolvane>"},
    };
    for (const auto& [what, text] : hostile) {
        sink.log.clear();
        link.SendData(text.data(), static_cast<unsigned>(text.size()));
        pumpFor(300ms);
        EXPECT_EQ(answers(), 0) << what;
    }
    EXPECT_EQ(bar.wait(0ms), -1) << "the bar is still running";

    // Packets of the wrong property type or format, announced as the link does.
    Display* display = transport.GetDisplay();
    const Atom packetType = XInternAtom(display, CX11TalkTransport::kPacketTypeName, False);
    const Atom property = XInternAtom(display, "_TOLVANE_LINK_HOSTILE", False);
    const auto packet = CLinkPacket::Build(CLinkPacket::TYPE_DATA, barWindow, own,
                                           std::span(reinterpret_cast<const std::uint8_t*>(query.data()), query.size()));
    for (const auto& [type, format] : {std::pair{XA_STRING, 8}, std::pair{packetType, 32}}) {
        sink.log.clear();
        std::vector<std::uint8_t> padded(packet);
        padded.resize((packet.size() + 3) / 4 * 4);
        XChangeProperty(display, barWindow, property, type, format, PropModeReplace, padded.data(),
                        static_cast<int>(format == 8 ? packet.size() : padded.size() / 4));
        CX11TalkTransport::Announce(display, barWindow, property, CLinkPacket::kCopyDataTag, own);
        XFlush(display);
        pumpFor(300ms);
        EXPECT_EQ(answers(), 0) << "property type " << type << " format " << format;
        XDeleteProperty(display, barWindow, property);
    }

    // A packet for another destination, a data packet of exactly 9 bytes, and
    // a disconnect and an accept from a window that is not the peer.
    CX11TalkTransport other;
    ASSERT_TRUE(other.Open(s_pX->GetDisplayName().c_str()));
    const TalkWindow stranger = other.CreateOwnWindow("stranger");
    sink.log.clear();
    transport.SendPacket(barWindow, CLinkPacket::Build(CLinkPacket::TYPE_DATA, own, own,
                                                       std::span(reinterpret_cast<const std::uint8_t*>(query.data()), query.size())));
    transport.SendPacket(barWindow, CLinkPacket::Build(CLinkPacket::TYPE_DATA, barWindow, own));
    pumpFor(300ms);
    EXPECT_EQ(answers(), 0);
    EXPECT_TRUE(other.SendPacket(barWindow, CLinkPacket::Build(CLinkPacket::TYPE_DISCONNECT, barWindow, stranger)));
    EXPECT_TRUE(other.SendPacket(barWindow, CLinkPacket::Build(CLinkPacket::TYPE_ACCEPT, barWindow, stranger)));
    pumpFor(300ms);
    EXPECT_TRUE(link.IsConnected());
    expectAnswerTo("the hostile packets");

    // The round trip of a state query, 100 times.
    std::vector<double> times;
    for (int i = 0; i < 100; ++i) {
        sink.log.clear();
        const auto sent = std::chrono::steady_clock::now();
        link.SendData(query.data(), static_cast<unsigned>(query.size()));
        while (answers() == 0 && std::chrono::steady_clock::now() - sent < 5s) {
            pollfd fd{transport.GetFd(), POLLIN, 0};
            ::poll(&fd, 1, 5);
            transport.Pump();
        }
        ASSERT_EQ(answers(), 1);
        times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - sent).count());
    }
    std::sort(times.begin(), times.end());
    std::cout << "state query round trip: median " << times[50] << " ms, max " << times.back() << " ms" << std::endl;
    link.Disconnect();
    EXPECT_TRUE(waitGeometry(window, "375x40"));
    endBar(bar);
}
