// F9 and F10 through the GlobalShortcuts portal: the real xdg-desktop-portal
// front end on a private session bus, with the test's own desktop back end
// behind it (no Debian desktop here implements the portal).
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDir>
#include <QFile>

#include <chrono>
#include <memory>
#include <vector>

#include "globalshortcutsportal.h"
#include "testshortcutsdesktop.h"
#include "waylandstack.h"

namespace {

// Runs the event loop until `done` holds or timeoutMs passed.
template <typename F>
bool WaitUntil(F done, int timeoutMs = 5000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

QStringList Names(const QList<PortalShortcut>& shortcuts) {
    QStringList names;
    for (const PortalShortcut& shortcut : shortcuts) names << shortcut.strName;
    return names;
}

class GlobalShortcutsPortalTest : public ::testing::Test {
protected:
    // Starts the bus, the test's back end (withBackEnd) and the portal front
    // end; m_strSkip says why when a program is missing.
    void Start(bool withBackEnd) {
        std::string why;
        if (!m_stack.StartBus(why)) {
            m_strSkip = "no private session bus: " + why;
            return;
        }
        // Connections are named; each test's bus gets names of its own.
        const QString address = QString::fromStdString(m_stack.BusAddress());
        m_desktopBus = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(address, address + "-desktop"));
        m_clientBus = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(address, address + "-client"));
        const QString portals = QString::fromStdString(m_stack.ConfigHome()) + QStringLiteral("/portals");
        ASSERT_TRUE(QDir().mkpath(portals));
        if (withBackEnd) {
            m_pDesktop = std::make_unique<CTestShortcutsDesktop>(*m_desktopBus);
            QString error;
            ASSERT_TRUE(m_pDesktop->Register(error)) << error.toStdString();
            QFile file(portals + QStringLiteral("/tolvanetest.portal"));
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write(CTestShortcutsDesktop::PortalFile().toUtf8());
        }
        // The front end asks the back end for its properties as it starts:
        // the loop serves the back end meanwhile.
        if (!m_stack.StartPortal(portals.toStdString(), CTestShortcutsDesktop::kDesktop, why,
                                 [] { QCoreApplication::processEvents(QEventLoop::AllEvents, 50); }))
            m_strSkip = "xdg-desktop-portal did not start: " + why;
    }

    // A client with a session.
    std::unique_ptr<CGlobalShortcutsPortal> Open() {
        auto portal = std::make_unique<CGlobalShortcutsPortal>(*m_clientBus);
        QObject::connect(portal.get(), &CHotkeySource::hotkeyPressed, [this](int id) { m_pressed.push_back(id); });
        QObject::connect(portal.get(), &CGlobalShortcutsPortal::shortcutsBound,
                         [this](bool ok, unsigned response) { m_answers.push_back(ok ? 0 : static_cast<int>(response)); });
        EXPECT_TRUE(portal->open());
        EXPECT_TRUE(WaitUntil([&] { return portal->isReady(); })) << m_stack.LogTail("xdp");
        return portal;
    }

    void TearDown() override {
        m_pDesktop.reset();
        for (auto* bus : {&m_desktopBus, &m_clientBus})
            if (*bus) {
                const QString name = (*bus)->name();
                bus->reset();
                QDBusConnection::disconnectFromBus(name);
            }
    }

    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "globalshortcuts_tests";
        static char* argv[] = {name, nullptr};
        if (!QCoreApplication::instance()) new QCoreApplication(argc, argv);
    }

    CWaylandStack m_stack;
    std::unique_ptr<QDBusConnection> m_desktopBus;
    std::unique_ptr<QDBusConnection> m_clientBus;
    std::unique_ptr<CTestShortcutsDesktop> m_pDesktop;
    std::vector<int> m_pressed;
    std::vector<int> m_answers;
    std::string m_strSkip;
};

}  // namespace

TEST_F(GlobalShortcutsPortalTest, BindsTheRegisteredKeysAndDeliversOnlyTheirPresses) {
    Start(true);
    if (!m_strSkip.empty()) GTEST_SKIP() << m_strSkip;
    EXPECT_TRUE(CGlobalShortcutsPortal::isOffered(*m_clientBus));
    {
        std::unique_ptr<CGlobalShortcutsPortal> portal = Open();
        ASSERT_TRUE(portal->isReady());
        EXPECT_EQ(portal->registerHotkey(IHotkeyRegistrar::HOTKEY_ID_F9, IHotkeyRegistrar::VIRTUAL_KEY_F9),
                  IHotkeyRegistrar::HOTKEY_REGISTERED);
        EXPECT_EQ(portal->registerHotkey(IHotkeyRegistrar::HOTKEY_ID_F10, IHotkeyRegistrar::VIRTUAL_KEY_F10),
                  IHotkeyRegistrar::HOTKEY_REGISTERED);
        EXPECT_EQ(portal->registerHotkey(1999, 0x41), IHotkeyRegistrar::HOTKEY_FAILED);
        const QStringList both{QStringLiteral("start-stop"), QStringLiteral("pause-resume")};
        ASSERT_TRUE(WaitUntil([&] { return portal->boundShortcuts() == both; })) << m_stack.LogTail("xdp");
        // The back end got each key as the preferred trigger, with a text.
        ASSERT_EQ(Names(m_pDesktop->Bound()), both);
        EXPECT_EQ(m_pDesktop->Bound()[0].properties.value(QStringLiteral("preferred_trigger")).toString(), "F9");
        EXPECT_EQ(m_pDesktop->Bound()[1].properties.value(QStringLiteral("preferred_trigger")).toString(), "F10");
        EXPECT_FALSE(m_pDesktop->Bound()[0].properties.value(QStringLiteral("description")).toString().isEmpty());

        m_pDesktop->Press(QStringLiteral("pause-resume"));
        m_pDesktop->Press(QStringLiteral("start-stop"));
        ASSERT_TRUE(WaitUntil([&] { return m_pressed.size() == 2; }));
        EXPECT_EQ(m_pressed, (std::vector<int>{IHotkeyRegistrar::HOTKEY_ID_F10, IHotkeyRegistrar::HOTKEY_ID_F9}));

        // F10 turned off: the desktop keeps only F9, and a stray F10 press
        // (the desktop's binding may lag) does not reach the bar.
        EXPECT_TRUE(portal->unregisterHotkey(IHotkeyRegistrar::HOTKEY_ID_F10));
        EXPECT_FALSE(portal->unregisterHotkey(IHotkeyRegistrar::HOTKEY_ID_F10));
        ASSERT_TRUE(WaitUntil([&] { return portal->boundShortcuts() == QStringList{QStringLiteral("start-stop")}; }));
        m_pressed.clear();
        m_pDesktop->Press(QStringLiteral("pause-resume"));
        m_pDesktop->Press(QStringLiteral("start-stop"));
        ASSERT_TRUE(WaitUntil([&] { return !m_pressed.empty(); }));
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        EXPECT_EQ(m_pressed, std::vector<int>{IHotkeyRegistrar::HOTKEY_ID_F9});
    }
    // The session ends with the client.
    EXPECT_TRUE(WaitUntil([&] { return m_pDesktop->SessionClosed(); })) << m_stack.LogTail("xdp");
}

TEST_F(GlobalShortcutsPortalTest, KeysRegisteredBeforeTheSessionAreBoundOnceItExists) {
    Start(true);
    if (!m_strSkip.empty()) GTEST_SKIP() << m_strSkip;
    CGlobalShortcutsPortal portal(*m_clientBus);
    EXPECT_EQ(portal.registerHotkey(IHotkeyRegistrar::HOTKEY_ID_F10, IHotkeyRegistrar::VIRTUAL_KEY_F10),
              IHotkeyRegistrar::HOTKEY_REGISTERED);
    ASSERT_TRUE(portal.open());
    ASSERT_TRUE(WaitUntil([&] { return portal.boundShortcuts() == QStringList{QStringLiteral("pause-resume")}; }))
        << m_stack.LogTail("xdp");
    EXPECT_EQ(m_pDesktop->Binds(), 1);
}

TEST_F(GlobalShortcutsPortalTest, ARefusedBindIsReportedAndBindsNothing) {
    Start(true);
    if (!m_strSkip.empty()) GTEST_SKIP() << m_strSkip;
    m_pDesktop->SetBindResponse(1);  // the user cancelled the desktop's dialog
    std::unique_ptr<CGlobalShortcutsPortal> portal = Open();
    portal->registerHotkey(IHotkeyRegistrar::HOTKEY_ID_F9, IHotkeyRegistrar::VIRTUAL_KEY_F9);
    ASSERT_TRUE(WaitUntil([&] { return !m_answers.empty(); })) << m_stack.LogTail("xdp");
    EXPECT_EQ(m_answers, std::vector<int>{1});
    EXPECT_TRUE(portal->boundShortcuts().isEmpty());
}

TEST_F(GlobalShortcutsPortalTest, IsNotOfferedWithoutADesktopBackEnd) {
    Start(false);
    if (!m_strSkip.empty()) GTEST_SKIP() << m_strSkip;
    EXPECT_FALSE(CGlobalShortcutsPortal::isOffered(*m_clientBus));
    // Nor without a bus.
    EXPECT_FALSE(CGlobalShortcutsPortal::isOffered(QDBusConnection(QStringLiteral("none"))));
}

TEST(GlobalShortcutsPortalNames, NameF9AndF10Only) {
    EXPECT_EQ(CGlobalShortcutsPortal::shortcutName(IHotkeyRegistrar::HOTKEY_ID_F9), QStringLiteral("start-stop"));
    EXPECT_EQ(CGlobalShortcutsPortal::shortcutName(IHotkeyRegistrar::HOTKEY_ID_F10), QStringLiteral("pause-resume"));
    EXPECT_TRUE(CGlobalShortcutsPortal::shortcutName(0).isEmpty());
}
