// Input behaviour of the skinned controls, driven by real mouse events.
#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTest>

#include <QDir>

#include "artwork.h"
#include "imagebutton.h"
#include "pellbutton.h"
#include "pelldroppop.h"
#include "pelldropsel.h"
#include "skinfonts.h"

namespace {

constexpr int kId = 4711;

class ControlsTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_window.resize(300, 200);
        m_window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&m_window));
    }
    template <typename T, typename... Args>
    T* make(Args&&... args) {
        T* control = new T(std::forward<Args>(args)..., &m_window);
        control->setGeometry(20, 20, 80, 32);
        control->show();
        return control;
    }
    QWidget m_window;
};

TEST_F(ControlsTest, PushButtonCommandsOnlyOnReleaseInside) {
    CPellButton* button = make<CPellButton>(kId, CPellBaseCtrl::KIND_PUSH_HOVER);
    button->setImages(CArtwork::barButtonImages(CArtwork::BAR_START));
    QSignalSpy spy(button, &CPellBase::commanded);

    QTest::mousePress(button, Qt::LeftButton, {}, QPoint(10, 10));
    EXPECT_TRUE(button->isPressed());
    EXPECT_EQ(spy.count(), 0) << "a press alone sends nothing";
    QTest::mouseRelease(button, Qt::LeftButton, {}, QPoint(10, 10));
    ASSERT_EQ(spy.count(), 1);
    EXPECT_EQ(spy.at(0).at(0).toInt(), kId);
    EXPECT_FALSE(button->isPressed());

    // Pressed, dragged off and released outside: nothing.
    QTest::mousePress(button, Qt::LeftButton, {}, QPoint(10, 10));
    QTest::mouseMove(button, QPoint(200, 100));
    QTest::mouseRelease(button, Qt::LeftButton, {}, QPoint(200, 100));
    EXPECT_EQ(spy.count(), 1);
    EXPECT_FALSE(button->isPressed());

    // Other buttons are not clicks.
    QTest::mouseClick(button, Qt::RightButton, {}, QPoint(10, 10));
    EXPECT_EQ(spy.count(), 1);
}

TEST_F(ControlsTest, CaptureLostOrHidingClearsThePress) {
    CPellButton* button = make<CPellButton>(kId, CPellBaseCtrl::KIND_PUSH);
    QSignalSpy spy(button, &CPellBase::commanded);
    QTest::mousePress(button, Qt::LeftButton, {}, QPoint(5, 5));
    button->hide();
    EXPECT_FALSE(button->isPressed());
    button->show();
    QTest::mouseRelease(button, Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_EQ(spy.count(), 0);
}

TEST_F(ControlsTest, CheckBoxTogglesOnPressAndRadioSets) {
    CPellButton* check = make<CPellButton>(kId, CPellBaseCtrl::KIND_CHECK_HOVER);
    check->setImages(CArtwork::checkBoxImages(false));
    check->setCheckedImages(CArtwork::checkBoxImages(true));
    QSignalSpy spy(check, &CPellBase::commanded);
    QTest::mousePress(check, Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_TRUE(check->isChecked());
    EXPECT_EQ(spy.count(), 1) << "a check box commands on the press";
    QTest::mouseRelease(check, Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_EQ(spy.count(), 1);
    QTest::mouseClick(check, Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_FALSE(check->isChecked());
    EXPECT_EQ(spy.count(), 2);

    CPellButton* radio = make<CPellButton>(kId + 1, CPellBaseCtrl::KIND_RADIO);
    radio->move(20, 80);
    QSignalSpy radioSpy(radio, &CPellBase::commanded);
    QTest::mouseClick(radio, Qt::LeftButton, {}, QPoint(5, 5));
    QTest::mouseClick(radio, Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_TRUE(radio->isChecked()) << "a second click keeps a radio-style button set";
    EXPECT_EQ(radioSpy.count(), 2);
}

TEST_F(ControlsTest, DisabledControlsIgnoreClicksAndKeepTheirState) {
    CPellButton* push = make<CPellButton>(kId, CPellBaseCtrl::KIND_PUSH);
    CPellButton* check = make<CPellButton>(kId, CPellBaseCtrl::KIND_CHECK);
    check->move(20, 80);
    check->setChecked(true);
    QSignalSpy pushSpy(push, &CPellBase::commanded);
    QSignalSpy checkSpy(check, &CPellBase::commanded);
    push->setControlEnabled(false);
    check->setControlEnabled(false);

    QTest::mouseClick(push, Qt::LeftButton, {}, QPoint(5, 5));
    QTest::mouseClick(check, Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_EQ(pushSpy.count(), 0);
    EXPECT_EQ(checkSpy.count(), 0);
    EXPECT_TRUE(check->isChecked());
    EXPECT_FALSE(push->isPressed());

    // Direct calls of the core operations are ignored as well.
    EXPECT_FALSE(check->onButtonDown(QPoint(5, 5)));
    EXPECT_TRUE(check->isChecked());

    // Disabling a pressed button drops the press; enabled again it works.
    push->setControlEnabled(true);
    QTest::mousePress(push, Qt::LeftButton, {}, QPoint(5, 5));
    push->setControlEnabled(false);
    EXPECT_FALSE(push->isPressed());
    push->setControlEnabled(true);
    QTest::mouseClick(push, Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_EQ(pushSpy.count(), 1);
}

TEST_F(ControlsTest, HoverFollowsTheMouseOnlyForHoverKinds) {
    CPellButton* hover = make<CPellButton>(kId, CPellBaseCtrl::KIND_PUSH_HOVER);
    CPellButton* plain = make<CPellButton>(kId, CPellBaseCtrl::KIND_PUSH);
    plain->move(20, 80);
    EXPECT_TRUE(hover->onMouseMove(QPoint(3, 3)));
    EXPECT_TRUE(hover->isHovering());
    EXPECT_FALSE(hover->onMouseMove(QPoint(4, 4))) << "no repaint when nothing changed";
    EXPECT_TRUE(hover->onMouseLeave());
    EXPECT_FALSE(hover->isHovering());
    EXPECT_FALSE(plain->onMouseMove(QPoint(3, 3)));
    EXPECT_FALSE(plain->isHovering());
}

TEST_F(ControlsTest, ImageButtonCommandsAndKeepsItsSelection) {
    CImageButton* button = make<CImageButton>(kId);
    button->setImages(CArtwork::aspectButtonImages(true, false), CArtwork::aspectButtonImages(true, true));
    button->resize(30, 16);
    QSignalSpy spy(button, &CPellBase::commanded);
    QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_EQ(spy.count(), 1);
    EXPECT_FALSE(button->isSelected()) << "the owner selects";
    button->setSelected(true);
    EXPECT_TRUE(button->isSelected());
}

TEST_F(ControlsTest, DropDownChoiceStoresTheIndexAndCommands) {
    CPellDropSel* drop = make<CPellDropSel>(kId);
    drop->addItem("Full screen");
    drop->addItem("Custom region");
    drop->setSelectedIndex(0);
    QSignalSpy spy(drop, &CPellBase::commanded);

    QTest::mouseClick(drop, Qt::LeftButton, {}, QPoint(10, 10));
    ASSERT_TRUE(drop->isPopupOpen());
    CPellDropPop* popup = drop->popup();
    ASSERT_NE(popup, nullptr);
    EXPECT_GE(popup->geometry().top(), drop->mapToGlobal(QPoint(0, drop->height())).y() - 1) << "opens under the selector";
    const QPoint second(10, drop->itemHeight() + drop->itemHeight() / 2);
    ASSERT_EQ(popup->itemAt(second), 1);
    QTest::mouseMove(popup, second);
    QTest::mouseClick(popup, Qt::LeftButton, {}, second);
    EXPECT_FALSE(drop->isPopupOpen());
    ASSERT_EQ(spy.count(), 1);
    EXPECT_EQ(spy.at(0).at(0).toInt(), kId);
    EXPECT_EQ(drop->selectedIndex(), 1);
    EXPECT_EQ(drop->shownText(), QString("Custom region"));

    // Escape closes without a choice; a disabled selector does not open.
    QTest::mouseClick(drop, Qt::LeftButton, {}, QPoint(10, 10));
    ASSERT_TRUE(drop->isPopupOpen());
    QTest::keyClick(popup, Qt::Key_Escape);
    EXPECT_FALSE(drop->isPopupOpen());
    drop->setControlEnabled(false);
    QTest::mouseClick(drop, Qt::LeftButton, {}, QPoint(10, 10));
    EXPECT_FALSE(drop->isPopupOpen());
    EXPECT_EQ(spy.count(), 1);
    EXPECT_EQ(drop->selectedIndex(), 1);
}

TEST_F(ControlsTest, ItemListBounds) {
    CPellDropSel* drop = make<CPellDropSel>(kId);
    drop->addItem("a", "va");
    drop->addItem("b");
    EXPECT_EQ(drop->itemValue(0), QString("va"));
    EXPECT_EQ(drop->itemValue(1), QString("b"));
    EXPECT_EQ(drop->itemText(7), QString());
    drop->setSelectedIndex(5);
    EXPECT_EQ(drop->selectedIndex(), -1);
    EXPECT_EQ(drop->findValue("b"), 1);
    EXPECT_EQ(drop->findValue("x"), -1);
    drop->choose(9);
    EXPECT_EQ(drop->selectedIndex(), -1);
}

}  // namespace

namespace {

// The controls as the bar and the region toolbar show them, on the bar's
// grey, saved under the build folder's screenshots/.
TEST(ControlsGallery, BarAndToolbarControls) {
    QWidget bar;
    bar.setFixedSize(520, 40);
    QPalette colours = bar.palette();
    colours.setColor(QPalette::Window, QColor(0x5C, 0x5C, 0x5C));
    bar.setPalette(colours);
    bar.setAutoFillBackground(true);
    const CArtwork::BarButton buttons[] = {CArtwork::BAR_START, CArtwork::BAR_STOP, CArtwork::BAR_PAUSE,
                                           CArtwork::BAR_RESUME, CArtwork::BAR_AUDIO_DEVICE, CArtwork::BAR_SETTINGS};
    int x = 8;
    for (CArtwork::BarButton which : buttons) {
        auto* button = new CPellButton(which, CPellBaseCtrl::KIND_PUSH_HOVER, &bar);
        button->setImages(CArtwork::barButtonImages(which, bar.devicePixelRatioF()));
        button->setGeometry(x, 4, 32, 32);
        x += 40;
    }
    auto* wide = new CImageButton(1, &bar);
    wide->setImages(CArtwork::aspectButtonImages(true, false), CArtwork::aspectButtonImages(true, true));
    wide->setSelected(true);
    wide->setGeometry(x + 8, 12, 30, 16);
    auto* narrow = new CImageButton(2, &bar);
    narrow->setImages(CArtwork::aspectButtonImages(false, false), CArtwork::aspectButtonImages(false, true));
    narrow->setGeometry(x + 44, 12, 30, 16);
    auto* mode = new CPellDropSel(3, &bar);
    mode->setFont(CSkinFonts::font(14));
    mode->setArrowImages(CArtwork::dropArrowImages(true));
    mode->addItem("Full Screen");
    mode->addItem("Custom Region");
    mode->setSelectedIndex(1);
    mode->setGeometry(x + 84, 6, 140, 28);
    bar.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&bar));
    const QString folder = QStringLiteral(TOLVANE_SCREENSHOT_DIR);
    ASSERT_TRUE(QDir().mkpath(folder));
    EXPECT_TRUE(bar.grab().save(folder + "/skin-bar-controls.png"));
    QTest::mouseClick(mode, Qt::LeftButton, {}, QPoint(10, 10));
    ASSERT_TRUE(mode->isPopupOpen());
    QTest::mouseMove(mode->popup(), QPoint(20, mode->itemHeight() / 2));
    EXPECT_TRUE(mode->popup()->grab().save(folder + "/skin-drop-popup.png"));
}

}  // namespace
