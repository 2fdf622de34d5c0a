// CWindowActivator: gives every dialog and message box of the program the
// input focus when it appears. The boxes often open on a hotkey, which the
// program reads on a connection of its own, so the window manager sees no
// recent user action of the program and may leave the focus elsewhere;
// without a window manager nobody would give it at all. The request goes
// to the window manager (_NET_ACTIVE_WINDOW) or, without one, straight to
// the X server.
#pragma once

#include <QObject>

class CWindowActivator : public QObject {
    Q_OBJECT
public:
    // Watches every widget of the application.
    explicit CWindowActivator(QObject* parent = nullptr);
    ~CWindowActivator() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};
