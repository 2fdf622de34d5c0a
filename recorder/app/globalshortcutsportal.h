// CGlobalShortcutsPortal: F9 and F10 through the desktop's GlobalShortcuts
// portal (org.freedesktop.portal.GlobalShortcuts on the session bus), for
// Wayland desktops, where key grabs on XWayland's root window only see keys
// typed into XWayland windows.
//
// The portal knows shortcuts by name, not by key: F9 is "start-stop", F10
// "pause-resume", each sent with its key as the preferred trigger; the
// desktop may ask the user to confirm or choose other keys. One portal
// session is made on open(); the set of registered hotkeys is bound to it
// whenever it changes (a desktop dialog may come up then). Every call is
// asynchronous: nothing here waits on the desktop while the bar runs.
//
// GUI thread only. Owns its portal session and closes it when it goes.
#pragma once

#include <QDBusConnection>
#include <QMetaType>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <map>

#include "hotkeysource.h"

class QDBusArgument;
class QDBusMessage;
class QDBusPendingCallWatcher;

class CGlobalShortcutsPortal : public CHotkeySource {
    Q_OBJECT
public:
    // bus: the session bus, or a test's own connection to a private one.
    explicit CGlobalShortcutsPortal(const QDBusConnection& bus = QDBusConnection::sessionBus(), QObject* parent = nullptr);
    ~CGlobalShortcutsPortal() override;

    // Whether the desktop's portal offers global shortcuts (its front end
    // has the interface only where a desktop back end implements it).
    static bool isOffered(const QDBusConnection& bus = QDBusConnection::sessionBus());
    // Whether this process runs on a Wayland desktop.
    static bool onWaylandDesktop();
    // The portal's name of a hotkey id ("start-stop", "pause-resume"), empty
    // for other ids.
    static QString shortcutName(int id);

    // Asks the portal for a session; false when the call cannot be sent.
    bool open();
    bool isReady() const { return !m_strSession.isEmpty(); }
    // The names last bound and confirmed by the portal (for the tests).
    const QStringList& boundShortcuts() const { return m_bound; }

    // A hotkey counts as registered at once; its presses arrive once the
    // portal has bound it. Ids other than F9 and F10 fail.
    Result registerHotkey(int id, unsigned virtualKey) override;
    bool unregisterHotkey(int id) override;

signals:
    // The session exists (ok) or could not be made.
    void sessionReady(bool ok);
    // The portal answered a bind: ok, or refused (the user cancelled or the
    // desktop failed) with the portal's response code.
    void shortcutsBound(bool ok, unsigned response);

private slots:
    void onResponse(const QDBusMessage& message);
    void onActivated(const QDBusMessage& message);

private:
    // Sends a portal call that answers through a Request object; `kind` says
    // which answer onResponse gets.
    enum class Pending { kNone, kSession, kBind };
    bool request(const QString& method, const QList<QVariant>& arguments, const QString& token, Pending kind);
    QString newToken();
    void bindWanted();

    QDBusConnection m_bus;
    QString m_strSender;        // our unique name as used in request paths
    QString m_strSession;       // the session's object path once made
    std::map<QString, Pending> m_requests;  // by request path
    std::map<int, unsigned> m_wanted;       // registered hotkeys: id -> key
    QStringList m_bound;
    bool m_bBindPending = false;  // the wanted set changed before the session was made
    int m_nTokens = 0;
};

// One entry of the portal's shortcut lists, a(sa{sv}): the shortcut's name
// and its properties ("description", "preferred_trigger",
// "trigger_description").
struct PortalShortcut {
    QString strName;
    QVariantMap properties;
};
Q_DECLARE_METATYPE(PortalShortcut)
QDBusArgument& operator<<(QDBusArgument& argument, const PortalShortcut& shortcut);
const QDBusArgument& operator>>(const QDBusArgument& argument, PortalShortcut& shortcut);
// Makes PortalShortcut and its list known to Qt's D-Bus marshalling.
void RegisterPortalShortcutType();
