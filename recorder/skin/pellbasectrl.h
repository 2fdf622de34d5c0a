// CPellBaseCtrl: the control core of the skinned controls. It holds the
// input state (enabled, kind, pressed, checked, hovering, tooltip text, text
// colours) and turns the widget's mouse events into the core operations
// below; a true result repaints. paintEvent only reads the state and calls
// drawControl then drawOverlay; QWidget's backing store gives the
// off-screen composition.
//
// Input is ignored while disabled; the checked state is kept.
//   push (kinds 0, 1):   press inside -> pressed; release -> not pressed and,
//                        when still inside, commanded(id).
//   check (kinds 2, 3):  press inside -> checked toggles, commanded(id).
//   radio (kinds 4, 9):  press inside -> checked = true, commanded(id).
// Hover is tracked by the kinds that have a hover look (1, 3 and 9).
// Only the left button is used; other buttons go on to the parent (the
// bar's right-click menu).
#pragma once

#include <QColor>
#include <QString>

#include "pellbase.h"

class QPainter;

class CPellBaseCtrl : public CPellBase {
    Q_OBJECT
public:
    enum Kind {
        KIND_PUSH = 0,
        KIND_PUSH_HOVER = 1,
        KIND_CHECK = 2,
        KIND_CHECK_HOVER = 3,
        KIND_RADIO = 4,
        KIND_RADIO_HOVER = 9,
    };

    CPellBaseCtrl(int id, int kind, QWidget* parent = nullptr);

    int kind() const { return m_nKind; }
    void setKind(int kind);
    bool isPushKind() const { return m_nKind == KIND_PUSH || m_nKind == KIND_PUSH_HOVER; }
    bool isCheckKind() const { return m_nKind == KIND_CHECK || m_nKind == KIND_CHECK_HOVER; }
    bool isRadioKind() const { return m_nKind == KIND_RADIO || m_nKind == KIND_RADIO_HOVER; }
    bool tracksHover() const;

    // Enabling also switches the widget's input; disabling clears pressed
    // and hovering, not checked.
    void setControlEnabled(bool on);
    bool isControlEnabled() const { return m_bEnabled; }

    bool isPressed() const { return m_bPressed; }
    bool isHovering() const { return m_bHovering; }
    bool isChecked() const { return m_bChecked; }
    // Sets the checked state without a command.
    void setChecked(bool on);

    // Empty text: no tooltip.
    void setTooltipText(const QString& text);
    const QString& tooltipText() const { return m_strTooltip; }

    void setTextColors(const QColor& normal, const QColor& hover);
    const QColor& textColor() const { return m_clrText; }
    const QColor& textHoverColor() const { return m_clrTextHover; }
    // The colour for the current look.
    QColor currentTextColor() const;

    QSize sizeHint() const override;

    // The core operations, in slot order. Coordinates are widget-local.
    virtual void drawControl(QPainter& painter, const QRect& rect) = 0;
    virtual void drawOverlay(QPainter& painter, const QRect& rect);
    virtual bool onButtonDown(const QPoint& point);
    virtual bool onButtonUp(const QPoint& point);
    virtual bool onMouseMove(const QPoint& point);
    virtual bool onMouseLeave();
    virtual bool onCaptureLost();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    // Runs one core operation and repaints on a true result; the control
    // may be destroyed by a receiver of its command.
    template <typename Operation>
    void runOperation(Operation operation);

    bool m_bEnabled = true;
    int m_nKind;
    bool m_bPressed = false;
    bool m_bChecked = false;
    bool m_bHovering = false;
    QString m_strTooltip;
    QColor m_clrText{0, 0, 0};
    QColor m_clrTextHover{0, 0, 0};
};
