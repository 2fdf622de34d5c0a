#include "pellcombopop.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>

#include "pellbasesel.h"
#include "pellcombobar.h"

namespace {
constexpr int kFrame = 1;
constexpr int kPadding = 8;
const QColor kBorder(0x9E, 0x9E, 0x9E);
const QColor kHot(0xEC, 0xEC, 0xEC);
const QColor kAccent(0xF2, 0x60, 0x60);
}  // namespace

CPellComboPop::CPellComboPop(CPellBaseSel& owner)
    : QWidget(&owner, Qt::Popup | Qt::FramelessWindowHint), m_owner(owner), m_pBar(new CPellComboBar(this)) {
    setAttribute(Qt::WA_NoMouseReplay);
    setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);
    connect(m_pBar, &CPellComboBar::scrolled, this, [this](int first) {
        m_nFirst = first;
        update();
    });
}

int CPellComboPop::visibleRows() const { return std::min(m_owner.itemCount(), m_nMaxRows); }

QSize CPellComboPop::wantedSize() const {
    const QFontMetrics metrics(m_owner.font());
    int textWidth = 0;
    for (const CPellBaseSel::Item& item : m_owner.items()) textWidth = std::max(textWidth, metrics.horizontalAdvance(item.text));
    const int bar = m_owner.itemCount() > m_nMaxRows ? m_pBar->width() : 0;
    return QSize(textWidth + 2 * kPadding + 2 * kFrame + bar, std::max(1, visibleRows()) * m_owner.itemHeight() + 2 * kFrame);
}

int CPellComboPop::listWidth() const {
    return width() - 2 * kFrame - (m_pBar->isVisible() ? m_pBar->width() : 0);
}

void CPellComboPop::scrollTo(int first) {
    m_nFirst = std::clamp(first, 0, std::max(0, m_owner.itemCount() - visibleRows()));
    m_pBar->setFirst(m_nFirst);
    update();
}

void CPellComboPop::makeVisible(int index) {
    if (index < 0) return;
    if (index < m_nFirst) scrollTo(index);
    else if (index >= m_nFirst + visibleRows()) scrollTo(index - visibleRows() + 1);
}

int CPellComboPop::itemAt(const QPoint& point) const {
    if (point.x() < kFrame || point.x() >= kFrame + listWidth() || point.y() < kFrame) return -1;
    const int row = (point.y() - kFrame) / m_owner.itemHeight();
    if (row >= visibleRows()) return -1;
    const int index = m_nFirst + row;
    return index < m_owner.itemCount() ? index : -1;
}

QRect CPellComboPop::itemRect(int index) const {
    const int row = index - m_nFirst;
    if (row < 0 || row >= visibleRows()) return QRect();
    return QRect(kFrame, kFrame + row * m_owner.itemHeight(), listWidth(), m_owner.itemHeight());
}

void CPellComboPop::setHot(int index) {
    if (m_nHot == index) return;
    m_nHot = index;
    update();
}

void CPellComboPop::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::white);
    painter.setPen(kBorder);
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
    painter.setFont(m_owner.font());
    for (int index = m_nFirst; index < m_nFirst + visibleRows(); ++index) {
        const QRect row = itemRect(index);
        if (index == m_nHot) painter.fillRect(row, kHot);
        if (index == m_owner.selectedIndex()) painter.fillRect(QRect(row.left(), row.top() + 6, 3, row.height() - 12), kAccent);
        painter.setPen(Qt::black);
        const QRect textRect = row.adjusted(kPadding, 0, -4, 0);
        painter.drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                         painter.fontMetrics().elidedText(m_owner.itemText(index), Qt::ElideRight, textRect.width()));
    }
}

void CPellComboPop::mouseMoveEvent(QMouseEvent* event) { setHot(itemAt(event->position().toPoint())); }

void CPellComboPop::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return;
    const int index = itemAt(event->position().toPoint());
    if (index >= 0) m_owner.choose(index);
}

void CPellComboPop::wheelEvent(QWheelEvent* event) {
    const int steps = event->angleDelta().y() / 120;
    if (steps != 0) scrollTo(m_nFirst - steps);
    event->accept();
}

void CPellComboPop::keyPressEvent(QKeyEvent* event) {
    const int count = m_owner.itemCount();
    switch (event->key()) {
    case Qt::Key_Escape:
        hide();
        return;
    case Qt::Key_Up:
        if (count > 0) setHot(m_nHot <= 0 ? 0 : m_nHot - 1);
        break;
    case Qt::Key_Down:
        if (count > 0) setHot(m_nHot < 0 ? 0 : std::min(count - 1, m_nHot + 1));
        break;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (m_nHot >= 0) m_owner.choose(m_nHot);
        return;
    default:
        QWidget::keyPressEvent(event);
        return;
    }
    makeVisible(m_nHot);
}

void CPellComboPop::showEvent(QShowEvent* event) {
    m_pBar->setRange(m_owner.itemCount(), visibleRows());
    m_pBar->setVisible(m_owner.itemCount() > m_nMaxRows);
    m_nHot = m_owner.selectedIndex();
    m_nFirst = 0;
    scrollTo(0);
    makeVisible(m_nHot);
    QWidget::showEvent(event);
}

void CPellComboPop::hideEvent(QHideEvent* event) {
    m_nHot = -1;
    m_owner.update();
    QWidget::hideEvent(event);
}

void CPellComboPop::resizeEvent(QResizeEvent* event) {
    m_pBar->setGeometry(width() - kFrame - m_pBar->width(), kFrame, m_pBar->width(), height() - 2 * kFrame);
    QWidget::resizeEvent(event);
}
