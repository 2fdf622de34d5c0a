// CPellComboBar: the slim scroll bar of the combo pop-up list. It shows
// which rows of `count` are visible (`visible` rows from `first`); dragging
// the thumb or pressing the track reports the new first row.
#pragma once

#include <QWidget>

class CPellComboBar : public QWidget {
    Q_OBJECT
public:
    explicit CPellComboBar(QWidget* parent = nullptr);

    void setRange(int count, int visible);
    void setFirst(int first);
    int first() const { return m_nFirst; }
    int maxFirst() const { return std::max(0, m_nCount - m_nVisible); }
    // The thumb in widget coordinates.
    QRect thumbRect() const;

signals:
    void scrolled(int first);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void moveTo(int first);
    int firstForThumbTop(int top) const;

    int m_nCount = 0;
    int m_nVisible = 0;
    int m_nFirst = 0;
    bool m_bDragging = false;
    int m_nDragOffset = 0;
};
