#include "pellbutton.h"

#include <QPainter>

CPellButton::CPellButton(int id, int kind, QWidget* parent) : CPellBaseCtrl(id, kind, parent) {}

void CPellButton::setImages(const ButtonImages& images) {
    m_images = images;
    updateGeometry();
    update();
}

void CPellButton::setCheckedImages(const ButtonImages& images) {
    m_checkedImages = images;
    update();
}

void CPellButton::setText(const QString& text) {
    m_strText = text;
    updateGeometry();
    update();
}

void CPellButton::setTextGap(int pixels) {
    m_nTextGap = pixels;
    updateGeometry();
    update();
}

QSize CPellButton::sizeHint() const {
    const QSize picture = m_images.normal.isNull() ? QSize(0, 0) : m_images.normal.deviceIndependentSize().toSize();
    const QFontMetrics metrics(font());
    if (isPushKind()) {
        const int textWidth = m_strText.isEmpty() ? 0 : metrics.horizontalAdvance(m_strText) + 16;
        return QSize(std::max(picture.width(), textWidth), std::max(picture.height(), metrics.height() + 8));
    }
    const int textWidth = m_strText.isEmpty() ? 0 : m_nTextGap + metrics.horizontalAdvance(m_strText) + 2;
    return QSize(picture.width() + textWidth, std::max(picture.height(), metrics.height()) + 4);
}

const QPixmap& CPellButton::currentImage() const {
    const bool useChecked = isChecked() && !isPushKind() && !m_checkedImages.isEmpty();
    const ButtonImages& set = useChecked ? m_checkedImages : m_images;
    return set.pick(isControlEnabled(), isPressed(), isHovering());
}

void CPellButton::drawControl(QPainter& painter, const QRect& rect) {
    if (isPushKind())
        drawPushLook(painter, rect);
    else
        drawBoxLook(painter, rect);
}

void CPellButton::drawPushLook(QPainter& painter, const QRect& rect) {
    const QPixmap& picture = currentImage();
    if (!picture.isNull()) {
        // Centred at its own size when it fits, else stretched to the control.
        const QSize size = picture.deviceIndependentSize().toSize();
        if (size.width() <= rect.width() && size.height() <= rect.height()) {
            QRect target(QPoint(0, 0), size);
            target.moveCenter(rect.center());
            painter.drawPixmap(target, picture);
        } else {
            painter.drawPixmap(rect, picture);
        }
    }
    if (m_strText.isEmpty()) return;
    painter.setFont(font());
    painter.setPen(currentTextColor());
    const QString shown = painter.fontMetrics().elidedText(m_strText, Qt::ElideRight, rect.width() - 8);
    painter.drawText(rect, Qt::AlignCenter | Qt::TextSingleLine, shown);
}

void CPellButton::drawBoxLook(QPainter& painter, const QRect& rect) {
    const QPixmap& picture = currentImage();
    int textLeft = rect.left();
    if (!picture.isNull()) {
        const QSize size = picture.deviceIndependentSize().toSize();
        const QRect box(rect.left(), rect.top() + (rect.height() - size.height()) / 2, size.width(), size.height());
        painter.drawPixmap(box, picture);
        textLeft = box.right() + 1 + m_nTextGap;
    }
    if (m_strText.isEmpty()) return;
    painter.setFont(font());
    painter.setPen(currentTextColor());
    const QRect textRect(textLeft, rect.top(), rect.right() - textLeft + 1, rect.height());
    const QString shown = painter.fontMetrics().elidedText(m_strText, Qt::ElideRight, textRect.width());
    painter.drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, shown);
}
