// CDlgAudioDevice: the microphone and speaker choice (400 x 240). On
// opening it lists the engine's devices into the caller's device list and
// fills one drop-down per direction; the first item of each stands for "no
// device" (its value is the text of "ID_TEXT_AUDIO_NONE"). On Save the
// chosen names and the disabled flags go into the settings; they take
// effect at the next recording. exec() returns ID_OK (1) or ID_CANCEL (2).
#pragma once

#include <list>

#include "skindialog.h"

struct AudioDeviceInfo;
class CPellButton;
class CPellComboSel;
class CSettings;
class IMessagePresenter;
class IOrvixAvRecordInterface;

class CDlgAudioDevice : public CSkinDialog {
    Q_OBJECT
public:
    enum { ID_MICROPHONE_LIST = 1001, ID_SPEAKER_LIST = 1002 };

    CDlgAudioDevice(QWidget* owner, IOrvixAvRecordInterface* engine, std::list<AudioDeviceInfo>& deviceList,
                    CSettings& settings, IMessagePresenter& messages);

    CPellComboSel* microphoneList() const { return m_pMicrophones; }
    CPellComboSel* speakerList() const { return m_pSpeakers; }
    CPellButton* saveButton() const { return m_pSave; }
    CPellButton* cancelButton() const { return m_pCancel; }

protected:
    void onCommand(int id) override;
    void paintLabels(QPainter& painter) override;

private:
    CPellComboSel* makeList(int id, int top);
    void readDevices(IOrvixAvRecordInterface* engine, IMessagePresenter& messages);
    void fillList(CPellComboSel& list, bool input, const char* noneKey, const std::string& savedName, bool disabled);
    void save();
    static void storeChoice(const CPellComboSel& list, std::string& name, bool& disabled);

    std::list<AudioDeviceInfo>& m_deviceList;
    CSettings& m_settings;
    bool m_bListed = false;
    CPellComboSel* m_pMicrophones = nullptr;
    CPellComboSel* m_pSpeakers = nullptr;
    CPellButton* m_pSave = nullptr;
    CPellButton* m_pCancel = nullptr;
};
