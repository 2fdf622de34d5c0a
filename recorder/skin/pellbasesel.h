// CPellBaseSel: the item list the two drop-downs share. Each item has a
// shown text and a value; one index is selected (-1: none). Pressing the
// control opens the pop-up list; choosing an item stores its index, closes
// the list and sends commanded(id), after which selectedIndex() holds the
// new choice.
#pragma once

#include <QString>
#include <vector>

#include "pellbasectrl.h"

class CPellBaseSel : public CPellBaseCtrl {
    Q_OBJECT
public:
    struct Item {
        QString text;
        QString value;
    };

    explicit CPellBaseSel(int id, QWidget* parent = nullptr);

    // Returns the new item's index. The value defaults to the text.
    int addItem(const QString& text);
    int addItem(const QString& text, const QString& value);
    void clearItems();
    int itemCount() const { return static_cast<int>(m_items.size()); }
    // Empty for an index out of range.
    QString itemText(int index) const;
    QString itemValue(int index) const;
    const std::vector<Item>& items() const { return m_items; }

    int selectedIndex() const { return m_nSelected; }
    // Out-of-range indexes select nothing (-1). No command is sent.
    void setSelectedIndex(int index);
    QString selectedText() const { return itemText(m_nSelected); }
    QString selectedValue() const { return itemValue(m_nSelected); }
    // The first item whose value equals value, or -1.
    int findValue(const QString& value) const;

    // Item height of the pop-up list.
    void setItemHeight(int pixels) { m_nItemHeight = pixels; }
    int itemHeight() const { return m_nItemHeight; }

    bool isPopupOpen() const;
    void openPopup();
    void closePopup();
    // From the pop-up: the user chose index.
    void choose(int index);

    bool onButtonDown(const QPoint& point) override;
    bool onButtonUp(const QPoint& point) override;

protected:
    // The pop-up window of the concrete drop-down; created on first use,
    // owned by this control.
    virtual QWidget* createPopup() = 0;
    // Its size for the current items.
    virtual QSize popupSize() const = 0;
    // Places the pop-up below the control (above it when the screen has no
    // room below), at least as wide as the control.
    void placePopup(QWidget* popup, const QSize& wanted) const;
    // The list closes when the selector is hidden or disabled.
    void hideEvent(QHideEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    std::vector<Item> m_items;
    int m_nSelected = -1;
    int m_nItemHeight = 28;
    QWidget* m_pPopup = nullptr;
};
