// CUCFileMedia: a complete media file read or written front to back in large
// blocks: a 1 MiB stdio buffer, so that writing one tag per call costs no
// system call per tag, and sequential read-ahead.
#pragma once

#include "ucfilestdio.h"

class CUCFileMedia final : public CUCFileStdio {
public:
    CUCFileMedia();

protected:
    void OnOpened(int fd, int flags) override;

private:
    ~CUCFileMedia() override = default;
};
