"""The engine's x264 settings, for the peers the benchmarks run beside tolvane-rec.

X264_PARAMS goes to ffmpeg's -x264-params (with -preset veryfast -tune
zerolatency -threads 2 and the bit rate on its own options);
SSR_X264_PARAMS is the part SimpleScreenRecorder's encoder options cannot
say otherwise. Both follow codecs/videokit/x264encoder.cpp: no B-frames, no
lookahead, no mb-tree, key frames at most 300 pictures apart, psy off, the
quantiser at least 16 (without that floor a still screen is re-coded for
ever at quantiser 0).
"""

X264_PARAMS = ("sliced-threads=1:keyint=300:min-keyint=1:bframes=0:rc-lookahead=0:sync-lookahead=0:mbtree=0:"
               "psy=0:deblock=-1,-1:colorprim=bt709:transfer=bt709:colormatrix=bt709:repeat-headers=0:qpmin=16")
SSR_X264_PARAMS = "psy=0:mbtree=0:rc-lookahead=0:qpmin=16"
