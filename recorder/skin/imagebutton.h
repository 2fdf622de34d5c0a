// CImageButton: a push button with a selected state and a text, such as
// the region indicator's "4:3" and "16:9" buttons. A click sends
// commanded(id); the owner decides which button is selected.
#pragma once

#include "buttonimages.h"
#include "pellbasectrl.h"

class CImageButton : public CPellBaseCtrl {
    Q_OBJECT
public:
    explicit CImageButton(int id, QWidget* parent = nullptr);

    // Pictures when not selected and when selected (each with its looks).
    void setImages(const ButtonImages& normal, const ButtonImages& selected);
    void setSelected(bool on);
    bool isSelected() const { return m_bSelected; }

    // Drawn centred over the picture; colours from setTextColors, and
    // setSelectedTextColor while selected.
    void setText(const QString& text);
    const QString& text() const { return m_strText; }
    void setSelectedTextColor(const QColor& color);

    QSize sizeHint() const override;
    void drawControl(QPainter& painter, const QRect& rect) override;

private:
    ButtonImages m_images;
    ButtonImages m_selectedImages;
    bool m_bSelected = false;
    QString m_strText;
    QColor m_clrSelectedText{0, 0, 0};
};
