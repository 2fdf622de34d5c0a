// CUCFileObject: what every file object of the factory shares: the reference
// count (starting at 0; the factory takes the first reference) and the errno
// of the last failed operation.
#pragma once

#include "basekit/referencecontrol.h"
#include "basekit/ucfile.h"

class CUCFileObject : public IUCFile, public CReferenceControlT<CMutexWrapper> {
public:
    int AddReference() override { return static_cast<int>(CReferenceControlT::AddReference()); }
    int ReleaseReference() override { return static_cast<int>(CReferenceControlT::ReleaseReference()); }
    int GetLastError() const override { return m_nLastError; }

protected:
    CUCFileObject() = default;
    ~CUCFileObject() override = default;

    // Records a failure and returns its code.
    int SetError(int error) {
        m_nLastError = error;
        return error;
    }
    void ClearError() { m_nLastError = 0; }

private:
    int m_nLastError = 0;
};
