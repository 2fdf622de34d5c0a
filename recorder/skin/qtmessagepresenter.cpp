#include "qtmessagepresenter.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

#include "artwork.h"
#include "languagetable.h"
#include "skinfonts.h"

namespace {
QString text(const char* key) {
    return key ? QString::fromStdString(CLanguageTable::instance().lookup(key)) : QString();
}
}  // namespace

CQtMessagePresenter::CQtMessagePresenter(QWidget* owner) : m_pOwner(owner) {}

void CQtMessagePresenter::fill(QMessageBox& box, const char* textKey, const char* captionKey, Icon icon, Buttons buttons) {
    box.setWindowTitle(text(captionKey));
    // A text may break its lines with the two characters backslash and n.
    box.setText(text(textKey).replace(QStringLiteral("\\n"), QStringLiteral("\n")));
    box.setWindowIcon(CArtwork::appIcon());
    box.setFont(CSkinFonts::font(14));
    switch (icon) {
    case ICON_WARNING: box.setIcon(QMessageBox::Warning); break;
    case ICON_ERROR: box.setIcon(QMessageBox::Critical); break;
    default: box.setIcon(QMessageBox::Information); break;
    }
    if (buttons == BUTTONS_OK_CANCEL) {
        box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
        box.setDefaultButton(QMessageBox::Ok);
        box.setEscapeButton(QMessageBox::Cancel);
        const QString cancel = text("ID_TEXT_CANCEL");
        if (!cancel.isEmpty()) box.button(QMessageBox::Cancel)->setText(cancel);
    } else {
        box.setStandardButtons(QMessageBox::Ok);
        box.setEscapeButton(QMessageBox::Ok);
    }
}

int CQtMessagePresenter::showMessage(const char* textKey, const char* captionKey, Icon icon, Buttons buttons) {
    QMessageBox box(m_pOwner ? m_pOwner.data() : QApplication::activeWindow());
    fill(box, textKey, captionKey, icon, buttons);
    const int answer = box.exec();
    return answer == QMessageBox::Ok ? ANSWER_OK : ANSWER_CANCEL;
}
