// CPellEdit: the skinned edit field. Every change of its text, typed or
// set, is reported with edited(id, text).
#pragma once

#include <QLineEdit>

class CPellEdit : public QLineEdit {
    Q_OBJECT
public:
    explicit CPellEdit(int id, QWidget* parent = nullptr);

    int controlId() const { return m_nId; }

signals:
    void edited(int id, const QString& text);

private:
    int m_nId;
};
