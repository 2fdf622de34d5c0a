#include "dlgupdate.h"

#include <QPainter>
#include <QTimer>

#include "artwork.h"
#include "filerevealer.h"
#include "installerdownload.h"
#include "pellbutton.h"

namespace {
constexpr int kWidth = 500;
constexpr int kHeight = 300;
constexpr int kMargin = 16;
// How often the progress is repainted and the transfer's end looked for.
constexpr int kTickMs = 100;
const QColor kTrack(0xE6, 0xE6, 0xE6);
const QColor kBar(0x5C, 0x5C, 0x5C);
const QColor kFailure(0xC0, 0x30, 0x30);

QString megabytes(std::uint64_t bytes) { return QString::number(bytes / 1048576.0, 'f', 1); }
}  // namespace

CDlgUpdate::CDlgUpdate(QWidget* owner, const std::string& rerolve, const std::string& update, const std::string& add,
                       const std::string& url)
    : CSkinDialog(owner, QSize(kWidth, kHeight), "ID_TEXT_UPDATE_TITLE"),
      m_strNotes{QString::fromStdString(rerolve), QString::fromStdString(update), QString::fromStdString(add)},
      m_strUrl(url),
      m_revealer(&CFileRevealer::showFile) {
    const int buttonTop = kHeight - 52;
    m_pNotNow = makeDialogButton(ID_NOT_NOW, "ID_TEXT_UPDATE_UNDOWNLOAD", false, kWidth - 104, buttonTop);
    m_pDownload = makeDialogButton(ID_DOWNLOAD, "ID_TEXT_UPDATE_DOWNLOAD", true, kWidth - 196, buttonTop);
    m_pClose = makeDialogButton(ID_NOT_NOW, "ID_TEXT_UPDATE_CLOSE", false, kWidth - 104, buttonTop);
    m_pRetry = makeDialogButton(ID_RETRY, "ID_TEXT_UPDATE_RETRY", true, kWidth - 196, buttonTop);
    m_pTickTimer = new QTimer(this);
    connect(m_pTickTimer, &QTimer::timeout, this, &CDlgUpdate::onTick);
    setView(VIEW_OFFER);
}

CDlgUpdate::~CDlgUpdate() {
    // Ends a transfer still running; its outcome is not looked at.
    m_pDownloadJob.reset();
}

void CDlgUpdate::setView(View view) {
    m_nView = view;
    m_pDownload->setVisible(view == VIEW_OFFER);
    m_pNotNow->setVisible(view == VIEW_OFFER);
    m_pRetry->setVisible(view == VIEW_FAILED);
    m_pClose->setVisible(view == VIEW_FAILED);
    if (view == VIEW_DOWNLOADING)
        m_pTickTimer->start(kTickMs);
    else
        m_pTickTimer->stop();
    update();
}

void CDlgUpdate::onCommand(int id) {
    switch (id) {
        case ID_DOWNLOAD:
        case ID_RETRY: startDownload(); break;
        case ID_NOT_NOW: done(ID_CANCEL); break;
        default: break;
    }
}

void CDlgUpdate::startDownload() {
    if (!m_pDownloadJob) m_pDownloadJob = std::make_unique<CInstallerDownload>();
    const bool started = m_pDownloadJob->start(m_strUrl, m_strFolder);
    // An address without a usable file name cannot be fetched.
    setView(started ? VIEW_DOWNLOADING : VIEW_FAILED);
}

void CDlgUpdate::onTick() {
    std::optional<CInstallerDownload::Outcome> outcome;
    if (m_pDownloadJob) outcome = m_pDownloadJob->takeOutcome();
    if (outcome)
        onFinished(outcome->ok, QString::fromStdString(outcome->path));
    else
        update();
}

void CDlgUpdate::onFinished(bool ok, const QString& path) {
    if (!ok) {
        setView(VIEW_FAILED);
        return;
    }
    m_strDownloaded = path;
    if (m_revealer) m_revealer(path);
    done(ID_CANCEL);
}

QString CDlgUpdate::progressText(std::uint64_t received, std::uint64_t total) {
    if (total == 0) return QStringLiteral("%1 MB").arg(megabytes(received));
    const std::uint64_t percent = received >= total ? 100 : received * 100 / total;
    return QStringLiteral("%1%  %2 / %3 MB").arg(percent).arg(megabytes(received), megabytes(total));
}

QString CDlgUpdate::progressText() const {
    return m_pDownloadJob ? progressText(m_pDownloadJob->received(), m_pDownloadJob->total()) : QString();
}

void CDlgUpdate::paintLabels(QPainter& painter) {
    const int right = width() - kMargin;
    if (m_nView == VIEW_DOWNLOADING) {
        drawLineText(painter, QRect(QPoint(kMargin, 104), QPoint(right, 127)), text("ID_TEXT_UPDATE_DOWNLOADING"),
                     Qt::AlignHCenter);
        // The bar and the byte counts below the text.
        const std::uint64_t received = m_pDownloadJob ? m_pDownloadJob->received() : 0;
        const std::uint64_t total = m_pDownloadJob ? m_pDownloadJob->total() : 0;
        const QRect track(kMargin + 40, 140, width() - 2 * (kMargin + 40), 6);
        painter.fillRect(track, kTrack);
        if (total > 0) {
            const int filled = static_cast<int>(track.width() * std::min<double>(1.0, double(received) / double(total)));
            painter.fillRect(QRect(track.topLeft(), QSize(filled, track.height())), kBar);
        }
        painter.setPen(QColor(0x80, 0x80, 0x80));
        drawLineText(painter, QRect(QPoint(kMargin, 152), QPoint(right, 175)), progressText(received, total),
                     Qt::AlignHCenter);
        return;
    }
    if (m_nView == VIEW_FAILED) {
        painter.setPen(kFailure);
        drawWrappedText(painter, QRect(QPoint(kMargin + 24, 96), QPoint(right - 24, 160)), text("ID_TEXT_UPDATE_FAILED"));
        return;
    }
    painter.setFont(textFont(QFont::Bold));
    drawLineText(painter, QRect(QPoint(kMargin, 32), QPoint(right, 55)), text("ID_TEXT_UPDATE_TITLE_TWO"));
    painter.setFont(textFont());
    const int tops[] = {64, 96, 128};
    for (int i = 0; i < 3; ++i) drawLineText(painter, QRect(QPoint(kMargin, tops[i]), QPoint(right, tops[i] + 23)), m_strNotes[i]);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    const QPixmap icon = CArtwork::tipIcon(devicePixelRatioF());
    painter.drawPixmap(QRect(QPoint(kMargin, 170), icon.deviceIndependentSize().toSize()), icon);
    painter.setPen(QColor(0x80, 0x80, 0x80));
    drawLineText(painter, QRect(QPoint(kMargin + 30, 170), QPoint(right, 193)), text("ID_TEXT_UPDATE_TIPS"));
}
