#include "encodedsize.h"

namespace {

constexpr int kFullWidth = 1280, kFullHeight = 720;

// Down to a multiple of 16, but never below one block.
int roundDown16(int value) {
    int rounded = value / 16 * 16;
    return rounded < 16 ? 16 : rounded;
}

}  // namespace

EncodedSize CEncodedSize::compute(int captureWidth, int captureHeight, bool regionMode, bool aspect16x9) {
    EncodedSize size{captureWidth, captureHeight};
    if (captureWidth <= 0 || captureHeight <= 0) size = {kFullWidth, kFullHeight};
    if (regionMode) {
        if (aspect16x9 && size.width > 720) size = {kFullWidth, kFullHeight};
        if (!aspect16x9 && size.width > 600) size = {800, 600};
    } else {
        size = {kFullWidth, kFullHeight};
    }
    return {roundDown16(size.width), roundDown16(size.height)};
}
