#include "imagebutton.h"

#include <QPainter>

CImageButton::CImageButton(int id, QWidget* parent) : CPellBaseCtrl(id, KIND_PUSH_HOVER, parent) {}

void CImageButton::setImages(const ButtonImages& normal, const ButtonImages& selected) {
    m_images = normal;
    m_selectedImages = selected;
    updateGeometry();
    update();
}

void CImageButton::setSelected(bool on) {
    if (m_bSelected == on) return;
    m_bSelected = on;
    update();
}

void CImageButton::setText(const QString& text) {
    m_strText = text;
    update();
}

void CImageButton::setSelectedTextColor(const QColor& color) {
    m_clrSelectedText = color;
    update();
}

QSize CImageButton::sizeHint() const {
    if (m_images.normal.isNull()) return QSize(30, 16);
    return m_images.normal.deviceIndependentSize().toSize();
}

void CImageButton::drawControl(QPainter& painter, const QRect& rect) {
    const ButtonImages& set = (m_bSelected && !m_selectedImages.isEmpty()) ? m_selectedImages : m_images;
    const QPixmap& picture = set.pick(isControlEnabled(), isPressed(), isHovering());
    if (!picture.isNull()) painter.drawPixmap(rect, picture);
    if (m_strText.isEmpty()) return;
    painter.setFont(font());
    painter.setPen(m_bSelected && isControlEnabled() ? m_clrSelectedText : currentTextColor());
    painter.drawText(rect, Qt::AlignCenter | Qt::TextSingleLine, m_strText);
}
