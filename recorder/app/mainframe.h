// CMainFrame: the recorder's bar, a frameless top-most tool window 40
// pixels high docked at the top edge of the screen, with the record
// buttons, the state text and the clock. It owns every long-lived object of
// the program: the settings, the record state machine with its engine, the
// capture canvas (CCaptureCanvas), the region indicator, the hotkeys, the
// tray icon and the menu. It is the view of CRecordControl and the host of
// the dock-and-slide logic.
#pragma once

#include <QPointer>
#include <QWidget>

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "capturecanvas.h"
#include "commandline.h"
#include "dockhost.h"
#include "dockslide.h"
#include "recordcontrol.h"
#include "recordview.h"
#include "regionindicator.h"
#include "settings.h"

class CBarHostLink;
class CBarMenu;
class CPellButton;
class CQtMessagePresenter;
class CSkinFonts;
class CUpdateController;
class CHotkeySource;
class QSocketNotifier;
class QSystemTrayIcon;
class QTimer;

class CMainFrame : public QWidget, public IRecordView, public IDockHost {
    Q_OBJECT
public:
    enum { BAR_HEIGHT = 40, INITIAL_WIDTH = 420 };
    // Command ids of the bar's controls.
    enum {
        ID_START = 2001,
        ID_STOP = 2002,
        ID_PAUSE = 2003,
        ID_RESUME = 2004,
        ID_AUDIO_DEVICE = 2005,
        ID_MODE_LABEL = 2006,
        ID_SETTINGS = 2007,
    };
    // The bar's initial rectangle in a work area: centred as if 420 wide
    // (x = 0 when the work area is narrower), at its top (0 when negative).
    static QRect initialRect(const QRect& workArea);
    // Where the bar goes without a saved position: centred on the work area
    // as if 420 wide (its left edge when the area is narrower), at y = 10.
    static QPoint defaultBarPosition(const QRect& workArea);

    // settings: read here (the registry values first); commandLine: the
    // options of this start, applied at the end of the creation.
    CMainFrame(std::unique_ptr<CSettings> settings, const CCommandLine& commandLine);
    ~CMainFrame() override;

    // Window creation; false when the window cannot be made. announce gets
    // the bar's window id first thing after the window exists.
    bool create(const std::function<void(unsigned long windowId)>& announce = {});
    // After creation: shown (and set to hide itself at the top edge).
    void showAfterCreation();

    CRecordControl& control() { return *m_pControl; }
    CSettings& settings() { return *m_pSettings; }
    CRegionIndicator* regionIndicator() const { return m_pRegion; }
    CBarMenu* menu() const { return m_pMenu; }

public slots:
    // Message 1134: a request to record the region.
    void requestRegionRecording();
    // Message 1128: the finish prompt.
    void showFinishPrompt();
    // The session ends or the process is asked to end: a running recording
    // is finished (no prompt), the settings saved, the program quits.
    void finishAndQuit();
    // The popup menu at a screen point; returns the chosen command.
    int showMenu(const QPoint& globalPos);

    // IRecordView
public:
    void refreshControls() override;
    void refreshModeLabel() override;
    void resizeBar(int width) override;
    void hideBar() override;
    void restoreBar() override;
    void refreshMonitors() override;
    RegionRect captureRect() override;
    RegionRect regionInnerRect() override;
    bool isRegionAspect16x9() override;
    void setRegionRecording(bool on) override;
    void showRegionTopMost() override;
    void hideRegion() override;
    void startDiskWatch() override;
    void stopDiskWatch() override;
    void openFolder(const std::string& folder) override;
    void postRepaint() override;
    void postEngineError(unsigned token) override;

    // IDockHost
    int barTop() override;
    bool cursorInBar() override;
    int cursorY() override;
    void moveBarTop(int y) override;
    void showBarFully() override;
    void startTimer(int id, int periodMs) override;
    void stopTimer(int id) override;
    void debugLog(const char* text) override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void createControls();
    void createTray();
    void createRegionIndicator();
    void placeBar();
    void applyCommandLine();
    void layoutControls();
    void onCommand(int id);
    void onMenuCommand(int id);
    void onTimer(int id);
    void onRecordTypeRequested(int type);
    void openSettingsDialog();
    void openAudioDeviceDialog();
    void saveOnClose();
    void createHotkeys();
    void watchEngineQueue();
    void paintState(QPainter& painter);

    std::unique_ptr<CSettings> m_pSettings;
    CCommandLine m_commandLine;
    std::unique_ptr<CQtMessagePresenter> m_pMessages;
    std::unique_ptr<CSkinFonts> m_pFonts;
    std::unique_ptr<CHotkeySource> m_pHotkeys;
    // F9/F10 reach the bar only from XWayland windows (a Wayland desktop
    // without the GlobalShortcuts portal): the settings dialog says so.
    bool m_bHotkeysXWaylandOnly = false;
    std::unique_ptr<QSocketNotifier> m_pQueueNotifier;
    std::unique_ptr<CBarHostLink> m_pHostLink;
    std::unique_ptr<CUpdateController> m_pUpdate;

    CCaptureCanvas m_canvas;

    std::unique_ptr<CRecordControl> m_pControl;
    CDockSlide m_dock;
    std::map<int, QTimer*> m_timers;

    CPellButton* m_pStart = nullptr;
    CPellButton* m_pStop = nullptr;
    CPellButton* m_pPause = nullptr;
    CPellButton* m_pResume = nullptr;
    CPellButton* m_pAudioDevice = nullptr;
    CPellButton* m_pModeLabel = nullptr;
    CPellButton* m_pSettingsButton = nullptr;
    CBarMenu* m_pMenu = nullptr;
    QSystemTrayIcon* m_pTray = nullptr;
    QPointer<CRegionIndicator> m_pRegion;

    std::string m_strVersionText;
    bool m_bStartedHidden = false;
    bool m_bClosing = false;
    bool m_bFinished = false;
    QPoint m_ptDragOffset;
    bool m_bDragging = false;
};
