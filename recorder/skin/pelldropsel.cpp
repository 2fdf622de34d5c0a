#include "pelldropsel.h"

#include <QPainter>

#include "pelldroppop.h"

CPellDropSel::CPellDropSel(int id, QWidget* parent) : CPellBaseSel(id, parent) {
    setTextColors(Qt::white, Qt::white);
}

void CPellDropSel::setImages(const ButtonImages& images) {
    m_images = images;
    update();
}

void CPellDropSel::setArrowImages(const ButtonImages& images) {
    m_arrowImages = images;
    updateGeometry();
    update();
}

void CPellDropSel::setLabel(const QString& label) {
    m_strLabel = label;
    update();
}

QString CPellDropSel::shownText() const { return m_strLabel.isEmpty() ? selectedText() : m_strLabel; }

QSize CPellDropSel::sizeHint() const {
    const QFontMetrics metrics(font());
    int textWidth = metrics.horizontalAdvance(m_strLabel);
    for (const Item& item : items()) textWidth = std::max(textWidth, metrics.horizontalAdvance(item.text));
    const int arrow = m_arrowImages.normal.isNull() ? 12 : m_arrowImages.normal.deviceIndependentSize().toSize().width();
    return QSize(textWidth + arrow + 20, std::max(24, metrics.height() + 6));
}

void CPellDropSel::drawControl(QPainter& painter, const QRect& rect) {
    const bool pressedLook = isPressed() || isPopupOpen();
    const QPixmap& background = m_images.pick(isControlEnabled(), pressedLook, isHovering());
    if (!background.isNull()) {
        painter.drawPixmap(rect, background);
    } else if (isControlEnabled() && (pressedLook || isHovering())) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(pressedLook ? QColor(0, 0, 0, 60) : QColor(255, 255, 255, 36));
        painter.drawRoundedRect(QRectF(rect).adjusted(0.5, 0.5, -0.5, -0.5), 3, 3);
    }
    int textRight = rect.right() - 6;
    const QPixmap& arrow = m_arrowImages.pick(isControlEnabled(), pressedLook, isHovering());
    if (!arrow.isNull()) {
        const QSize size = arrow.deviceIndependentSize().toSize();
        const QRect target(rect.right() + 1 - 4 - size.width(), rect.top() + (rect.height() - size.height()) / 2,
                           size.width(), size.height());
        painter.drawPixmap(target, arrow);
        textRight = target.left() - 4;
    }
    painter.setFont(font());
    painter.setPen(currentTextColor());
    const QRect textRect(rect.left() + 8, rect.top(), textRight - rect.left() - 8 + 1, rect.height());
    painter.drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                     painter.fontMetrics().elidedText(shownText(), Qt::ElideRight, textRect.width()));
}

QWidget* CPellDropSel::createPopup() {
    m_pDropPop = new CPellDropPop(*this);
    return m_pDropPop;
}

QSize CPellDropSel::popupSize() const {
    return m_pDropPop ? m_pDropPop->wantedSize() : QSize(width(), itemHeight() * itemCount());
}
