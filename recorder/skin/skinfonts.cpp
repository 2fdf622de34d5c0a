#include "skinfonts.h"

#include <QFontDatabase>
#include <QGuiApplication>

#include "languagetable.h"

CSkinFonts::CSkinFonts()
    : m_normal(font(BAR_PIXEL_SIZE, QFont::Normal)), m_bold(font(BAR_PIXEL_SIZE, QFont::Bold)) {}

QString CSkinFonts::familyName() {
    // Traditional Chinese texts read best in the TC variant; every variant
    // covers Latin text.
    const bool traditional = CLanguageTable::instance().languageIndex() == CLanguageTable::LANGUAGE_TRADITIONAL_CHINESE;
    const QString preferred = traditional ? QStringLiteral("Noto Sans CJK TC") : QStringLiteral("Noto Sans CJK SC");
    const QStringList families = QFontDatabase::families();
    if (families.contains(preferred)) return preferred;
    for (const QString& family : families)
        if (family.startsWith(QStringLiteral("Noto Sans CJK"))) return family;
    return QString();
}

QFont CSkinFonts::font(int pixelSize, QFont::Weight weight) {
    QFont result = QGuiApplication::font();
    const QString family = familyName();
    if (!family.isEmpty()) result.setFamilies({family});
    result.setPixelSize(pixelSize);
    result.setWeight(weight);
    return result;
}
