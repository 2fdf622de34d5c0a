// CDlgUpdate: offers a newer version (500 x 300): a heading, the three
// release-note lines and a hint where the installer goes, with "download"
// and "not now". Download fetches the installer into the documents folder
// on a worker thread (CInstallerDownload) and shows its progress; when it
// is there the file is shown in the file manager and the dialog closes
// with ID_CANCEL (2). A failed download shows the failure with "retry" and
// "close". Nothing downloaded is run. exec() returns ID_CANCEL.
//
// GUI thread; the worker never calls into the dialog: a timer on the GUI
// thread repaints the progress and takes the transfer's outcome from
// CInstallerDownload once it has ended.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "skindialog.h"

class CInstallerDownload;
class CPellButton;
class QTimer;

class CDlgUpdate : public CSkinDialog {
    Q_OBJECT
public:
    enum { ID_DOWNLOAD = 1, ID_NOT_NOW = 2, ID_RETRY = 3 };
    enum View { VIEW_OFFER = 0, VIEW_DOWNLOADING = 1, VIEW_FAILED = 2 };

    // The texts are UTF-8, as the version file gives them.
    CDlgUpdate(QWidget* owner, const std::string& rerolve, const std::string& update, const std::string& add,
               const std::string& url);
    ~CDlgUpdate() override;

    // Where the installer goes (default: the documents folder) and how a
    // downloaded file is shown (default: CFileRevealer).
    void setDownloadFolder(const std::string& folder) { m_strFolder = folder; }
    void setRevealer(std::function<void(const QString& path)> revealer) { m_revealer = std::move(revealer); }

    View view() const { return m_nView; }
    CPellButton* downloadButton() const { return m_pDownload; }
    CPellButton* notNowButton() const { return m_pNotNow; }
    CPellButton* retryButton() const { return m_pRetry; }
    CPellButton* closeButton() const { return m_pClose; }
    // The progress line while downloading ("37%  1.2 / 3.3 MB").
    QString progressText() const;
    // The path of the last finished download (empty before).
    const QString& downloadedPath() const { return m_strDownloaded; }

    // Byte counts as the progress line shows them.
    static QString progressText(std::uint64_t received, std::uint64_t total);

protected:
    void onCommand(int id) override;
    void paintLabels(QPainter& painter) override;

private:
    void startDownload();
    // Timer tick while downloading: the outcome once there, else a repaint.
    void onTick();
    void onFinished(bool ok, const QString& path);
    void setView(View view);

    QString m_strNotes[3];
    std::string m_strUrl;
    std::string m_strFolder;
    std::function<void(const QString&)> m_revealer;
    std::unique_ptr<CInstallerDownload> m_pDownloadJob;
    QTimer* m_pTickTimer = nullptr;
    View m_nView = VIEW_OFFER;
    QString m_strDownloaded;
    CPellButton* m_pDownload = nullptr;
    CPellButton* m_pNotNow = nullptr;
    CPellButton* m_pRetry = nullptr;
    CPellButton* m_pClose = nullptr;
};
