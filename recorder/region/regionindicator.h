// CRegionIndicator: the shaped, top-most window that marks on screen what
// is recorded.
//
// Custom mode: a red frame locked to 4:3 or 16:9 that the user drags and
// resizes (12 handles around the inner rectangle), with a grip tab on the
// top edge and a toolbar in the inner top-right corner: "4:3", "16:9" and a
// drop-down that switches between full screen and custom. Full-screen mode:
// a 5-pixel outline of the desktop with the drop-down only. While recording
// (not editable) the toolbar and the handles are gone, a thin frame stays
// and a press anywhere on it moves the window.
//
// The inner rectangle (custom) is the capture rectangle; the owner persists
// it and the mode. The window is created hidden; the owner shows it.
//
// The window bypasses the X window manager (override-redirect): an overlay
// that must land exactly where it is put, cover panels in full-screen mode,
// stay out of task bars and pagers and never take the focus from the
// program being recorded. raise() puts it on top; showTopMost() does both.
#pragma once

#include <QPointer>
#include <QRect>
#include <QWidget>

#include <mutex>

#include "regiongeometry.h"
#include "settings.h"

class CImageButton;
class CPellDropSel;

class CRegionIndicator : public QWidget {
    Q_OBJECT
public:
    // Control ids of the toolbar.
    enum { ID_ASPECT_4X3 = 1, ID_ASPECT_16X9 = 2, ID_MODE_DROP = 3 };
    // Items of the mode drop-down and the record types they ask for.
    enum { ITEM_FULL_SCREEN = 0, ITEM_CUSTOM = 1 };
    enum { RECORD_TYPE_FULL_SCREEN = 0, RECORD_TYPE_CUSTOM = 1 };

    // A frameless, top-most tool window without parent, hidden, in custom
    // mode at the default place until place() is called.
    explicit CRegionIndicator(QWidget* parent = nullptr);
    ~CRegionIndicator() override;

    // First placement: full screen covers the desktop; custom takes the saved
    // inner rectangle (its aspect from its proportions) or, when it was never
    // saved or does not fit, 960 x 720 centred in 4:3. The saved rectangle
    // is kept for switching from full screen to custom later.
    void place(const RegionRect& saved, QWidget* owner, bool fullScreen);
    // Recording: toolbar and handles vanish, the frame thins.
    void setRecording(bool on);
    // Switches the mode at run time; custom comes back at the rectangle it
    // had before full screen (or at the saved one).
    void setFullScreen(bool on);
    // Switches the aspect of the custom frame (the inner height is kept).
    void setAspect16x9(bool on);
    // Recomputes handles, toolbar and shape after a size, mode or state change.
    void reshape();

    bool isBorderless() const { return m_bBorderless; }
    bool isAspect16x9() const { return m_bAspect16x9; }
    bool isEditable() const { return m_bEditable; }
    QWidget* ownerWindow() const { return m_pOwner; }

    // The window's rectangle in screen (logical) pixels.
    QRect windowRect() const { return geometry(); }
    // The inner rectangle (the 5-pixel inset one in full-screen mode).
    QRect innerRect() const;
    // The rectangle to record: the window inset 7/18/7/7, or the whole
    // window when borderless (logical pixels). Safe to call from any thread.
    QRect captureRect() const;
    // The same with the device pixel ratio of the window's screen, taken
    // together, for turning it into capture pixels on another thread
    // (CMonitorTable::toCapturePixels).
    struct CaptureArea {
        QRect rect;
        double devicePixelRatio = 1.0;
    };
    CaptureArea captureArea() const;
    // The rectangle to save as the region: the custom inner rectangle, or,
    // in full-screen mode, the custom one it will come back to (left -1
    // when there never was one).
    RegionRect regionRectToSave() const;

    // The desktop rectangle the window covers in full-screen mode and is
    // placed on: the primary screen's geometry unless set.
    void setDesktopRect(const QRect& rect);
    QRect desktopRect() const;

    // show() and raise().
    void showTopMost();

    // The toolbar controls (tests, the owner's tab order).
    CImageButton* aspect4x3Button() const { return m_pButton4x3; }
    CImageButton* aspect16x9Button() const { return m_pButton16x9; }
    CPellDropSel* modeDropDown() const { return m_pModeDrop; }

signals:
    // The user picked an item of the mode drop-down: 1 custom, 0 full screen.
    void recordTypeRequested(int type);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void createToolbar();
    void onCommand(int id);
    void applyWindow(const GeoRect& window);
    void applyModeControls();
    void updateAspectButtons();
    void updateCursor(const QPoint& local);
    void stopDrag();
    void publishCaptureRect();
    GeoRect desktop() const;
    GeoRect currentWindow() const { return CRegionGeometry::fromQRect(geometry()); }

    bool m_bAspect16x9 = false;
    bool m_bBorderless = false;
    bool m_bEditable = true;
    QPointer<QWidget> m_pOwner;
    RegionRect m_savedCustomRect;
    QRect m_desktopOverride;

    // Dragging: the mode (handle 0..11, 12 moving, -1 none) and the cursor
    // at the button press and at the last mouse event (screen pixels).
    int m_nDragMode = -1;
    QPoint m_ptDragStart;
    QPoint m_ptDragLast;

    CImageButton* m_pButton4x3 = nullptr;
    CImageButton* m_pButton16x9 = nullptr;
    CPellDropSel* m_pModeDrop = nullptr;

    // What captureRect() returns, for readers on other threads.
    mutable std::mutex m_captureLock;
    CaptureArea m_captureArea;
};
