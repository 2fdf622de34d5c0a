// CPellBase: the window part every skinned control shares: a control id and
// the command signal the parent listens to.
#pragma once

#include <QWidget>

class CPellBase : public QWidget {
    Q_OBJECT
public:
    explicit CPellBase(int id, QWidget* parent = nullptr);

    int controlId() const { return m_nId; }
    void setControlId(int id) { m_nId = id; }

signals:
    // The control was used: a push button released inside, a check box
    // toggled, a radio-style button set, a drop-down item chosen.
    void commanded(int id);

protected:
    void sendCommand() { emit commanded(m_nId); }

private:
    int m_nId;
};
