#include "dlgsetting.h"

#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QPainter>
#include <QProcess>
#include <QSlider>

#include "pellbutton.h"
#include "pelledit.h"
#include "settings.h"

namespace {
constexpr int kMargin = 16;
constexpr int kRowHeight = 24;
// Tops of the painted rows.
constexpr int kFolderLabelTop = 32;
constexpr int kFolderEditTop = 64;
constexpr int kSoundTop = 154;
constexpr int kStartupTop = 198;
constexpr int kHotkeyTop = 242;
constexpr int kGammaTop = 316;
const char* const kTipKeys[] = {"ID_TEXT_SETTING_TIP0", "ID_TEXT_SETTING_TIP1", "ID_TEXT_SETTING_TIP2",
                                "ID_TEXT_SETTING_TIP3"};
const int kTipTops[] = {kSoundTop, kStartupTop, kHotkeyTop, kGammaTop};

QString defaultChooser(QWidget* parent, const QString& start) {
    return QFileDialog::getExistingDirectory(parent, CSkinDialog::text("ID_TEXT_CHANGE_FOLDER"), start,
                                             QFileDialog::ShowDirsOnly);
}

void defaultOpener(const QString& folder) { QProcess::startDetached(QStringLiteral("xdg-open"), {folder}); }
}  // namespace

CDlgSetting::CDlgSetting(QWidget* owner, CSettings& settings, const std::string& versionText)
    : CSkinDialog(owner, QSize(500, 440), "ID_TEXT_SETTING"),
      m_settings(settings),
      m_strVersion(QString::fromStdString(versionText)),
      m_folderChooser([this](const QString& start) { return defaultChooser(this, start); }),
      m_folderOpener(defaultOpener) {
    m_settings.gamma = std::clamp(m_settings.gamma, 0, static_cast<int>(GAMMA_MAX));
    m_strWorkingFolder = QString::fromStdString(m_settings.outputFolder).trimmed();
    createControls();
}

void CDlgSetting::setFolderChooser(std::function<QString(const QString&)> chooser) { m_folderChooser = std::move(chooser); }

void CDlgSetting::setFolderOpener(std::function<void(const QString&)> opener) { m_folderOpener = std::move(opener); }

// Controls to the right of the longest row title.
int CDlgSetting::controlColumn() const {
    const QFontMetrics metrics(textFont());
    int widest = 0;
    for (const char* key : kTipKeys) widest = std::max(widest, metrics.horizontalAdvance(text(key)));
    return std::clamp(kMargin + widest + 12, 110, 220);
}

void CDlgSetting::createControls() {
    const int right = width() - kMargin;
    const int buttonHeight = 32;
    // The folder buttons grow with their texts; the edit field takes the rest.
    const int changeWidth = dialogButtonWidth("ID_TEXT_CHANGE_FOLDER");
    const int openWidth = dialogButtonWidth("ID_TEXT_OPEN_FOLDER");

    m_pFolderEdit = new CPellEdit(ID_FOLDER_EDIT, this);
    m_pFolderEdit->setFont(textFont());
    m_pFolderEdit->setText(QString::fromStdString(m_settings.outputFolder));
    m_pFolderEdit->setCursorPosition(0);
    m_pFolderEdit->setGeometry(kMargin, kFolderEditTop, right - changeWidth - openWidth - 16 - kMargin, buttonHeight);
    connect(m_pFolderEdit, &CPellEdit::edited, this, [this](int, const QString& text) { m_strWorkingFolder = text.trimmed(); });
    m_pChangeFolder = makeDialogButton(ID_CHANGE_FOLDER, "ID_TEXT_CHANGE_FOLDER", false, right - openWidth - 8 - changeWidth,
                                       kFolderEditTop, changeWidth);
    m_pOpenFolder = makeDialogButton(ID_OPEN_FOLDER, "ID_TEXT_OPEN_FOLDER", false, right - openWidth, kFolderEditTop, openWidth);

    const int column = controlColumn();
    const int columnWidth = right - column;
    m_pSaveAudio = makeCheckBox(ID_SAVE_AUDIO, "ID_TEXT_SAVE_MP3", m_settings.saveAudioDump,
                                QRect(column, kSoundTop, columnWidth, kRowHeight));
    m_pAutoRun = makeCheckBox(ID_AUTORUN, "ID_TEXT_AUTORUN", m_settings.isAutoStart(),
                              QRect(column, kStartupTop, columnWidth, kRowHeight));
    m_pHotkeyF9 = makeCheckBox(ID_HOTKEY_F9, "ID_TEXT_CHECK_HOTF9", m_settings.hotkeyF9,
                               QRect(column, kHotkeyTop, columnWidth, kRowHeight));
    m_pHotkeyF10 = makeCheckBox(ID_HOTKEY_F10, "ID_TEXT_CHECK_HOTF10", m_settings.hotkeyF10,
                                QRect(column, kHotkeyTop + kRowHeight + 6, columnWidth, kRowHeight));

    // Gamma: the bar, its value centred beside it, then the default.
    m_pGammaDefault = new QLabel(QStringLiteral("(%1:100)").arg(text("ID_TEXT_DEFAULT")), this);
    m_pGammaDefault->setFont(textFont());
    m_pGammaDefault->setAttribute(Qt::WA_TranslucentBackground);
    const int defaultWidth = m_pGammaDefault->sizeHint().width() + 2;
    const int valueWidth = 40;
    m_pGammaDefault->setGeometry(right - defaultWidth, kGammaTop, defaultWidth, kRowHeight);
    m_pGammaText = new QLabel(QString::number(m_settings.gamma), this);
    m_pGammaText->setFont(textFont());
    m_pGammaText->setAlignment(Qt::AlignCenter);
    m_pGammaText->setAttribute(Qt::WA_TranslucentBackground);
    m_pGammaText->setGeometry(right - defaultWidth - valueWidth, kGammaTop, valueWidth, kRowHeight);
    m_pGammaBar = new QSlider(Qt::Horizontal, this);
    m_pGammaBar->setRange(0, GAMMA_MAX);
    m_pGammaBar->setValue(m_settings.gamma);
    m_pGammaBar->setAttribute(Qt::WA_TranslucentBackground);
    m_pGammaBar->setGeometry(column, kGammaTop, right - defaultWidth - valueWidth - column - 4, kRowHeight);
    m_pGammaBar->setStyleSheet(QStringLiteral(
        "QSlider { background: transparent; }"
        "QSlider::groove:horizontal { height: 4px; background: #DCDCDC; border-radius: 2px; }"
        "QSlider::sub-page:horizontal { background: #5C5C5C; border-radius: 2px; }"
        "QSlider::handle:horizontal { width: 14px; height: 14px; margin: -5px 0; border-radius: 7px;"
        " background: #FFFFFF; border: 2px solid #5C5C5C; }"
        "QSlider::handle:horizontal:hover { border-color: #F26060; }"));
    connect(m_pGammaBar, &QSlider::valueChanged, this, [this](int value) { m_pGammaText->setText(QString::number(value)); });

    const int bottom = height();
    m_pSave = makeDialogButton(ID_OK, "ID_TEXT_SAVE", true, width() - 196, bottom - 52);
    m_pCancel = makeDialogButton(ID_CANCEL, "ID_TEXT_CANCEL", false, width() - 104, bottom - 52);
}

void CDlgSetting::showHotkeyScopeNote() {
    if (m_pHotkeyNote) return;
    // Below the gamma row, above the buttons (52 from the bottom), across
    // the dialog: three lines of text.
    const int top = kGammaTop + kRowHeight + 2;
    m_pHotkeyNote = new QLabel(text("ID_TEXT_HOTKEY_WAYLAND_TIP"), this);
    m_pHotkeyNote->setFont(textFont());
    m_pHotkeyNote->setWordWrap(true);
    m_pHotkeyNote->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_pHotkeyNote->setAttribute(Qt::WA_TranslucentBackground);
    m_pHotkeyNote->setStyleSheet(QStringLiteral("color: #B05000;"));
    m_pHotkeyNote->setGeometry(kMargin, top, width() - 2 * kMargin, height() - 54 - top);
    m_pHotkeyNote->show();
}

void CDlgSetting::onCommand(int id) {
    switch (id) {
    case ID_CHANGE_FOLDER: changeFolder(); break;
    case ID_OPEN_FOLDER: openFolder(); break;
    case ID_OK: save(); break;
    case ID_CANCEL: done(ID_CANCEL); break;
    default: break;  // the check boxes keep their state until Save
    }
}

void CDlgSetting::changeFolder() {
    const QString start = QDir(m_strWorkingFolder).exists() && !m_strWorkingFolder.isEmpty() ? m_strWorkingFolder : QString();
    const QString chosen = m_folderChooser ? m_folderChooser(start) : QString();
    if (!chosen.isEmpty()) m_pFolderEdit->setText(QDir::toNativeSeparators(chosen));
}

void CDlgSetting::openFolder() {
    if (m_strWorkingFolder.isEmpty() || !QDir(m_strWorkingFolder).exists()) return;
    if (m_folderOpener) m_folderOpener(m_strWorkingFolder);
}

int CDlgSetting::gammaFromText(const QString& text) {
    const int value = CSettings::parseInt(text.toStdString());
    return (value < 0 || value > GAMMA_MAX) ? GAMMA_MAX : value;
}

void CDlgSetting::save() {
    m_settings.gamma = gammaFromText(m_pGammaText->text());
    m_settings.outputFolder = m_strWorkingFolder.toStdString();
    m_settings.setAutoStart(m_pAutoRun->isChecked());
    m_settings.setHotkeyF9(m_pHotkeyF9->isChecked());
    m_settings.setHotkeyF10(m_pHotkeyF10->isChecked());
    m_settings.saveAudioDump = m_pSaveAudio->isChecked();
    done(ID_OK);
}

void CDlgSetting::paintLabels(QPainter& painter) {
    painter.setFont(textFont(QFont::Bold));
    drawLineText(painter, QRect(QPoint(16, kFolderLabelTop), QPoint(155, kFolderLabelTop + 23)), text("ID_TEXT_OUTFOLDER"));
    // The hint follows the title when the title ends before x 140.
    const int titleEnd = 16 + painter.fontMetrics().horizontalAdvance(text("ID_TEXT_OUTFOLDER"));
    painter.setFont(textFont());
    const int hintLeft = std::max(140, titleEnd + 8);
    drawLineText(painter, QRect(QPoint(hintLeft, kFolderLabelTop), QPoint(379, kFolderLabelTop + 23)),
                 text("ID_TEXT_DEFAULT_OUTFOLDER"));
    const int column = controlColumn();
    for (int i = 0; i < 4; ++i)
        drawLineText(painter, QRect(16, kTipTops[i], column - 16 - 4, kRowHeight), text(kTipKeys[i]));
    // A hairline between the folder and the options.
    painter.fillRect(QRect(16, (kFolderEditTop + 32 + kSoundTop) / 2, width() - 32, 1), QColor(0xE6, 0xE6, 0xE6));
    painter.setPen(QColor(0x80, 0x80, 0x80));
    const int bottom = height();
    drawLineText(painter, QRect(QPoint(48, bottom - 48), QPoint(287, bottom - 25)), QStringLiteral("Tolvane V%1").arg(m_strVersion));
}
