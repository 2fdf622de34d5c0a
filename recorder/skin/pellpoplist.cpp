#include "pellpoplist.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

#include "pellbasesel.h"

namespace {
const QColor kAccent(0xF2, 0x60, 0x60);
}  // namespace

CPellPopList::CPellPopList(CPellBaseSel& owner)
    : QWidget(&owner, Qt::Popup | Qt::FramelessWindowHint), m_owner(owner) {
    setAttribute(Qt::WA_NoMouseReplay);
    setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);
}

void CPellPopList::setHot(int index) {
    if (m_nHot == index) return;
    m_nHot = index;
    update();
}

int CPellPopList::widestText() const {
    const QFontMetrics metrics(m_owner.font());
    int textWidth = 0;
    for (const CPellBaseSel::Item& item : m_owner.items()) textWidth = std::max(textWidth, metrics.horizontalAdvance(item.text));
    return textWidth;
}

void CPellPopList::paintRow(QPainter& painter, const QRect& row, int index, const QColor& hot, const QColor& text,
                            int leftPadding, int rightPadding) const {
    if (index == m_nHot) painter.fillRect(row, hot);
    if (index == m_owner.selectedIndex()) painter.fillRect(QRect(row.left(), row.top() + 6, 3, row.height() - 12), kAccent);
    painter.setPen(text);
    const QRect textRect = row.adjusted(leftPadding, 0, -rightPadding, 0);
    painter.drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                     painter.fontMetrics().elidedText(m_owner.itemText(index), Qt::ElideRight, textRect.width()));
}

void CPellPopList::mouseMoveEvent(QMouseEvent* event) { setHot(itemAt(event->position().toPoint())); }

void CPellPopList::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return;
    const int index = itemAt(event->position().toPoint());
    if (index >= 0) m_owner.choose(index);
}

void CPellPopList::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Escape:
        hide();
        break;
    case Qt::Key_Up:
        moveHot(-1);
        break;
    case Qt::Key_Down:
        moveHot(1);
        break;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (m_nHot >= 0) m_owner.choose(m_nHot);
        break;
    default:
        QWidget::keyPressEvent(event);
    }
}

void CPellPopList::hideEvent(QHideEvent* event) {
    m_nHot = -1;
    m_owner.update();
    QWidget::hideEvent(event);
}
