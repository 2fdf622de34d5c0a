// CPulseRecordStream: one record stream (S16LE) on a CPulseConnection whose
// loop is a CPulsePollLoop, opened corked, never moved to another device (so
// that a device that goes away ends it), with automatic timing updates.
//
// Threads: Open on the thread driving the loop while the stream is set up;
// afterwards one thread at a time drives the loop and calls the rest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "pulseconnection.h"

struct pa_stream;

class CPulseRecordStream {
public:
    // The stream buffers up to 5 s and is read in 10 ms fragments.
    static constexpr std::uint64_t kBufferUs = 5 * 1000 * 1000;
    static constexpr std::uint64_t kFragmentUs = 10 * 1000;

    explicit CPulseRecordStream(CPulseConnection& connection) : m_connection(connection) {}
    // Disconnects and releases the stream.
    ~CPulseRecordStream();
    CPulseRecordStream(const CPulseRecordStream&) = delete;
    CPulseRecordStream& operator=(const CPulseRecordStream&) = delete;

    // Creates the stream named `name`; false (LastError tells why) when the
    // server connection refuses.
    bool Create(const char* name, std::uint32_t rate, std::uint32_t channels);
    // Connects it to `source` and waits until it is ready; 0 or an error.
    int ConnectRecord(const std::string& source, std::uint64_t deadlineUs);
    // Uncorks it and waits for the server's answer, the deadline or
    // stop(); 0 or an error.
    int Start(std::uint64_t deadlineUs, const std::function<bool()>& stop);
    void SetOverflowCallback(std::function<void()> onOverflow);

    bool IsReady() const;
    // Bytes ready to read, or (size_t)-1 on a failure.
    std::size_t Readable() const;
    // The next fragment; data null for a hole. False on a failure.
    bool Peek(const void*& data, std::size_t& bytes);
    void Drop();
    // The server's part of the record latency as it last reported it:
    // `sourceUs`, the source's and the transport's latency, and `sinkUs`, on
    // a sink's monitor the sink's latency (the monitor has the sound when the
    // sink mixes it, that long before it plays; 0 on other sources). False
    // when there is no report yet.
    bool ServerLatencyUs(std::uint64_t& sourceUs, std::uint64_t& sinkUs) const;
    int LastError() const;

private:
    CPulseConnection& m_connection;
    pa_stream* m_pStream = nullptr;
    std::function<void()> m_onOverflow;
};
