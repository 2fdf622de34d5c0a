#include "pelledit.h"

CPellEdit::CPellEdit(int id, QWidget* parent) : QLineEdit(parent), m_nId(id) {
    setFrame(false);
    setStyleSheet(QStringLiteral(
        "CPellEdit { background: #FFFFFF; color: #000000; border: 1px solid #BDBDBD; border-radius: 3px;"
        " padding: 0px 6px; selection-background-color: #5C5C5C; selection-color: #FFFFFF; }"
        "CPellEdit:hover { border-color: #9E9E9E; }"
        "CPellEdit:focus { border-color: #5C5C5C; }"
        "CPellEdit:disabled { background: #F6F6F6; color: #A0A0A0; border-color: #E2E2E2; }"));
    connect(this, &QLineEdit::textChanged, this, [this](const QString& text) { emit edited(m_nId, text); });
}
