// CSkinFonts: the program's fonts. The bar has two, of pixel size 20: one of
// normal weight (state text) and one of weight 700 (clock). The family is
// Noto Sans CJK where installed (the variant of the language in use), else
// the default UI font. The dialogs use the same family at smaller sizes.
#pragma once

#include <QFont>
#include <QString>

class CSkinFonts {
public:
    enum { BAR_PIXEL_SIZE = 20 };

    // Needs a running QGuiApplication.
    CSkinFonts();

    const QFont& normalFont() const { return m_normal; }
    const QFont& boldFont() const { return m_bold; }

    // The family for the language of the language table; empty: the
    // default UI font.
    static QString familyName();
    // A font of the family at pixelSize and weight.
    static QFont font(int pixelSize, QFont::Weight weight = QFont::Normal);

private:
    QFont m_normal;
    QFont m_bold;
};
