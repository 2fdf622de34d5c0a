// The bar's command handling: CHostFrameSink::OnReceiveData with a scripted
// frame and link. The input is the data packet's text. Every answer sent
// must be one the host can read (the protocol's form, a 36-character
// identifier), and a pause never reaches a frame that does not record.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzzsupport.h"
#include "hostframesink.h"
#include "scriptedlink.h"

namespace {

struct CheckingFrame final : IHostFrame {
    ScriptedFrame inner;
    bool isRecording() override { return inner.isRecording(); }
    bool isPaused() override { return inner.isPaused(); }
    bool isAutoSync() override { return inner.isAutoSync(); }
    int doStart() override { return inner.doStart(); }
    int doStop() override { return inner.doStop(); }
    int doPause() override {
        FUZZ_CHECK(inner.recording, "pause only while recording");
        return inner.doPause();
    }
    int doResume() override { return inner.doResume(); }
    int doToAutoSync(bool on) override { return inner.doToAutoSync(on); }
    void setHostName(const std::string& name) override { inner.setHostName(name); }
    void applyAudioDevices(const std::string& a, bool b, const std::string& c, bool d) override {
        inner.applyAudioDevices(a, b, c, d);
    }
    void postFinishPrompt() override { inner.postFinishPrompt(); }
    void startCheckTimer(unsigned p) override { inner.startCheckTimer(p); }
    void stopCheckTimer() override { inner.stopCheckTimer(); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzsupport::QuietLogging();
    CheckingFrame frame;
    RecordingMessages messages;
    ScriptedLink link;
    CHostFrameSink sink(frame, messages, "0.1.0.0");
    sink.SetLink(&link);
    // The same text against a ready, a running and a paused bar.
    for (int state = 0; state < 3; ++state) {
        frame.inner.recording = state != 0;
        frame.inner.paused = state == 2;
        sink.OnReceiveData(reinterpret_cast<const char*>(data), static_cast<unsigned>(size));
    }
    for (const std::string& answer : link.sent) {
        std::optional<HostAnswer> parsed = CHostMessage::ParseAnswer(answer);
        FUZZ_CHECK(parsed.has_value(), "answers parse");
        FUZZ_CHECK(parsed->id.size() == 36 && CHostMessage::ParseGuid(parsed->id), "answers carry an identifier");
        FUZZ_CHECK(parsed->ret == 0, "ret is 0");
    }
    return 0;
}
