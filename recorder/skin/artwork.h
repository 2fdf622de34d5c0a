// CArtwork: every picture of the program, drawn with QPainter in one flat
// style: white glyphs on the bar's grey 0x5C5C5C, red 0xF26060 for
// recording, dark glyphs on the light menu and dialogs. Pictures have real
// alpha and are drawn at the given device pixel ratio (sizes below are in
// device-independent pixels). Needs a running QGuiApplication for the
// pictures with text.
#pragma once

#include <QIcon>
#include <QPixmap>
#include <QString>
#include <utility>
#include <vector>

#include "buttonimages.h"

class CArtwork {
public:
    enum State { STATE_NORMAL = 0, STATE_HOVER = 1, STATE_PRESSED = 2, STATE_DISABLED = 3 };
    enum BarButton {
        BAR_START = 0,
        BAR_STOP = 1,
        BAR_PAUSE = 2,
        BAR_RESUME = 3,
        BAR_AUDIO_DEVICE = 4,
        BAR_SETTINGS = 5,
    };
    enum MenuIcon { MENU_SETTINGS = 0, MENU_OPEN_FOLDER = 1, MENU_EXIT = 2 };
    enum StateIcon { STATE_ICON_RUNNING = 0, STATE_ICON_PAUSED = 1 };
    enum {
        BAR_CELL = 32,
        STATE_CELL = 20,
        MENU_CELL = 16,
        ASPECT_WIDTH = 30,
        ASPECT_HEIGHT = 16,
        DROP_ARROW_CELL = 16,
        CHECK_BOX_CELL = 16,
        DIALOG_BUTTON_WIDTH = 84,
        DIALOG_BUTTON_HEIGHT = 32,
        TIP_ICON_CELL = 24,
    };

    // The program's icon (tray and windows) at the usual sizes.
    static QIcon appIcon();
    static QPixmap appIconPixmap(int size, qreal dpr = 1.0);

    // 32 x 32 bar buttons.
    static QPixmap barButton(BarButton button, State state, qreal dpr = 1.0);
    static ButtonImages barButtonImages(BarButton button, qreal dpr = 1.0);
    // 20 x 20 state icons: 0 running (red dot), 1 paused (pause glyph).
    static QPixmap stateIcon(int index, qreal dpr = 1.0);
    // 16 x 16 menu icons.
    static QPixmap menuIcon(MenuIcon icon, qreal dpr = 1.0);
    // 30 x 16 "4:3" / "16:9" buttons for a dark toolbar, text included.
    static QPixmap aspectButton(bool sixteenNine, bool selected, State state, qreal dpr = 1.0);
    static ButtonImages aspectButtonImages(bool sixteenNine, bool selected, qreal dpr = 1.0);
    // 16 x 16 drop-down arrow, white on dark or dark on light backgrounds.
    static QPixmap dropArrow(bool onDark, State state, qreal dpr = 1.0);
    static ButtonImages dropArrowImages(bool onDark, qreal dpr = 1.0);
    // 16 x 16 check box.
    static QPixmap checkBox(bool checked, State state, qreal dpr = 1.0);
    static ButtonImages checkBoxImages(bool checked, qreal dpr = 1.0);
    // 84 x 32 dialog buttons: primary (dark, white text) and secondary
    // (light, dark text); the text is the button's own. Wider ones for
    // longer texts keep their rounded corners.
    static QPixmap dialogButton(bool primary, State state, qreal dpr = 1.0, int width = DIALOG_BUTTON_WIDTH);
    static ButtonImages dialogButtonImages(bool primary, qreal dpr = 1.0, int width = DIALOG_BUTTON_WIDTH);

    // 24 x 24 attention sign of the confirmation dialog.
    static QPixmap tipIcon(qreal dpr = 1.0);

    // Every picture with a file name ("bar-start-hover.png" ...), for
    // looking at them.
    static std::vector<std::pair<QString, QPixmap>> catalogue(qreal dpr = 1.0);

    static QString stateName(State state);

private:
    template <typename Draw>
    static ButtonImages allStates(Draw draw);
};
