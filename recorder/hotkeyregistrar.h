// IHotkeyRegistrar: system-wide hotkeys for the bar. The bar implements it
// with key grabs on the X root window; the settings turn F9 and F10 on and
// off through it.
#pragma once

class IHotkeyRegistrar {
public:
    // Hotkey ids and their keys (virtual key numbers), no modifiers.
    enum { HOTKEY_ID_F9 = 1126, HOTKEY_ID_F10 = 1127 };
    enum { VIRTUAL_KEY_F9 = 0x78, VIRTUAL_KEY_F10 = 0x79 };

    enum Result {
        HOTKEY_REGISTERED = 0,          // the key now reaches the bar
        HOTKEY_ALREADY_REGISTERED = 1,  // another client holds the key
        HOTKEY_FAILED = 2,              // any other failure
    };

    // Grabs virtualKey without modifiers under id.
    virtual Result registerHotkey(int id, unsigned virtualKey) = 0;
    // Releases the grab of id; true on success.
    virtual bool unregisterHotkey(int id) = 0;

protected:
    ~IHotkeyRegistrar() = default;
};
