// Scripted stand-ins for the host link's tests and fuzz targets: a window
// system that knows a fixed set of windows and records the packets sent, a
// sink and a frame that record what they are told.
#pragma once

#include <cstdint>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "hostframe.h"
#include "linkpacket.h"
#include "messagepresenter.h"
#include "processtalkbase.h"
#include "processtalksink.h"
#include "talktransport.h"

struct ScriptedTransport final : ITalkTransport {
    std::set<TalkWindow> windows;
    std::vector<std::vector<std::uint8_t>> sent;
    TalkWindow watched = 0;
    bool IsWindow(TalkWindow w) override { return windows.count(w) != 0; }
    bool IsTopLevelWindow(TalkWindow w) override { return windows.count(w) != 0; }
    bool SendPacket(TalkWindow, std::span<const std::uint8_t> packet) override {
        sent.emplace_back(packet.begin(), packet.end());
        return true;
    }
    void WatchPeer(TalkWindow w) override { watched = w; }
};

struct RecordingSink final : ProcessTalkSink {
    std::vector<std::string> log;
    int refuse = 1;
    void OnConnectState(int c) override { log.push_back("state " + std::to_string(c)); }
    void OnReceiveData(const char* d, unsigned n) override { log.push_back("data " + std::string(d, n)); }
    void StartCheckTimer(unsigned p) override { log.push_back("timer " + std::to_string(p)); }
    void StopCheckTimer() override { log.push_back("timer off"); }
    int OnMultiConnect() override {
        log.push_back("multi");
        return refuse;
    }
};

struct ScriptedFrame final : IHostFrame {
    std::vector<std::string> log;
    bool recording = false, paused = false, autoSync = false;
    std::vector<std::string> hostNames;
    bool isRecording() override { return recording; }
    bool isPaused() override { return paused; }
    bool isAutoSync() override { return autoSync; }
    int doStart() override {
        log.push_back("doStart");
        recording = true;
        paused = false;
        return 1;
    }
    int doStop() override {
        log.push_back("doStop");
        recording = paused = false;
        return 1;
    }
    int doPause() override {
        log.push_back("doPause");
        paused = true;
        return 1;
    }
    int doResume() override {
        log.push_back("doResume");
        paused = false;
        return 1;
    }
    int doToAutoSync(bool on) override {
        log.push_back(on ? "autoSync 1" : "autoSync 0");
        autoSync = on;
        return 1;
    }
    void setHostName(const std::string& name) override { hostNames.push_back(name); }
    void applyAudioDevices(const std::string& in, bool inOff, const std::string& out, bool outOff) override {
        log.push_back("devices " + in + "|" + std::to_string(inOff) + "|" + out + "|" + std::to_string(outOff));
    }
    void postFinishPrompt() override { log.push_back("finish prompt"); }
    void startCheckTimer(unsigned p) override { log.push_back("timer " + std::to_string(p)); }
    void stopCheckTimer() override { log.push_back("timer off"); }
};

struct RecordingMessages final : IMessagePresenter {
    std::vector<std::string>* log = nullptr;
    int showMessage(const char* key, const char*, Icon, Buttons) override {
        if (log) log->push_back(std::string("box ") + key);
        return ANSWER_OK;
    }
};

// The link as the frame side sees it: connected, and what was sent.
struct ScriptedLink final : ProcessTalkBase {
    bool connected = true;
    std::vector<std::string>* log = nullptr;
    std::vector<std::string> sent;
    int Initialize(TalkWindow, ProcessTalkSink*) override { return 1; }
    void Shutdown() override {}
    TalkWindow GetOwnWindow() override { return 1; }
    TalkWindow GetPeerWindow() override { return 2; }
    int Connect(TalkWindow) override { return 1; }
    int IsConnected() override { return connected ? 1 : 0; }
    int disconnects = 0;
    int Disconnect() override {
        ++disconnects;
        return 1;
    }
    int SendData(const char* d, unsigned n) override {
        sent.emplace_back(d, n);
        if (log) log->push_back("answer");
        return 1;
    }
    void CheckPeer() override {}
    int OnCopyData(std::uintptr_t, const TalkCopyData*) override { return 1; }
};
