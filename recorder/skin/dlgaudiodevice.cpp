#include "dlgaudiodevice.h"

#include <QPainter>

#include "messagepresenter.h"
#include "pellbutton.h"
#include "pellcombosel.h"
#include "recengine/orvixavrecord.h"
#include "settings.h"

namespace {
constexpr int kListLeft = 80;
constexpr int kMicrophoneTop = 32;
constexpr int kSpeakerTop = 80;
constexpr int kListHeight = 24;
}  // namespace

CDlgAudioDevice::CDlgAudioDevice(QWidget* owner, IOrvixAvRecordInterface* engine, std::list<AudioDeviceInfo>& deviceList,
                                 CSettings& settings, IMessagePresenter& messages)
    : CSkinDialog(owner, QSize(400, 240), "ID_TEXT_AUDIO_TITLE"), m_deviceList(deviceList), m_settings(settings) {
    m_pMicrophones = makeList(ID_MICROPHONE_LIST, kMicrophoneTop);
    m_pSpeakers = makeList(ID_SPEAKER_LIST, kSpeakerTop);
    m_pSave = makeDialogButton(ID_OK, "ID_TEXT_SAVE", true, width() - 196, height() - 52);
    m_pCancel = makeDialogButton(ID_CANCEL, "ID_TEXT_CANCEL", false, width() - 104, height() - 52);
    readDevices(engine, messages);
    fillList(*m_pMicrophones, true, "ID_TEXT_AUDIO_NONE_MIC", m_settings.audioInputName, m_settings.disableAudioInput);
    fillList(*m_pSpeakers, false, "ID_TEXT_AUDIO_NONE_SPEEKER", m_settings.audioOutputName, m_settings.disableAudioOutput);
}

CPellComboSel* CDlgAudioDevice::makeList(int id, int top) {
    auto* list = new CPellComboSel(id, this);
    list->setFont(textFont());
    list->setGeometry(kListLeft, top, width() - 100, kListHeight);
    connect(list, &CPellComboSel::commanded, this, &CDlgAudioDevice::onCommand);
    return list;
}

void CDlgAudioDevice::readDevices(IOrvixAvRecordInterface* engine, IMessagePresenter& messages) {
    const std::uint32_t result = engine ? engine->GetDeviceList(&m_deviceList) : 1;
    m_bListed = result == 0;
    if (!m_bListed)
        messages.showMessage("ID_TEXT_AUDIO_GETERROR", "ID_TEXT_TIPS", IMessagePresenter::ICON_ERROR,
                             IMessagePresenter::BUTTONS_OK);
}

void CDlgAudioDevice::fillList(CPellComboSel& list, bool input, const char* noneKey, const std::string& savedName,
                               bool disabled) {
    const QString none = text("ID_TEXT_AUDIO_NONE");
    bool any = false;
    if (m_bListed)
        for (const AudioDeviceInfo& device : m_deviceList) any = any || ((device.m_bCapture != 0) == input);
    list.addItem(any ? none : text(noneKey), none);
    if (m_bListed)
        for (const AudioDeviceInfo& device : m_deviceList)
            if ((device.m_bCapture != 0) == input) list.addItem(QString::fromStdString(device.DevicesName));
    list.setControlEnabled(any);
    // Without devices, or with the direction switched off, "no device" is
    // the choice; otherwise the saved device where it is listed.
    if (!any || disabled)
        list.setSelectedIndex(0);
    else
        list.setSelectedIndex(list.findValue(QString::fromStdString(savedName)));
}

void CDlgAudioDevice::onCommand(int id) {
    if (id == ID_OK)
        save();
    else if (id == ID_CANCEL)
        done(ID_CANCEL);
}

// Nothing selected (the saved device is not listed): the direction keeps
// its settings.
void CDlgAudioDevice::storeChoice(const CPellComboSel& list, std::string& name, bool& disabled) {
    if (list.selectedIndex() < 0) return;
    const QString value = list.selectedValue();
    if (value != text("ID_TEXT_AUDIO_NONE")) {
        name = value.toStdString();
        disabled = false;
    } else {
        name.clear();
        disabled = true;
    }
}

void CDlgAudioDevice::save() {
    storeChoice(*m_pMicrophones, m_settings.audioInputName, m_settings.disableAudioInput);
    storeChoice(*m_pSpeakers, m_settings.audioOutputName, m_settings.disableAudioOutput);
    done(ID_OK);
}

void CDlgAudioDevice::paintLabels(QPainter& painter) {
    constexpr int labelLeft = 8;
    constexpr int labelWidth = kListLeft - 6 - labelLeft;
    const QString microphone = text("ID_TEXT_AUDIO_MIC");
    const QString speaker = text("ID_TEXT_AUDIO_SPEEKER");
    // Both labels in one size, the one that fits the longer.
    const QFontMetrics metrics(textFont());
    const QString longer = metrics.horizontalAdvance(microphone) >= metrics.horizontalAdvance(speaker) ? microphone : speaker;
    painter.setFont(fittedFont(longer, labelWidth));
    drawLineText(painter, QRect(labelLeft, kMicrophoneTop, labelWidth, kListHeight), microphone, Qt::AlignRight);
    drawLineText(painter, QRect(labelLeft, kSpeakerTop, labelWidth, kListHeight), speaker, Qt::AlignRight);
}
