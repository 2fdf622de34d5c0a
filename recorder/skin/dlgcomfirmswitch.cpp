#include "dlgcomfirmswitch.h"

#include <QPainter>

#include "artwork.h"
#include "pellbutton.h"

CDlgComfirmSwitch::CDlgComfirmSwitch(QWidget* owner)
    : CSkinDialog(owner, QSize(360, 180), "ID_TEXT_TIPS"),
      m_pSwitch(makeDialogButton(ID_OK, "ID_TEXT_SWITCH", true, 360 - 196, 180 - 44)),
      m_pCancel(makeDialogButton(ID_CANCEL, "ID_TEXT_CANCEL", false, 360 - 104, 180 - 44)) {}

void CDlgComfirmSwitch::paintLabels(QPainter& painter) {
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    const QPixmap icon = CArtwork::tipIcon(devicePixelRatioF());
    painter.drawPixmap(QRect(QPoint(8, 30), icon.deviceIndependentSize().toSize()), icon);
    // The text ends above the buttons.
    const int bottom = std::min(height() - 36, m_pSwitch->y() - 4);
    drawWrappedText(painter, QRect(QPoint(36, 32), QPoint(width() - 5, bottom - 1)), text("ID_TEXT_SWITCH_TIP"));
}
