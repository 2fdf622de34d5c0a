// CEncodedSize: the picture size a recording is encoded at, from the capture
// rectangle and the record mode. Regions keep their own size up to 720 wide
// in 16:9 and 600 wide in 4:3 and are scaled down to 1280x720 or 800x600
// above; full screen is always 1280x720. Both sides are then rounded down to
// multiples of 16.
#pragma once

struct EncodedSize {
    int width = 0;
    int height = 0;
};

class CEncodedSize {
public:
    static EncodedSize compute(int captureWidth, int captureHeight, bool regionMode, bool aspect16x9);
};
