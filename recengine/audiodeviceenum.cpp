#include "audiodeviceenum.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "basekit/logwrapper.h"
#include "basekit/messagequeue.h"
#include "pulse/pulseconnection.h"
#include "pulse/pulseloop.h"

namespace {

constexpr std::uint64_t kQueryTimeoutUs = 3 * 1000 * 1000;

}  // namespace

// The sink and the queue of the Init thread. Shared with the messages in
// flight, so that a message that runs after the enumerator is gone finds no
// sink instead of a dead object.
class CAudioDeviceEnum::CNotifyTarget : public std::enable_shared_from_this<CNotifyTarget> {
public:
    void SetSink(IDeviceChangedSink* pSink) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_pSink = pSink;
    }
    void SetQueue(std::shared_ptr<CMessageQueue> pQueue) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_pQueue = std::move(pQueue);
    }
    void Detach() {
        std::lock_guard<std::mutex> lock(m_lock);
        m_pSink = nullptr;
        m_pQueue.reset();
    }
    // Any thread: one OnDeviceChanged, later, on the queue's thread.
    void Post() {
        std::shared_ptr<CMessageQueue> pQueue;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            pQueue = m_pQueue;
        }
        if (pQueue) {
            pQueue->Post([self = shared_from_this()] { self->OnDeviceChange(); });
        }
    }

private:
    void OnDeviceChange() {
        UC_LOG_THIS(CLogWrapper::LOG_INFO, "Entry");
        IDeviceChangedSink* pSink;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            pSink = m_pSink;
        }
        if (pSink) pSink->OnDeviceChanged();
    }

    std::mutex m_lock;
    IDeviceChangedSink* m_pSink = nullptr;
    std::shared_ptr<CMessageQueue> m_pQueue;
};

CAudioDeviceEnum::CAudioDeviceEnum() : m_pTarget(std::make_shared<CNotifyTarget>()) {}

CAudioDeviceEnum::~CAudioDeviceEnum() {
    m_pTarget->Detach();
    if (m_mmEnumerator) {
        m_mmEnumerator->Lock();
        m_pConnection->Close();
        m_mmEnumerator->Unlock();
        m_mmEnumerator->Stop();
        m_pConnection.reset();
        m_mmEnumerator.reset();
    }
}

bool CAudioDeviceEnum::Init(IDeviceChangedSink* pSink) {
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "Entry");
    m_pTarget->SetSink(pSink);
    // Notifications go to the calling thread's queue; without one (no
    // eventfd) the enumerator still lists.
    CMessageQueue* pQueue = CMessageQueue::ForCurrentThread();
    m_pTarget->SetQueue(pQueue ? pQueue->shared_from_this() : nullptr);

    if (m_mmEnumerator) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- NULL != m_mmEnumerator");
        return true;
    }
    auto loop = std::make_unique<CPulseThreadedLoop>();
    if (!loop->Create("devenum")) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR,
                    " --- instance CLSID_MMDeviceEnumerator fail errorcode=" << int(PULSE_ERR_INTERNAL));
        return false;
    }
    auto connection = std::make_unique<CPulseConnection>(*loop, "Tolvane");
    connection->SetReconnect(true);
    connection->SetObserver(
        [this](bool bReady, bool bWasReady, int error) { _OnConnectionState(bReady, bWasReady, error); });
    connection->WatchEndpoints([this] { _PostNotify(); });
    // A first attempt, so that notifications flow without a listing; its
    // outcome does not matter here. It is made before the loop runs, so the
    // library's lazily created internals come into being on this thread.
    connection->StartConnect();
    m_pConnection = std::move(connection);
    m_mmEnumerator = std::move(loop);
    if (!m_mmEnumerator->Start()) {
        m_pConnection.reset();
        m_mmEnumerator.reset();
        UC_LOG_THIS(CLogWrapper::LOG_ERROR,
                    " --- instance CLSID_MMDeviceEnumerator fail errorcode=" << int(PULSE_ERR_INTERNAL));
        return false;
    }
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "Exit ok");
    return true;
}

int CAudioDeviceEnum::GetInputDeviceNum() {
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "Entry (Input)");
    EndpointList endpoints;
    return _GetInputDeviceNum(endpoints);
}

int CAudioDeviceEnum::GetOutputDeviceNum() {
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "Entry (Output)");
    EndpointList endpoints;
    return _GetOutputDeviceNum(endpoints);
}

bool CAudioDeviceEnum::GetInputDeviceList(DeviceEntryMap& devices) {
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "Entry (Input)");
    devices.clear();
    EndpointList endpoints;
    int count = _GetInputDeviceNum(endpoints);
    if (count < 0) return false;
    return _GetInputDeviceList(endpoints, count, devices);
}

bool CAudioDeviceEnum::GetOutputDeviceList(DeviceEntryMap& devices) {
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "Entry (Output)");
    devices.clear();
    EndpointList endpoints;
    int count = _GetOutputDeviceNum(endpoints);
    if (count < 0) return false;
    return _GetOutputDeviceList(endpoints, count, devices);
}

bool CAudioDeviceEnum::GetDeviceIdByName(char* idBuffer, bool bInput, const char* name) {
    if (!idBuffer || !name) return false;
    DeviceEntryMap devices;
    if (bInput) {
        GetInputDeviceList(devices);
    } else {
        GetOutputDeviceList(devices);
    }
    if (devices.empty()) return false;
    for (const auto& [index, entry] : devices) {
        if (std::strcmp(entry.name, name) == 0) {
            std::size_t n = strnlen(entry.id, sizeof(entry.id) - 1);
            std::memcpy(idBuffer, entry.id, n);
            idBuffer[n] = '\0';
            return true;
        }
    }
    return false;
}

int CAudioDeviceEnum::_GetInputDeviceNum(EndpointList& endpoints) {
    return _CountEndpoints(true, endpoints);
}

int CAudioDeviceEnum::_GetOutputDeviceNum(EndpointList& endpoints) {
    return _CountEndpoints(false, endpoints);
}

bool CAudioDeviceEnum::_GetInputDeviceList(const EndpointList& endpoints, int count,
                                           DeviceEntryMap& devices) {
    return _ListEndpoints(true, endpoints, count, devices);
}

bool CAudioDeviceEnum::_GetOutputDeviceList(const EndpointList& endpoints, int count,
                                            DeviceEntryMap& devices) {
    return _ListEndpoints(false, endpoints, count, devices);
}

int CAudioDeviceEnum::_CountEndpoints(bool bInput, EndpointList& endpoints) {
    if (!m_mmEnumerator) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- WTF!!!! NULL == m_mmEnumerator");
        return -1;
    }
    endpoints.clear();
    std::vector<CPulseConnection::Endpoint> found;
    bool queried = false;
    m_mmEnumerator->Lock();
    int err = m_pConnection->ListEndpoints(bInput, CPulseLoop::DeadlineIn(kQueryTimeoutUs), found, queried);
    m_mmEnumerator->Unlock();
    if (err != 0) {
        m_nLastResult = err;
        if (!queried) {
            UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- EnumAudioEndpoints fail, errorcode=" << err);
            return -2;
        }
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- GetCount fail, errorcode=" << err);
        return -3;
    }
    for (auto& endpoint : found) endpoints.push_back({std::move(endpoint.id), std::move(endpoint.name)});
    const int count = static_cast<int>(endpoints.size());
    UC_LOG_THIS(CLogWrapper::LOG_INFO, " --- device num=" << count);
    return count;
}

int CAudioDeviceEnum::_GetDefaultName(bool bInput, std::string& name) {
    m_mmEnumerator->Lock();
    int err = m_pConnection->GetDefaultEndpoint(bInput, CPulseLoop::DeadlineIn(kQueryTimeoutUs), name);
    m_mmEnumerator->Unlock();
    if (err != 0) m_nLastResult = err;
    return err;
}

bool CAudioDeviceEnum::_ListEndpoints(bool bInput, const EndpointList& endpoints, int count,
                                      DeviceEntryMap& devices) {
    devices.clear();
    // Without an endpoint of this kind there is no default endpoint either.
    if (count <= 0 || endpoints.empty()) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR,
                    " --- GetDefaultAudioEndpoint fail, errorcode=" << int(PULSE_ERR_NOENTITY));
        return false;
    }
    std::string defaultId;
    int err = _GetDefaultName(bInput, defaultId);
    if (err != 0) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- GetDefaultAudioEndpoint fail, errorcode=" << err);
        return false;
    }
    bool bMarked = false;
    const int n = std::min<int>(count, static_cast<int>(endpoints.size()));
    for (int i = 0; i < n; ++i) {
        DeviceEntry& entry = devices[i];
        entry = DeviceEntry{};
        CopyDeviceText(entry.name, endpoints[i].name);
        CopyDeviceText(entry.id, endpoints[i].id);
        entry.isDefault = !bMarked && endpoints[i].id == defaultId;
        if (entry.isDefault) bMarked = true;
    }
    // A default that is not among the endpoints (a monitor, or none set):
    // the first endpoint stands in.
    if (!bMarked && !devices.empty()) devices.begin()->second.isDefault = true;
    return true;
}

// ---- on the loop (lock held) ----

void CAudioDeviceEnum::_OnConnectionState(bool bReady, bool bWasReady, int error) {
    if (bReady) {
        if (m_bNotifyOnReady) {
            m_bNotifyOnReady = false;
            _PostNotify();
        }
        return;
    }
    m_nLastResult = error;
    if (bWasReady) _PostNotify();  // the server and its devices are gone
    m_bNotifyOnReady = true;
}

void CAudioDeviceEnum::_PostNotify() {
    m_pTarget->Post();
}
