// The host link's packet handling: ProcessTalkImpl::OnCopyData over a
// scripted window system (windows 1 = own, 2 and 3 = other programs) with a
// recording sink. The input is a run of steps: one control byte, then for a
// packet step a 16-bit length and the packet's bytes. Control bits pick the
// step (packet, CheckPeer, SendData, Disconnect, a window vanishing) and
// whether a second host is refused. After every step a connection has a
// peer the window system knows.
#include <cstddef>
#include <cstdint>

#include "fuzzsupport.h"
#include "processtalkimpl.h"
#include "scriptedlink.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzsupport::QuietLogging();
    fuzzsupport::CFuzzInput input(data, size);
    ScriptedTransport transport;
    transport.windows = {1, 2, 3};
    RecordingSink sink;
    ProcessTalkImpl link(transport);
    FUZZ_CHECK(link.Initialize(1, &sink) == 1, "initialised");
    for (int step = 0; step < 64 && input.RestSize() > 0; ++step) {
        const std::uint8_t control = input.TakeByte();
        sink.refuse = control & 0x80 ? 0 : 1;
        switch (control & 7) {
            case 0:
            case 1:
            case 2: {
                std::size_t length = input.TakeU16();
                if (length > input.RestSize()) length = input.RestSize();
                TalkCopyData copy;
                copy.dwData = 12;
                copy.cbData = static_cast<std::uint32_t>(length);
                copy.lpData = input.Rest();
                link.OnCopyData(0, &copy);
                for (std::size_t i = 0; i < length; ++i) input.TakeByte();
                break;
            }
            case 3: link.CheckPeer(); break;
            case 4: link.SendData("x", 1); break;
            case 5: link.Disconnect(); break;
            case 6: transport.windows.erase(static_cast<TalkWindow>(2 + (control >> 3 & 1))); break;
            default: transport.windows.insert(static_cast<TalkWindow>(2 + (control >> 3 & 1))); break;
        }
        if (link.IsConnected() && (control & 7) != 6)
            FUZZ_CHECK(link.GetPeerWindow() != 0, "a connection has a peer");
        for (const auto& packet : transport.sent)
            FUZZ_CHECK(packet.size() >= CLinkPacket::kHeaderSize, "sent packets carry the header");
    }
    link.Shutdown();
    FUZZ_CHECK(!link.IsConnected(), "shut down");
    return 0;
}
