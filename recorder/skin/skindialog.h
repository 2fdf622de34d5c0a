// CSkinDialog: what the program's dialogs share. Owned by the given window
// (the active window when none is given), a fixed client size, centred on
// the work area of its screen when shown, painted white with black text,
// title and texts from the language table. Closing it any other way than
// with a button (Escape, the window's close box) ends it with ID_CANCEL.
#pragma once

#include <QDialog>
#include <QFont>

class CPellButton;
class QPainter;

class CSkinDialog : public QDialog {
    Q_OBJECT
public:
    enum { ID_OK = 1, ID_CANCEL = 2 };

    CSkinDialog(QWidget* owner, const QSize& clientSize, const char* titleKey);

    // The language table's text for key.
    static QString text(const char* key);
    // The dialogs' text font.
    static QFont textFont(QFont::Weight weight = QFont::Normal);

    void reject() override;

protected:
    // A dialog button at (x, y), 84 x 32 or as wide as given, whose click
    // goes to onCommand.
    CPellButton* makeDialogButton(int id, const char* textKey, bool primary, int x, int y, int width = 84);
    // The width a dialog button needs for its text, at least 84.
    static int dialogButtonWidth(const char* textKey);
    // A 16-pixel check box with its text, checked as given.
    CPellButton* makeCheckBox(int id, const char* textKey, bool checked, const QRect& geometry);
    // Commands of the dialog's controls; the default ends the dialog with id.
    virtual void onCommand(int id);
    // Painted texts of the dialog, after the white background.
    virtual void paintLabels(QPainter& painter);

    // Word-wrapped text with an ellipsis on the last line that fits.
    static void drawWrappedText(QPainter& painter, const QRect& rect, const QString& text);
    // Single-line text, elided at the end, vertically centred.
    static void drawLineText(QPainter& painter, const QRect& rect, const QString& text,
                             Qt::Alignment horizontal = Qt::AlignLeft);
    // The text font, made smaller (down to 10 pixels) until text fits width.
    static QFont fittedFont(const QString& text, int width, QFont::Weight weight = QFont::Normal);

    void showEvent(QShowEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void centreOnWorkArea();
};
