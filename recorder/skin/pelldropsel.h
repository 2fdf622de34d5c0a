// CPellDropSel: a button with a drop-down item list (the region
// indicator's mode drop-down). It shows a label (the selected item's text
// when no fixed label is set) and an arrow picture at its right edge;
// pressing it opens a CPellDropPop under it.
#pragma once

#include "buttonimages.h"
#include "pellbasesel.h"

class CPellDropPop;

class CPellDropSel : public CPellBaseSel {
    Q_OBJECT
public:
    explicit CPellDropSel(int id, QWidget* parent = nullptr);

    // Background pictures of the button (stretched to the control); none:
    // a flat look.
    void setImages(const ButtonImages& images);
    // The arrow at the right edge, with its looks.
    void setArrowImages(const ButtonImages& images);
    // Empty: the selected item's text.
    void setLabel(const QString& label);
    QString shownText() const;

    CPellDropPop* popup() const { return m_pDropPop; }

    QSize sizeHint() const override;
    void drawControl(QPainter& painter, const QRect& rect) override;

protected:
    QWidget* createPopup() override;
    QSize popupSize() const override;

private:
    ButtonImages m_images;
    ButtonImages m_arrowImages;
    QString m_strLabel;
    CPellDropPop* m_pDropPop = nullptr;
};
