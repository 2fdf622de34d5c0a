#include "globalshortcutsportal.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

#include <cstdlib>
#include <cstring>

#include "basekit/logwrapper.h"
#include "languagetable.h"

namespace {
const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kObject = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kInterface = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString kRequest = QStringLiteral("org.freedesktop.portal.Request");
const QString kSession = QStringLiteral("org.freedesktop.portal.Session");
constexpr int kOfferedTimeoutMs = 3000;

struct ShortcutBinding {
    int id;
    const char* name;
    const char* trigger;
    const char* textKey;
};
constexpr ShortcutBinding kShortcuts[] = {
    {IHotkeyRegistrar::HOTKEY_ID_F9, "start-stop", "F9", "ID_TEXT_CHECK_HOTF9"},
    {IHotkeyRegistrar::HOTKEY_ID_F10, "pause-resume", "F10", "ID_TEXT_CHECK_HOTF10"},
};
}  // namespace

QDBusArgument& operator<<(QDBusArgument& argument, const PortalShortcut& shortcut) {
    argument.beginStructure();
    argument << shortcut.strName << shortcut.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, PortalShortcut& shortcut) {
    argument.beginStructure();
    argument >> shortcut.strName >> shortcut.properties;
    argument.endStructure();
    return argument;
}

CGlobalShortcutsPortal::CGlobalShortcutsPortal(const QDBusConnection& bus, QObject* parent)
    : CHotkeySource(parent), m_bus(bus) {
    RegisterPortalShortcutType();
}

void RegisterPortalShortcutType() {
    qDBusRegisterMetaType<PortalShortcut>();
    qDBusRegisterMetaType<QList<PortalShortcut>>();
}

CGlobalShortcutsPortal::~CGlobalShortcutsPortal() {
    if (m_strSession.isEmpty() || !m_bus.isConnected()) return;
    // The session (and with it the desktop's bindings) ends with the bar.
    m_bus.call(QDBusMessage::createMethodCall(kService, m_strSession, kSession, QStringLiteral("Close")), QDBus::NoBlock);
}

bool CGlobalShortcutsPortal::isOffered(const QDBusConnection& bus) {
    if (!bus.isConnected()) return false;
    QDBusMessage get = QDBusMessage::createMethodCall(kService, kObject, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                      QStringLiteral("Get"));
    get << kInterface << QStringLiteral("version");
    const QDBusMessage reply = bus.call(get, QDBus::Block, kOfferedTimeoutMs);
    return reply.type() == QDBusMessage::ReplyMessage;
}

bool CGlobalShortcutsPortal::onWaylandDesktop() {
    const char* type = std::getenv("XDG_SESSION_TYPE");
    if (type && *type) return std::strcmp(type, "wayland") == 0;
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return wayland && *wayland;
}

QString CGlobalShortcutsPortal::shortcutName(int id) {
    for (const ShortcutBinding& binding : kShortcuts)
        if (binding.id == id) return QString::fromLatin1(binding.name);
    return {};
}

QString CGlobalShortcutsPortal::newToken() { return QStringLiteral("tolvane%1").arg(++m_nTokens); }

bool CGlobalShortcutsPortal::open() {
    if (!m_bus.isConnected()) return false;
    // Request paths are made of our unique name without its colon, dots as
    // underscores.
    m_strSender = m_bus.baseService().mid(1).replace(QLatin1Char('.'), QLatin1Char('_'));
    m_bus.connect(kService, kObject, kInterface, QStringLiteral("Activated"), this, SLOT(onActivated(QDBusMessage)));
    const QString token = newToken();
    QVariantMap options{{QStringLiteral("handle_token"), token}, {QStringLiteral("session_handle_token"), newToken()}};
    return request(QStringLiteral("CreateSession"), {options}, token, Pending::kSession);
}

bool CGlobalShortcutsPortal::request(const QString& method, const QList<QVariant>& arguments, const QString& token,
                                     Pending kind) {
    // The answer comes as a Response signal on a path of our name and the
    // token; listening starts before the call, which it may overtake.
    const QString path = QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2").arg(m_strSender, token);
    m_bus.connect(kService, path, kRequest, QStringLiteral("Response"), this, SLOT(onResponse(QDBusMessage)));
    m_requests[path] = kind;
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kObject, kInterface, method);
    call.setArguments(arguments);
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, path, method, kind](QDBusPendingCallWatcher* done) {
        done->deleteLater();
        if (!done->isError()) return;
        UC_LOG_THIS(CLogWrapper::LOG_WARNING, " --- global shortcuts: " << method.toStdString() << ": "
                                                                       << done->error().message().toStdString());
        m_bus.disconnect(kService, path, kRequest, QStringLiteral("Response"), this, SLOT(onResponse(QDBusMessage)));
        m_requests.erase(path);
        if (kind == Pending::kSession) emit sessionReady(false);
        if (kind == Pending::kBind) emit shortcutsBound(false, 2);
    });
    return true;
}

void CGlobalShortcutsPortal::onResponse(const QDBusMessage& message) {
    const auto found = m_requests.find(message.path());
    if (found == m_requests.end()) return;
    const Pending kind = found->second;
    m_bus.disconnect(kService, message.path(), kRequest, QStringLiteral("Response"), this, SLOT(onResponse(QDBusMessage)));
    m_requests.erase(found);
    const QList<QVariant> args = message.arguments();
    const unsigned response = args.size() >= 1 ? args[0].toUInt() : 2;
    QVariantMap results;
    if (args.size() >= 2 && args[1].canConvert<QDBusArgument>()) args[1].value<QDBusArgument>() >> results;

    if (kind == Pending::kSession) {
        const QVariant handle = results.value(QStringLiteral("session_handle"));
        m_strSession = handle.userType() == qMetaTypeId<QDBusObjectPath>()
                           ? handle.value<QDBusObjectPath>().path()
                           : handle.toString();
        const bool ok = response == 0 && !m_strSession.isEmpty();
        if (!ok) {
            m_strSession.clear();
            UC_LOG_THIS(CLogWrapper::LOG_WARNING, " --- global shortcuts: no session (response " << response << ")");
        }
        emit sessionReady(ok);
        if (ok && m_bBindPending) bindWanted();
        return;
    }
    m_bound.clear();
    const QVariant shortcuts = results.value(QStringLiteral("shortcuts"));
    if (response == 0 && shortcuts.canConvert<QDBusArgument>()) {
        QList<PortalShortcut> list;
        shortcuts.value<QDBusArgument>() >> list;
        for (const PortalShortcut& shortcut : list) m_bound << shortcut.strName;
    }
    if (response != 0)
        UC_LOG_THIS(CLogWrapper::LOG_WARNING, " --- global shortcuts: the desktop refused them (response " << response << ")");
    else
        UC_LOG_THIS(CLogWrapper::LOG_INFO, "global shortcuts bound: " << m_bound.join(QLatin1Char(',')).toStdString());
    emit shortcutsBound(response == 0, response);
}

void CGlobalShortcutsPortal::onActivated(const QDBusMessage& message) {
    const QList<QVariant> args = message.arguments();
    if (args.size() < 2 || m_strSession.isEmpty()) return;
    const QString session = args[0].value<QDBusObjectPath>().path();
    if (session != m_strSession) return;
    const QString name = args[1].toString();
    for (const ShortcutBinding& binding : kShortcuts)
        if (name == QLatin1String(binding.name) && m_wanted.count(binding.id)) emit hotkeyPressed(binding.id);
}

IHotkeyRegistrar::Result CGlobalShortcutsPortal::registerHotkey(int id, unsigned virtualKey) {
    if (shortcutName(id).isEmpty()) return HOTKEY_FAILED;
    m_wanted[id] = virtualKey;
    bindWanted();
    return HOTKEY_REGISTERED;
}

bool CGlobalShortcutsPortal::unregisterHotkey(int id) {
    if (m_wanted.erase(id) == 0) return false;
    bindWanted();
    return true;
}

void CGlobalShortcutsPortal::bindWanted() {
    if (m_strSession.isEmpty()) {
        m_bBindPending = true;
        return;
    }
    m_bBindPending = false;
    QList<PortalShortcut> shortcuts;
    for (const ShortcutBinding& binding : kShortcuts) {
        if (!m_wanted.count(binding.id)) continue;
        std::string description = CLanguageTable::instance().lookup(binding.textKey);
        if (description.empty()) description = binding.name;
        shortcuts.append({QString::fromLatin1(binding.name),
                          {{QStringLiteral("description"), QString::fromStdString(description)},
                           {QStringLiteral("preferred_trigger"), QString::fromLatin1(binding.trigger)}}});
    }
    const QString token = newToken();
    request(QStringLiteral("BindShortcuts"),
            {QVariant::fromValue(QDBusObjectPath(m_strSession)), QVariant::fromValue(shortcuts), QString(),
             QVariantMap{{QStringLiteral("handle_token"), token}}},
            token, Pending::kBind);
}
