#include "pelldroppop.h"

#include <QPainter>

#include "pellbasesel.h"

namespace {
const QColor kBackground(0x4A, 0x4A, 0x4A);
const QColor kBorder(0x33, 0x33, 0x33);
const QColor kHot(0x6E, 0x6E, 0x6E);
const QColor kText(0xFF, 0xFF, 0xFF);
constexpr int kPadding = 12;
constexpr int kFrame = 1;
}  // namespace

CPellDropPop::CPellDropPop(CPellBaseSel& owner) : CPellPopList(owner) {}

QSize CPellDropPop::wantedSize() const {
    return QSize(widestText() + 2 * kPadding + 2 * kFrame + 8, m_owner.itemCount() * m_owner.itemHeight() + 2 * kFrame);
}

int CPellDropPop::itemAt(const QPoint& point) const {
    if (point.x() < 0 || point.x() >= width() || point.y() < kFrame) return -1;
    const int index = (point.y() - kFrame) / m_owner.itemHeight();
    return index < m_owner.itemCount() ? index : -1;
}

void CPellDropPop::moveHot(int step) {
    const int count = m_owner.itemCount();
    if (count <= 0) return;
    if (step < 0) setHot(m_nHot <= 0 ? count - 1 : m_nHot - 1);
    else setHot(m_nHot < 0 || m_nHot + 1 >= count ? 0 : m_nHot + 1);
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
        paintRow(painter, row, i, kHot, kText, kPadding, kPadding);
    }
}

void CPellDropPop::showEvent(QShowEvent* event) {
    m_nHot = m_owner.selectedIndex();
    QWidget::showEvent(event);
}
