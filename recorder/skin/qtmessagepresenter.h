// CQtMessagePresenter: the program's message boxes as QMessageBox. Texts
// and captions are language-table keys; the box is modal over the owner
// given at construction (may be null).
#pragma once

#include <QPointer>
#include <QWidget>

#include "messagepresenter.h"

class QMessageBox;

class CQtMessagePresenter : public IMessagePresenter {
public:
    explicit CQtMessagePresenter(QWidget* owner = nullptr);
    virtual ~CQtMessagePresenter() = default;

    int showMessage(const char* textKey, const char* captionKey, Icon icon, Buttons buttons) override;

    // The box showMessage runs, filled but not shown (for tests and callers
    // that want to look at it).
    static void fill(QMessageBox& box, const char* textKey, const char* captionKey, Icon icon, Buttons buttons);

private:
    QPointer<QWidget> m_pOwner;
};
