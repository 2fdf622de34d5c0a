// ButtonImages: the pictures of a skinned control, one per look. An empty
// pixmap means "use the normal picture".
#pragma once

#include <QPixmap>

struct ButtonImages {
    QPixmap normal;
    QPixmap hover;
    QPixmap pressed;
    QPixmap disabled;

    bool isEmpty() const { return normal.isNull(); }
    // The picture for a look, falling back to the normal one.
    const QPixmap& pick(bool enabled, bool pressedLook, bool hoverLook) const {
        const QPixmap* chosen = &normal;
        if (!enabled) chosen = &disabled;
        else if (pressedLook) chosen = &pressed;
        else if (hoverLook) chosen = &hover;
        return chosen->isNull() ? normal : *chosen;
    }
};
