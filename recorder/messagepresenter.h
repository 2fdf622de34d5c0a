// IMessagePresenter: modal message boxes of the program. Texts are given by
// their language-table keys; the presenter looks them up and shows them.
#pragma once

class IMessagePresenter {
public:
    enum Icon { ICON_INFORMATION = 0, ICON_WARNING = 1, ICON_ERROR = 2 };
    enum Buttons { BUTTONS_OK = 0, BUTTONS_OK_CANCEL = 1 };
    enum { ANSWER_OK = 1, ANSWER_CANCEL = 2 };

    // Shows the text of textKey with the caption of captionKey and returns
    // the button pressed (ANSWER_OK or ANSWER_CANCEL).
    virtual int showMessage(const char* textKey, const char* captionKey, Icon icon, Buttons buttons) = 0;

protected:
    ~IMessagePresenter() = default;
};
