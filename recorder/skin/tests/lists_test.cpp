// The combo list with its pop-up and scroll bar, the edit field and the
// message boxes.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include "languagetable.h"
#include "pellcombobar.h"
#include "pellcombopop.h"
#include "pellcombosel.h"
#include "pelledit.h"
#include "qtmessagepresenter.h"

namespace {

constexpr int kId = 77;

class ListsTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_window.resize(400, 300);
        m_window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&m_window));
        m_pCombo = new CPellComboSel(kId, &m_window);
        m_pCombo->setGeometry(20, 20, 200, 24);
        m_pCombo->show();
    }
    void fill(int count) {
        for (int i = 0; i < count; ++i) m_pCombo->addItem(QStringLiteral("Device %1").arg(i), QStringLiteral("value-%1").arg(i));
    }
    QWidget m_window;
    CPellComboSel* m_pCombo = nullptr;
};

TEST_F(ListsTest, ShortListsShowEveryRowWithoutABar) {
    fill(3);
    m_pCombo->setSelectedIndex(1);
    QSignalSpy spy(m_pCombo, &CPellBase::commanded);
    QTest::mouseClick(m_pCombo, Qt::LeftButton, {}, QPoint(10, 10));
    CPellComboPop* popup = m_pCombo->popup();
    ASSERT_TRUE(m_pCombo->isPopupOpen());
    EXPECT_EQ(popup->visibleRows(), 3);
    EXPECT_FALSE(popup->scrollBar()->isVisible());
    EXPECT_EQ(popup->width(), m_pCombo->width());
    EXPECT_EQ(popup->hotIndex(), 1) << "the selected item is marked on opening";
    QTest::mouseClick(popup, Qt::LeftButton, {}, popup->itemRect(2).center());
    EXPECT_EQ(m_pCombo->selectedIndex(), 2);
    EXPECT_EQ(m_pCombo->selectedValue(), QString("value-2"));
    ASSERT_EQ(spy.count(), 1);
    EXPECT_EQ(spy.at(0).at(0).toInt(), kId);
}

TEST_F(ListsTest, LongListsScrollWithTheBarTheWheelAndTheKeys) {
    fill(20);
    m_pCombo->setSelectedIndex(15);
    QTest::mouseClick(m_pCombo, Qt::LeftButton, {}, QPoint(10, 10));
    CPellComboPop* popup = m_pCombo->popup();
    ASSERT_TRUE(m_pCombo->isPopupOpen());
    EXPECT_EQ(popup->visibleRows(), int(CPellComboPop::DEFAULT_VISIBLE_ROWS));
    EXPECT_TRUE(popup->scrollBar()->isVisible());
    EXPECT_FALSE(popup->itemRect(15).isEmpty()) << "opened scrolled to the selection";
    EXPECT_EQ(popup->firstRow(), 8);

    // The bar: a press above the thumb pages up.
    CPellComboBar* bar = popup->scrollBar();
    QTest::mouseClick(bar, Qt::LeftButton, {}, QPoint(bar->width() / 2, 2));
    EXPECT_EQ(popup->firstRow(), 0);
    // Dragging the thumb to the bottom shows the last rows.
    const QRect thumb = bar->thumbRect();
    QTest::mousePress(bar, Qt::LeftButton, {}, thumb.center());
    QTest::mouseMove(bar, QPoint(thumb.center().x(), bar->height() + 50));
    QTest::mouseRelease(bar, Qt::LeftButton, {}, QPoint(thumb.center().x(), bar->height() + 50));
    EXPECT_EQ(popup->firstRow(), 12);

    QWheelEvent up(QPointF(10, 10), popup->mapToGlobal(QPointF(10, 10)), QPoint(), QPoint(0, 240), Qt::NoButton,
                   Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(popup, &up);
    EXPECT_EQ(popup->firstRow(), 10);

    QTest::keyClick(popup, Qt::Key_Down);  // from 15 to 16
    QTest::keyClick(popup, Qt::Key_Return);
    EXPECT_FALSE(m_pCombo->isPopupOpen());
    EXPECT_EQ(m_pCombo->selectedIndex(), 16);
}

TEST_F(ListsTest, AClickOutsideOrDisablingClosesWithoutAChoice) {
    fill(4);
    m_pCombo->setSelectedIndex(0);
    QSignalSpy spy(m_pCombo, &CPellBase::commanded);
    QTest::mouseClick(m_pCombo, Qt::LeftButton, {}, QPoint(10, 10));
    ASSERT_TRUE(m_pCombo->isPopupOpen());
    m_pCombo->popup()->close();  // what the pop-up does when the grab goes elsewhere
    EXPECT_FALSE(m_pCombo->isPopupOpen());
    QTest::mouseClick(m_pCombo, Qt::LeftButton, {}, QPoint(10, 10));
    ASSERT_TRUE(m_pCombo->isPopupOpen());
    m_pCombo->setControlEnabled(false);
    EXPECT_FALSE(m_pCombo->isPopupOpen());
    EXPECT_EQ(spy.count(), 0);
    EXPECT_EQ(m_pCombo->selectedIndex(), 0);
}

TEST(PellEdit, ReportsEveryChangeWithItsId) {
    QWidget window;
    CPellEdit* edit = new CPellEdit(kId, &window);
    window.show();
    QSignalSpy spy(edit, &CPellEdit::edited);
    QTest::keyClicks(edit, "ab");
    ASSERT_EQ(spy.count(), 2);
    EXPECT_EQ(spy.at(1).at(0).toInt(), kId);
    EXPECT_EQ(spy.at(1).at(1).toString(), QString("ab"));
    edit->setText("set");
    EXPECT_EQ(spy.count(), 3);
}

TEST(QtMessagePresenter, FillsTheBoxFromTheLanguageTableAndReturnsTheAnswer) {
    CLanguageTable::instance().load(CLanguageTable::LANGUAGE_ENGLISH, TOLVANE_LANGUAGE_XML);
    QMessageBox box;
    CQtMessagePresenter::fill(box, "ID_TEXT_RECORD_FINISH_OPENFOLDER", "ID_TEXT_TIPS", IMessagePresenter::ICON_WARNING,
                              IMessagePresenter::BUTTONS_OK_CANCEL);
    EXPECT_EQ(box.text().toStdString(), CLanguageTable::instance().lookup("ID_TEXT_RECORD_FINISH_OPENFOLDER"));
    EXPECT_EQ(box.windowTitle().toStdString(), CLanguageTable::instance().lookup("ID_TEXT_TIPS"));
    EXPECT_EQ(box.icon(), QMessageBox::Warning);
    EXPECT_EQ(box.standardButtons(), QMessageBox::Ok | QMessageBox::Cancel);
    EXPECT_EQ(box.button(QMessageBox::Cancel)->text().toStdString(), CLanguageTable::instance().lookup("ID_TEXT_CANCEL"));

    QMessageBox single;
    CQtMessagePresenter::fill(single, "ID_TEXT_RECORD_ERROR", "ID_TEXT_TIPS", IMessagePresenter::ICON_ERROR,
                              IMessagePresenter::BUTTONS_OK);
    EXPECT_EQ(single.icon(), QMessageBox::Critical);
    EXPECT_EQ(single.standardButtons(), QMessageBox::Ok);

    // Modal: answered by pressing a button of the open box.
    CQtMessagePresenter presenter(nullptr);
    const auto press = [](QMessageBox::StandardButton which) {
        QTimer::singleShot(0, [which] {
            auto* open = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (open) open->button(which)->click();
        });
    };
    press(QMessageBox::Cancel);
    EXPECT_EQ(presenter.showMessage("ID_TEXT_AUDIO_EXITTIPS", "ID_TEXT_TIPS", IMessagePresenter::ICON_WARNING,
                                    IMessagePresenter::BUTTONS_OK_CANCEL),
              IMessagePresenter::ANSWER_CANCEL);
    press(QMessageBox::Ok);
    EXPECT_EQ(presenter.showMessage("ID_TEXT_AUDIO_EXITTIPS", "ID_TEXT_TIPS", IMessagePresenter::ICON_WARNING,
                                    IMessagePresenter::BUTTONS_OK_CANCEL),
              IMessagePresenter::ANSWER_OK);
}

}  // namespace
