// CAudioDeviceEnum: the engine's view of the sound server's endpoints.
//
// Inputs are the PulseAudio sources that are not monitors, outputs are the
// sinks (captured later through their monitor). An endpoint's ID is the
// source or sink name, its friendly name the description, and the default
// is the server's default source or sink.
//
// The enumerator owns a threaded loop and a server connection (pulse/).
// Init creates them and starts a first connection attempt, but does not need
// a server: without one the listings fail (negative counts, false lists),
// and every listing tries to connect again, so a server that comes back is
// found by the next listing. While disconnected the connection also retries
// in the background.
//
// Notifications: each source (not monitor) or sink that appears or goes
// away reaches IDeviceChangedSink::OnDeviceChanged once, on the thread that
// called Init, through that thread's CMessageQueue (its owner pumps it).
// Losing the server, and finding it again after a loss or a failed first
// attempt, also notify once, since the device set changed. Video devices are
// not watched.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "enginetypes.h"

class CPulseConnection;
class CPulseThreadedLoop;

class CAudioDeviceEnum {
public:
    CAudioDeviceEnum();
    virtual ~CAudioDeviceEnum();
    CAudioDeviceEnum(const CAudioDeviceEnum&) = delete;
    CAudioDeviceEnum& operator=(const CAudioDeviceEnum&) = delete;

    virtual bool Init(IDeviceChangedSink* pSink);
    // The number of endpoints, or -1 (no Init), -2 (server unreachable or
    // the query refused), -3 (the query did not complete).
    virtual int GetInputDeviceNum();
    virtual bool GetInputDeviceList(DeviceEntryMap& devices);
    virtual int GetOutputDeviceNum();
    virtual bool GetOutputDeviceList(DeviceEntryMap& devices);
    // idBuffer: room for 128 bytes; gets the NUL-terminated ID of the first
    // endpoint (in listing order) whose friendly name equals `name`.
    virtual bool GetDeviceIdByName(char* idBuffer, bool bInput, const char* name);

    // The last libpulse error code seen (0 when none).
    int GetLastResult() const { return m_nLastResult; }

private:
    struct Endpoint {
        std::string id;
        std::string name;
    };
    using EndpointList = std::vector<Endpoint>;
    class CNotifyTarget;

    int _GetInputDeviceNum(EndpointList& endpoints);
    int _GetOutputDeviceNum(EndpointList& endpoints);
    bool _GetInputDeviceList(const EndpointList& endpoints, int count, DeviceEntryMap& devices);
    bool _GetOutputDeviceList(const EndpointList& endpoints, int count, DeviceEntryMap& devices);
    int _CountEndpoints(bool bInput, EndpointList& endpoints);
    bool _ListEndpoints(bool bInput, const EndpointList& endpoints, int count,
                        DeviceEntryMap& devices);
    // Asks the server for its default source (bInput) or sink; 0 or an error.
    int _GetDefaultName(bool bInput, std::string& name);
    // On the loop: the connection became ready, failed or was lost.
    void _OnConnectionState(bool bReady, bool bWasReady, int error);
    void _PostNotify();

    std::atomic<int> m_nLastResult{0};
    std::unique_ptr<CPulseThreadedLoop> m_mmEnumerator;  // the loop; null until Init
    std::unique_ptr<CPulseConnection> m_pConnection;     // on m_mmEnumerator
    std::shared_ptr<CNotifyTarget> m_pTarget;            // the sink and the Init thread's queue

    // Under the loop's lock.
    bool m_bNotifyOnReady = false;  // the next connection is news for the sink
};
