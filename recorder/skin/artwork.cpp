#include "artwork.h"

#include <QPainter>
#include <QPainterPath>
#include <QtMath>

#include "skinfonts.h"

namespace {

const QColor kWhite(0xFF, 0xFF, 0xFF);
const QColor kBarGrey(0x5C, 0x5C, 0x5C);
const QColor kRed(0xF2, 0x60, 0x60);
const QColor kRedHover(0xF5, 0x7A, 0x7A);
const QColor kRedPressed(0xD9, 0x4E, 0x4E);
const QColor kMenuGlyph(0x4D, 0x4D, 0x4D);

// A transparent picture of a logical size at a device pixel ratio, and a
// painter on it in logical coordinates.
class CCanvas {
public:
    CCanvas(int width, int height, qreal dpr) : m_pixmap(QSize(qCeil(width * dpr), qCeil(height * dpr))) {
        m_pixmap.setDevicePixelRatio(dpr);
        m_pixmap.fill(Qt::transparent);
        m_painter.begin(&m_pixmap);
        m_painter.setRenderHint(QPainter::Antialiasing);
        m_painter.setRenderHint(QPainter::TextAntialiasing);
        m_painter.setRenderHint(QPainter::SmoothPixmapTransform);
    }
    QPainter& painter() { return m_painter; }
    QPixmap take() {
        m_painter.end();
        return m_pixmap;
    }

private:
    QPixmap m_pixmap;
    QPainter m_painter;
};

QPen roundPen(const QColor& color, qreal width) {
    QPen pen(color, width);
    pen.setCapStyle(Qt::RoundCap);
    pen.setJoinStyle(Qt::RoundJoin);
    return pen;
}

QColor faded(QColor color, int alpha) {
    color.setAlpha(alpha);
    return color;
}

// A gear: `teeth` rounded teeth around a disc, with a hole.
QPainterPath gearPath(QPointF centre, qreal outer, qreal body, qreal hole, qreal toothWidth, int teeth) {
    QPainterPath gear;
    gear.addEllipse(centre, body, body);
    for (int i = 0; i < teeth; ++i) {
        QPainterPath tooth;
        tooth.addRoundedRect(QRectF(-toothWidth / 2, -outer, toothWidth, outer - body + 1.5), toothWidth * 0.3,
                             toothWidth * 0.3);
        QTransform rotate;
        rotate.translate(centre.x(), centre.y());
        rotate.rotate(360.0 * i / teeth);
        gear = gear.united(rotate.map(tooth));
    }
    QPainterPath holePath;
    holePath.addEllipse(centre, hole, hole);
    return gear.subtracted(holePath);
}

// The rounded backdrop of a hovered or pressed bar button.
void drawBarBackdrop(QPainter& p, CArtwork::State state) {
    if (state != CArtwork::STATE_HOVER && state != CArtwork::STATE_PRESSED) return;
    p.setPen(Qt::NoPen);
    p.setBrush(state == CArtwork::STATE_HOVER ? QColor(255, 255, 255, 38) : QColor(0, 0, 0, 60));
    p.drawRoundedRect(QRectF(2, 2, 28, 28), 6, 6);
}

// Disabled glyphs are drawn opaque and faded as a whole afterwards, so that
// overlapping strokes do not show.
QColor barGlyphColor(CArtwork::State) { return kWhite; }

void drawStartGlyph(QPainter& p, CArtwork::State state) {
    const QColor glyph = barGlyphColor(state);
    QColor dot = kRed;
    if (state == CArtwork::STATE_HOVER) dot = kRedHover;
    if (state == CArtwork::STATE_PRESSED) dot = kRedPressed;
    if (state == CArtwork::STATE_DISABLED) dot = kWhite;
    p.setPen(QPen(glyph, 1.6));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QPointF(16, 16), 10, 10);
    p.setPen(Qt::NoPen);
    p.setBrush(dot);
    p.drawEllipse(QPointF(16, 16), 6.5, 6.5);
}

void drawStopGlyph(QPainter& p, CArtwork::State state) {
    p.setPen(Qt::NoPen);
    p.setBrush(barGlyphColor(state));
    p.drawRoundedRect(QRectF(10, 10, 12, 12), 2, 2);
}

void drawPauseBars(QPainter& p, const QColor& color, QRectF area) {
    const qreal barWidth = area.width() * 0.36;
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    const qreal radius = barWidth * 0.3;
    p.drawRoundedRect(QRectF(area.left(), area.top(), barWidth, area.height()), radius, radius);
    p.drawRoundedRect(QRectF(area.right() - barWidth, area.top(), barWidth, area.height()), radius, radius);
}

void drawPauseGlyph(QPainter& p, CArtwork::State state) { drawPauseBars(p, barGlyphColor(state), QRectF(10.5, 9.5, 11, 13)); }

void drawResumeGlyph(QPainter& p, CArtwork::State state) {
    const QColor glyph = barGlyphColor(state);
    QPainterPath triangle;
    triangle.moveTo(12.5, 9.5);
    triangle.lineTo(22.5, 16);
    triangle.lineTo(12.5, 22.5);
    triangle.closeSubpath();
    p.setPen(roundPen(glyph, 2));
    p.setBrush(glyph);
    p.drawPath(triangle);
}

void drawMicrophoneGlyph(QPainter& p, CArtwork::State state) {
    const QColor glyph = barGlyphColor(state);
    p.setPen(Qt::NoPen);
    p.setBrush(glyph);
    p.drawRoundedRect(QRectF(12.5, 6, 7, 13), 3.5, 3.5);
    p.setPen(roundPen(glyph, 1.8));
    p.setBrush(Qt::NoBrush);
    QPainterPath cradle;
    cradle.moveTo(9.5, 14);
    cradle.arcTo(QRectF(9.5, 7.5, 13, 13), 180, 180);
    p.drawPath(cradle);
    p.drawLine(QPointF(16, 20.5), QPointF(16, 24.5));
    p.drawLine(QPointF(12, 25), QPointF(20, 25));
}

void drawSettingsGlyph(QPainter& p, CArtwork::State state) {
    p.setPen(Qt::NoPen);
    p.setBrush(barGlyphColor(state));
    p.drawPath(gearPath(QPointF(16, 16), 10, 7.2, 3.2, 4.2, 8));
}

// Text centred in a rectangle, in the program's family.
void drawCentredText(QPainter& p, const QRectF& area, const QString& text, int pixelSize, const QColor& color) {
    p.setFont(CSkinFonts::font(pixelSize, QFont::Bold));
    p.setPen(color);
    p.drawText(area, Qt::AlignCenter | Qt::TextSingleLine, text);
}

}  // namespace

QString CArtwork::stateName(State state) {
    switch (state) {
    case STATE_HOVER: return QStringLiteral("hover");
    case STATE_PRESSED: return QStringLiteral("pressed");
    case STATE_DISABLED: return QStringLiteral("disabled");
    default: return QStringLiteral("normal");
    }
}

template <typename Draw>
ButtonImages CArtwork::allStates(Draw draw) {
    ButtonImages images;
    images.normal = draw(STATE_NORMAL);
    images.hover = draw(STATE_HOVER);
    images.pressed = draw(STATE_PRESSED);
    images.disabled = draw(STATE_DISABLED);
    return images;
}

QPixmap CArtwork::appIconPixmap(int size, qreal dpr) {
    CCanvas canvas(size, size, dpr);
    QPainter& p = canvas.painter();
    p.scale(size / 64.0, size / 64.0);
    p.setPen(Qt::NoPen);
    // A screen on a stand, showing a record dot.
    p.setBrush(kBarGrey);
    p.drawRoundedRect(QRectF(3, 8, 58, 40), 7, 7);
    p.drawRect(QRectF(27, 46, 10, 7));
    p.drawRoundedRect(QRectF(17, 52, 30, 6), 3, 3);
    p.setBrush(QColor(0xF4, 0xF4, 0xF4));
    p.drawRoundedRect(QRectF(8, 13, 48, 30), 3.5, 3.5);
    p.setBrush(kRed);
    p.drawEllipse(QPointF(32, 28), 10, 10);
    return canvas.take();
}

QIcon CArtwork::appIcon() {
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) icon.addPixmap(appIconPixmap(size));
    return icon;
}

QPixmap CArtwork::barButton(BarButton button, State state, qreal dpr) {
    CCanvas canvas(BAR_CELL, BAR_CELL, dpr);
    QPainter& p = canvas.painter();
    if (state == STATE_DISABLED) {
        p.setOpacity(0.36);
        p.drawPixmap(QRect(0, 0, BAR_CELL, BAR_CELL), barButton(button, STATE_NORMAL, dpr));
        return canvas.take();
    }
    drawBarBackdrop(p, state);
    switch (button) {
    case BAR_START: drawStartGlyph(p, state); break;
    case BAR_STOP: drawStopGlyph(p, state); break;
    case BAR_PAUSE: drawPauseGlyph(p, state); break;
    case BAR_RESUME: drawResumeGlyph(p, state); break;
    case BAR_AUDIO_DEVICE: drawMicrophoneGlyph(p, state); break;
    case BAR_SETTINGS: drawSettingsGlyph(p, state); break;
    }
    return canvas.take();
}

ButtonImages CArtwork::barButtonImages(BarButton button, qreal dpr) {
    return allStates([&](State state) { return barButton(button, state, dpr); });
}

QPixmap CArtwork::stateIcon(int index, qreal dpr) {
    CCanvas canvas(STATE_CELL, STATE_CELL, dpr);
    QPainter& p = canvas.painter();
    p.setPen(Qt::NoPen);
    if (index == STATE_ICON_PAUSED) {
        p.setBrush(QColor(0x8C, 0x8C, 0x8C));
        p.drawEllipse(QPointF(10, 10), 8.5, 8.5);
        drawPauseBars(p, kWhite, QRectF(6.8, 6.2, 6.4, 7.6));
    } else {
        p.setBrush(faded(kRed, 70));
        p.drawEllipse(QPointF(10, 10), 8.5, 8.5);
        p.setBrush(kRed);
        p.drawEllipse(QPointF(10, 10), 5.5, 5.5);
    }
    return canvas.take();
}

QPixmap CArtwork::menuIcon(MenuIcon icon, qreal dpr) {
    CCanvas canvas(MENU_CELL, MENU_CELL, dpr);
    QPainter& p = canvas.painter();
    switch (icon) {
    case MENU_SETTINGS:
        p.setPen(Qt::NoPen);
        p.setBrush(kMenuGlyph);
        p.drawPath(gearPath(QPointF(8, 8), 7, 5, 2.2, 3, 8));
        break;
    case MENU_OPEN_FOLDER: {
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0x8A, 0x8A, 0x8A));
        QPainterPath back;
        back.moveTo(1.5, 13.5);
        back.lineTo(1.5, 3.5);
        back.quadTo(1.5, 2.5, 2.5, 2.5);
        back.lineTo(5.8, 2.5);
        back.lineTo(7.3, 4);
        back.lineTo(12.5, 4);
        back.quadTo(13.5, 4, 13.5, 5);
        back.lineTo(13.5, 13.5);
        back.closeSubpath();
        p.drawPath(back);
        p.setBrush(kMenuGlyph);
        QPainterPath front;
        front.moveTo(1.5, 13.5);
        front.lineTo(3.6, 6.8);
        front.lineTo(15.2, 6.8);
        front.lineTo(13.3, 13.5);
        front.closeSubpath();
        p.drawPath(front);
        break;
    }
    case MENU_EXIT: {
        p.setPen(roundPen(kMenuGlyph, 1.5));
        p.setBrush(Qt::NoBrush);
        QPainterPath door;
        door.moveTo(9.5, 5);
        door.lineTo(9.5, 2.5);
        door.lineTo(2.5, 2.5);
        door.lineTo(2.5, 13.5);
        door.lineTo(9.5, 13.5);
        door.lineTo(9.5, 11);
        p.drawPath(door);
        p.setPen(roundPen(kRed, 1.6));
        p.drawLine(QPointF(6, 8), QPointF(14, 8));
        QPainterPath head;
        head.moveTo(11.3, 5.3);
        head.lineTo(14, 8);
        head.lineTo(11.3, 10.7);
        p.drawPath(head);
        break;
    }
    }
    return canvas.take();
}

QPixmap CArtwork::aspectButton(bool sixteenNine, bool selected, State state, qreal dpr) {
    CCanvas canvas(ASPECT_WIDTH, ASPECT_HEIGHT, dpr);
    QPainter& p = canvas.painter();
    const QRectF frame(0.5, 0.5, ASPECT_WIDTH - 1, ASPECT_HEIGHT - 1);
    const bool disabled = state == STATE_DISABLED;
    QColor text = kWhite;
    if (selected) {
        QColor fill = kWhite;
        if (state == STATE_HOVER) fill = QColor(0xEE, 0xEE, 0xEE);
        if (state == STATE_PRESSED) fill = QColor(0xD6, 0xD6, 0xD6);
        if (disabled) fill = faded(kWhite, 90);
        p.setPen(Qt::NoPen);
        p.setBrush(fill);
        p.drawRoundedRect(frame, 3, 3);
        text = disabled ? faded(kBarGrey, 150) : kBarGrey;
    } else {
        QColor fill = Qt::transparent;
        if (state == STATE_HOVER) fill = QColor(255, 255, 255, 40);
        if (state == STATE_PRESSED) fill = QColor(0, 0, 0, 60);
        p.setPen(QPen(faded(kWhite, disabled ? 70 : 170), 1));
        p.setBrush(fill);
        p.drawRoundedRect(frame, 3, 3);
        text = disabled ? faded(kWhite, 90) : kWhite;
    }
    drawCentredText(p, QRectF(0, 0, ASPECT_WIDTH, ASPECT_HEIGHT), sixteenNine ? QStringLiteral("16:9") : QStringLiteral("4:3"),
                    10, text);
    return canvas.take();
}

ButtonImages CArtwork::aspectButtonImages(bool sixteenNine, bool selected, qreal dpr) {
    return allStates([&](State state) { return aspectButton(sixteenNine, selected, state, dpr); });
}

QPixmap CArtwork::dropArrow(bool onDark, State state, qreal dpr) {
    CCanvas canvas(DROP_ARROW_CELL, DROP_ARROW_CELL, dpr);
    QPainter& p = canvas.painter();
    QColor color = onDark ? kWhite : kBarGrey;
    if (state == STATE_HOVER) color = onDark ? kWhite : QColor(0x30, 0x30, 0x30);
    if (state == STATE_DISABLED) color = onDark ? faded(kWhite, 90) : QColor(0xC0, 0xC0, 0xC0);
    const qreal shift = state == STATE_PRESSED ? 1 : 0;
    p.setPen(roundPen(color, 1.8));
    QPainterPath chevron;
    chevron.moveTo(4.5, 6.5 + shift);
    chevron.lineTo(8, 10 + shift);
    chevron.lineTo(11.5, 6.5 + shift);
    p.drawPath(chevron);
    return canvas.take();
}

ButtonImages CArtwork::dropArrowImages(bool onDark, qreal dpr) {
    return allStates([&](State state) { return dropArrow(onDark, state, dpr); });
}

QPixmap CArtwork::checkBox(bool checked, State state, qreal dpr) {
    CCanvas canvas(CHECK_BOX_CELL, CHECK_BOX_CELL, dpr);
    QPainter& p = canvas.painter();
    const QRectF box(1.5, 1.5, 13, 13);
    if (checked) {
        QColor fill = kBarGrey;
        if (state == STATE_HOVER) fill = QColor(0x70, 0x70, 0x70);
        if (state == STATE_PRESSED) fill = QColor(0x48, 0x48, 0x48);
        if (state == STATE_DISABLED) fill = QColor(0xC8, 0xC8, 0xC8);
        p.setPen(Qt::NoPen);
        p.setBrush(fill);
        p.drawRoundedRect(QRectF(1, 1, 14, 14), 3, 3);
        p.setPen(roundPen(kWhite, 1.8));
        QPainterPath tick;
        tick.moveTo(4.2, 8.2);
        tick.lineTo(6.9, 10.9);
        tick.lineTo(11.9, 5.3);
        p.drawPath(tick);
    } else {
        QColor border(0xA0, 0xA0, 0xA0);
        QColor fill = kWhite;
        if (state == STATE_HOVER) border = kBarGrey;
        if (state == STATE_PRESSED) fill = QColor(0xEC, 0xEC, 0xEC);
        if (state == STATE_DISABLED) {
            border = QColor(0xD8, 0xD8, 0xD8);
            fill = QColor(0xF6, 0xF6, 0xF6);
        }
        p.setPen(QPen(border, 1));
        p.setBrush(fill);
        p.drawRoundedRect(box, 2.5, 2.5);
    }
    return canvas.take();
}

ButtonImages CArtwork::checkBoxImages(bool checked, qreal dpr) {
    return allStates([&](State state) { return checkBox(checked, state, dpr); });
}

QPixmap CArtwork::dialogButton(bool primary, State state, qreal dpr, int width) {
    CCanvas canvas(width, DIALOG_BUTTON_HEIGHT, dpr);
    QPainter& p = canvas.painter();
    if (primary) {
        QColor fill = kBarGrey;
        if (state == STATE_HOVER) fill = QColor(0x6C, 0x6C, 0x6C);
        if (state == STATE_PRESSED) fill = QColor(0x48, 0x48, 0x48);
        if (state == STATE_DISABLED) fill = QColor(0xC4, 0xC4, 0xC4);
        p.setPen(Qt::NoPen);
        p.setBrush(fill);
        p.drawRoundedRect(QRectF(0, 0, width, DIALOG_BUTTON_HEIGHT), 4, 4);
    } else {
        QColor fill = kWhite;
        QColor border(0xBD, 0xBD, 0xBD);
        if (state == STATE_HOVER) {
            fill = QColor(0xF3, 0xF3, 0xF3);
            border = QColor(0x9E, 0x9E, 0x9E);
        }
        if (state == STATE_PRESSED) {
            fill = QColor(0xE4, 0xE4, 0xE4);
            border = QColor(0x9E, 0x9E, 0x9E);
        }
        if (state == STATE_DISABLED) {
            fill = QColor(0xFA, 0xFA, 0xFA);
            border = QColor(0xE2, 0xE2, 0xE2);
        }
        p.setPen(QPen(border, 1));
        p.setBrush(fill);
        p.drawRoundedRect(QRectF(0.5, 0.5, width - 1, DIALOG_BUTTON_HEIGHT - 1), 4, 4);
    }
    return canvas.take();
}

ButtonImages CArtwork::dialogButtonImages(bool primary, qreal dpr, int width) {
    return allStates([&](State state) { return dialogButton(primary, state, dpr, width); });
}

QPixmap CArtwork::tipIcon(qreal dpr) {
    CCanvas canvas(TIP_ICON_CELL, TIP_ICON_CELL, dpr);
    QPainter& p = canvas.painter();
    p.setPen(Qt::NoPen);
    p.setBrush(kRed);
    p.drawEllipse(QPointF(12, 12), 11, 11);
    p.setBrush(kWhite);
    p.drawRoundedRect(QRectF(10.6, 5.5, 2.8, 8.5), 1.4, 1.4);
    p.drawEllipse(QPointF(12, 17.4), 1.7, 1.7);
    return canvas.take();
}

std::vector<std::pair<QString, QPixmap>> CArtwork::catalogue(qreal dpr) {
    std::vector<std::pair<QString, QPixmap>> all;
    for (int size : {16, 24, 32, 48}) all.emplace_back(QStringLiteral("app-icon-%1.png").arg(size), appIconPixmap(size, dpr));
    const char* barNames[] = {"start", "stop", "pause", "resume", "audio-device", "settings"};
    const State states[] = {STATE_NORMAL, STATE_HOVER, STATE_PRESSED, STATE_DISABLED};
    for (int b = BAR_START; b <= BAR_SETTINGS; ++b)
        for (State s : states)
            all.emplace_back(QStringLiteral("bar-%1-%2.png").arg(barNames[b], stateName(s)), barButton(BarButton(b), s, dpr));
    all.emplace_back(QStringLiteral("state-running.png"), stateIcon(STATE_ICON_RUNNING, dpr));
    all.emplace_back(QStringLiteral("state-paused.png"), stateIcon(STATE_ICON_PAUSED, dpr));
    all.emplace_back(QStringLiteral("menu-settings.png"), menuIcon(MENU_SETTINGS, dpr));
    all.emplace_back(QStringLiteral("menu-open-folder.png"), menuIcon(MENU_OPEN_FOLDER, dpr));
    all.emplace_back(QStringLiteral("menu-exit.png"), menuIcon(MENU_EXIT, dpr));
    all.emplace_back(QStringLiteral("tip-icon.png"), tipIcon(dpr));
    for (bool wide : {false, true})
        for (bool selected : {false, true})
            for (State s : states)
                all.emplace_back(QStringLiteral("aspect-%1-%2-%3.png")
                                     .arg(wide ? "16x9" : "4x3", selected ? "selected" : "plain", stateName(s)),
                                 aspectButton(wide, selected, s, dpr));
    for (bool dark : {true, false})
        for (State s : states)
            all.emplace_back(QStringLiteral("drop-arrow-%1-%2.png").arg(dark ? "dark" : "light", stateName(s)),
                             dropArrow(dark, s, dpr));
    for (bool checked : {false, true})
        for (State s : states)
            all.emplace_back(QStringLiteral("check-%1-%2.png").arg(checked ? "on" : "off", stateName(s)), checkBox(checked, s, dpr));
    for (bool primary : {true, false})
        for (State s : states)
            all.emplace_back(QStringLiteral("dialog-%1-%2.png").arg(primary ? "primary" : "secondary", stateName(s)),
                             dialogButton(primary, s, dpr));
    return all;
}
