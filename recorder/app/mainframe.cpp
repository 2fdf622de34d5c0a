#include "mainframe.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCursor>
#include <QMouseEvent>
#include <QFontMetrics>
#include <QPainter>
#include <QProcess>
#include <QScreen>
#include <QSocketNotifier>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWindow>

#include "artwork.h"
#include "barhostlink.h"
#include "barmenu.h"
#include "basekit/logwrapper.h"
#include "basekit/messagequeue.h"
#include "languagetable.h"
#include "outputnaming.h"
#include "pellbutton.h"
#include "qtmessagepresenter.h"
#include "recordingrepair.h"
#include "regionindicator.h"
#include "skinfonts.h"
#include "updatecontroller.h"
#include "globalshortcutsportal.h"
#include "x11hotkeys.h"

// The dialogs come with the skinned controls; a build without them still
// records (the two buttons then only log).
#if __has_include("dlgsetting.h") && __has_include("dlgaudiodevice.h")
#include "dlgaudiodevice.h"
#include "dlgsetting.h"
#define TOLVANE_HAVE_DIALOGS 1
#endif

namespace {

const QColor kBarBackground(0x5C, 0x5C, 0x5C);
const QColor kSeparator(0x40, 0x40, 0x40);
const QColor kRunningText(0xF2, 0x60, 0x60);
constexpr int kDiskWatchMs = 5000;
constexpr int kTimerDiskWatch = 253;
// A font of cell height 20 (the bar's texts) has an em of about 15 pixels.
constexpr int kBarTextPixels = 15;

// The state text shares its row with the clock at x = 76: a text too wide
// for the room before the clock is drawn smaller (down to 10 pixels, then
// cut with an ellipsis), so the two never run into each other.
QFont fittedFont(QFont font, const QString& s, int room) {
    while (font.pixelSize() > 10 && QFontMetrics(font).horizontalAdvance(s) > room)
        font.setPixelSize(font.pixelSize() - 1);
    return font;
}

QString text(const char* key) {
    return QString::fromStdString(CLanguageTable::instance().lookup(key));
}

RegionRect toRegionRect(const QRect& r) {
    return RegionRect{r.left(), r.top(), r.left() + r.width(), r.top() + r.height()};
}

}  // namespace

QRect CMainFrame::initialRect(const QRect& workArea) {
    int left = (workArea.width() - INITIAL_WIDTH) / 2;
    if (left < 0) left = 0;
    int top = workArea.top() < 0 ? 0 : workArea.top();
    return QRect(left, top, INITIAL_WIDTH, BAR_HEIGHT);
}

QPoint CMainFrame::defaultBarPosition(const QRect& workArea) {
    const int left = (workArea.width() - INITIAL_WIDTH) / 2;
    return QPoint(workArea.left() + (left < 0 ? 0 : left), 10);
}

CMainFrame::CMainFrame(std::unique_ptr<CSettings> settings, const CCommandLine& commandLine)
    : QWidget(nullptr, Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::Tool),
      m_pSettings(std::move(settings)),
      m_commandLine(commandLine),
      m_dock(*this) {
    m_pSettings->loadRegistrySettings();
    setWindowTitle("Tolvane");
    setObjectName("tolvaneBar");
    setWindowIcon(CArtwork::appIcon());
    setMouseTracking(true);
    m_pMessages = std::make_unique<CQtMessagePresenter>(this);
    m_pControl = std::make_unique<CRecordControl>(*m_pSettings, *this, m_canvas, *m_pMessages);
    for (int id : {int(TIMER_LEAVE_WATCH), kTimerDiskWatch, int(TIMER_SLIDE), int(TIMER_START_HIDE)}) {
        auto* timer = new QTimer(this);
        timer->setSingleShot(id == TIMER_START_HIDE);
        connect(timer, &QTimer::timeout, this, [this, id] { onTimer(id); });
        m_timers[id] = timer;
    }
}

CMainFrame::~CMainFrame() {
    if (m_pHostLink) m_pHostLink->shutdown();
    m_pControl->finishForExit();
    m_canvas.close();
    if (m_pTray) m_pTray->hide();
    m_pControl.reset();
    delete m_pRegion.data();
}

bool CMainFrame::create(const std::function<void(unsigned long windowId)>& announce) {
    setGeometry(initialRect(screen() ? screen()->availableGeometry() : QRect(0, 0, 1280, 720)));
    if (!winId()) return false;
    if (announce) announce(static_cast<unsigned long>(winId()));
    m_pHostLink = std::make_unique<CBarHostLink>(*m_pControl, *m_pMessages, TOLVANE_VERSION_TEXT,
                                                 [this] { showFinishPrompt(); });
    m_pHostLink->open(static_cast<unsigned long>(winId()));
    m_pFonts = std::make_unique<CSkinFonts>();
    createTray();
    createControls();
    m_pMenu = new CBarMenu(
        [this] {
            return CBarMenu::MenuStatus{m_pControl->isRecording(), m_pControl->isPaused(),
                                    m_pControl->elapsedSeconds()};
        },
        this);

    // The engine reports device changes through this thread's queue.
    watchEngineQueue();
    m_pControl->ensureEngine();
    m_pControl->loadDeviceList();

    m_canvas.load();
    refreshModeLabel();
    refreshControls();
    placeBar();
    m_pSettings->loadLocalConfig();
    CRecordingRepair::repairFolder(m_pSettings->outputFolder);
    m_canvas.setRecordType(m_pSettings->recordType);
    createRegionIndicator();
    m_dock.resetToTop();
    m_strVersionText = TOLVANE_VERSION_TEXT;
    applyCommandLine();

    createHotkeys();
    connect(m_pHotkeys.get(), &CHotkeySource::hotkeyPressed, this, [this](int id) { m_pControl->onHotkey(id); });
    m_pSettings->attachHotkeys(m_pHotkeys.get(), m_pMessages.get());
    m_pSettings->registerSavedHotkeys();

    // The version file comes on a worker thread; timer 251 looks at it.
    m_pUpdate = std::make_unique<CUpdateController>(this, CLanguageTable::instance().languageIndex(), m_strVersionText);
    m_pUpdate->start();
    return true;
}

void CMainFrame::createHotkeys() {
    // On a Wayland desktop, X key grabs only see keys typed into XWayland
    // windows: the desktop's GlobalShortcuts portal is used where it has one.
    if (CGlobalShortcutsPortal::onWaylandDesktop()) {
        if (CGlobalShortcutsPortal::isOffered()) {
            auto portal = std::make_unique<CGlobalShortcutsPortal>();
            if (portal->open()) {
                UC_LOG_THIS(CLogWrapper::LOG_INFO, "hotkeys through the desktop's GlobalShortcuts portal");
                m_pHotkeys = std::move(portal);
                return;
            }
        }
        UC_LOG_THIS(CLogWrapper::LOG_WARNING, " --- no GlobalShortcuts portal: F9/F10 only from XWayland windows");
        m_bHotkeysXWaylandOnly = true;
    }
    m_pHotkeys = std::make_unique<CX11Hotkeys>();
}

void CMainFrame::watchEngineQueue() {
    CMessageQueue* queue = CMessageQueue::ForCurrentThread();
    if (!queue) return;
    m_pQueueNotifier = std::make_unique<QSocketNotifier>(queue->GetFd(), QSocketNotifier::Read);
    connect(m_pQueueNotifier.get(), &QSocketNotifier::activated, this, [queue] { queue->Pump(); });
}

void CMainFrame::createTray() {
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        UC_LOG_THIS(CLogWrapper::LOG_WARNING, " --- no system tray: the bar goes without a tray icon");
        return;
    }
    m_pTray = new QSystemTrayIcon(CArtwork::appIcon(), this);
    m_pTray->setToolTip("Tolvane");
    connect(m_pTray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Context) {
            onMenuCommand(showMenu(QCursor::pos()));
        } else if (reason == QSystemTrayIcon::DoubleClick) {
            if (isHidden()) restoreBar();
            if (y() == 0) m_dock.startHideLater();
        }
    });
    m_pTray->show();
}

void CMainFrame::createControls() {
    struct BarButtonSetup {
        CPellButton** button;
        int id;
        CArtwork::BarButton image;
        const char* tooltip;
    };
    const BarButtonSetup setups[] = {
        {&m_pStart, ID_START, CArtwork::BAR_START, "ID_TEXT_STARTRECORD"},
        {&m_pStop, ID_STOP, CArtwork::BAR_STOP, "ID_TEXT_STOPRECORD"},
        {&m_pPause, ID_PAUSE, CArtwork::BAR_PAUSE, "ID_TEXT_PAUSERECORD"},
        {&m_pResume, ID_RESUME, CArtwork::BAR_RESUME, "ID_TEXT_RESUMEREOCRD"},
        {&m_pAudioDevice, ID_AUDIO_DEVICE, CArtwork::BAR_AUDIO_DEVICE, "ID_TEXT_SELECTREC"},
        {&m_pSettingsButton, ID_SETTINGS, CArtwork::BAR_SETTINGS, "ID_TEXT_SETTING"},
    };
    for (const BarButtonSetup& setup : setups) {
        auto* button = new CPellButton(setup.id, CPellBaseCtrl::KIND_PUSH_HOVER, this);
        button->setImages(CArtwork::barButtonImages(setup.image, devicePixelRatioF()));
        button->setTooltipText(text(setup.tooltip));
        connect(button, &CPellButton::commanded, this, &CMainFrame::onCommand);
        *setup.button = button;
    }
    // The settings button carries no tooltip key of its own.
    m_pSettingsButton->setTooltipText(QString());
    m_pModeLabel = new CPellButton(ID_MODE_LABEL, CPellBaseCtrl::KIND_PUSH, this);
    m_pModeLabel->setTextColors(Qt::white, Qt::white);
    m_pModeLabel->setFont(CSkinFonts::font(14));
}

void CMainFrame::createRegionIndicator() {
    m_pRegion = new CRegionIndicator();
    m_pRegion->place(m_pSettings->regionRect, this, m_pSettings->recordType != 1);
    connect(m_pRegion, &CRegionIndicator::recordTypeRequested, this, &CMainFrame::onRecordTypeRequested);
    m_pRegion->showTopMost();
    m_canvas.setRegionSource(
        [region = m_pRegion]() -> std::optional<GeoRect> {
            if (!region) return std::nullopt;
            return CRegionGeometry::fromQRect(region->captureRect());
        },
        m_pRegion->devicePixelRatioF());
}

void CMainFrame::placeBar() {
    std::optional<BarPosition> saved = m_pSettings->loadBarPosition();
    QRect work = screen() ? screen()->availableGeometry() : QRect(0, 0, 1280, 720);
    const int width = m_pControl->barWidth();
    if (saved)
        setGeometry(saved->x, saved->y, width, BAR_HEIGHT);
    else
        setGeometry(QRect(defaultBarPosition(work), QSize(width, BAR_HEIGHT)));
    show();
}

void CMainFrame::showAfterCreation() {
    if (m_pControl->isAutoSync() && m_bStartedHidden) {
        hide();
        m_bStartedHidden = false;
        return;
    }
    show();
    if (y() < 10) m_dock.startHideLater();
}

void CMainFrame::applyCommandLine() {
    const CCommandLine& line = m_commandLine;
    if (line.hasHostWindow) m_pHostLink->connectToHost(line.hostWindow);
    if (!line.hostName.empty()) m_pControl->setHostName(line.hostName);
    if (!line.hasRec) return;
    m_pControl->setStartDevices({line.micName, line.micDisabled, line.speakerName, line.speakerDisabled});
    if (line.rec == 1) {
        m_pControl->doStart();
        m_bStartedHidden = true;
    }
}

// ---- painting and layout ---------------------------------------------------

void CMainFrame::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), kBarBackground);
    paintState(painter);
    painter.fillRect(QRect(160, 8, 1, height() - 16), kSeparator);
    painter.fillRect(QRect(width() - 105, 8, 1, height() - 16), kSeparator);
}

void CMainFrame::paintState(QPainter& painter) {
    const int flags = Qt::AlignLeft | Qt::AlignVCenter | Qt::TextWordWrap;
    auto drawText = [&](const QRect& r, const QString& s) {
        painter.drawText(r, flags, painter.fontMetrics().elidedText(s, Qt::ElideRight, r.width()));
    };
    QFont normal = m_pFonts->normalFont();
    normal.setPixelSize(kBarTextPixels);
    painter.setFont(normal);
    constexpr int kClockLeft = 76, kGap = 4;
    if (!m_pControl->isRecording()) {
        const QString ready = text("ID_TEXT_RECORD_STATEREADY");
        painter.setFont(fittedFont(normal, ready, kClockLeft - kGap - 20));
        painter.setPen(Qt::white);
        drawText(QRect(QPoint(20, 9), QPoint(kClockLeft - kGap, 35)), ready);
    } else {
        const bool paused = m_pControl->isPaused();
        painter.drawPixmap(6, 10,
                           CArtwork::stateIcon(paused ? CArtwork::STATE_ICON_PAUSED : CArtwork::STATE_ICON_RUNNING,
                                               devicePixelRatioF()));
        const QString state = text(paused ? "ID_TEXT_RECORD_STATEPAUSE" : "ID_TEXT_RECORD_STATERUNNING");
        painter.setFont(fittedFont(normal, state, kClockLeft - kGap - 24));
        painter.setPen(paused ? QColor(Qt::white) : kRunningText);
        drawText(QRect(QPoint(24, 9), QPoint(kClockLeft - kGap, 35)), state);
    }
    QFont bold = m_pFonts->boldFont();
    bold.setPixelSize(kBarTextPixels);
    painter.setFont(bold);
    painter.setPen(Qt::white);
    painter.drawText(QRect(QPoint(kClockLeft, 11), QPoint(139, 35)), flags, CBarMenu::clockText(m_pControl->elapsedSeconds()));
}

void CMainFrame::resizeEvent(QResizeEvent*) {
    layoutControls();
}

void CMainFrame::layoutControls() {
    if (!m_pStart) return;
    const int w = width(), h = height();
    m_pModeLabel->setGeometry(w - 100, 4, 92, h - 8);
    m_pSettingsButton->setGeometry(w - 144, 4, 32, h - 8);
    m_pAudioDevice->setGeometry(w - 184, 4, 32, h - 8);
    m_pStart->setGeometry(w - 224, 4, 32, h - 8);
    m_pStop->setGeometry(w - 224, 4, 32, h - 8);
    m_pPause->setGeometry(w - 264, 4, 32, h - 8);
    m_pResume->setGeometry(w - 264, 4, 32, h - 8);
}

void CMainFrame::refreshControls() {
    if (m_pStart) {
        CRecordControl::ButtonState state = CRecordControl::buttonState(
            m_pControl->isRecording(), m_pControl->isPaused(), m_pControl->isAutoSync());
        m_pStart->setVisible(state.start);
        m_pStop->setVisible(state.stop);
        m_pPause->setVisible(state.pause);
        m_pResume->setVisible(state.resume);
        m_pAudioDevice->setVisible(state.audioDevice);
        for (CPellButton* button : {m_pStart, m_pStop, m_pPause, m_pResume, m_pAudioDevice})
            button->setControlEnabled(state.enabled);
        // The mode label never takes the mouse.
        m_pModeLabel->setAttribute(Qt::WA_TransparentForMouseEvents, true);
    }
    update();
}

void CMainFrame::refreshModeLabel() {
    if (m_pModeLabel)
        m_pModeLabel->setText(text(m_pControl->isAutoSync() ? "ID_TEXT_SYNCREOCRD" : "ID_TEXT_MANUALREOCRD"));
}

void CMainFrame::resizeBar(int width) {
    resize(width, BAR_HEIGHT);
    update();
}

void CMainFrame::hideBar() { hide(); }

void CMainFrame::restoreBar() {
    if (isHidden()) show();
}

// ---- commands, menu, timers ------------------------------------------------

void CMainFrame::onCommand(int id) {
    switch (id) {
        case ID_START: m_pControl->doStart(); break;
        case ID_STOP:
            m_pControl->doStop();
            m_pControl->promptOpenFolder();
            break;
        case ID_PAUSE: m_pControl->doPause(); break;
        case ID_RESUME: m_pControl->doResume(); break;
        case ID_AUDIO_DEVICE: openAudioDeviceDialog(); break;
        case ID_SETTINGS: openSettingsDialog(); break;
        default: break;
    }
}

int CMainFrame::showMenu(const QPoint& globalPos) {
    activateWindow();
    raise();
    return m_pMenu->exec(globalPos);
}

void CMainFrame::onMenuCommand(int id) {
    switch (id) {
        case CBarMenu::ID_SETTINGS: openSettingsDialog(); break;
        case CBarMenu::ID_EXIT: QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection); break;
        case CBarMenu::ID_OPEN_FOLDER:
            if (COutputNaming::folderExists(m_pSettings->outputFolder)) openFolder(m_pSettings->outputFolder);
            break;
        default: break;
    }
}

void CMainFrame::openSettingsDialog() {
#ifdef TOLVANE_HAVE_DIALOGS
    CDlgSetting dialog(this, *m_pSettings, m_strVersionText);
    if (m_bHotkeysXWaylandOnly) dialog.showHotkeyScopeNote();
    if (dialog.exec() == 1) m_canvas.setGamma(m_pSettings->gamma);
#else
    UC_LOG_THIS(CLogWrapper::LOG_WARNING, " --- built without the settings dialog");
#endif
}

void CMainFrame::openAudioDeviceDialog() {
    IOrvixAvRecordInterface* engine = m_pControl->ensureEngine();
#ifdef TOLVANE_HAVE_DIALOGS
    CDlgAudioDevice dialog(this, engine, m_pControl->deviceList(), *m_pSettings, *m_pMessages);
    if (dialog.exec() == 1) m_pControl->clearStartDevices();
#else
    (void)engine;
    UC_LOG_THIS(CLogWrapper::LOG_WARNING, " --- built without the audio device dialog");
#endif
}

void CMainFrame::onTimer(int id) {
    if (id == kTimerDiskWatch)
        m_pControl->onDiskWatch();
    else
        m_dock.onTimer(id);
}

void CMainFrame::onRecordTypeRequested(int type) {
    if (type == m_pSettings->recordType || !m_pRegion) return;
    m_pSettings->recordType = type;
    m_canvas.setRecordType(type);
    m_pRegion->setFullScreen(type == 0);
    m_pRegion->showTopMost();
    m_pRegion->reshape();
}

void CMainFrame::contextMenuEvent(QContextMenuEvent* event) {
    onMenuCommand(showMenu(event->globalPos()));
}

void CMainFrame::requestRegionRecording() { m_pControl->onRegionStart(); }

void CMainFrame::showFinishPrompt() { m_pControl->promptOpenFolder(); }

// ---- mouse: drag anywhere, dock and slide ----------------------------------

void CMainFrame::mousePressEvent(QMouseEvent* event) {
    m_dock.onHitTest();
    if (event->button() != Qt::LeftButton) return;
    if (windowHandle() && windowHandle()->startSystemMove()) return;
    m_bDragging = true;
    m_ptDragOffset = event->globalPosition().toPoint() - pos();
}

void CMainFrame::mouseMoveEvent(QMouseEvent* event) {
    m_dock.onHitTest();
    m_dock.onMouseMove();
    if (m_bDragging) move(event->globalPosition().toPoint() - m_ptDragOffset);
}

void CMainFrame::mouseReleaseEvent(QMouseEvent*) { m_bDragging = false; }

void CMainFrame::enterEvent(QEnterEvent*) {
    m_dock.onHitTest();
    m_dock.onMouseMove();
}

void CMainFrame::leaveEvent(QEvent*) { m_dock.onMouseLeave(); }

void CMainFrame::moveEvent(QMoveEvent*) { m_dock.onMoved(); }

int CMainFrame::barTop() { return y(); }

bool CMainFrame::cursorInBar() { return frameGeometry().contains(QCursor::pos()); }

int CMainFrame::cursorY() { return QCursor::pos().y(); }

void CMainFrame::moveBarTop(int top) { move(x(), top); }

void CMainFrame::showBarFully() {
    // Only a bar at the top edge comes down; one placed lower stays put.
    setGeometry(x(), m_dock.isDocked() ? 0 : y(), m_pControl->barWidth(), BAR_HEIGHT);
}

void CMainFrame::startTimer(int id, int periodMs) {
    auto it = m_timers.find(id);
    if (it != m_timers.end()) it->second->start(periodMs);
}

void CMainFrame::stopTimer(int id) {
    auto it = m_timers.find(id);
    if (it != m_timers.end()) it->second->stop();
}

void CMainFrame::debugLog(const char* line) { UC_LOG_THIS(CLogWrapper::LOG_INFO, line); }

// ---- closing -----------------------------------------------------------------

void CMainFrame::closeEvent(QCloseEvent* event) {
    if (m_bFinished) {
        event->accept();
        return;
    }
    if (m_pControl->isRecording()) {
        int answer = m_pMessages->showMessage("ID_TEXT_AUDIO_EXITTIPS", "ID_TEXT_TIPS", IMessagePresenter::ICON_WARNING,
                                              IMessagePresenter::BUTTONS_OK_CANCEL);
        if (answer != IMessagePresenter::ANSWER_OK) {
            event->ignore();
            return;
        }
        m_pControl->finishForExit();
    }
    saveOnClose();
    event->accept();
    QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
}

void CMainFrame::saveOnClose() {
    if (m_bFinished) return;
    m_bFinished = true;
    m_pSettings->saveRecordType();
    m_pSettings->saveBarPosition(BarPosition{x(), y()}, isVisible());
    m_pSettings->saveRegistrySettings();
    if (m_pRegion) m_pSettings->saveRegionRect(m_pRegion->regionRectToSave());
    m_pSettings->unregisterHotkeys();
}

void CMainFrame::finishAndQuit() {
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "finishing for the end of the session or a signal");
    m_pControl->finishForExit();
    saveOnClose();
    QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
}

// ---- IRecordView -------------------------------------------------------------

void CMainFrame::refreshMonitors() { m_canvas.refreshMonitors(); }

RegionRect CMainFrame::captureRect() {
    m_canvas.setRecordType(m_pSettings->recordType);
    GeoRect rect = m_canvas.captureRect();
    return RegionRect{rect.left, rect.top, rect.right, rect.bottom};
}

RegionRect CMainFrame::regionInnerRect() {
    return m_pRegion ? toRegionRect(m_pRegion->captureRect()) : RegionRect{0, 0, 0, 0};
}

bool CMainFrame::isRegionAspect16x9() { return m_pRegion && m_pRegion->isAspect16x9(); }

void CMainFrame::setRegionRecording(bool on) {
    if (m_pRegion) m_pRegion->setRecording(on);
}

void CMainFrame::showRegionTopMost() {
    if (m_pRegion) m_pRegion->showTopMost();
}

void CMainFrame::hideRegion() {
    if (m_pRegion && m_pRegion->isVisible()) m_pRegion->hide();
}

void CMainFrame::startDiskWatch() { startTimer(kTimerDiskWatch, kDiskWatchMs); }

void CMainFrame::stopDiskWatch() { stopTimer(kTimerDiskWatch); }

void CMainFrame::openFolder(const std::string& folder) {
    if (!QProcess::startDetached("xdg-open", {QString::fromStdString(folder)}))
        UC_LOG_THIS(CLogWrapper::LOG_WARNING, " --- xdg-open could not be started for " << folder);
}

void CMainFrame::postRepaint() {
    QMetaObject::invokeMethod(this, [this] { update(); }, Qt::QueuedConnection);
}

void CMainFrame::postEngineError(unsigned token) {
    QMetaObject::invokeMethod(this, [this, token] { m_pControl->onEngineError(token); }, Qt::QueuedConnection);
}
