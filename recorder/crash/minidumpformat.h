// The parts of the minidump file format the crash handler writes: the
// header and stream directory, system information, the exception record,
// the thread and memory lists, the module list with ELF build ids, and
// the AMD64 thread context. Layouts are the format's own (little endian,
// fields at their natural offsets); sizes are checked at compile time.
#pragma once

#include <cstddef>
#include <cstdint>

namespace minidump {

constexpr std::uint32_t kSignature = 0x504d444d;  // "MDMP"
constexpr std::uint32_t kVersion = 0xa793;

enum StreamType : std::uint32_t {
    STREAM_THREAD_LIST = 3,
    STREAM_MODULE_LIST = 4,
    STREAM_MEMORY_LIST = 5,
    STREAM_EXCEPTION = 6,
    STREAM_SYSTEM_INFO = 7,
    STREAM_COMMENT_A = 10,
    STREAM_MISC_INFO = 15,
    STREAM_LINUX_CPU_INFO = 0x47670003,
    STREAM_LINUX_PROC_STATUS = 0x47670004,
    STREAM_LINUX_CMD_LINE = 0x47670006,
    STREAM_LINUX_AUXV = 0x47670008,
    STREAM_LINUX_MAPS = 0x47670009,
};

constexpr std::uint16_t kArchitectureAmd64 = 9;
constexpr std::uint32_t kPlatformLinux = 0x8201;
constexpr std::uint32_t kCodeViewElf = 0x4270454c;  // "BpEL": build id follows
constexpr std::uint32_t kContextAmd64 = 0x00100000;
constexpr std::uint32_t kContextAmd64Full = kContextAmd64 | 0x1 | 0x2 | 0x4 | 0x8;  // control, integer, segments, fp
constexpr std::uint32_t kMiscProcessId = 0x1;

struct LocationDescriptor {
    std::uint32_t dataSize;
    std::uint32_t rva;
};

struct MemoryDescriptor {
    std::uint64_t startOfMemoryRange;
    LocationDescriptor memory;
};

struct Header {
    std::uint32_t signature;
    std::uint32_t version;
    std::uint32_t streamCount;
    std::uint32_t streamDirectoryRva;
    std::uint32_t checksum;
    std::uint32_t timeDateStamp;
    std::uint64_t flags;
};

struct Directory {
    std::uint32_t streamType;
    LocationDescriptor location;
};

struct Thread {
    std::uint32_t threadId;
    std::uint32_t suspendCount;
    std::uint32_t priorityClass;
    std::uint32_t priority;
    std::uint64_t teb;
    MemoryDescriptor stack;
    LocationDescriptor threadContext;
};

struct Exception {
    std::uint32_t exceptionCode;   // the signal number
    std::uint32_t exceptionFlags;  // the signal's si_code
    std::uint64_t exceptionRecord;
    std::uint64_t exceptionAddress;
    std::uint32_t numberParameters;
    std::uint32_t align;
    std::uint64_t exceptionInformation[15];
};

struct ExceptionStream {
    std::uint32_t threadId;
    std::uint32_t align;
    Exception exceptionRecord;
    LocationDescriptor threadContext;
};

struct SystemInfo {
    std::uint16_t processorArchitecture;
    std::uint16_t processorLevel;
    std::uint16_t processorRevision;
    std::uint8_t numberOfProcessors;
    std::uint8_t productType;
    std::uint32_t majorVersion;
    std::uint32_t minorVersion;
    std::uint32_t buildNumber;
    std::uint32_t platformId;
    std::uint32_t csdVersionRva;  // a string: the kernel's uname
    std::uint16_t suiteMask;
    std::uint16_t reserved2;
    std::uint32_t vendorId[3];  // cpuid 0: ebx, edx, ecx
    std::uint32_t versionInformation;
    std::uint32_t featureInformation;
    std::uint32_t amdExtendedCpuFeatures;
};

struct MiscInfo {
    std::uint32_t sizeOfInfo;
    std::uint32_t flags1;
    std::uint32_t processId;
    std::uint32_t processCreateTime;
    std::uint32_t processUserTime;
    std::uint32_t processKernelTime;
};

// A module record is 108 bytes: a 64-bit base followed by 32-bit fields,
// without tail padding.
constexpr std::size_t kModuleSize = 108;
struct Module {
    std::uint64_t baseOfImage;
    std::uint32_t sizeOfImage;
    std::uint32_t checksum;
    std::uint32_t timeDateStamp;
    std::uint32_t moduleNameRva;
    std::uint32_t versionInfo[13];
    LocationDescriptor cvRecord;
    LocationDescriptor miscRecord;
    std::uint32_t reserved[4];
} __attribute__((packed));

struct Uint128 {
    std::uint64_t low;
    std::uint64_t high;
};

struct ContextAmd64 {
    std::uint64_t homes[6];
    std::uint32_t contextFlags;
    std::uint32_t mxCsr;
    std::uint16_t cs, ds, es, fs, gs, ss;
    std::uint32_t eflags;
    std::uint64_t dr0, dr1, dr2, dr3, dr6, dr7;
    std::uint64_t rax, rcx, rdx, rbx, rsp, rbp, rsi, rdi;
    std::uint64_t r8, r9, r10, r11, r12, r13, r14, r15;
    std::uint64_t rip;
    std::uint8_t fxsave[512];  // the FXSAVE area: x87, MXCSR, XMM0-15
    Uint128 vectorRegister[26];
    std::uint64_t vectorControl;
    std::uint64_t debugControl;
    std::uint64_t lastBranchToRip;
    std::uint64_t lastBranchFromRip;
    std::uint64_t lastExceptionToRip;
    std::uint64_t lastExceptionFromRip;
};

static_assert(sizeof(Header) == 32);
static_assert(sizeof(Directory) == 12);
static_assert(sizeof(Thread) == 48);
static_assert(sizeof(ExceptionStream) == 168);
static_assert(sizeof(SystemInfo) == 56);
static_assert(sizeof(Module) == kModuleSize);
static_assert(sizeof(ContextAmd64) == 1232);
static_assert(offsetof(ContextAmd64, rip) == 0xF8);
static_assert(offsetof(ContextAmd64, fxsave) == 0x100);

}  // namespace minidump
