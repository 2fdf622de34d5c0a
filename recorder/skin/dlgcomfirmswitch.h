// CDlgComfirmSwitch: asks before leaving host-driven mode during a
// recording (360 x 180). exec() returns ID_OK (1, switch) or ID_CANCEL (2).
#pragma once

#include "skindialog.h"

class CPellButton;

class CDlgComfirmSwitch : public CSkinDialog {
    Q_OBJECT
public:
    explicit CDlgComfirmSwitch(QWidget* owner);

    CPellButton* switchButton() const { return m_pSwitch; }
    CPellButton* cancelButton() const { return m_pCancel; }

protected:
    void paintLabels(QPainter& painter) override;

private:
    CPellButton* m_pSwitch;
    CPellButton* m_pCancel;
};
