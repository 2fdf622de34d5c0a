// CPellComboPop: the pop-up list of CPellComboSel (CPellPopList). It shows
// up to `maxVisibleRows` items with a CPellComboBar beside them when there
// are more; the wheel and the bar scroll it, and Up and Down stop at the
// ends, scrolling the marked item into view.
#pragma once

#include "pellpoplist.h"

class CPellComboBar;

class CPellComboPop : public CPellPopList {
    Q_OBJECT
public:
    enum { DEFAULT_VISIBLE_ROWS = 8 };

    explicit CPellComboPop(CPellBaseSel& owner);

    void setMaxVisibleRows(int rows) { m_nMaxRows = std::max(1, rows); }
    int visibleRows() const;
    QSize wantedSize() const;
    int firstRow() const { return m_nFirst; }
    void scrollTo(int first);
    int itemAt(const QPoint& point) const override;
    // The item's row rectangle, or an empty one when scrolled out of view.
    QRect itemRect(int index) const;
    CPellComboBar* scrollBar() const { return m_pBar; }

protected:
    void moveHot(int step) override;
    void paintEvent(QPaintEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void makeVisible(int index);
    int listWidth() const;

    CPellComboBar* m_pBar;
    int m_nMaxRows = DEFAULT_VISIBLE_ROWS;
    int m_nFirst = 0;
};
