#include "windowactivator.h"

#include <QApplication>
#include <QDialog>
#include <QEvent>

CWindowActivator::CWindowActivator(QObject* parent) : QObject(parent) {
    if (qApp) qApp->installEventFilter(this);
}

CWindowActivator::~CWindowActivator() {
    if (qApp) qApp->removeEventFilter(this);
}

bool CWindowActivator::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Show) {
        auto* dialog = qobject_cast<QDialog*>(watched);
        // Qt keeps the request until the window is mapped.
        if (dialog && dialog->isWindow()) {
            dialog->raise();
            dialog->activateWindow();
        }
    }
    return QObject::eventFilter(watched, event);
}
