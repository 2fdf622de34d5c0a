#include "skindialog.h"

#include <QApplication>
#include <QPainter>
#include <QScreen>
#include <QTextLayout>

#include "artwork.h"
#include "languagetable.h"
#include "pellbutton.h"
#include "skinfonts.h"

namespace {
constexpr int kTextPixelSize = 14;
}

CSkinDialog::CSkinDialog(QWidget* owner, const QSize& clientSize, const char* titleKey)
    : QDialog(owner ? owner : QApplication::activeWindow()) {
    setFixedSize(clientSize);
    setWindowTitle(text(titleKey));
    setWindowIcon(CArtwork::appIcon());
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    QPalette colours = palette();
    colours.setColor(QPalette::Window, Qt::white);
    colours.setColor(QPalette::WindowText, Qt::black);
    colours.setColor(QPalette::Base, Qt::white);
    colours.setColor(QPalette::Text, Qt::black);
    setPalette(colours);
    setAutoFillBackground(true);
    setFont(textFont());
    centreOnWorkArea();
}

QString CSkinDialog::text(const char* key) { return QString::fromStdString(CLanguageTable::instance().lookup(key)); }

QFont CSkinDialog::textFont(QFont::Weight weight) { return CSkinFonts::font(kTextPixelSize, weight); }

void CSkinDialog::reject() { done(ID_CANCEL); }

void CSkinDialog::onCommand(int id) { done(id); }

void CSkinDialog::paintLabels(QPainter&) {}

int CSkinDialog::dialogButtonWidth(const char* textKey) {
    return std::max<int>(CArtwork::DIALOG_BUTTON_WIDTH, QFontMetrics(textFont()).horizontalAdvance(text(textKey)) + 24);
}

CPellButton* CSkinDialog::makeDialogButton(int id, const char* textKey, bool primary, int x, int y, int width) {
    auto* button = new CPellButton(id, CPellButton::KIND_PUSH_HOVER, this);
    button->setImages(CArtwork::dialogButtonImages(primary, devicePixelRatioF(), width));
    button->setText(text(textKey));
    button->setFont(textFont());
    if (primary)
        button->setTextColors(Qt::white, Qt::white);
    else
        button->setTextColors(Qt::black, Qt::black);
    button->setGeometry(x, y, width, CArtwork::DIALOG_BUTTON_HEIGHT);
    connect(button, &CPellButton::commanded, this, &CSkinDialog::onCommand);
    return button;
}

CPellButton* CSkinDialog::makeCheckBox(int id, const char* textKey, bool checked, const QRect& geometry) {
    auto* box = new CPellButton(id, CPellButton::KIND_CHECK_HOVER, this);
    box->setImages(CArtwork::checkBoxImages(false, devicePixelRatioF()));
    box->setCheckedImages(CArtwork::checkBoxImages(true, devicePixelRatioF()));
    box->setText(text(textKey));
    box->setFont(textFont());
    box->setTextColors(Qt::black, Qt::black);
    box->setChecked(checked);
    box->setGeometry(geometry);
    connect(box, &CPellButton::commanded, this, &CSkinDialog::onCommand);
    return box;
}

void CSkinDialog::drawWrappedText(QPainter& painter, const QRect& rect, const QString& text) {
    const QFontMetrics metrics(painter.font());
    QTextLayout layout(text, painter.font());
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    QStringList lines;
    int y = 0;
    while (true) {
        QTextLine line = layout.createLine();
        if (!line.isValid()) break;
        line.setLineWidth(rect.width());
        if (y + metrics.height() * 2 > rect.height() && line.textStart() + line.textLength() < text.size()) {
            // The last line that fits takes the rest, elided.
            lines << metrics.elidedText(text.mid(line.textStart()), Qt::ElideRight, rect.width());
            break;
        }
        lines << text.mid(line.textStart(), line.textLength()).trimmed();
        y += metrics.height();
    }
    layout.endLayout();
    int top = rect.top();
    for (const QString& line : lines) {
        painter.drawText(QRect(rect.left(), top, rect.width(), metrics.height()), Qt::AlignLeft | Qt::AlignVCenter, line);
        top += metrics.height();
    }
}

void CSkinDialog::drawLineText(QPainter& painter, const QRect& rect, const QString& text, Qt::Alignment horizontal) {
    painter.drawText(rect, horizontal | Qt::AlignVCenter | Qt::TextSingleLine,
                     painter.fontMetrics().elidedText(text, Qt::ElideRight, rect.width()));
}

QFont CSkinDialog::fittedFont(const QString& text, int width, QFont::Weight weight) {
    for (int size = kTextPixelSize; size > 10; --size) {
        const QFont font = CSkinFonts::font(size, weight);
        if (QFontMetrics(font).horizontalAdvance(text) <= width) return font;
    }
    return CSkinFonts::font(10, weight);
}

void CSkinDialog::centreOnWorkArea() {
    const QWidget* anchor = parentWidget() ? parentWidget()->window() : nullptr;
    const QScreen* screen = anchor && anchor->screen() ? anchor->screen() : QGuiApplication::primaryScreen();
    if (!screen) return;
    const QRect area = screen->availableGeometry();
    move(area.left() + (area.width() - width()) / 2, area.top() + (area.height() - height()) / 2);
}

void CSkinDialog::showEvent(QShowEvent* event) {
    centreOnWorkArea();
    QDialog::showEvent(event);
}

void CSkinDialog::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::white);
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.setPen(Qt::black);
    painter.setFont(textFont());
    paintLabels(painter);
}
