// CTestShortcutsDesktop: a desktop back end of the tests for the
// GlobalShortcuts portal (org.freedesktop.impl.portal.GlobalShortcuts under
// the name org.freedesktop.impl.portal.desktop.tolvanetest), which the real
// xdg-desktop-portal front end forwards to when its portal folder holds
// PortalFile() and XDG_CURRENT_DESKTOP is "tolvanetest". It records what
// the client bound, answers binds with a response code of the test's choice
// and presses shortcuts on request. No Debian desktop here offers this
// portal (xdg-desktop-portal-wlr and GNOME 43 do not).
//
// Served by the Qt event loop of the thread that made it.
#pragma once

#include <QDBusConnection>
#include <QDBusVirtualObject>
#include <QList>
#include <QString>

#include "globalshortcutsportal.h"

class CTestShortcutsDesktop : public QDBusVirtualObject {
    Q_OBJECT
public:
    static constexpr const char* kDesktop = "tolvanetest";
    // The text of the .portal file that names this back end.
    static QString PortalFile();

    explicit CTestShortcutsDesktop(const QDBusConnection& bus);
    ~CTestShortcutsDesktop() override;
    // Takes the back end's name and object on the bus.
    bool Register(QString& why);

    // The response the next binds get (0 bound, 1 cancelled by the user).
    void SetBindResponse(unsigned response) { m_nBindResponse = response; }
    // Emits Activated for `name` on the session.
    void Press(const QString& name);

    const QString& Session() const { return m_strSession; }
    bool SessionClosed() const { return m_bClosed; }
    int Binds() const { return m_nBinds; }
    const QList<PortalShortcut>& Bound() const { return m_bound; }

    QString introspect(const QString& path) const override;
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;

private:
    QDBusConnection m_bus;
    QString m_strSession;
    QList<PortalShortcut> m_bound;
    unsigned m_nBindResponse = 0;
    int m_nBinds = 0;
    bool m_bClosed = false;
};
