// CPellDropPop: the pop-up item list of CPellDropSel. A pop-up window: it
// closes when the user clicks elsewhere (it loses the mouse grab) or
// presses Escape; releasing the mouse on an item chooses it.
#pragma once

#include <QColor>
#include <QWidget>

class CPellBaseSel;

class CPellDropPop : public QWidget {
    Q_OBJECT
public:
    explicit CPellDropPop(CPellBaseSel& owner);

    // The size that shows every item.
    QSize wantedSize() const;
    // The item under a widget-local point, or -1.
    int itemAt(const QPoint& point) const;
    int hotIndex() const { return m_nHot; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void setHot(int index);

    CPellBaseSel& m_owner;
    int m_nHot = -1;
};
