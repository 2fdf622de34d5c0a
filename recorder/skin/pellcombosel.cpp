#include "pellcombosel.h"

#include <QPainter>

#include "artwork.h"
#include "pellcombopop.h"

CPellComboSel::CPellComboSel(int id, QWidget* parent)
    : CPellBaseSel(id, parent), m_nMaxRows(CPellComboPop::DEFAULT_VISIBLE_ROWS) {
    setItemHeight(26);
    setTextColors(Qt::black, Qt::black);
}

void CPellComboSel::setMaxVisibleRows(int rows) {
    m_nMaxRows = std::max(1, rows);
    if (m_pComboPop) m_pComboPop->setMaxVisibleRows(m_nMaxRows);
}

QSize CPellComboSel::sizeHint() const { return QSize(200, 24); }

void CPellComboSel::drawControl(QPainter& painter, const QRect& rect) {
    const bool enabled = isControlEnabled();
    const bool open = isPopupOpen();
    QColor border(0xBD, 0xBD, 0xBD);
    if (enabled && (isHovering() || open)) border = QColor(0x5C, 0x5C, 0x5C);
    if (!enabled) border = QColor(0xE2, 0xE2, 0xE2);
    painter.setPen(QPen(border, 1));
    painter.setBrush(enabled ? QColor(Qt::white) : QColor(0xF6, 0xF6, 0xF6));
    painter.drawRoundedRect(QRectF(rect).adjusted(0.5, 0.5, -0.5, -0.5), 3, 3);

    const CArtwork::State state = !enabled ? CArtwork::STATE_DISABLED
                                  : open   ? CArtwork::STATE_PRESSED
                                  : isHovering() ? CArtwork::STATE_HOVER
                                                 : CArtwork::STATE_NORMAL;
    const QPixmap arrow = CArtwork::dropArrow(false, state, devicePixelRatioF());
    const QSize size = arrow.deviceIndependentSize().toSize();
    const QRect arrowRect(rect.right() - 4 - size.width(), rect.top() + (rect.height() - size.height()) / 2, size.width(),
                          size.height());
    painter.drawPixmap(arrowRect, arrow);

    painter.setFont(font());
    painter.setPen(currentTextColor());
    const QRect textRect(rect.left() + 8, rect.top(), arrowRect.left() - 4 - rect.left() - 8, rect.height());
    painter.drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                     painter.fontMetrics().elidedText(selectedText(), Qt::ElideRight, textRect.width()));
}

QWidget* CPellComboSel::createPopup() {
    m_pComboPop = new CPellComboPop(*this);
    m_pComboPop->setMaxVisibleRows(m_nMaxRows);
    return m_pComboPop;
}

QSize CPellComboSel::popupSize() const {
    // As wide as the box: long device names are elided rather than widening it.
    const QSize wanted = m_pComboPop ? m_pComboPop->wantedSize() : QSize(width(), itemHeight());
    return QSize(width(), wanted.height());
}
