// The pictures: sizes, device pixel ratios, real transparency; every one is
// written as PNG into the build folder's artwork/ for looking at.
#include <gtest/gtest.h>

#include <QDir>
#include <QImage>
#include <QPainter>

#include "artwork.h"
#include "skinfonts.h"

namespace {

// The pictures on sheets of 24, on the backgrounds they are made for (the
// bar's grey or the light menu and dialogs), at three times their size.
void writeContactSheets(const QString& folder) {
    const auto all = CArtwork::catalogue(3.0);
    constexpr int kCellWidth = 3 * 96;
    constexpr int kCellHeight = 3 * 48;
    constexpr int kColumns = 6;
    constexpr int kPerSheet = 24;
    for (size_t first = 0; first < all.size(); first += kPerSheet) {
        QImage sheet(kColumns * kCellWidth, (kPerSheet / kColumns) * kCellHeight, QImage::Format_ARGB32);
        sheet.fill(Qt::white);
        QPainter painter(&sheet);
        for (size_t i = first; i < std::min(all.size(), first + kPerSheet); ++i) {
            const QString& name = all[i].first;
            const QPixmap& pixmap = all[i].second;
            const int slot = static_cast<int>(i - first);
            const QRect cell((slot % kColumns) * kCellWidth, (slot / kColumns) * kCellHeight, kCellWidth, kCellHeight);
            const bool dark = name.startsWith("bar-") || name.startsWith("aspect-") ||
                              name.startsWith("drop-arrow-dark") || name.startsWith("state-");
            painter.fillRect(cell, dark ? QColor(0x5C, 0x5C, 0x5C) : QColor(0xFC, 0xFC, 0xFC));
            const QSize size = pixmap.size().scaled(pixmap.size().boundedTo(QSize(kCellWidth, kCellHeight - 24)), Qt::KeepAspectRatio);
            painter.drawPixmap(QRect(QPoint(cell.left() + (kCellWidth - size.width()) / 2, cell.top() + 4), size), pixmap);
            painter.setPen(dark ? Qt::white : Qt::black);
            painter.drawText(cell.adjusted(4, 0, -4, -4), Qt::AlignBottom | Qt::AlignHCenter, name);
        }
        painter.end();
        sheet.save(QStringLiteral("%1/sheet-%2.png").arg(folder).arg(first / kPerSheet + 1));
    }
}

TEST(Artwork, SizesAlphaAndFiles) {
    for (qreal dpr : {1.0, 2.0}) {
        const auto all = CArtwork::catalogue(dpr);
        ASSERT_GT(all.size(), 70u);
        const QString folder = QStringLiteral(TOLVANE_ARTWORK_DIR) + (dpr > 1 ? "/2x" : "");
        ASSERT_TRUE(QDir().mkpath(folder));
        for (const auto& [name, pixmap] : all) {
            ASSERT_FALSE(pixmap.isNull()) << name.toStdString();
            EXPECT_EQ(pixmap.devicePixelRatio(), dpr);
            const QImage image = pixmap.toImage();
            EXPECT_TRUE(image.hasAlphaChannel()) << name.toStdString();
            EXPECT_TRUE(pixmap.save(folder + "/" + name)) << name.toStdString();
        }
    }
    writeContactSheets(QStringLiteral(TOLVANE_ARTWORK_DIR));
    EXPECT_EQ(CArtwork::barButton(CArtwork::BAR_START, CArtwork::STATE_NORMAL, 2.0).size(), QSize(64, 64));
    EXPECT_EQ(CArtwork::stateIcon(0).deviceIndependentSize().toSize(), QSize(20, 20));
    EXPECT_EQ(CArtwork::menuIcon(CArtwork::MENU_EXIT).deviceIndependentSize().toSize(), QSize(16, 16));
    EXPECT_EQ(CArtwork::aspectButton(true, true, CArtwork::STATE_NORMAL).deviceIndependentSize().toSize(), QSize(30, 16));
    EXPECT_EQ(CArtwork::dialogButton(true, CArtwork::STATE_NORMAL).deviceIndependentSize().toSize(), QSize(84, 32));
}

TEST(Artwork, CornersAreTransparentAndGlyphsAreNot) {
    const QImage start = CArtwork::barButton(CArtwork::BAR_START, CArtwork::STATE_NORMAL).toImage();
    EXPECT_EQ(qAlpha(start.pixel(0, 0)), 0);
    const QRgb centre = start.pixel(16, 16);
    EXPECT_EQ(qAlpha(centre), 255);
    EXPECT_GT(qRed(centre), 0xE0) << "the record dot is red";
    EXPECT_LT(qGreen(centre), 0x80);
    const QImage gear = CArtwork::barButton(CArtwork::BAR_SETTINGS, CArtwork::STATE_NORMAL).toImage();
    EXPECT_EQ(qAlpha(gear.pixel(16, 16)), 0) << "the gear has a hole";
    const QImage disabled = CArtwork::barButton(CArtwork::BAR_STOP, CArtwork::STATE_DISABLED).toImage();
    EXPECT_LT(qAlpha(disabled.pixel(16, 16)), 128) << "disabled glyphs are faint";
    EXPECT_FALSE(CArtwork::appIcon().availableSizes().isEmpty());
}

TEST(SkinFonts, BarFontsArePixelSized) {
    CSkinFonts fonts;
    EXPECT_EQ(fonts.normalFont().pixelSize(), 20);
    EXPECT_EQ(fonts.boldFont().pixelSize(), 20);
    EXPECT_EQ(fonts.boldFont().weight(), QFont::Bold);
    EXPECT_NE(fonts.normalFont().weight(), QFont::Bold);
}

}  // namespace
