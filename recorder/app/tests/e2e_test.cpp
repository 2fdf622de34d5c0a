// The tolvane program end to end: a private Xvfb and PulseAudio daemon, the
// program started with its own settings folder, F9 pressed through XTest
// (xdotool), the finish prompt answered, and the recording checked with
// ffprobe / ffmpeg. Screenshots of the bar's looks go to the build folder.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "loopbackhttpserver.h"
#include "e2efixture.h"

using namespace e2e;

TEST_F(TolvaneE2E, FullScreenRecordingWithHotkeysHoldsThePictureAndBothSounds) {
    CProgram program;
    ASSERT_FALSE(startBar(program).empty()) << "the bar did not appear";
    screenshot("bar-ready");
    std::thread tone = playTone(880, 7);

    run("xdotool key F9");
    std::this_thread::sleep_for(2000ms);
    screenshot("bar-recording");
    run("xdotool key F10");
    std::this_thread::sleep_for(800ms);
    screenshot("bar-paused");
    run("xdotool key F10");
    std::this_thread::sleep_for(2500ms);
    const WindowList before = windowsNamed(caption());
    run("xdotool key F9");
    EXPECT_TRUE(dismissPrompt(before, "finish-prompt")) << "no finish prompt";
    tone.join();

    std::vector<std::string> files = recordings();
    ASSERT_EQ(files.size(), 1u);
    bool video = false, audio = false;
    for (const auto& s : CMediaProbe::Streams(files[0])) {
        if (s.Get("codec_type") == "video") {
            video = true;
            EXPECT_EQ(s.Get("codec_name"), "h264");
            EXPECT_EQ(s.Get("width"), "1280");
            EXPECT_EQ(s.Get("height"), "720");
        }
        if (s.Get("codec_type") == "audio") {
            audio = true;
            EXPECT_EQ(s.Get("codec_name"), "aac");
        }
    }
    EXPECT_TRUE(video && audio);
    EXPECT_GT(CMediaProbe::MetaDuration(files[0]), 2.0);
    // Quadrant centres, away from the bar at the top, early and late (half a
    // second before the last picture: how long the recording runs depends on
    // how fast the bar reacts to the keys).
    const std::uint32_t lastPictureMs = CMediaProbe::PictureTimes(CMediaProbe::Tags(files[0])).last;
    ASSERT_GT(lastPictureMs, 2000u);
    for (double second : {1.0, lastPictureMs / 1000.0 - 0.5})
        for (int i = 0; i < 4; ++i)
            expectColour(meanColour(files[0], second, i % 2 * 640 + 270, i / 2 * 360 + 130, 100, 100), kQuadrants[i],
                         "quadrant " + std::to_string(i) + " at " + std::to_string(second) + " s");
    auto pcm = CMediaProbe::DecodeAudio(files[0]);
    ASSERT_GT(pcm.size(), 44100u * 2);
    // The last second: the sound server may take a while to deliver the first blocks.
    EXPECT_GT(CMediaProbe::ToneLevel(pcm, pcm.size() - 44100, pcm.size(), 440), 0.01) << "microphone tone";
    EXPECT_GT(CMediaProbe::ToneLevel(pcm, 0, pcm.size(), 880), 0.003) << "speaker tone";
    endBar(program);
}

TEST_F(TolvaneE2E, SecondStartShowsTheMessageAndEndsWithZero) {
    CProgram program;
    const std::string bar = startBar(program);
    ASSERT_FALSE(bar.empty());
    const WindowList before = windowsNamed(caption());

    CProgram second;
    ASSERT_TRUE(second.start({}, environment()));
    std::string box = waitNewWindow(caption(), before);
    ASSERT_FALSE(box.empty()) << "no single-instance message";
    EXPECT_NE(run("xdotool getwindowpid " + box).find(std::to_string(second.pid())), std::string::npos)
        << "the message comes from the second start";
    std::this_thread::sleep_for(300ms);
    screenshot("single-instance");
    EXPECT_EQ(second.wait(300ms), -1) << "the second start waits for the message to be read";
    answer(box, "Return");
    EXPECT_EQ(second.wait(10s), 0);
    EXPECT_EQ(windowsNamed("Tolvane"), WindowList{bar}) << "only the first bar remains";
    endBar(program);
}

TEST_F(TolvaneE2E, SigtermFinishesARunningRecording) {
    CProgram program;
    ASSERT_TRUE(program.start({"/rec", "1"}, environment()));
    // Recording from the start: wait for the file, then record a while.
    for (int i = 0; i < 150 && recordings().empty(); ++i) std::this_thread::sleep_for(100ms);
    std::this_thread::sleep_for(3000ms);
    endBar(program);
    std::vector<std::string> files = recordings();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_GT(CMediaProbe::MetaDuration(files[0]), 1.0) << "the final onMetaData was written";
    int errors = -1;
    CMediaProbe::FlvmetaCheck(files[0], errors);
    EXPECT_EQ(errors, 0);
}

// 700 x 393 in 16:9 keeps its size, rounded down to 688 x 384; 721 wide
// records at 1280 x 720.
TEST_F(TolvaneE2E, RegionRecordingsFollowTheSizeRules) {
    struct Case {
        const char* rect;
        const char* width;
        const char* height;
        bool shots;
    };
    for (const Case& c : {Case{"100,150,800,543", "688", "384", true}, Case{"100,150,821,555", "1280", "720", false}}) {
        SCOPED_TRACE(c.rect);
        writeRegion(c.rect);
        fs::remove_all(m_out);
        CProgram program;
        ASSERT_FALSE(startBar(program).empty());
        if (c.shots) screenshot("region-indicator");
        run("xdotool key F9");
        std::this_thread::sleep_for(2500ms);
        if (c.shots) screenshot("region-recording");
        const WindowList before = windowsNamed(caption());
        run("xdotool key F9");
        EXPECT_TRUE(dismissPrompt(before, nullptr)) << "no finish prompt";
        std::vector<std::string> files = recordings();
        ASSERT_EQ(files.size(), 1u);
        bool video = false;
        for (const auto& s : CMediaProbe::Streams(files[0])) {
            if (s.Get("codec_type") != "video") continue;
            video = true;
            EXPECT_EQ(s.Get("width"), c.width);
            EXPECT_EQ(s.Get("height"), c.height);
        }
        EXPECT_TRUE(video);
        endBar(program);
    }
}

TEST_F(TolvaneE2E, MenuAndDialogsScreenshots) {
    CProgram program;
    ASSERT_FALSE(startBar(program).empty());
    // The bar: 375 wide, centred as if 420 wide, at y = 10.
    const int barX = (1280 - 420) / 2, barY = 10, barW = 375;
    run("xdotool mousemove " + std::to_string(barX + 40) + " " + std::to_string(barY + 20) + " click 3");
    std::this_thread::sleep_for(800ms);
    screenshot("menu");
    run("xdotool key Escape");
    std::this_thread::sleep_for(300ms);

    struct Dialog {
        int buttonRight;  // the button's left edge from the bar's right edge
        const char* titleKey;
        const char* shot;
    };
    for (const Dialog& d : {Dialog{144, "ID_TEXT_SETTING", "dialog-settings"},
                            Dialog{184, "ID_TEXT_AUDIO_TITLE", "dialog-audio-device"}}) {
        SCOPED_TRACE(d.shot);
        run("xdotool mousemove " + std::to_string(barX + barW - d.buttonRight + 16) + " " + std::to_string(barY + 20) +
            " click 1");
        std::string dialog = waitWindow(CLanguageTable::instance().lookup(d.titleKey), 5s);
        ASSERT_FALSE(dialog.empty());
        std::this_thread::sleep_for(500ms);
        screenshot(d.shot);
        answer(dialog, "Escape");
    }
    endBar(program);
}

// No sound server at all: F9 still records the picture, and stopping
// neither hangs nor loses the file.
TEST_F(TolvaneE2E, RecordingWithoutASoundServerStopsAndKeepsThePicture) {
    std::vector<std::string> env = environment();
    env.push_back("PULSE_SERVER=unix:" + m_folder + "/no-such-server");
    CProgram program;
    ASSERT_TRUE(program.start({}, env));
    ASSERT_FALSE(waitWindow("Tolvane").empty());
    std::this_thread::sleep_for(1500ms);
    run("xdotool key F9");
    std::this_thread::sleep_for(2500ms);
    const WindowList before = windowsNamed(caption());
    run("xdotool key F9");
    EXPECT_TRUE(dismissPrompt(before, nullptr)) << "no finish prompt: the stop hangs";
    endBar(program);
    std::vector<std::string> files = recordings();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_GT(CMediaProbe::MetaDuration(files[0]), 1.0);
    EXPECT_GT(CMediaProbe::CountPackets(files[0], "v"), 10);
}

// The sound server goes away in the middle of a recording: the stop still
// comes back and the file is finished.
TEST_F(TolvaneE2E, SoundServerLostDuringRecordingStopsCleanly) {
    CProgram program;
    ASSERT_FALSE(startBar(program).empty());
    run("xdotool key F9");
    std::this_thread::sleep_for(2000ms);
    s_pPulse->Kill();
    std::this_thread::sleep_for(1500ms);
    const WindowList before = windowsNamed(caption());
    run("xdotool key F9");
    // A lost device may also be reported as a recording error first.
    std::string box = waitNewWindow(caption(), before);
    ASSERT_FALSE(box.empty()) << "no message after the stop: the stop hangs";
    answer(box, "Escape");
    endBar(program);
    std::vector<std::string> files = recordings();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_GT(CMediaProbe::MetaDuration(files[0]), 1.0);
}

// The update server never answers: the bar still records with F9 while
// the check waits (timer 251 fires meanwhile). Then a server offering a
// newer version: the update dialog appears.
TEST_F(TolvaneE2E, UpdateCheckNeverHoldsTheBarAndOffersANewerVersion) {
    CLoopbackHttpServer server;
    ASSERT_TRUE(server.start());
    server.set("/stall.ini", {200, "", "", CLoopbackHttpServer::MODE_STALL});
    const std::string title = CLanguageTable::instance().lookup("ID_TEXT_UPDATE_TITLE");
    {
        CProgram program;
        const auto started = std::chrono::steady_clock::now();
        ASSERT_TRUE(program.start({}, environmentWith("TOLVANE_UPDATE_URL=" + server.url("/stall.ini"))));
        ASSERT_FALSE(waitWindow("Tolvane").empty());
        std::this_thread::sleep_until(started + 2500ms);
        EXPECT_EQ(server.requests("/stall.ini"), 1);
        run("xdotool key F9");
        for (int i = 0; i < 100 && recordings().empty(); ++i) std::this_thread::sleep_for(50ms);
        std::this_thread::sleep_for(1500ms);
        const WindowList before = windowsNamed(caption());
        run("xdotool key F9");
        EXPECT_TRUE(dismissPrompt(before, nullptr)) << "no finish prompt";
        // All of it while the transfer was still waiting for its 15 s limit.
        EXPECT_LT(std::chrono::steady_clock::now() - started, 12s);
        EXPECT_EQ(recordings().size(), 1u);
        EXPECT_TRUE(windowsNamed(title).empty());
        endBar(program);
    }
    server.set("/tolvane.ini", {200,
                                "[TOLVANE_US]\nversion=99.0.0.0\nurl=" + server.url("/dl/setup.bin") +
                                    "\nrerolve=Starts faster\nupdate=Region frame fixes\nadd=New hotkey settings\n",
                                "", {}});
    CProgram program;
    ASSERT_TRUE(program.start({}, environmentWith("TOLVANE_UPDATE_URL=" + server.url("/tolvane.ini"))));
    const std::string dialog = waitWindow(title, 20s);
    ASSERT_FALSE(dialog.empty()) << "no update dialog";
    std::this_thread::sleep_for(300ms);
    screenshot("update-offer");
    answer(dialog, "Escape");
    EXPECT_EQ(server.requests("/dl/setup.bin"), 0);
    endBar(program);
}

// The running program crashes during a recording: one dump beside the
// program that lldb reads, the crash-report tool started once, and the
// recording up to the crash decodes.
TEST_F(TolvaneE2E, CrashDuringARecordingLeavesADumpAndAPlayableFile) {
    const std::string folder = m_folder + "/program";
    fs::create_directories(folder);
    fs::copy_file(TOLVANE_PROGRAM, folder + "/tolvane");
    fs::copy_file(TOLVANE_LANGUAGE_XML, folder + "/language.xml");
    const std::string log = m_folder + "/tellmark.log";
    std::ofstream(folder + "/Tellmark.app") << "#!/bin/sh\nprintf '%s\\n' \"$*\" >> '" << log << "'\n";
    fs::permissions(folder + "/Tellmark.app", fs::perms::owner_all);

    CProgram program;
    ASSERT_TRUE(program.start({"/rec", "1"}, environment(), (folder + "/tolvane").c_str()));
    for (int i = 0; i < 150 && recordings().empty(); ++i) std::this_thread::sleep_for(100ms);
    ASSERT_EQ(recordings().size(), 1u);
    std::this_thread::sleep_for(3000ms);
    program.signal(SIGSEGV);
    EXPECT_EQ(program.wait(20s), 128 + SIGSEGV);

    std::vector<std::string> dumps;
    for (const auto& entry : fs::directory_iterator(folder + "/tolvane.dmp")) dumps.push_back(entry.path().string());
    ASSERT_EQ(dumps.size(), 1u);
    for (int i = 0; i < 100 && !fs::exists(log); ++i) std::this_thread::sleep_for(50ms);
    std::this_thread::sleep_for(300ms);
    std::ifstream calls(log);
    std::vector<std::string> lines;
    for (std::string line; std::getline(calls, line);) lines.push_back(line);
    EXPECT_EQ(lines, std::vector<std::string>{"/with_send"});

    const std::string report = run("lldb --no-lldbinit --batch -o 'target create -c " + dumps[0] + " " + folder +
                                   "/tolvane' -o 'thread backtrace' -o 'image list'");
    EXPECT_NE(report.find("stop reason = signal SIGSEGV"), std::string::npos) << report;
    EXPECT_NE(report.find(folder + "/tolvane"), std::string::npos) << report;
    EXPECT_NE(report.find("libQt6Widgets"), std::string::npos) << report;
    EXPECT_NE(report.find("librecengine"), std::string::npos) << report;

    const std::string file = recordings().at(0);
    EXPECT_GT(CMediaProbe::CountPackets(file, "v"), 15);
    EXPECT_EQ(CMediaProbe::DecodeErrors(file), "");
}
