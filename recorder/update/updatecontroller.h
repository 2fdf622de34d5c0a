// CUpdateController: the recorder's update check. start() (at the bar's
// creation) fetches the version file into the per-user cache folder on a
// worker thread and starts timer 251 (2000 ms, once). When the timer fires
// it looks at the result without waiting: a transfer still under way is
// looked at again every 100 ms until it ends. A version file whose section
// of the user's language offers a newer version with an address shows
// CDlgUpdate, owned by the active window. Failures show nothing.
//
// The server's address: $TOLVANE_UPDATE_URL when set (empty turns the
// check off), else the address the build was configured with.
//
// GUI thread only; the worker is CUpdateFileDownload.
#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <memory>
#include <string>

#include "updatefile.h"

class CUpdateFileDownload;
class QTimer;

class CUpdateController : public QObject {
    Q_OBJECT
public:
    enum { TIMER_UPDATE_CHECK = 251, CHECK_DELAY_MS = 2000, POLL_MS = 100 };

    // The update server's address of this start ("" when the check is off).
    static std::string updateUrl();
    // $XDG_CACHE_HOME/orvix/Tolvane/tolvane.ini (XDG_CACHE_HOME defaulting
    // to ~/.cache): a cache, never the configuration's tolvane.ini.
    static std::string cacheFilePath();

    // owner: the window the dialog falls back to when none is active;
    // languageIndex picks the section; versionText is the program's own
    // version ("1.2.3.0").
    CUpdateController(QWidget* owner, int languageIndex, std::string versionText, QObject* parent = nullptr);
    ~CUpdateController() override;

    // Replaces how an offer is shown (default: CDlgUpdate run modally).
    void setPresenter(std::function<void(const UpdateOffer&)> presenter) { m_presenter = std::move(presenter); }
    // Time limits of the version file's transfer (default 5 s and 15 s).
    void setTimeouts(long connectMs, long totalMs) {
        m_nConnectTimeoutMs = connectMs;
        m_nTotalTimeoutMs = totalMs;
    }

    // Starts the transfer from url (default: updateUrl()) into path
    // (default: cacheFilePath()) and timer 251. Nothing when url is empty.
    void start();
    void start(const std::string& url, const std::string& path);

    // Starts the version file's transfer from the start's address into path
    // on the worker thread; returns at once.
    void downloadUpdateFile(const std::string& path);
    // Whether the version file came whole (false while it is on its way).
    bool updateFileReady() const;
    // The version file's path once it is ready, else empty.
    std::string updateFilePath() const { return updateFileReady() ? m_strPath : std::string(); }

    // The longest any of the check's own steps on the GUI thread took
    // (starting the transfer, each look at it), in milliseconds.
    double longestGuiStepMs() const { return m_dLongestStepMs; }

signals:
    // The check is over: whether an offer was shown.
    void checked(bool offered);

private:
    void onCheckTimer();
    void check();

    QPointer<QWidget> m_pOwner;
    int m_nLanguageIndex;
    std::string m_strVersionText;
    std::string m_strUrl;
    std::string m_strPath;
    long m_nConnectTimeoutMs = 5000;
    long m_nTotalTimeoutMs = 15000;
    std::function<void(const UpdateOffer&)> m_presenter;
    std::unique_ptr<CUpdateFileDownload> m_pDownload;
    QTimer* m_pTimer = nullptr;
    double m_dLongestStepMs = 0;
};
