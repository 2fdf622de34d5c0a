// CUCFileOrdinary: a file on disk that another party may still be writing;
// a moderate stdio buffer, and reads that see data appended later.
#pragma once

#include "ucfilestdio.h"

class CUCFileOrdinary final : public CUCFileStdio {
public:
    CUCFileOrdinary();

private:
    ~CUCFileOrdinary() override = default;
};
