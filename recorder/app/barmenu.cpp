#include "barmenu.h"

#include <QEventLoop>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

#include "artwork.h"
#include "languagetable.h"
#include "skinfonts.h"

namespace {

const QColor kBackground(0xFC, 0xFC, 0xFC);
const QColor kSelected(0xE0, 0xE0, 0xE0);
const QColor kSeparator(0xA0, 0xA0, 0xA0);
const QColor kRunning(0xF2, 0x60, 0x60);

QString text(const char* key) {
    return QString::fromStdString(CLanguageTable::instance().lookup(key));
}

}  // namespace

CBarMenu::CBarMenu(StatusSource status, QWidget* parent)
    : QWidget(parent, Qt::Popup | Qt::FramelessWindowHint), m_status(std::move(status)) {
    setObjectName("barMenu");
    setWindowTitle("Tolvane menu");
    setMouseTracking(true);
    setFixedSize(ITEM_WIDTH, menuHeight());
}

QString CBarMenu::clockText(unsigned s) {
    return QString::asprintf("%02u:%02u:%02u", s / 3600, s % 3600 / 60, s % 60);
}

std::vector<int> CBarMenu::itemIds() {
    return {ID_STATUS, ID_SEPARATOR, ID_SETTINGS, ID_SEPARATOR, ID_OPEN_FOLDER, ID_SEPARATOR, ID_EXIT};
}

QRect CBarMenu::itemRect(int index) {
    std::vector<int> ids = itemIds();
    int top = 0;
    for (int i = 0; i < static_cast<int>(ids.size()); ++i) {
        int height = ids[i] == ID_STATUS ? STATUS_HEIGHT : ids[i] == ID_SEPARATOR ? SEPARATOR_HEIGHT : ITEM_HEIGHT;
        if (i == index) return QRect(0, top, ITEM_WIDTH, height);
        top += height;
    }
    return {};
}

int CBarMenu::menuHeight() {
    QRect last = itemRect(static_cast<int>(itemIds().size()) - 1);
    return last.bottom() + 1;
}

int CBarMenu::itemAt(const QPoint& point) {
    std::vector<int> ids = itemIds();
    for (int i = 0; i < static_cast<int>(ids.size()); ++i)
        if (itemRect(i).contains(point)) return ids[i];
    return 0;
}

int CBarMenu::exec(const QPoint& globalPos) {
    m_nResult = 0;
    m_nHover = 0;
    move(globalPos);
    show();
    raise();
    activateWindow();
    QEventLoop loop;
    m_pLoop = &loop;
    loop.exec();
    m_pLoop = nullptr;
    return m_nResult;
}

void CBarMenu::finish(int id) {
    m_nResult = id;
    hide();
}

void CBarMenu::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    if (m_pLoop) m_pLoop->quit();
}

void CBarMenu::mouseMoveEvent(QMouseEvent* event) {
    int hover = itemAt(event->position().toPoint());
    if (hover != m_nHover) {
        m_nHover = hover;
        update();
    }
}

void CBarMenu::leaveEvent(QEvent*) {
    m_nHover = 0;
    update();
}

void CBarMenu::mouseReleaseEvent(QMouseEvent* event) {
    if (!rect().contains(event->position().toPoint())) {
        finish(0);
        return;
    }
    int id = itemAt(event->position().toPoint());
    if (id != 0 && id != ID_STATUS) finish(id);
}

void CBarMenu::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) finish(0);
    else if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && m_nHover && m_nHover != ID_STATUS)
        finish(m_nHover);
}

void CBarMenu::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), kBackground);
    std::vector<int> ids = itemIds();
    for (int i = 0; i < static_cast<int>(ids.size()); ++i)
        paintItem(painter, ids[i], itemRect(i), ids[i] != ID_SEPARATOR && ids[i] == m_nHover);
}

void CBarMenu::paintItem(QPainter& painter, int id, const QRect& r, bool selected) {
    if (id == ID_SEPARATOR) {
        painter.fillRect(QRect(r.left(), r.top() + r.height() / 2, r.width(), 1), kSeparator);
        return;
    }
    if (selected) painter.fillRect(r.adjusted(0, 2, 0, -2), kSelected);
    painter.setFont(CSkinFonts::font(14));
    const int flags = Qt::AlignLeft | Qt::AlignVCenter | Qt::TextWordWrap;
    if (id == ID_STATUS) {
        MenuStatus status = m_status ? m_status() : MenuStatus{};
        if (status.recording)
            painter.drawPixmap(r.left() + 12, r.top() + 12,
                               CArtwork::stateIcon(status.paused ? CArtwork::STATE_ICON_PAUSED
                                                                 : CArtwork::STATE_ICON_RUNNING,
                                                   devicePixelRatioF()));
        const char* key = !status.recording ? "ID_TEXT_RECORD_STATEREADY"
                          : status.paused   ? "ID_TEXT_RECORD_STATEPAUSE"
                                            : "ID_TEXT_RECORD_STATERUNNING";
        painter.setPen(status.recording && !status.paused ? kRunning : Qt::black);
        QRect textRect(QPoint(r.left() + 36, r.top() + 10), QPoint(r.right() - 4, r.bottom() - 36));
        painter.drawText(textRect, flags, painter.fontMetrics().elidedText(text(key), Qt::ElideRight, textRect.width()));
        painter.setPen(Qt::black);
        painter.setFont(CSkinFonts::font(14, QFont::Bold));
        painter.drawText(QRect(QPoint(r.left() + 36, r.bottom() - 34), QPoint(r.right() - 4, r.bottom() - 8)), flags,
                         clockText(status.seconds));
        return;
    }
    CArtwork::MenuIcon icon = id == ID_SETTINGS      ? CArtwork::MENU_SETTINGS
                              : id == ID_OPEN_FOLDER ? CArtwork::MENU_OPEN_FOLDER
                                                     : CArtwork::MENU_EXIT;
    const char* key = id == ID_SETTINGS ? "ID_TEXT_SETTING" : id == ID_OPEN_FOLDER ? "ID_TEXT_OPEN_FOLDER" : "ID_TEXT_EXIT";
    painter.drawPixmap(r.left() + 12, r.top() + (r.height() - 16) / 2, CArtwork::menuIcon(icon, devicePixelRatioF()));
    painter.setPen(Qt::black);
    QRect textRect(QPoint(r.left() + 36, r.top() + 10), QPoint(r.right() - 4, r.bottom() - 4));
    painter.drawText(textRect.adjusted(0, -6, 0, 0), flags,
                     painter.fontMetrics().elidedText(text(key), Qt::ElideRight, textRect.width()));
}
