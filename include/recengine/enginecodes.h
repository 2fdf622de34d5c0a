// Result codes of the recording engine. The numbers are part of the
// interface (callers compare against them, logs carry them) and never change.
#pragma once

#include <cstdint>

// What the IOrvixAvRecordInterface operations return. 3 and 11 are not used.
enum OrvixRecordResult : std::uint32_t {
    ORVIX_OK = 0,
    ORVIX_ERR_BAD_ARGUMENT = 1,        // invalid argument
    ORVIX_ERR_BUSY = 2,                // initialised or recording already
    ORVIX_ERR_INIT_FAILED = 4,         // a component failed to initialise (or no Init before)
    ORVIX_ERR_CAPTURE_START = 5,       // a capture failed to start
    ORVIX_ERR_CAPTURE_STOP = 6,        // a capture failed to stop
    ORVIX_ERR_MUXER_INIT = 7,          // a muxer failed to initialise
    ORVIX_ERR_ENCODER_START = 8,       // an encoder failed to start
    ORVIX_ERR_VIDEO_ENCODER_STOP = 9,  // the video encoder failed to stop
    ORVIX_ERR_AUDIO_ENCODER_STOP = 10, // the audio encoder failed to stop
    ORVIX_ERR_MUXER_STOP = 12,         // a muxer failed to stop
};

// What the muxers' Init returns (the engine logs it and returns
// ORVIX_ERR_MUXER_INIT).
enum MuxInitResult : int {
    MUX_INIT_OK = 0,
    MUX_INIT_NO_OUTPUT = -100,      // no FLV writer, or the dump file did not open
    MUX_INIT_WRITER_FAILED = -99,   // the FLV writer's Init failed
    MUX_INIT_METADATA = -98,        // the provisional onMetaData was not written
    MUX_INIT_AUDIO_STREAM = -97,    // the audio stream was not declared
    MUX_INIT_VIDEO_STREAM = -96,    // the video stream was not declared
    MUX_INIT_NO_THREAD = -95,       // the writer thread did not start, or runs already
};
