#include "pellcombobar.h"

#include <QMouseEvent>
#include <QPainter>

namespace {
constexpr int kMinThumb = 16;
constexpr int kInset = 2;
}  // namespace

CPellComboBar::CPellComboBar(QWidget* parent) : QWidget(parent) { setFixedWidth(10); }

void CPellComboBar::setRange(int count, int visible) {
    m_nCount = std::max(0, count);
    m_nVisible = std::max(1, visible);
    m_nFirst = std::clamp(m_nFirst, 0, maxFirst());
    update();
}

void CPellComboBar::setFirst(int first) {
    m_nFirst = std::clamp(first, 0, maxFirst());
    update();
}

QRect CPellComboBar::thumbRect() const {
    const int track = height() - 2 * kInset;
    if (m_nCount <= m_nVisible || track <= 0) return QRect(kInset, kInset, width() - 2 * kInset, std::max(0, track));
    const int thumb = std::max(kMinThumb, track * m_nVisible / m_nCount);
    const int top = kInset + (track - thumb) * m_nFirst / std::max(1, maxFirst());
    return QRect(kInset, top, width() - 2 * kInset, thumb);
}

int CPellComboBar::firstForThumbTop(int top) const {
    const QRect thumb = thumbRect();
    const int travel = height() - 2 * kInset - thumb.height();
    if (travel <= 0) return 0;
    return ((top - kInset) * maxFirst() + travel / 2) / travel;
}

void CPellComboBar::moveTo(int first) {
    first = std::clamp(first, 0, maxFirst());
    if (first == m_nFirst) return;
    m_nFirst = first;
    update();
    emit scrolled(first);
}

void CPellComboBar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillRect(rect(), QColor(0xF4, 0xF4, 0xF4));
    if (m_nCount <= m_nVisible) return;
    painter.setPen(Qt::NoPen);
    painter.setBrush(m_bDragging ? QColor(0x8E, 0x8E, 0x8E) : QColor(0xBD, 0xBD, 0xBD));
    const QRectF thumb = thumbRect();
    painter.drawRoundedRect(thumb, thumb.width() / 2, thumb.width() / 2);
}

void CPellComboBar::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return;
    const QPoint point = event->position().toPoint();
    const QRect thumb = thumbRect();
    if (thumb.contains(point)) {
        m_bDragging = true;
        m_nDragOffset = point.y() - thumb.top();
        update();
    } else {
        // A page towards the press.
        moveTo(m_nFirst + (point.y() < thumb.top() ? -m_nVisible : m_nVisible));
    }
}

void CPellComboBar::mouseMoveEvent(QMouseEvent* event) {
    if (m_bDragging) moveTo(firstForThumbTop(event->position().toPoint().y() - m_nDragOffset));
}

void CPellComboBar::mouseReleaseEvent(QMouseEvent*) {
    if (!m_bDragging) return;
    m_bDragging = false;
    update();
}
