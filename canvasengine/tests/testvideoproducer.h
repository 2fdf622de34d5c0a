// CTestVideoProducer: a PipeWire video source of the tests ("Video/Source",
// BGRx, driving itself at 30 pictures per second) whose pictures are four
// quadrants of known colours, changeable while it runs. It stands in for a
// compositor's screen cast. Its own PipeWire thread produces the pictures.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

class CTestVideoProducer {
public:
    CTestVideoProducer();
    ~CTestVideoProducer();
    CTestVideoProducer(const CTestVideoProducer&) = delete;
    CTestVideoProducer& operator=(const CTestVideoProducer&) = delete;

    // Connects over `fd` (a connected PipeWire socket, taken over) and waits
    // until the node has its id; false with the reason otherwise.
    bool Start(int fd, int width, int height, std::string& why);
    std::uint32_t NodeId() const { return m_dwNode.load(); }
    // Quadrants top-left, top-right, bottom-left, bottom-right as 0xRRGGBB.
    void SetQuadrants(const std::array<std::uint32_t, 4>& rgb);
    // Disconnects the stream (the consumer sees its source vanish).
    void Stop();
    std::uint64_t Produced() const { return m_nProduced.load(); }

    struct Impl;

private:
    std::unique_ptr<Impl> m_pImpl;
    std::atomic<std::uint32_t> m_dwNode;
    std::atomic<std::uint64_t> m_nProduced{0};
    std::array<std::atomic<std::uint32_t>, 4> m_quadrants{};
    friend struct Impl;
};
