#include "updatecontroller.h"

#include <QApplication>
#include <QTimer>

#include <chrono>
#include <cstdlib>
#include <optional>

#include "basekit/logwrapper.h"
#include "dlgupdate.h"
#include "updatefiledownload.h"
#include "userfolders.h"

#ifndef TOLVANE_UPDATE_URL_DEFAULT
#define TOLVANE_UPDATE_URL_DEFAULT ""
#endif

namespace {

// Measures one step of the check on the GUI thread.
class CStepClock {
public:
    explicit CStepClock(double& longest) : m_longest(longest), m_start(std::chrono::steady_clock::now()) {}
    ~CStepClock() {
        const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - m_start).count();
        if (ms > m_longest) m_longest = ms;
    }

private:
    double& m_longest;
    std::chrono::steady_clock::time_point m_start;
};

}  // namespace

std::string CUpdateController::updateUrl() {
    if (const char* value = std::getenv("TOLVANE_UPDATE_URL")) return value;
    return TOLVANE_UPDATE_URL_DEFAULT;
}

std::string CUpdateController::cacheFilePath() {
    std::string cache;
    if (const char* value = std::getenv("XDG_CACHE_HOME"); value && value[0] == '/') {
        cache = value;
        while (cache.size() > 1 && cache.back() == '/') cache.pop_back();
    } else {
        cache = CUserFolders::homeFolder() + "/.cache";
    }
    return cache + "/orvix/Tolvane/tolvane.ini";
}

CUpdateController::CUpdateController(QWidget* owner, int languageIndex, std::string versionText, QObject* parent)
    : QObject(parent), m_pOwner(owner), m_nLanguageIndex(languageIndex), m_strVersionText(std::move(versionText)) {
    m_presenter = [this](const UpdateOffer& offer) {
        QWidget* active = QApplication::activeWindow();
        CDlgUpdate dialog(active ? active : m_pOwner.data(), offer.rerolve, offer.update, offer.add, offer.url);
        dialog.exec();
    };
    m_pTimer = new QTimer(this);
    m_pTimer->setSingleShot(true);
    connect(m_pTimer, &QTimer::timeout, this, &CUpdateController::onCheckTimer);
}

CUpdateController::~CUpdateController() = default;

void CUpdateController::start() { start(updateUrl(), cacheFilePath()); }

void CUpdateController::start(const std::string& url, const std::string& path) {
    if (url.empty()) {
        UC_LOG_THIS(CLogWrapper::LOG_INFO, "update check off: no update address");
        return;
    }
    CStepClock clock(m_dLongestStepMs);
    m_strUrl = url;
    downloadUpdateFile(path);
    m_pTimer->start(CHECK_DELAY_MS);
}

void CUpdateController::downloadUpdateFile(const std::string& path) {
    m_strPath = path;
    m_pDownload = std::make_unique<CUpdateFileDownload>();
    m_pDownload->start(m_strUrl, path, m_nConnectTimeoutMs, m_nTotalTimeoutMs);
}

bool CUpdateController::updateFileReady() const {
    return m_pDownload && m_pDownload->state() == CUpdateFileDownload::STATE_READY;
}

void CUpdateController::onCheckTimer() {
    // A transfer still under way is looked at again shortly; the GUI thread
    // never waits for it.
    {
        CStepClock clock(m_dLongestStepMs);
        if (m_pDownload && !m_pDownload->isFinished()) {
            m_pTimer->start(POLL_MS);
            return;
        }
    }
    check();
}

void CUpdateController::check() {
    std::optional<CStepClock> clock(std::in_place, m_dLongestStepMs);
    if (!updateFileReady()) {
        clock.reset();
        emit checked(false);
        return;
    }
    const std::optional<UpdateOffer> offer = CUpdateFile::read(m_strPath, CUpdateFile::languageSection(m_nLanguageIndex));
    if (!offer || !CUpdateFile::offersNewer(*offer, m_strVersionText)) {
        clock.reset();
        emit checked(false);
        return;
    }
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "version " << offer->version << " is offered at " << offer->url);
    // Reported (and the step's time taken) before the modal dialog runs.
    clock.reset();
    emit checked(true);
    if (m_presenter) m_presenter(*offer);
}
