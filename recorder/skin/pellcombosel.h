// CPellComboSel: the skinned drop-down list of the dialogs: a white box
// showing the selected item's text with an arrow at its right edge.
// Pressing it opens a CPellComboPop under it; a choice stores the index and
// sends commanded(id). Disabled, it shows its text greyed and does not open.
#pragma once

#include "pellbasesel.h"

class CPellComboPop;

class CPellComboSel : public CPellBaseSel {
    Q_OBJECT
public:
    explicit CPellComboSel(int id, QWidget* parent = nullptr);

    void setMaxVisibleRows(int rows);
    CPellComboPop* popup() const { return m_pComboPop; }

    QSize sizeHint() const override;
    void drawControl(QPainter& painter, const QRect& rect) override;

protected:
    QWidget* createPopup() override;
    QSize popupSize() const override;

private:
    int m_nMaxRows;
    CPellComboPop* m_pComboPop = nullptr;
};
