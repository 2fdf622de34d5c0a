#include "pelldroppop.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

#include "pellbasesel.h"

namespace {
const QColor kBackground(0x4A, 0x4A, 0x4A);
const QColor kBorder(0x33, 0x33, 0x33);
const QColor kHot(0x6E, 0x6E, 0x6E);
const QColor kText(0xFF, 0xFF, 0xFF);
const QColor kAccent(0xF2, 0x60, 0x60);
constexpr int kPadding = 12;
constexpr int kFrame = 1;
}  // namespace

CPellDropPop::CPellDropPop(CPellBaseSel& owner) : QWidget(&owner, Qt::Popup | Qt::FramelessWindowHint), m_owner(owner) {
    setAttribute(Qt::WA_NoMouseReplay);
    setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);
}

QSize CPellDropPop::wantedSize() const {
    const QFontMetrics metrics(m_owner.font());
    int textWidth = 0;
    for (const CPellBaseSel::Item& item : m_owner.items()) textWidth = std::max(textWidth, metrics.horizontalAdvance(item.text));
    return QSize(textWidth + 2 * kPadding + 2 * kFrame + 8, m_owner.itemCount() * m_owner.itemHeight() + 2 * kFrame);
}

int CPellDropPop::itemAt(const QPoint& point) const {
    if (point.x() < 0 || point.x() >= width() || point.y() < kFrame) return -1;
    const int index = (point.y() - kFrame) / m_owner.itemHeight();
    return index < m_owner.itemCount() ? index : -1;
}

void CPellDropPop::setHot(int index) {
    if (m_nHot == index) return;
    m_nHot = index;
    update();
}

void CPellDropPop::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), kBackground);
    painter.setPen(kBorder);
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
    painter.setFont(m_owner.font());
    const int rowHeight = m_owner.itemHeight();
    for (int i = 0; i < m_owner.itemCount(); ++i) {
        const QRect row(kFrame, kFrame + i * rowHeight, width() - 2 * kFrame, rowHeight);
        if (i == m_nHot) painter.fillRect(row, kHot);
        if (i == m_owner.selectedIndex()) painter.fillRect(QRect(row.left(), row.top() + 6, 3, row.height() - 12), kAccent);
        painter.setPen(kText);
        const QRect textRect = row.adjusted(kPadding, 0, -kPadding, 0);
        painter.drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                         painter.fontMetrics().elidedText(m_owner.itemText(i), Qt::ElideRight, textRect.width()));
    }
}

void CPellDropPop::mouseMoveEvent(QMouseEvent* event) { setHot(itemAt(event->position().toPoint())); }

void CPellDropPop::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return;
    const int index = itemAt(event->position().toPoint());
    if (index >= 0) m_owner.choose(index);
}

void CPellDropPop::keyPressEvent(QKeyEvent* event) {
    const int count = m_owner.itemCount();
    switch (event->key()) {
    case Qt::Key_Escape:
        hide();
        break;
    case Qt::Key_Up:
        if (count > 0) setHot(m_nHot <= 0 ? count - 1 : m_nHot - 1);
        break;
    case Qt::Key_Down:
        if (count > 0) setHot(m_nHot < 0 || m_nHot + 1 >= count ? 0 : m_nHot + 1);
        break;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (m_nHot >= 0) m_owner.choose(m_nHot);
        break;
    default:
        QWidget::keyPressEvent(event);
    }
}

void CPellDropPop::showEvent(QShowEvent* event) {
    m_nHot = m_owner.selectedIndex();
    QWidget::showEvent(event);
}

void CPellDropPop::hideEvent(QHideEvent* event) {
    m_nHot = -1;
    m_owner.update();
    QWidget::hideEvent(event);
}
