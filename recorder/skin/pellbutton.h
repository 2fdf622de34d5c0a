// CPellButton: the skinned push button, check box and radio-style button.
//
// Push kinds draw their picture over the whole control with the text
// centred on it. Check and radio kinds draw their picture (the box) at the
// left edge, vertically centred, and the text to its right. A check or
// radio button has a second set of pictures for the checked state.
#pragma once

#include <QFont>

#include "buttonimages.h"
#include "pellbasectrl.h"

class CPellButton : public CPellBaseCtrl {
    Q_OBJECT
public:
    CPellButton(int id, int kind, QWidget* parent = nullptr);

    void setImages(const ButtonImages& images);
    // Pictures of the checked state (check and radio kinds).
    void setCheckedImages(const ButtonImages& images);
    const ButtonImages& images() const { return m_images; }

    void setText(const QString& text);
    const QString& text() const { return m_strText; }
    // Gap between the box and the text of check and radio kinds.
    void setTextGap(int pixels);

    // Fits the control to its picture and text (used by the dialogs).
    QSize sizeHint() const override;

    void drawControl(QPainter& painter, const QRect& rect) override;

private:
    const QPixmap& currentImage() const;
    void drawPushLook(QPainter& painter, const QRect& rect);
    void drawBoxLook(QPainter& painter, const QRect& rect);

    ButtonImages m_images;
    ButtonImages m_checkedImages;
    QString m_strText;
    int m_nTextGap = 8;
};
