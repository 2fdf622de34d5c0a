// CFlvMetaData: a script-data body (such as onMetaData) decoded with the AMF
// library, together with the properties the decoder refused. The decoder
// reports a property type it does not support in its log ("don't support
// type=" with the marker) and drops that property; this class listens to the
// log while it decodes, so that the refusal can be shown with its marker.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "basekit/logwrapper.h"

class CAmfECMAArray;
class CAmfType;
class CDataPackage;
class CFlvioData;

class CFlvMetaData : private ILogObserver {
public:
    // A property the decoder refused: its name (as the decoder logged it, empty
    // when the log threshold hid that line) and its type marker.
    struct Unsupported {
        std::string strName;
        unsigned nMarker = 0;
    };

    CFlvMetaData();
    ~CFlvMetaData() override;

    CFlvMetaData(const CFlvMetaData&) = delete;
    CFlvMetaData& operator=(const CFlvMetaData&) = delete;

    // Decodes the body (which is not consumed); returns the decoder's result.
    // The decoded name and array are kept even when the result is not 0.
    int Decode(const CDataPackage& body);

    int GetResult() const { return m_nResult; }
    const std::string& GetName() const;
    // The decoded array, null when the body held none.
    const CAmfECMAArray* GetArray() const;
    const std::vector<Unsupported>& GetUnsupported() const { return m_unsupported; }
    // The decoder drops a top-level property that holds an unsupported value
    // and then reads on from inside that value: the entries it appends behind
    // that point are misread. The first GetSoundCount() entries are real.
    std::size_t GetSoundCount() const { return m_nSoundCount; }
    std::size_t GetMisreadCount() const;
    // Where the first unsupported value sits ("keyframes.filepositions"),
    // empty when the body holds none.
    const std::string& GetUnsupportedPath() const { return m_strUnsupportedPath; }

    // The value of the first top-level number property called `name`.
    bool GetNumber(const std::string& name, double& value) const;

private:
    void OnLogLine(int level, const char* text) override;

    std::unique_ptr<CFlvioData> m_pData;
    int m_nResult = 0;
    std::vector<Unsupported> m_unsupported;
    std::string m_strLastName;  // name of the property the decoder read last
    std::size_t m_nSoundCount = 0;
    std::string m_strUnsupportedPath;
};
