#include "regionindicator.h"

#include <QFontMetrics>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>

#include <initializer_list>

#include "artwork.h"
#include "imagebutton.h"
#include "languagetable.h"
#include "pelldropsel.h"
#include "skinfonts.h"

namespace {

const QColor kFrameColor(0xFF, 0x00, 0x00);
const QColor kToolbarColor(0x5C, 0x5C, 0x5C);
// The drop-down's font (captions and list): the largest of these pixel
// sizes at which both captions fit beside the arrow (78 pixels less the
// control's margins and the 16-pixel arrow leave 43).
constexpr int kDropFontLargest = 12;
constexpr int kDropFontSmallest = 9;
constexpr int kDropCaptionRoom = 43;
constexpr int kDropItemHeight = 24;

QString text(const char* key) { return QString::fromStdString(CLanguageTable::instance().lookup(key)); }

QFont captionFont(std::initializer_list<QString> captions) {
    const auto fits = [&](int pixels) {
        const QFontMetrics metrics(CSkinFonts::font(pixels));
        for (const QString& caption : captions)
            if (metrics.horizontalAdvance(caption) > kDropCaptionRoom) return false;
        return true;
    };
    int pixels = kDropFontLargest;
    while (pixels > kDropFontSmallest && !fits(pixels)) --pixels;
    return CSkinFonts::font(pixels);
}

Qt::CursorShape cursorForHandle(int handle) {
    if (handle >= 0 && handle <= 3) return Qt::SizeVerCursor;
    if (handle >= 4 && handle <= 7) return Qt::SizeHorCursor;
    if (handle == 8 || handle == 9) return Qt::SizeFDiagCursor;
    if (handle == 10 || handle == 11) return Qt::SizeBDiagCursor;
    return Qt::SizeAllCursor;
}

RegionRect toRegionRect(const GeoRect& r) { return RegionRect{r.left, r.top, r.right, r.bottom}; }

}  // namespace

CRegionIndicator::CRegionIndicator(QWidget* parent)
    : QWidget(parent, Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::Tool |
                          Qt::X11BypassWindowManagerHint | Qt::WindowDoesNotAcceptFocus) {
    setAttribute(Qt::WA_ShowWithoutActivating);
    setMouseTracking(true);
    setCursor(Qt::SizeAllCursor);
    createToolbar();
    applyWindow(CRegionGeometry::defaultPlacement(desktop()).window);
    applyModeControls();
    reshape();
}

CRegionIndicator::~CRegionIndicator() = default;

void CRegionIndicator::createToolbar() {
    m_pButton4x3 = new CImageButton(ID_ASPECT_4X3, this);
    m_pButton4x3->setImages(CArtwork::aspectButtonImages(false, false), CArtwork::aspectButtonImages(false, true));
    m_pButton16x9 = new CImageButton(ID_ASPECT_16X9, this);
    m_pButton16x9->setImages(CArtwork::aspectButtonImages(true, false), CArtwork::aspectButtonImages(true, true));

    m_pModeDrop = new CPellDropSel(ID_MODE_DROP, this);
    m_pModeDrop->setArrowImages(CArtwork::dropArrowImages(true));
    m_pModeDrop->setTooltipText(text("ID_TEXT_STARTRECORD"));
    m_pModeDrop->setTextColors(Qt::white, Qt::white);
    m_pModeDrop->setFont(captionFont({text("ID_TEXT_FULL_SCR"), text("ID_TEXT_CUSTOM")}));
    m_pModeDrop->setItemHeight(kDropItemHeight);
    m_pModeDrop->addItem(text("ID_TEXT_FULL_SCR"));  // ITEM_FULL_SCREEN
    m_pModeDrop->addItem(text("ID_TEXT_CUSTOM"));    // ITEM_CUSTOM

    for (CPellBase* control : {static_cast<CPellBase*>(m_pButton4x3), static_cast<CPellBase*>(m_pButton16x9),
                               static_cast<CPellBase*>(m_pModeDrop)})
        connect(control, &CPellBase::commanded, this, &CRegionIndicator::onCommand);
    updateAspectButtons();
}

void CRegionIndicator::onCommand(int id) {
    switch (id) {
    case ID_ASPECT_4X3: setAspect16x9(false); break;
    case ID_ASPECT_16X9: setAspect16x9(true); break;
    case ID_MODE_DROP:
        emit recordTypeRequested(m_pModeDrop->selectedIndex() == ITEM_CUSTOM ? RECORD_TYPE_CUSTOM
                                                                             : RECORD_TYPE_FULL_SCREEN);
        // The caption follows the mode, which the owner may or may not change.
        applyModeControls();
        break;
    default: break;
    }
}

void CRegionIndicator::place(const RegionRect& saved, QWidget* owner, bool fullScreen) {
    m_pOwner = owner;
    m_savedCustomRect = saved;
    const CRegionGeometry::Placement custom = CRegionGeometry::place(saved, desktop());
    m_bAspect16x9 = custom.aspect16x9;
    m_bBorderless = fullScreen;
    applyWindow(fullScreen ? desktop() : custom.window);
    updateAspectButtons();
    applyModeControls();
    reshape();
    if (isVisible()) raise();
}

void CRegionIndicator::setRecording(bool on) {
    stopDrag();
    m_bEditable = !on;
    applyModeControls();
    reshape();
}

void CRegionIndicator::setFullScreen(bool on) {
    if (!on && !m_bBorderless) return;  // already custom: keep the frame where it is
    stopDrag();
    if (on) {
        if (!m_bBorderless)
            m_savedCustomRect = toRegionRect(CRegionGeometry::innerFromWindow(currentWindow(), false));
        m_bBorderless = true;
        applyWindow(desktop());
    } else {
        const CRegionGeometry::Placement custom = CRegionGeometry::place(m_savedCustomRect, desktop());
        m_bAspect16x9 = custom.aspect16x9;
        m_bBorderless = false;
        applyWindow(custom.window);
        updateAspectButtons();
    }
    applyModeControls();
    reshape();
}

void CRegionIndicator::setAspect16x9(bool on) {
    if (on == m_bAspect16x9) return;
    m_bAspect16x9 = on;
    if (!m_bBorderless) applyWindow(CRegionGeometry::switchAspect(currentWindow(), on, desktop()));
    updateAspectButtons();
    reshape();
}

void CRegionIndicator::reshape() {
    const int w = width(), h = height();
    const CRegionGeometry::Toolbar bar = CRegionGeometry::toolbar(w, h, m_bBorderless);
    m_pButton4x3->setGeometry(CRegionGeometry::toQRect(bar.button4x3));
    m_pButton16x9->setGeometry(CRegionGeometry::toQRect(bar.button16x9));
    m_pModeDrop->setGeometry(CRegionGeometry::toQRect(bar.dropDown));
    const bool aspectVisible = m_bEditable && !m_bBorderless;
    m_pButton4x3->setVisible(aspectVisible);
    m_pButton16x9->setVisible(aspectVisible);
    m_pModeDrop->setVisible(m_bEditable);
    if (!m_bEditable) m_pModeDrop->closePopup();
    setMask(CRegionGeometry::shape(w, h, m_bBorderless, m_bEditable));
    update();
}

void CRegionIndicator::applyWindow(const GeoRect& window) {
    if (window.empty()) return;
    setGeometry(CRegionGeometry::toQRect(window));
    publishCaptureRect();
}

void CRegionIndicator::applyModeControls() {
    const int item = m_bBorderless ? ITEM_FULL_SCREEN : ITEM_CUSTOM;
    m_pModeDrop->setSelectedIndex(item);
    m_pModeDrop->setLabel(text(m_bBorderless ? "ID_TEXT_FULL_SCR" : "ID_TEXT_CUSTOM"));
    m_pModeDrop->update();
}

void CRegionIndicator::updateAspectButtons() {
    m_pButton4x3->setSelected(!m_bAspect16x9);
    m_pButton16x9->setSelected(m_bAspect16x9);
}

QRect CRegionIndicator::innerRect() const {
    return CRegionGeometry::toQRect(CRegionGeometry::innerFromWindow(currentWindow(), m_bBorderless));
}

QRect CRegionIndicator::captureRect() const { return captureArea().rect; }

CRegionIndicator::CaptureArea CRegionIndicator::captureArea() const {
    std::lock_guard<std::mutex> lock(m_captureLock);
    return m_captureArea;
}

void CRegionIndicator::publishCaptureRect() {
    const GeoRect window = currentWindow();
    const QRect capture = m_bBorderless ? CRegionGeometry::toQRect(window)
                                        : CRegionGeometry::toQRect(CRegionGeometry::innerFromWindow(window, false));
    const double ratio = devicePixelRatioF();
    std::lock_guard<std::mutex> lock(m_captureLock);
    m_captureArea = CaptureArea{capture, ratio};
}

RegionRect CRegionIndicator::regionRectToSave() const {
    if (m_bBorderless) return m_savedCustomRect;
    return toRegionRect(CRegionGeometry::innerFromWindow(currentWindow(), false));
}

void CRegionIndicator::setDesktopRect(const QRect& rect) { m_desktopOverride = rect; }

QRect CRegionIndicator::desktopRect() const {
    if (!m_desktopOverride.isNull()) return m_desktopOverride;
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen ? screen->geometry() : QRect();
}

GeoRect CRegionIndicator::desktop() const { return CRegionGeometry::fromQRect(desktopRect()); }

void CRegionIndicator::showTopMost() {
    show();
    raise();
}

void CRegionIndicator::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), kFrameColor);
    if (m_bEditable) {
        const CRegionGeometry::Toolbar bar = CRegionGeometry::toolbar(width(), height(), m_bBorderless);
        painter.fillRect(CRegionGeometry::toQRect(bar.background), kToolbarColor);
    }
}

void CRegionIndicator::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    const QPoint local = event->position().toPoint();
    m_nDragMode = CRegionGeometry::dragModeAt(width(), height(), m_bBorderless, m_bEditable, local.x(), local.y());
    m_ptDragStart = m_ptDragLast = event->globalPosition().toPoint();
}

void CRegionIndicator::mouseMoveEvent(QMouseEvent* event) {
    const QPoint cursor = event->globalPosition().toPoint();
    // A grab taken away by another client ends the drag without a release.
    if (m_nDragMode >= 0 && !(event->buttons() & Qt::LeftButton)) stopDrag();
    if (m_nDragMode < 0) {
        updateCursor(event->position().toPoint());
        return;
    }
    if (cursor == m_ptDragLast) return;
    CRegionGeometry::DragInput in;
    in.window = currentWindow();
    in.x = cursor.x();
    in.y = cursor.y();
    in.lastX = m_ptDragLast.x();
    in.lastY = m_ptDragLast.y();
    in.startX = m_ptDragStart.x();
    in.startY = m_ptDragStart.y();
    in.aspect16x9 = m_bAspect16x9;
    if (const std::optional<GeoRect> moved = CRegionGeometry::drag(m_nDragMode, in)) {
        const bool resized = moved->width() != in.window.width() || moved->height() != in.window.height();
        applyWindow(*moved);
        if (resized) reshape();
        repaint();
    }
    m_ptDragLast = cursor;
}

void CRegionIndicator::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) stopDrag();
    QWidget::mouseReleaseEvent(event);
}

void CRegionIndicator::hideEvent(QHideEvent* event) {
    stopDrag();
    QWidget::hideEvent(event);
}

void CRegionIndicator::moveEvent(QMoveEvent* event) {
    publishCaptureRect();
    QWidget::moveEvent(event);
}

void CRegionIndicator::resizeEvent(QResizeEvent* event) {
    publishCaptureRect();
    reshape();
    QWidget::resizeEvent(event);
}

void CRegionIndicator::updateCursor(const QPoint& local) {
    int handle = -1;
    if (m_bEditable && !m_bBorderless)
        handle = CRegionGeometry::handleAt(CRegionGeometry::innerClient(width(), height(), false), local.x(), local.y());
    // The full-screen outline does not move.
    const Qt::CursorShape shape = m_bBorderless ? Qt::ArrowCursor : cursorForHandle(handle);
    if (cursor().shape() != shape) setCursor(shape);
}

void CRegionIndicator::stopDrag() { m_nDragMode = -1; }
