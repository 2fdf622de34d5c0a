// CBarMenu: the bar's popup menu (right-click on the bar, context request
// on the tray icon), drawn by the program: a status item with the record
// state and the clock, then settings, open folder and exit, with separators
// between them. exec() shows it at a point and returns the chosen command
// (0 when the menu was closed without a choice).
#pragma once

#include <QWidget>

#include <functional>
#include <vector>

class QEventLoop;

class CBarMenu : public QWidget {
    Q_OBJECT
public:
    enum { ID_STATUS = 1001, ID_SETTINGS = 1002, ID_EXIT = 1003, ID_OPEN_FOLDER = 1004, ID_SEPARATOR = 0 };
    enum { ITEM_WIDTH = 160, STATUS_HEIGHT = 72, SEPARATOR_HEIGHT = 3, ITEM_HEIGHT = 40 };

    // What the status item shows, read at every paint.
    struct MenuStatus {
        bool recording = false;
        bool paused = false;
        unsigned seconds = 0;
    };
    using StatusSource = std::function<MenuStatus()>;

    explicit CBarMenu(StatusSource status, QWidget* parent = nullptr);

    int exec(const QPoint& globalPos);
    // The item ids top to bottom and their rectangles (widget coordinates).
    static std::vector<int> itemIds();
    static QRect itemRect(int index);
    static int menuHeight();
    // The id under a point, 0 for separators and outside.
    static int itemAt(const QPoint& point);

    // The clock text of a number of seconds: "%02d:%02d:%02d".
    static QString clockText(unsigned seconds);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void paintItem(QPainter& painter, int id, const QRect& rect, bool selected);
    void finish(int id);

    StatusSource m_status;
    int m_nHover = 0;
    int m_nResult = 0;
    QEventLoop* m_pLoop = nullptr;
};
