#include "ucfilemedia.h"

#include <fcntl.h>

namespace {
constexpr std::size_t kMediaBufferSize = 1024 * 1024;
}  // namespace

CUCFileMedia::CUCFileMedia() : CUCFileStdio(kMediaBufferSize) {}

void CUCFileMedia::OnOpened(int fd, int flags) {
    if ((flags & O_ACCMODE) != O_WRONLY) posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
}
