// CDamageTracker: the X DAMAGE extension on the root window of one
// connection: the server collects the areas drawn into (in any window) and
// Take moves what collected since the last call out, so that a grab reads only
// rows that changed.
//
// Used only by the thread that owns the connection (the canvas thread). The
// DamageNotify events it causes (at most one per Take) are left in the
// connection's queue for the owner's non-blocking event loop to drop.
#pragma once

#include <X11/Xlib.h>
#include <X11/extensions/Xdamage.h>

#include <memory>

class CRowSpans;
class CXConnection;

class CDamageTracker {
public:
    // The environment variable that turns change tracking off ("0").
    static constexpr const char* kDisableVariable = "TOLVANE_CAPTURE_DAMAGE";

    // Null when the server lacks DAMAGE or XFixes regions (logged once per
    // process) or tracking is turned off.
    static std::unique_ptr<CDamageTracker> Create(CXConnection& connection);
    ~CDamageTracker();
    CDamageTracker(const CDamageTracker&) = delete;
    CDamageTracker& operator=(const CDamageTracker&) = delete;

    // Adds to `rows` the rows (relative to y) of every rectangle damaged
    // since the last call that overlaps the w x h root area at (x, y), and
    // starts collecting anew. False when the server's answer could not be
    // read: nothing is known about what changed.
    bool Take(int x, int y, int w, int h, CRowSpans& rows);
    // Looks at an event read from the connection: a DamageNotify of this
    // tracker means something was drawn since the last Take. True when the
    // event was one.
    bool NoteEvent(const XEvent& event);
    // False only when nothing was drawn since the last Take: the server
    // reports the first damage after each Take with one event, and every
    // event sent before the reply to a request arrives before that reply, so
    // once the events that came with a reply are noted, no event means no
    // damage up to that request (Take is not needed).
    bool IsPending() const { return m_bPending; }

private:
    CDamageTracker(CXConnection& connection, Damage damage, XserverRegion region, int eventBase);

    CXConnection& m_connection;
    Damage m_damage;
    XserverRegion m_region;  // receives the damage at each Take
    int m_nEventBase;
    bool m_bPending = true;  // the damage may be non-empty
};
