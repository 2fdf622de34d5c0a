// CDlgSetting: the settings dialog (500 x 440). It edits a working copy of
// the output folder and, on Save, writes the folder, the audio-dump flag
// and gamma into the settings and applies start-with-the-session and the
// two hotkeys at once. exec() returns ID_OK (1) or ID_CANCEL (2).
#pragma once

#include <functional>
#include <string>

#include "skindialog.h"

class CPellButton;
class CPellEdit;
class CSettings;
class QLabel;
class QSlider;

class CDlgSetting : public CSkinDialog {
    Q_OBJECT
public:
    enum {
        ID_FOLDER_EDIT = 1001,
        ID_CHANGE_FOLDER = 1002,
        ID_OPEN_FOLDER = 1003,
        ID_SAVE_AUDIO = 1004,
        ID_AUTORUN = 1005,
        ID_HOTKEY_F9 = 1006,
        ID_HOTKEY_F10 = 1007,
    };
    enum { GAMMA_MAX = 200 };

    CDlgSetting(QWidget* owner, CSettings& settings, const std::string& versionText);

    // How "change folder" asks for a folder (default: QFileDialog limited
    // to existing folders) and how "open folder" opens one (default:
    // xdg-open). The chooser gets the start folder (empty: none) and returns
    // the chosen one (empty: cancelled).
    void setFolderChooser(std::function<QString(const QString& start)> chooser);
    void setFolderOpener(std::function<void(const QString& folder)> opener);

    const QString& workingFolder() const { return m_strWorkingFolder; }
    CPellEdit* folderEdit() const { return m_pFolderEdit; }
    CPellButton* changeFolderButton() const { return m_pChangeFolder; }
    CPellButton* openFolderButton() const { return m_pOpenFolder; }
    CPellButton* saveAudioBox() const { return m_pSaveAudio; }
    CPellButton* autoRunBox() const { return m_pAutoRun; }
    CPellButton* hotkeyF9Box() const { return m_pHotkeyF9; }
    CPellButton* hotkeyF10Box() const { return m_pHotkeyF10; }
    QSlider* gammaBar() const { return m_pGammaBar; }
    QLabel* gammaText() const { return m_pGammaText; }
    CPellButton* saveButton() const { return m_pSave; }
    CPellButton* cancelButton() const { return m_pCancel; }

    // Adds the note that F9 and F10 only reach the bar from XWayland windows
    // (a Wayland desktop without the GlobalShortcuts portal).
    void showHotkeyScopeNote();
    QLabel* hotkeyScopeNote() const { return m_pHotkeyNote; }

    // The number in the gamma text: values outside 0..200 become 200.
    static int gammaFromText(const QString& text);

protected:
    void onCommand(int id) override;
    void paintLabels(QPainter& painter) override;

private:
    int controlColumn() const;
    void createControls();
    void changeFolder();
    void openFolder();
    void save();

    CSettings& m_settings;
    QString m_strVersion;
    QString m_strWorkingFolder;
    std::function<QString(const QString&)> m_folderChooser;
    std::function<void(const QString&)> m_folderOpener;
    CPellEdit* m_pFolderEdit = nullptr;
    CPellButton* m_pChangeFolder = nullptr;
    CPellButton* m_pOpenFolder = nullptr;
    CPellButton* m_pSaveAudio = nullptr;
    CPellButton* m_pAutoRun = nullptr;
    CPellButton* m_pHotkeyF9 = nullptr;
    CPellButton* m_pHotkeyF10 = nullptr;
    QSlider* m_pGammaBar = nullptr;
    QLabel* m_pHotkeyNote = nullptr;
    QLabel* m_pGammaText = nullptr;
    QLabel* m_pGammaDefault = nullptr;
    CPellButton* m_pSave = nullptr;
    CPellButton* m_pCancel = nullptr;
};
