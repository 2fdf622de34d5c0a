#include "testshortcutsdesktop.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDateTime>

namespace {
const QString kName = QStringLiteral("org.freedesktop.impl.portal.desktop.tolvanetest");
const QString kObject = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kImpl = QStringLiteral("org.freedesktop.impl.portal.GlobalShortcuts");
const QString kImplSession = QStringLiteral("org.freedesktop.impl.portal.Session");
}  // namespace

QString CTestShortcutsDesktop::PortalFile() {
    return QStringLiteral("[portal]\nDBusName=%1\nInterfaces=%2;\nUseIn=%3\n").arg(kName, kImpl, QLatin1String(kDesktop));
}

CTestShortcutsDesktop::CTestShortcutsDesktop(const QDBusConnection& bus) : m_bus(bus) { RegisterPortalShortcutType(); }

CTestShortcutsDesktop::~CTestShortcutsDesktop() {
    m_bus.unregisterObject(kObject, QDBusConnection::UnregisterTree);
    m_bus.unregisterService(kName);
}

bool CTestShortcutsDesktop::Register(QString& why) {
    if (!m_bus.isConnected()) {
        why = QStringLiteral("no bus: ") + m_bus.lastError().message();
        return false;
    }
    if (!m_bus.registerVirtualObject(kObject, this, QDBusConnection::SubPath) || !m_bus.registerService(kName)) {
        why = QStringLiteral("cannot serve ") + kName + ": " + m_bus.lastError().message();
        return false;
    }
    return true;
}

void CTestShortcutsDesktop::Press(const QString& name) {
    QDBusMessage signal = QDBusMessage::createSignal(kObject, kImpl, QStringLiteral("Activated"));
    signal << QVariant::fromValue(QDBusObjectPath(m_strSession)) << name
           << QVariant::fromValue(static_cast<qulonglong>(QDateTime::currentMSecsSinceEpoch())) << QVariantMap();
    m_bus.send(signal);
}

QString CTestShortcutsDesktop::introspect(const QString& path) const {
    if (path != kObject) return {};
    return QStringLiteral(
        "<interface name=\"org.freedesktop.impl.portal.GlobalShortcuts\">"
        "<method name=\"CreateSession\"><arg type=\"o\" direction=\"in\"/><arg type=\"o\" direction=\"in\"/>"
        "<arg type=\"s\" direction=\"in\"/><arg type=\"a{sv}\" direction=\"in\"/>"
        "<arg type=\"u\" direction=\"out\"/><arg type=\"a{sv}\" direction=\"out\"/></method>"
        "<method name=\"BindShortcuts\"><arg type=\"o\" direction=\"in\"/><arg type=\"o\" direction=\"in\"/>"
        "<arg type=\"a(sa{sv})\" direction=\"in\"/><arg type=\"s\" direction=\"in\"/><arg type=\"a{sv}\" direction=\"in\"/>"
        "<arg type=\"u\" direction=\"out\"/><arg type=\"a{sv}\" direction=\"out\"/></method>"
        "<method name=\"ListShortcuts\"><arg type=\"o\" direction=\"in\"/><arg type=\"o\" direction=\"in\"/>"
        "<arg type=\"u\" direction=\"out\"/><arg type=\"a{sv}\" direction=\"out\"/></method>"
        "<signal name=\"Activated\"><arg type=\"o\"/><arg type=\"s\"/><arg type=\"t\"/><arg type=\"a{sv}\"/></signal>"
        "<signal name=\"Deactivated\"><arg type=\"o\"/><arg type=\"s\"/><arg type=\"t\"/><arg type=\"a{sv}\"/></signal>"
        "<signal name=\"ShortcutsChanged\"><arg type=\"o\"/><arg type=\"a(sa{sv})\"/></signal>"
        "</interface>");
}

bool CTestShortcutsDesktop::handleMessage(const QDBusMessage& message, const QDBusConnection& connection) {
    const QString member = message.member();
    const QList<QVariant> args = message.arguments();
    auto answer = [&](unsigned response, const QVariantMap& results) {
        connection.send(message.createReply(QList<QVariant>{QVariant::fromValue(response), results}));
        return true;
    };
    if (message.interface() == QLatin1String("org.freedesktop.DBus.Properties")) {
        if (member == QLatin1String("GetAll")) return connection.send(message.createReply(QVariant(QVariantMap()))), true;
        if (member == QLatin1String("Get"))
            return connection.send(message.createReply(QVariant::fromValue(QDBusVariant(1u)))), true;
        return false;
    }
    if (message.interface() == kImplSession && member == QLatin1String("Close")) {
        if (message.path() == m_strSession) m_bClosed = true;
        connection.send(message.createReply());
        return true;
    }
    if (message.interface() != kImpl) return false;
    if (member == QLatin1String("CreateSession") && args.size() >= 2) {
        m_strSession = args[1].value<QDBusObjectPath>().path();
        return answer(0, {});
    }
    if (member == QLatin1String("BindShortcuts") && args.size() >= 3) {
        ++m_nBinds;
        if (m_nBindResponse != 0) return answer(m_nBindResponse, {});
        QList<PortalShortcut> shortcuts;
        args[2].value<QDBusArgument>() >> shortcuts;
        m_bound = shortcuts;
        for (PortalShortcut& shortcut : shortcuts)
            shortcut.properties[QStringLiteral("trigger_description")] =
                shortcut.properties.value(QStringLiteral("preferred_trigger"));
        return answer(0, {{QStringLiteral("shortcuts"), QVariant::fromValue(shortcuts)}});
    }
    if (member == QLatin1String("ListShortcuts"))
        return answer(0, {{QStringLiteral("shortcuts"), QVariant::fromValue(m_bound)}});
    return false;
}
