#include "pellbasesel.h"

#include <QEvent>
#include <QGuiApplication>
#include <QScreen>

CPellBaseSel::CPellBaseSel(int id, QWidget* parent) : CPellBaseCtrl(id, KIND_PUSH_HOVER, parent) {}

int CPellBaseSel::addItem(const QString& text) { return addItem(text, text); }

int CPellBaseSel::addItem(const QString& text, const QString& value) {
    m_items.push_back(Item{text, value});
    update();
    return itemCount() - 1;
}

void CPellBaseSel::clearItems() {
    closePopup();
    m_items.clear();
    m_nSelected = -1;
    update();
}

QString CPellBaseSel::itemText(int index) const {
    return (index >= 0 && index < itemCount()) ? m_items[index].text : QString();
}

QString CPellBaseSel::itemValue(int index) const {
    return (index >= 0 && index < itemCount()) ? m_items[index].value : QString();
}

void CPellBaseSel::setSelectedIndex(int index) {
    m_nSelected = (index >= 0 && index < itemCount()) ? index : -1;
    update();
}

int CPellBaseSel::findValue(const QString& value) const {
    for (int i = 0; i < itemCount(); ++i)
        if (m_items[i].value == value) return i;
    return -1;
}

bool CPellBaseSel::isPopupOpen() const { return m_pPopup && m_pPopup->isVisible(); }

void CPellBaseSel::openPopup() {
    if (!isControlEnabled() || m_items.empty()) return;
    if (!m_pPopup) m_pPopup = createPopup();
    placePopup(m_pPopup, popupSize());
    m_pPopup->show();
    m_pPopup->raise();
    m_pPopup->setFocus(Qt::PopupFocusReason);
}

void CPellBaseSel::closePopup() {
    if (m_pPopup) m_pPopup->hide();
}

void CPellBaseSel::choose(int index) {
    closePopup();
    if (index < 0 || index >= itemCount()) return;
    m_nSelected = index;
    update();
    sendCommand();
}

bool CPellBaseSel::onButtonDown(const QPoint& point) {
    if (!isControlEnabled() || !rect().contains(point)) return false;
    if (isPopupOpen())
        closePopup();
    else
        openPopup();
    return true;
}

// The pop-up takes over the mouse; the release belongs to it.
bool CPellBaseSel::onButtonUp(const QPoint&) { return onCaptureLost(); }

void CPellBaseSel::placePopup(QWidget* popup, const QSize& wanted) const {
    const QSize size(std::max(wanted.width(), width()), wanted.height());
    QPoint origin = mapToGlobal(QPoint(0, height()));
    const QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
    if (screen) {
        const QRect area = screen->availableGeometry();
        if (origin.y() + size.height() > area.bottom() + 1) {
            const int above = mapToGlobal(QPoint(0, 0)).y() - size.height();
            if (above >= area.top()) origin.setY(above);
        }
        if (origin.x() + size.width() > area.right() + 1) origin.setX(std::max(area.left(), area.right() + 1 - size.width()));
    }
    popup->setGeometry(QRect(origin, size));
}

void CPellBaseSel::hideEvent(QHideEvent* event) {
    closePopup();
    CPellBaseCtrl::hideEvent(event);
}

void CPellBaseSel::changeEvent(QEvent* event) {
    if (event->type() == QEvent::EnabledChange && !isEnabled()) closePopup();
    CPellBaseCtrl::changeEvent(event);
}
