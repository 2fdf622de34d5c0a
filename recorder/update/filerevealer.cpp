#include "filerevealer.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QFileInfo>
#include <QProcess>
#include <QUrl>

#include "basekit/logwrapper.h"

void CFileRevealer::showFile(const QString& path) {
    const QString service = QStringLiteral("org.freedesktop.FileManager1");
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected() && bus.interface() && bus.interface()->isServiceRegistered(service).value()) {
        QDBusMessage call = QDBusMessage::createMethodCall(service, QStringLiteral("/org/freedesktop/FileManager1"),
                                                           service, QStringLiteral("ShowItems"));
        call << QStringList{QUrl::fromLocalFile(path).toString()} << QString();
        if (bus.send(call)) return;
    }
    const QString folder = QFileInfo(path).absolutePath();
    if (!QProcess::startDetached(QStringLiteral("xdg-open"), {folder}))
        UC_LOG(CLogWrapper::LOG_WARNING, " --- xdg-open could not be started for " << folder.toStdString());
}
