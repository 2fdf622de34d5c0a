// The version file and the update check: versions and sections, the
// transfer on its worker thread against a loopback server (offers, no
// offers, stalls, refused and unknown hosts, redirects, oversized files),
// where the file lands, and that the GUI thread never waits for the network.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QSignalSpy>

#include <cstdlib>
#include <memory>
#include <optional>

#include "installerdownload.h"
#include "loopbackhttpserver.h"
#include "testfolder.h"
#include "updatecontroller.h"
#include "updatefile.h"
#include "updatefiledownload.h"
#include "updatetestsupport.h"

namespace {

using namespace std::chrono_literals;

TEST(UpdateVersions, FourNumbersComparedInOrder) {
    EXPECT_EQ(CUpdateFile::compareVersions("1.9.9.9", "2.0.0.0"), -1);
    EXPECT_EQ(CUpdateFile::compareVersions("2.0.0.0", "1.9.9.9"), 1);
    EXPECT_EQ(CUpdateFile::compareVersions("1.2.3.4", "1.2.3.4"), 0);
    EXPECT_EQ(CUpdateFile::compareVersions("1.2.10.0", "1.2.9.0"), 1);
    // Missing parts are 0.
    EXPECT_EQ(CUpdateFile::compareVersions("2.1", "2.1.0.0"), 0);
    EXPECT_EQ(CUpdateFile::compareVersions("", "0.0.0.0"), 0);
    // Parts after the fourth do not count.
    EXPECT_EQ(CUpdateFile::compareVersions("1.2.3.4.5", "1.2.3.4"), 0);
    EXPECT_EQ(CUpdateFile::compareVersions("1.2.3.4.9", "1.2.3.5"), -1);
    // Each piece as atoi reads it.
    EXPECT_EQ(CUpdateFile::parseVersion(" 3x. +4.-1.abc"), (std::array<long, 4>{3, 4, -1, 0}));
    EXPECT_EQ(CUpdateFile::parseVersion("99999999999999999999999.1")[0], LONG_MAX);
}

TEST(UpdateFile, SectionOfTheLanguageAndValuesCut) {
    CTestFolder folder;
    const std::string longNote(300, 'n');
    // 258 ASCII bytes and then a three-byte character: the cut keeps 258.
    const std::string splitNote = std::string(258, 'a') + "\xE6\x96\xB0" + "tail";
    folder.write("tolvane.ini", "[TOLVANE_CH]\nversion=3.0.0.0\nurl=http://h/zh.bin\nrerolve=\xE6\x96\xB0\n"
                                "[tolvane_us]\nVERSION=2.0.0.0\nurl=http://h/en.bin\nrerolve=" + longNote +
                                    "\nupdate=" + splitNote + "\nadd=third\n");
    auto english = CUpdateFile::read(folder.file("tolvane.ini"), CUpdateFile::languageSection(2));
    ASSERT_TRUE(english);
    EXPECT_EQ(english->version, "2.0.0.0");
    EXPECT_EQ(english->url, "http://h/en.bin");
    EXPECT_EQ(english->rerolve.size(), 259u);
    EXPECT_EQ(english->update, std::string(258, 'a'));
    EXPECT_EQ(english->add, "third");
    auto chinese = CUpdateFile::read(folder.file("tolvane.ini"), CUpdateFile::languageSection(0));
    ASSERT_TRUE(chinese);
    EXPECT_EQ(chinese->rerolve, "\xE6\x96\xB0");
    EXPECT_FALSE(CUpdateFile::read(folder.file("tolvane.ini"), CUpdateFile::languageSection(1)));
    EXPECT_FALSE(CUpdateFile::read(folder.file("missing.ini"), "TOLVANE_US"));
    EXPECT_STREQ(CUpdateFile::languageSection(7), "TOLVANE_CH");

    UpdateOffer offer{"2.0.0.0", "http://h/x.bin", "", "", ""};
    EXPECT_TRUE(CUpdateFile::offersNewer(offer, "1.9.9.9"));
    EXPECT_FALSE(CUpdateFile::offersNewer(offer, "2.0.0.0"));
    offer.url.clear();
    EXPECT_FALSE(CUpdateFile::offersNewer(offer, "1.0.0.0"));
}

TEST(InstallerName, LastSegmentAndSafeNames) {
    EXPECT_EQ(CInstallerDownload::installerName("https://h.example/dl/setup.bin"), "setup.bin");
    EXPECT_EQ(CInstallerDownload::installerName("https://h.example/dl/setup.bin?from=app#top"), "setup.bin");
    EXPECT_EQ(CInstallerDownload::installerName("http://h.example/a\\b\\Tolvane Setup.bin"), "Tolvane Setup.bin");
    for (const char* refused : {"https://h.example/dl/", "https://h.example", "https://h.example/.", "https://h.example/..",
                                "https://h.example/.bashrc", "https://h.example/a\tb", "setup.bin", ""})
        EXPECT_FALSE(CInstallerDownload::installerName(refused)) << refused;
}

TEST(InstallerName, ExistingFilesAreNeverReplaced) {
    CTestFolder folder;
    folder.write("setup.bin", "old");
    folder.write("setup (1).bin", "older");
    folder.write("README", "x");
    std::string path;
    int fd = CInstallerDownload::createFreeFile(folder.path(), "setup.bin", path);
    ASSERT_GE(fd, 0);
    ::close(fd);
    EXPECT_EQ(path, folder.file("setup (2).bin"));
    fd = CInstallerDownload::createFreeFile(folder.path(), "README", path);
    ::close(fd);
    EXPECT_EQ(path, folder.file("README (1)"));
    EXPECT_EQ(folder.read("setup.bin"), "old");
    EXPECT_EQ(CInstallerDownload::createFreeFile(folder.file("no/such/folder"), "setup.bin", path), -1);
}

// ---------------------------------------------------------------------------

class UpdateCheck : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_server.start());
        m_savedCache = std::getenv("XDG_CACHE_HOME") ? std::getenv("XDG_CACHE_HOME") : "";
        ::setenv("XDG_CACHE_HOME", m_folder.file("cache").c_str(), 1);
        // The configuration's own tolvane.ini, which the check never touches.
        m_folder.write("config/orvix/Tolvane/tolvane.ini", "[general]\nrecordpath=/srv/recordings\n");
    }
    void TearDown() override {
        if (m_savedCache.empty()) ::unsetenv("XDG_CACHE_HOME");
        else ::setenv("XDG_CACHE_HOME", m_savedCache.c_str(), 1);
    }

    static std::string versionFile(const std::string& version, const std::string& url) {
        return "[TOLVANE_US]\nversion=" + version + "\nurl=" + url +
               "\nrerolve=Faster start\nupdate=Region frame fixes\nadd=New hotkeys\n";
    }

    struct Run {
        std::optional<UpdateOffer> shown;
        bool finished = false;
        bool offered = false;
        qint64 longestStallMs = 0;
        double longestStepMs = 0;
        std::string updateFilePath;
    };
    // One check as the bar runs it, with the GUI thread watched throughout.
    Run check(const std::string& url, const std::string& ownVersion, long totalTimeoutMs = 15000,
              int languageIndex = 2) {
        Run run;
        CGuiStallWatch watch;
        CUpdateController controller(nullptr, languageIndex, ownVersion);
        controller.setTimeouts(5000, totalTimeoutMs);
        controller.setPresenter([&run](const UpdateOffer& offer) { run.shown = offer; });
        QObject::connect(&controller, &CUpdateController::checked, [&run](bool offered) {
            run.finished = true;
            run.offered = offered;
        });
        controller.start(url, CUpdateController::cacheFilePath());
        pumpUntil([&run] { return run.finished; }, 30s);
        run.longestStallMs = watch.longestMs();
        run.longestStepMs = controller.longestGuiStepMs();
        run.updateFilePath = controller.updateFilePath();
        return run;
    }

    CLoopbackHttpServer m_server;
    CTestFolder m_folder;
    std::string m_savedCache;
};

TEST_F(UpdateCheck, ANewerVersionIsOfferedFromTheCacheFolder) {
    m_server.set("/tolvane.ini", {200, versionFile("2.0.0.0", m_server.url("/setup.bin")), "", {}});
    const Run run = check(m_server.url("/tolvane.ini"), "1.9.9.9");
    ASSERT_TRUE(run.finished);
    EXPECT_TRUE(run.offered);
    ASSERT_TRUE(run.shown);
    EXPECT_EQ(run.shown->rerolve, "Faster start");
    EXPECT_EQ(run.shown->update, "Region frame fixes");
    EXPECT_EQ(run.shown->add, "New hotkeys");
    EXPECT_EQ(run.shown->url, m_server.url("/setup.bin"));
    EXPECT_EQ(CUpdateController::cacheFilePath(), m_folder.file("cache/orvix/Tolvane/tolvane.ini"));
    EXPECT_EQ(run.updateFilePath, CUpdateController::cacheFilePath());
    EXPECT_EQ(m_folder.read("cache/orvix/Tolvane/tolvane.ini"), versionFile("2.0.0.0", m_server.url("/setup.bin")));
    EXPECT_EQ(m_folder.read("config/orvix/Tolvane/tolvane.ini"), "[general]\nrecordpath=/srv/recordings\n");
    EXPECT_LT(run.longestStepMs, kMaxGuiStepMs);
    EXPECT_LT(run.longestStallMs, kMaxTickGapMs);
}

TEST_F(UpdateCheck, EqualOlderAndAddresslessVersionsAreNotOffered) {
    const struct {
        const char* server;
        const char* own;
        bool url;
        bool offered;
    } cases[] = {
        {"1.9.9.9", "1.9.9.9", true, false}, {"1.9.9.8", "1.9.9.9", true, false}, {"2.1", "2.0.9.9", true, true},
        {"2.1", "2.1.0.0", true, false},     {"1.9.9.9.7", "1.9.9.9", true, false}, {"3.0.0.0", "1.0.0.0", false, false},
    };
    for (const auto& c : cases) {
        m_server.set("/tolvane.ini", {200, versionFile(c.server, c.url ? m_server.url("/setup.bin") : ""), "", {}});
        const Run run = check(m_server.url("/tolvane.ini"), c.own);
        EXPECT_TRUE(run.finished) << c.server;
        EXPECT_EQ(run.offered, c.offered) << c.server << " against " << c.own;
        EXPECT_EQ(run.shown.has_value(), c.offered) << c.server;
    }
}

TEST_F(UpdateCheck, TheSectionOfTheUserLanguageCounts) {
    m_server.set("/tolvane.ini", {200, "[TOLVANE_TW]\nversion=9.0.0.0\nurl=http://h/tw.bin\nrerolve=tw\n" +
                                           versionFile("1.0.0.0", "http://h/us.bin"),
                                  "", {}});
    Run run = check(m_server.url("/tolvane.ini"), "2.0.0.0", 15000, 1);
    ASSERT_TRUE(run.shown);
    EXPECT_EQ(run.shown->rerolve, "tw");
    run = check(m_server.url("/tolvane.ini"), "2.0.0.0", 15000, 2);
    EXPECT_FALSE(run.shown);
    run = check(m_server.url("/tolvane.ini"), "2.0.0.0", 15000, 0);
    EXPECT_FALSE(run.shown);
}

// No answer, a refused port and an unknown host: no dialog, and the GUI
// thread goes on while the transfer waits (timer 251 fires meanwhile).
TEST_F(UpdateCheck, DeadNetworksShowNothingAndNeverHoldTheGuiThread) {
    m_server.set("/stall.ini", {200, "", "", CLoopbackHttpServer::MODE_STALL});
    const int closedSocket = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(closedSocket, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    ::getsockname(closedSocket, reinterpret_cast<sockaddr*>(&address), &length);
    const std::string refused = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/tolvane.ini";
    ::close(closedSocket);  // nothing listens there now

    const struct {
        std::string url;
        const char* what;
    } cases[] = {{m_server.url("/stall.ini"), "a server that never answers"},
                 {refused, "a refused port"},
                 {"http://tolvane-update-test.invalid/tolvane.ini", "an unknown host"}};
    for (const auto& c : cases) {
        QElapsedTimer clock;
        clock.start();
        // The whole transfer may take 3 s here (15 s in the program).
        const Run run = check(c.url, "1.0.0.0", 3000);
        EXPECT_TRUE(run.finished) << c.what;
        EXPECT_FALSE(run.offered) << c.what;
        EXPECT_FALSE(run.shown) << c.what;
        EXPECT_EQ(run.updateFilePath, "") << c.what;
        EXPECT_LT(run.longestStepMs, kMaxGuiStepMs) << c.what;
        EXPECT_LT(run.longestStallMs, kMaxTickGapMs) << c.what;
        std::cout << c.what << ": check over after " << clock.elapsed() << " ms, longest step of the check on the GUI thread "
                  << run.longestStepMs << " ms, longest gap between event-loop ticks " << run.longestStallMs << " ms"
                  << std::endl;
    }
    EXPECT_FALSE(m_folder.exists("cache/orvix/Tolvane/tolvane.ini"));
    EXPECT_GE(m_server.requests("/stall.ini"), 1);
}

// Closing the program during a stalled transfer does not wait for its time-out.
TEST_F(UpdateCheck, AStalledTransferEndsWithItsOwner) {
    m_server.set("/stall.ini", {200, "", "", CLoopbackHttpServer::MODE_STALL});
    auto download = std::make_unique<CUpdateFileDownload>();
    download->start(m_server.url("/stall.ini"), m_folder.file("cache/t.ini"));
    ASSERT_TRUE(pumpUntil([&] { return m_server.requests("/stall.ini") == 1; }, 5s));
    QElapsedTimer clock;
    clock.start();
    download.reset();
    EXPECT_LT(clock.elapsed(), 2000);
    EXPECT_FALSE(m_folder.exists("cache/t.ini"));
}

// The installer's transfer hands its outcome to the thread that owns it
// (the dialog's GUI thread) through the object, once per transfer: no call
// comes from the worker.
TEST_F(UpdateCheck, TheInstallerOutcomeIsTakenOncePerTransfer) {
    const std::string body(200000, 'x');
    m_server.set("/dl/setup.bin", {200, body, "", {}});
    m_server.set("/dl/gone.bin", {404, "no", "", {}});
    m_server.set("/dl/held.bin", {200, body, "", CLoopbackHttpServer::MODE_HOLD_HALF});
    const std::string folder = m_folder.file("dl");
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    CInstallerDownload download;
    auto outcomeOf = [&download] {
        std::optional<CInstallerDownload::Outcome> outcome;
        pumpUntil([&] { return (outcome = download.takeOutcome()).has_value(); }, 30s);
        return outcome;
    };
    EXPECT_FALSE(download.takeOutcome());

    ASSERT_TRUE(download.start(m_server.url("/dl/setup.bin"), folder));
    auto outcome = outcomeOf();
    ASSERT_TRUE(outcome);
    EXPECT_TRUE(outcome->ok);
    EXPECT_EQ(outcome->path, m_folder.file("dl/setup.bin"));
    EXPECT_EQ(m_folder.read("dl/setup.bin"), body);
    EXPECT_FALSE(download.takeOutcome());

    ASSERT_TRUE(download.start(m_server.url("/dl/gone.bin"), folder));
    outcome = outcomeOf();
    ASSERT_TRUE(outcome);
    EXPECT_FALSE(outcome->ok);
    EXPECT_EQ(outcome->path, "");
    EXPECT_FALSE(m_folder.exists("dl/gone.bin"));
    EXPECT_EQ(download.result(), CHttpDownload::RESULT_HTTP_ERROR);

    // While a transfer runs there is no outcome and no second transfer.
    ASSERT_TRUE(download.start(m_server.url("/dl/held.bin"), folder));
    ASSERT_TRUE(pumpUntil([&] { return download.received() >= body.size() / 2; }, 30s));
    EXPECT_FALSE(download.start(m_server.url("/dl/setup.bin"), folder));
    EXPECT_FALSE(download.takeOutcome());
    EXPECT_TRUE(download.isRunning());
}

TEST_F(UpdateCheck, RedirectsOnlyToHttpAndFilesOnlyUpTo64KiB) {
    m_server.set("/real.ini", {200, versionFile("2.0.0.0", "http://h/setup.bin"), "", {}});
    m_server.set("/moved.ini", {302, "", "/real.ini", {}});
    Run run = check(m_server.url("/moved.ini"), "1.0.0.0");
    EXPECT_TRUE(run.offered) << "an http redirect is followed";

    std::remove(CUpdateController::cacheFilePath().c_str());
    m_server.set("/local.ini", {302, "", "file:///etc/hostname", {}});
    run = check(m_server.url("/local.ini"), "1.0.0.0");
    EXPECT_TRUE(run.finished);
    EXPECT_FALSE(run.offered);
    EXPECT_FALSE(m_folder.exists("cache/orvix/Tolvane/tolvane.ini"));
    // And not as the first address either.
    CUpdateFileDownload direct;
    direct.start("file:///etc/hostname", m_folder.file("cache/direct.ini"));
    ASSERT_TRUE(pumpUntil([&] { return direct.isFinished(); }, 10s));
    EXPECT_EQ(direct.result(), CHttpDownload::RESULT_REFUSED);

    // An endless redirect loop ends.
    m_server.set("/loop.ini", {302, "", "/loop.ini", {}});
    run = check(m_server.url("/loop.ini"), "1.0.0.0");
    EXPECT_FALSE(run.offered);
    EXPECT_LE(m_server.requests("/loop.ini"), 4);

    std::string big = versionFile("2.0.0.0", "http://h/setup.bin");
    big.resize(10 * 1024 * 1024, '#');
    m_server.set("/big.ini", {200, big, "", {}});
    CUpdateFileDownload large;
    large.start(m_server.url("/big.ini"), m_folder.file("cache/big.ini"));
    ASSERT_TRUE(pumpUntil([&] { return large.isFinished(); }, 10s));
    EXPECT_EQ(large.result(), CHttpDownload::RESULT_TOO_LARGE);
    EXPECT_FALSE(m_folder.exists("cache/big.ini"));
    std::string edge = versionFile("2.0.0.0", "http://h/setup.bin");
    edge.resize(64 * 1024, '#');
    m_server.set("/edge.ini", {200, edge, "", {}});
    CUpdateFileDownload fits;
    fits.start(m_server.url("/edge.ini"), m_folder.file("cache/edge.ini"));
    ASSERT_TRUE(pumpUntil([&] { return fits.isFinished(); }, 10s));
    EXPECT_EQ(fits.state(), CUpdateFileDownload::STATE_READY);
}

TEST(UpdateAddress, EnvironmentOverridesAndEmptyTurnsItOff) {
    const char* saved = std::getenv("TOLVANE_UPDATE_URL");
    const std::string previous = saved ? saved : "";
    ::unsetenv("TOLVANE_UPDATE_URL");
    EXPECT_EQ(CUpdateController::updateUrl().rfind("https://", 0), 0u);
    ::setenv("TOLVANE_UPDATE_URL", "http://127.0.0.1:1/x.ini", 1);
    EXPECT_EQ(CUpdateController::updateUrl(), "http://127.0.0.1:1/x.ini");
    ::setenv("TOLVANE_UPDATE_URL", "", 1);
    EXPECT_EQ(CUpdateController::updateUrl(), "");
    // Off: no transfer, no timer, nothing reported.
    CUpdateController controller(nullptr, 2, "1.0.0.0");
    QSignalSpy spy(&controller, &CUpdateController::checked);
    controller.start();
    pumpUntil([] { return false; }, 2500ms);
    EXPECT_EQ(spy.count(), 0);
    if (saved) ::setenv("TOLVANE_UPDATE_URL", previous.c_str(), 1);
    else ::unsetenv("TOLVANE_UPDATE_URL");
}

}  // namespace
