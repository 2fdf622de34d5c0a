// CPellDropPop: the pop-up item list of CPellDropSel (CPellPopList): every
// item at once, dark; Up and Down wrap around.
#pragma once

#include "pellpoplist.h"

class CPellDropPop : public CPellPopList {
    Q_OBJECT
public:
    explicit CPellDropPop(CPellBaseSel& owner);

    // The size that shows every item.
    QSize wantedSize() const;
    int itemAt(const QPoint& point) const override;

protected:
    void moveHot(int step) override;
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
};
