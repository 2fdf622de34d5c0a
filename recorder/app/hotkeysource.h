// CHotkeySource: a registrar of system-wide hotkeys that reports presses as
// a Qt signal on the GUI thread. CX11Hotkeys (key grabs on the X root
// window) and CGlobalShortcutsPortal (the desktop's GlobalShortcuts portal)
// are the two kinds; the bar owns one and connects hotkeyPressed.
#pragma once

#include <QObject>

#include "hotkeyregistrar.h"

class CHotkeySource : public QObject, public IHotkeyRegistrar {
    Q_OBJECT
public:
    using QObject::QObject;
    ~CHotkeySource() override = default;

signals:
    // id: the HOTKEY_ID_* the key was registered under.
    void hotkeyPressed(int id);
};
