// The update dialog with real widgets and a loopback server: the installer
// lands in the folder with its bytes intact and is shown, a second one gets
// " (1)", failed transfers show the failure text and leave no file, retry
// works, and screenshots of its views in the three languages.
#include <gtest/gtest.h>

#include <QDir>
#include <QTest>

#include <random>

#include "basekit/utilapi.h"
#include "dlgupdate.h"
#include "languagetable.h"
#include "loopbackhttpserver.h"
#include "pellbutton.h"
#include "testfolder.h"
#include "updatetestsupport.h"

namespace {

using namespace std::chrono_literals;

void click(QWidget* widget) { QTest::mouseClick(widget, Qt::LeftButton, {}, QPoint(6, widget->height() / 2)); }

class UpdateDialog : public ::testing::Test {
protected:
    void SetUp() override {
        CLanguageTable::instance().load(CLanguageTable::LANGUAGE_ENGLISH, TOLVANE_LANGUAGE_XML);
        ASSERT_TRUE(m_server.start());
        std::mt19937 random(7);
        m_installer.resize(3 * 1024 * 1024 + 17);
        for (char& c : m_installer) c = static_cast<char>(random());
        m_server.set("/dl/setup.bin", {200, m_installer, "", {}});
    }

    // Runs the dialog for url until it closes or shows the failure.
    void runDownload(CDlgUpdate& dialog) {
        dialog.setDownloadFolder(m_folder.path());
        dialog.setRevealer([this](const QString& path) { m_revealed.push_back(path.toStdString()); });
        dialog.show();
        click(dialog.downloadButton());
        EXPECT_NE(dialog.view(), CDlgUpdate::VIEW_OFFER);
        EXPECT_FALSE(dialog.downloadButton()->isVisible());
        ASSERT_TRUE(pumpUntil([&] { return !dialog.isVisible() || dialog.view() == CDlgUpdate::VIEW_FAILED; }, 30s));
    }

    CLoopbackHttpServer m_server;
    CTestFolder m_folder;
    std::string m_installer;
    std::vector<std::string> m_revealed;
};

TEST_F(UpdateDialog, TheInstallerLandsWholeAndIsShownASecondOneGetsANumber) {
    for (const char* expected : {"setup.bin", "setup (1).bin"}) {
        CDlgUpdate dialog(nullptr, "a", "b", "c", m_server.url("/dl/setup.bin?from=tolvane"));
        EXPECT_EQ(dialog.size(), QSize(500, 300));
        EXPECT_EQ(dialog.windowTitle(), CSkinDialog::text("ID_TEXT_UPDATE_TITLE"));
        runDownload(dialog);
        EXPECT_FALSE(dialog.isVisible());
        EXPECT_EQ(dialog.result(), CSkinDialog::ID_CANCEL);
        EXPECT_EQ(dialog.downloadedPath().toStdString(), m_folder.file(expected));
        EXPECT_EQ(CUtilAPI::MD5(m_folder.read(expected)), CUtilAPI::MD5(m_installer)) << expected;
        ASSERT_FALSE(m_revealed.empty());
        EXPECT_EQ(m_revealed.back(), m_folder.file(expected));
    }
    EXPECT_EQ(m_revealed.size(), 2u);
    EXPECT_EQ(CUtilAPI::MD5(m_folder.read("setup.bin")), CUtilAPI::MD5(m_installer));
}

TEST_F(UpdateDialog, FailuresShowTheTextLeaveNoFileAndRetryWorks) {
    m_server.set("/dl/gone.bin", {404, "no", "", {}});
    m_server.set("/dl/short.bin", {200, m_installer, "", CLoopbackHttpServer::MODE_TRUNCATE});
    for (const char* path : {"/dl/gone.bin", "/dl/short.bin"}) {
        CDlgUpdate dialog(nullptr, "a", "b", "c", m_server.url(path));
        runDownload(dialog);
        EXPECT_TRUE(dialog.isVisible()) << path;
        EXPECT_EQ(dialog.view(), CDlgUpdate::VIEW_FAILED) << path;
        EXPECT_TRUE(dialog.retryButton()->isVisible());
        EXPECT_TRUE(dialog.closeButton()->isVisible());
        EXPECT_TRUE(QDir(QString::fromStdString(m_folder.path())).entryList(QDir::Files).isEmpty()) << path;
        click(dialog.closeButton());
        EXPECT_FALSE(dialog.isVisible());
        EXPECT_EQ(dialog.result(), CSkinDialog::ID_CANCEL);
    }
    EXPECT_TRUE(m_revealed.empty());

    // The server comes back: retry fetches it.
    CDlgUpdate dialog(nullptr, "a", "b", "c", m_server.url("/dl/gone.bin"));
    runDownload(dialog);
    ASSERT_EQ(dialog.view(), CDlgUpdate::VIEW_FAILED);
    m_server.set("/dl/gone.bin", {200, m_installer, "", {}});
    click(dialog.retryButton());
    ASSERT_TRUE(pumpUntil([&] { return !dialog.isVisible(); }, 30s));
    EXPECT_EQ(CUtilAPI::MD5(m_folder.read("gone.bin")), CUtilAPI::MD5(m_installer));

    // An address without a usable file name fails at once.
    CDlgUpdate nameless(nullptr, "a", "b", "c", m_server.url("/dl/"));
    nameless.show();
    click(nameless.downloadButton());
    EXPECT_EQ(nameless.view(), CDlgUpdate::VIEW_FAILED);
}

TEST(UpdateDialogText, Progress) {
    EXPECT_EQ(CDlgUpdate::progressText(0, 0), "0.0 MB");
    EXPECT_EQ(CDlgUpdate::progressText(1258291, 3460300), "36%  1.2 / 3.3 MB");
    EXPECT_EQ(CDlgUpdate::progressText(5, 4), "100%  0.0 / 0.0 MB");
}

TEST_F(UpdateDialog, ScreenshotsInThreeLanguages) {
    m_server.set("/dl/slow.bin", {200, m_installer, "", CLoopbackHttpServer::MODE_HOLD_HALF});
    m_server.set("/dl/gone.bin", {404, "no", "", {}});
    const QString folder = QStringLiteral(TOLVANE_SCREENSHOT_DIR);
    ASSERT_TRUE(QDir().mkpath(folder));
    const struct {
        int index;
        const char* suffix;
        const char* notes[3];
    } languages[] = {
        {CLanguageTable::LANGUAGE_SIMPLIFIED_CHINESE, "zh", {"启动更快", "修正录制区域边框", "新增快捷键设置"}},
        {CLanguageTable::LANGUAGE_TRADITIONAL_CHINESE, "tw", {"啟動更快", "修正錄製區域邊框", "新增快速鍵設定"}},
        {CLanguageTable::LANGUAGE_ENGLISH, "en", {"Starts faster", "Region frame fixes", "New hotkey settings"}},
    };
    for (const auto& language : languages) {
        CLanguageTable::instance().load(language.index, TOLVANE_LANGUAGE_XML);
        CDlgUpdate offer(nullptr, language.notes[0], language.notes[1], language.notes[2], m_server.url("/dl/slow.bin"));
        offer.setDownloadFolder(m_folder.path());
        offer.show();
        EXPECT_TRUE(offer.grab().save(folder + QStringLiteral("/dlg-update-%1.png").arg(language.suffix)));
        click(offer.downloadButton());
        ASSERT_TRUE(pumpUntil([&] { return offer.progressText().startsWith("49%"); }, 20s)) << offer.progressText().toStdString();
        pumpUntil([] { return false; }, 300ms);
        EXPECT_TRUE(offer.grab().save(folder + QStringLiteral("/dlg-update-downloading-%1.png").arg(language.suffix)));

        CDlgUpdate failed(nullptr, "", "", "", m_server.url("/dl/gone.bin"));
        failed.setDownloadFolder(m_folder.path());
        failed.show();
        click(failed.downloadButton());
        ASSERT_TRUE(pumpUntil([&] { return failed.view() == CDlgUpdate::VIEW_FAILED; }, 20s));
        EXPECT_TRUE(failed.grab().save(folder + QStringLiteral("/dlg-update-failed-%1.png").arg(language.suffix)));
    }
    CLanguageTable::instance().load(CLanguageTable::LANGUAGE_ENGLISH, TOLVANE_LANGUAGE_XML);
}

}  // namespace
