// CUCFileObject: what every file object of the factory shares: the reference
// count (starting at 0; the factory takes the first reference) and the errno
// of the last failed operation.
#pragma once

#include <cerrno>

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
    // The argument checks of Read and Write: -1 with the error recorded
    // (EBADF when the file is not open, EINVAL for null data), 0 when there
    // is nothing to move (n == 0), 1 when the transfer may go on.
    long CheckTransfer(bool bOpen, const void* data, unsigned long n) {
        if (!bOpen) {
            SetError(EBADF);
            return -1;
        }
        if (n == 0) return 0;
        if (!data) {
            SetError(EINVAL);
            return -1;
        }
        return 1;
    }

private:
    int m_nLastError = 0;
};
