#include "ucfileordinary.h"

namespace {
// Small enough that a reader of a growing file does not fetch far ahead of
// what it uses, large enough to batch small tag reads and text writes.
constexpr std::size_t kOrdinaryBufferSize = 64 * 1024;
}  // namespace

CUCFileOrdinary::CUCFileOrdinary() : CUCFileStdio(kOrdinaryBufferSize) {}
