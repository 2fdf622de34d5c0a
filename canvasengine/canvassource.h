// CCanvasSource: a source of a canvas: its area on the canvas, its gamma and
// the callback that draws it.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "canvasengine/obsenginecanvas.h"
#include "gammatable.h"

class CCanvasSource : public IOBSEngineSource {
public:
    // callbackMutex: the canvas's lock around its callbacks, taken to swap the sink.
    CCanvasSource(std::string name, std::recursive_mutex& callbackMutex);
    virtual ~CCanvasSource() = default;
    CCanvasSource(const CCanvasSource&) = delete;
    CCanvasSource& operator=(const CCanvasSource&) = delete;

    void SetPosition(int x, int y) override;
    void SetSize(int width, int height) override;
    void SetGamma(int value) override;
    void SetDsSourceSink(OBSEngineDsSourceSink* sink) override;

    struct Params {
        int nX = 0;
        int nY = 0;
        int nWidth = 0;
        int nHeight = 0;
        CGammaTable gamma;
    };
    Params GetParams() const;
    // Read under the canvas's callback lock.
    OBSEngineDsSourceSink* GetSink() const { return m_pSink; }
    const std::string& GetName() const { return m_strName; }
    // Set when the canvas drops the source; a removed source is not drawn.
    void MarkRemoved() { m_bRemoved.store(true); }
    bool IsRemoved() const { return m_bRemoved.load(); }

private:
    const std::string m_strName;
    std::recursive_mutex& m_callbackMutex;
    mutable std::mutex m_mutex;  // the area and the gamma
    int m_nX = 0;
    int m_nY = 0;
    int m_nWidth = 0xFFFF;
    int m_nHeight = 0xFFFF;
    CGammaTable m_gamma;
    OBSEngineDsSourceSink* m_pSink = nullptr;
    std::atomic<bool> m_bRemoved{false};
};
