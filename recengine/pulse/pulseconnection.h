// CPulseConnection: one connection (pa_context) to the sound server on a
// CPulseLoop, with the queries the engine makes of it: the source and sink
// listing, the server's defaults, one endpoint's format, and a watch of the
// endpoints that come and go.
//
// Threads: every call is made where libpulse calls on the loop may be made
// (CPulseLoop); the observer and the watch callback run on the loop (a
// threaded loop's thread, or the thread driving a poll loop). The loop
// outlives the connection. Results are 0 or a libpulse error code (PA_ERR_*).
//
// Reconnecting (SetReconnect): after a failed attempt or a lost connection
// the next attempt is made on the loop after 1 s, then 2, 4 and 8 s apart,
// until one succeeds; the delay starts again at 1 s after a success.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "pulseloop.h"

struct pa_context;
struct pa_time_event;

class CPulseConnection {
public:
    // A source (bInput) or sink: its name (the endpoint ID) and description.
    struct Endpoint {
        std::string id;
        std::string name;
    };
    // The format of one endpoint; for a sink also its monitor source.
    struct EndpointFormat {
        bool bValidSpec = false;
        std::uint32_t rate = 0;
        std::uint32_t channels = 0;
        std::string monitorSource;
    };
    // Called on the loop when the connection became ready (bReady), or when
    // an attempt failed or a ready connection was lost (bWasReady then tells
    // which, and error is the failure's code).
    using StateObserver = std::function<void(bool bReady, bool bWasReady, int error)>;

    CPulseConnection(CPulseLoop& loop, std::string clientName);
    // Disconnects (Close).
    ~CPulseConnection();
    CPulseConnection(const CPulseConnection&) = delete;
    CPulseConnection& operator=(const CPulseConnection&) = delete;

    void SetObserver(StateObserver observer) { m_observer = std::move(observer); }
    void SetReconnect(bool bReconnect) { m_bReconnect = bReconnect; }
    // Watches sinks and non-monitor sources: onChange for each one that
    // appears or goes away (takes effect with the next ready connection).
    void WatchEndpoints(std::function<void()> onChange) { m_onEndpointChange = std::move(onChange); }

    // Starts an attempt unless one is under way or the connection is ready,
    // without waiting; 0 or the error of a failed start.
    int StartConnect();
    // Starts an attempt when needed and waits until the connection is ready
    // (0), fails, or the deadline passes (PA_ERR_TIMEOUT).
    int Connect(std::uint64_t deadlineUs);
    bool IsReady() const { return m_bReady; }
    // The error of the last failure seen (0 when none).
    int LastError() const { return m_nLastError; }
    // The context's own error code (pa_context_errno), LastError without one.
    int ContextError() const;
    // Drops the context and stops reconnecting for good.
    void Close();

    // The endpoints of one kind, in the server's order (monitors left out).
    // `bQueried` tells whether the query was sent (false: no connection, or
    // the server refused it).
    int ListEndpoints(bool bInput, std::uint64_t deadlineUs, std::vector<Endpoint>& endpoints,
                      bool& bQueried);
    // The server's default source (bInput) or sink name.
    int GetDefaultEndpoint(bool bInput, std::uint64_t deadlineUs, std::string& name);
    // The format of the source (bInput) or sink named `id`.
    int GetEndpointFormat(bool bInput, const std::string& id, std::uint64_t deadlineUs,
                          EndpointFormat& format);

    pa_context* Context() const { return m_pContext; }
    CPulseLoop& Loop() const { return m_loop; }

private:
    void DropContext();
    void ScheduleReconnect();
    void CancelReconnect();
    void Failed(int error);
    void OnContextState(pa_context* c);
    void OnSubscription(unsigned eventType, std::uint32_t index);
    // Waits for a query that is in flight, then cancels and releases it;
    // true when `done` came before the deadline.
    template <class Op>
    bool FinishOperation(Op* op, const std::function<bool()>& done, std::uint64_t deadlineUs);

    CPulseLoop& m_loop;
    const std::string m_strClientName;
    StateObserver m_observer;
    std::function<void()> m_onEndpointChange;
    bool m_bReconnect = false;
    bool m_bClosed = false;
    pa_context* m_pContext = nullptr;
    bool m_bReady = false;
    int m_nLastError = 0;
    pa_time_event* m_pReconnectTimer = nullptr;
    std::uint64_t m_nReconnectDelayUs = 0;
    std::set<std::uint32_t> m_inputSources;  // indexes of known non-monitor sources
};
