// CPipeWireStream: the video of a screen-cast portal session: a PipeWire
// stream on the portal's remote whose newest buffer is kept as a BGRA picture
// (shared-memory buffers; any of BGRx, BGRA, RGBx, RGBA). PipeWire's own
// thread receives the buffers; any other thread reads the newest picture.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class CPipeWireStream {
public:
    // Null with `error` set when the remote (a socket taken over, closed
    // with the stream; -1: PipeWire's own socket, as PIPEWIRE_REMOTE or
    // $XDG_RUNTIME_DIR/pipewire-0 name it) or the node cannot be connected.
    static std::unique_ptr<CPipeWireStream> Connect(int fd, std::uint32_t node, std::string& error);
    ~CPipeWireStream();
    CPipeWireStream(const CPipeWireStream&) = delete;
    CPipeWireStream& operator=(const CPipeWireStream&) = delete;

    // Waits up to timeoutMs for the first picture; false when none came.
    bool WaitFirstPicture(int timeoutMs);
    // Calls `use` with the newest picture (B, G, R, x rows, top-down) while
    // holding it; false (use not called) before the first picture.
    bool UseLatest(const std::function<void(const std::uint8_t* bits, int width, int height, int stride)>& use);
    // False once the stream or its remote ended or failed.
    bool IsAlive() const { return !m_bLost.load(); }
    std::uint64_t Pictures() const { return m_nPictures.load(); }

    struct Impl;  // PipeWire's objects and callbacks

private:
    CPipeWireStream();
    std::unique_ptr<Impl> m_pImpl;
    std::atomic<bool> m_bLost{false};
    std::atomic<std::uint64_t> m_nPictures{0};
    friend struct Impl;
};
