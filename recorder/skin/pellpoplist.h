// CPellPopList: what the pop-up item lists of the selectors share. A pop-up
// window over its owner's items: it closes when the user clicks elsewhere
// (it loses the mouse grab) or presses Escape; the mouse marks the item under
// it, releasing the left button on an item chooses it, Up and Down move the
// mark (as the list decides, moveHot) and Return or Enter choose the marked
// item. Runs on the GUI thread; the owner outlives it (it is its child).
#pragma once

#include <QColor>
#include <QWidget>

class CPellBaseSel;
class QPainter;

class CPellPopList : public QWidget {
    Q_OBJECT
public:
    // The item under a widget-local point, or -1.
    virtual int itemAt(const QPoint& point) const = 0;
    int hotIndex() const { return m_nHot; }

protected:
    explicit CPellPopList(CPellBaseSel& owner);

    // Up (step -1) or Down (+1) pressed.
    virtual void moveHot(int step) = 0;
    void setHot(int index);
    // The widest item text in the owner's font.
    int widestText() const;
    // One row: the mark's background, the selected item's accent bar and
    // the text, cut with an ellipsis, inside the paddings.
    void paintRow(QPainter& painter, const QRect& row, int index, const QColor& hot, const QColor& text,
                  int leftPadding, int rightPadding) const;

    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void hideEvent(QHideEvent* event) override;

    CPellBaseSel& m_owner;
    int m_nHot = -1;
};
