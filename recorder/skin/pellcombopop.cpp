#include "pellcombopop.h"

#include <QPainter>
#include <QWheelEvent>

#include "pellbasesel.h"
#include "pellcombobar.h"

namespace {
constexpr int kFrame = 1;
constexpr int kPadding = 8;
const QColor kBorder(0x9E, 0x9E, 0x9E);
const QColor kHot(0xEC, 0xEC, 0xEC);
}  // namespace

CPellComboPop::CPellComboPop(CPellBaseSel& owner)
    : CPellPopList(owner), m_pBar(new CPellComboBar(this)) {
    connect(m_pBar, &CPellComboBar::scrolled, this, [this](int first) {
        m_nFirst = first;
        update();
    });
}

int CPellComboPop::visibleRows() const { return std::min(m_owner.itemCount(), m_nMaxRows); }

QSize CPellComboPop::wantedSize() const {
    const int textWidth = widestText();
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

void CPellComboPop::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::white);
    painter.setPen(kBorder);
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
    painter.setFont(m_owner.font());
    for (int index = m_nFirst; index < m_nFirst + visibleRows(); ++index) {
        paintRow(painter, itemRect(index), index, kHot, Qt::black, kPadding, 4);
    }
}

void CPellComboPop::wheelEvent(QWheelEvent* event) {
    const int steps = event->angleDelta().y() / 120;
    if (steps != 0) scrollTo(m_nFirst - steps);
    event->accept();
}

void CPellComboPop::moveHot(int step) {
    const int count = m_owner.itemCount();
    if (count > 0) {
        if (step < 0) setHot(m_nHot <= 0 ? 0 : m_nHot - 1);
        else setHot(m_nHot < 0 ? 0 : std::min(count - 1, m_nHot + 1));
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

void CPellComboPop::resizeEvent(QResizeEvent* event) {
    m_pBar->setGeometry(width() - kFrame - m_pBar->width(), kFrame, m_pBar->width(), height() - 2 * kFrame);
    QWidget::resizeEvent(event);
}
