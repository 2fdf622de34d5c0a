// CPellComboPop: the pop-up list of CPellComboSel. It shows up to
// `maxVisibleRows` items with a CPellComboBar beside them when there are
// more; the wheel and the bar scroll it. It closes when the user clicks
// elsewhere (it loses the mouse grab) or presses Escape; releasing the
// mouse on an item chooses it.
#pragma once

#include <QWidget>

class CPellBaseSel;
class CPellComboBar;

class CPellComboPop : public QWidget {
    Q_OBJECT
public:
    enum { DEFAULT_VISIBLE_ROWS = 8 };

    explicit CPellComboPop(CPellBaseSel& owner);

    void setMaxVisibleRows(int rows) { m_nMaxRows = std::max(1, rows); }
    int visibleRows() const;
    QSize wantedSize() const;
    int firstRow() const { return m_nFirst; }
    void scrollTo(int first);
    // The item under a widget-local point, or -1.
    int itemAt(const QPoint& point) const;
    // The item's row rectangle, or an empty one when scrolled out of view.
    QRect itemRect(int index) const;
    int hotIndex() const { return m_nHot; }
    CPellComboBar* scrollBar() const { return m_pBar; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void setHot(int index);
    void makeVisible(int index);
    int listWidth() const;

    CPellBaseSel& m_owner;
    CPellComboBar* m_pBar;
    int m_nMaxRows = DEFAULT_VISIBLE_ROWS;
    int m_nFirst = 0;
    int m_nHot = -1;
};
