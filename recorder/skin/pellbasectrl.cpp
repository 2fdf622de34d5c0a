#include "pellbasectrl.h"

#include <QEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>

CPellBaseCtrl::CPellBaseCtrl(int id, int kind, QWidget* parent) : CPellBase(id, parent), m_nKind(kind) {
    setMouseTracking(true);
    setAttribute(Qt::WA_Hover, false);
}

void CPellBaseCtrl::setKind(int kind) {
    m_nKind = kind;
    m_bHovering = false;
    update();
}

bool CPellBaseCtrl::tracksHover() const {
    return m_nKind == KIND_PUSH_HOVER || m_nKind == KIND_CHECK_HOVER || m_nKind == KIND_RADIO_HOVER;
}

void CPellBaseCtrl::setControlEnabled(bool on) {
    m_bEnabled = on;
    if (!on) {
        m_bPressed = false;
        m_bHovering = false;
    }
    if (isEnabled() != on) setEnabled(on);
    update();
}

void CPellBaseCtrl::setChecked(bool on) {
    if (m_bChecked == on) return;
    m_bChecked = on;
    update();
}

void CPellBaseCtrl::setTooltipText(const QString& text) {
    m_strTooltip = text;
    setToolTip(text);
}

void CPellBaseCtrl::setTextColors(const QColor& normal, const QColor& hover) {
    m_clrText = normal;
    m_clrTextHover = hover;
    update();
}

QColor CPellBaseCtrl::currentTextColor() const {
    if (!m_bEnabled) return QColor(0xA0, 0xA0, 0xA0);
    return m_bHovering ? m_clrTextHover : m_clrText;
}

QSize CPellBaseCtrl::sizeHint() const { return QSize(32, 32); }

void CPellBaseCtrl::drawOverlay(QPainter&, const QRect&) {}

bool CPellBaseCtrl::onButtonDown(const QPoint& point) {
    if (!m_bEnabled || !rect().contains(point)) return false;
    if (isCheckKind()) {
        m_bChecked = !m_bChecked;
        sendCommand();
    } else if (isRadioKind()) {
        m_bChecked = true;
        sendCommand();
    } else {
        m_bPressed = true;
    }
    return true;
}

bool CPellBaseCtrl::onButtonUp(const QPoint& point) {
    if (!m_bPressed) return false;
    m_bPressed = false;
    if (m_bEnabled && isPushKind() && rect().contains(point)) sendCommand();
    return true;
}

bool CPellBaseCtrl::onMouseMove(const QPoint& point) {
    if (!m_bEnabled || !tracksHover()) return false;
    const bool inside = rect().contains(point);
    if (inside == m_bHovering) return false;
    m_bHovering = inside;
    return true;
}

bool CPellBaseCtrl::onMouseLeave() {
    if (!m_bHovering) return false;
    m_bHovering = false;
    return true;
}

bool CPellBaseCtrl::onCaptureLost() {
    if (!m_bPressed) return false;
    m_bPressed = false;
    return true;
}

template <typename Operation>
void CPellBaseCtrl::runOperation(Operation operation) {
    QPointer<CPellBaseCtrl> self(this);
    const bool repaint = operation();
    if (self && repaint) update();
}

void CPellBaseCtrl::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    drawControl(painter, rect());
    drawOverlay(painter, rect());
}

void CPellBaseCtrl::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        event->ignore();
        return;
    }
    const QPoint point = event->position().toPoint();
    runOperation([&] { return onButtonDown(point); });
}

void CPellBaseCtrl::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        event->ignore();
        return;
    }
    const QPoint point = event->position().toPoint();
    runOperation([&] { return onButtonUp(point); });
}

// A second click in quick succession is a press like the first.
void CPellBaseCtrl::mouseDoubleClickEvent(QMouseEvent* event) { mousePressEvent(event); }

void CPellBaseCtrl::mouseMoveEvent(QMouseEvent* event) {
    const QPoint point = event->position().toPoint();
    runOperation([&] { return onMouseMove(point); });
    event->ignore();
}

void CPellBaseCtrl::leaveEvent(QEvent*) {
    runOperation([&] { return onMouseLeave(); });
}

void CPellBaseCtrl::hideEvent(QHideEvent*) {
    runOperation([&] { return onCaptureLost() | onMouseLeave(); });
}

void CPellBaseCtrl::changeEvent(QEvent* event) {
    if (event->type() == QEvent::EnabledChange && isEnabled() != m_bEnabled) {
        // Enabled through QWidget (or by a parent): follow it.
        setControlEnabled(isEnabled());
    } else if (event->type() == QEvent::ActivationChange && !isActiveWindow()) {
        runOperation([&] { return onCaptureLost(); });
    }
    CPellBase::changeEvent(event);
}
