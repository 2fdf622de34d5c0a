#include "minidumpwriter.h"

#include <dirent.h>
#include <elf.h>
#include <sys/utsname.h>
#include <unistd.h>

#if defined(__x86_64__)
#include <cpuid.h>
#endif

#include <cerrno>
#include <cstring>
#include <ctime>
#include <initializer_list>

#include "minidumpformat.h"
#include "rawsys.h"

namespace {

using namespace minidump;

// ---- memory set aside for the handler ------------------------------------

constexpr std::size_t kMapsBytes = 1 << 20;
constexpr std::size_t kMaxMappings = 8192;
constexpr std::size_t kMaxModules = 1024;
constexpr std::size_t kMaxBuildId = 32;
constexpr std::size_t kTextBytes = 64 * 1024;

struct Mapping {
    std::uint64_t start;
    std::uint64_t end;
    std::uint64_t offset;
    const char* path;  // inside s_maps, not 0-terminated; null when anonymous
    std::uint32_t pathLength;
    bool readable;
    bool executable;
};

struct ModuleEntry {
    std::uint64_t base;
    std::uint64_t end;
    const char* path;
    std::uint32_t pathLength;
    bool executable;
    std::uint8_t buildId[kMaxBuildId];
    std::uint32_t buildIdLength;
};

char s_maps[kMapsBytes];
std::size_t s_mapsLength = 0;
Mapping s_mappings[kMaxMappings];
std::size_t s_mappingCount = 0;
ModuleEntry s_modules[kMaxModules];
std::size_t s_moduleCount = 0;
char s_text[kTextBytes];
std::uint16_t s_wide[4096];
char s_uname[512];
std::uint32_t s_kernelVersion[3];
std::uint8_t s_processors = 1;

// ---- the output file -----------------------------------------------------

struct Output {
    int fd;
    std::uint32_t position;
    bool ok;

    std::uint32_t append(const void* data, std::size_t size) {
        const std::uint32_t at = position;
        if (ok && !rawsys::writeAll(fd, data, size)) ok = false;
        position += static_cast<std::uint32_t>(size);
        return at;
    }
    void alignTo8() {
        static const char zeros[8] = {};
        if (position % 8) append(zeros, 8 - position % 8);
    }
    // Memory of the process; a page that turns out unreadable is written
    // as zeros rather than faulting again.
    std::uint32_t appendMemory(std::uint64_t address, std::size_t size) {
        const std::uint32_t at = position;
        const char* p = reinterpret_cast<const char*>(address);
        std::size_t left = size;
        while (left > 0 && ok) {
            long n = rawsys::write(fd, p, left);
            if (n == -EINTR) continue;
            if (n == -EFAULT) {
                static const char zeros[4096] = {};
                const std::size_t chunk = left < sizeof zeros ? left : sizeof zeros;
                if (!rawsys::writeAll(fd, zeros, chunk)) ok = false;
                p += chunk;
                left -= chunk;
                continue;
            }
            if (n <= 0) {
                ok = false;
                break;
            }
            p += n;
            left -= static_cast<std::size_t>(n);
        }
        position += static_cast<std::uint32_t>(size);
        return at;
    }
    // A length-prefixed UTF-16 string from UTF-8 text.
    std::uint32_t appendString(const char* text, std::size_t length);
};

std::uint32_t Output::appendString(const char* text, std::size_t length) {
    std::size_t units = 0;
    const std::size_t capacity = sizeof s_wide / sizeof s_wide[0] - 1;
    for (std::size_t i = 0; i < length && units + 2 <= capacity;) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        std::uint32_t code = c;
        std::size_t extra = 0;
        if (c >= 0xF0) code = c & 0x07, extra = 3;
        else if (c >= 0xE0) code = c & 0x0F, extra = 2;
        else if (c >= 0xC0) code = c & 0x1F, extra = 1;
        else if (c >= 0x80) code = 0xFFFD;
        ++i;
        for (std::size_t k = 0; k < extra; ++k, ++i) {
            if (i >= length || (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
                code = 0xFFFD;
                break;
            }
            code = code << 6 | (static_cast<unsigned char>(text[i]) & 0x3F);
        }
        if (code >= 0x10000) {
            code -= 0x10000;
            s_wide[units++] = static_cast<std::uint16_t>(0xD800 | code >> 10);
            s_wide[units++] = static_cast<std::uint16_t>(0xDC00 | (code & 0x3FF));
        } else {
            s_wide[units++] = static_cast<std::uint16_t>(code);
        }
    }
    s_wide[units] = 0;
    alignTo8();
    const std::uint32_t bytes = static_cast<std::uint32_t>(units * 2);
    const std::uint32_t at = append(&bytes, 4);
    append(s_wide, units * 2 + 2);
    return at;
}

// ---- /proc/self/maps -----------------------------------------------------

std::uint64_t parseHex(const char*& p, const char* end) {
    std::uint64_t value = 0;
    while (p < end) {
        const char c = *p;
        int digit;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        else break;
        value = value << 4 | static_cast<unsigned>(digit);
        ++p;
    }
    return value;
}

void skipBlanks(const char*& p, const char* end) {
    while (p < end && *p == ' ') ++p;
}

void skipField(const char*& p, const char* end) {
    while (p < end && *p != ' ' && *p != '\n') ++p;
}

// Lines: "start-end perms offset dev inode   path".
void parseMaps() {
    s_mapsLength = rawsys::readFile("/proc/self/maps", s_maps, sizeof s_maps);
    s_mappingCount = 0;
    const char* p = s_maps;
    const char* end = s_maps + s_mapsLength;
    while (p < end && s_mappingCount < kMaxMappings) {
        const char* lineEnd = p;
        while (lineEnd < end && *lineEnd != '\n') ++lineEnd;
        Mapping m{};
        m.start = parseHex(p, lineEnd);
        if (p < lineEnd && *p == '-') ++p;
        m.end = parseHex(p, lineEnd);
        skipBlanks(p, lineEnd);
        m.readable = p < lineEnd && *p == 'r';
        m.executable = p + 2 < lineEnd && p[2] == 'x';
        skipField(p, lineEnd);
        skipBlanks(p, lineEnd);
        m.offset = parseHex(p, lineEnd);
        skipBlanks(p, lineEnd);
        skipField(p, lineEnd);  // device
        skipBlanks(p, lineEnd);
        skipField(p, lineEnd);  // inode
        skipBlanks(p, lineEnd);
        if (p < lineEnd && *p == '/') {
            m.path = p;
            m.pathLength = static_cast<std::uint32_t>(lineEnd - p);
        }
        if (m.end > m.start) s_mappings[s_mappingCount++] = m;
        p = lineEnd < end ? lineEnd + 1 : end;
    }
}

bool samePath(const Mapping& m, const ModuleEntry& module) {
    return m.path && m.pathLength == module.pathLength && std::memcmp(m.path, module.path, m.pathLength) == 0;
}

// True when [address, address + size) lies in readable mappings.
bool readable(std::uint64_t address, std::uint64_t size) {
    std::uint64_t at = address;
    const std::uint64_t end = address + size;
    if (end < address) return false;
    while (at < end) {
        bool found = false;
        for (std::size_t i = 0; i < s_mappingCount; ++i) {
            const Mapping& m = s_mappings[i];
            if (m.readable && at >= m.start && at < m.end) {
                at = m.end;
                found = true;
                break;
            }
        }
        if (!found) return false;
    }
    return true;
}

// The GNU build id from the module's program headers and notes, read from
// memory where the loader put them.
__attribute__((no_sanitize("address", "undefined"))) void readBuildId(ModuleEntry& module) {
    module.buildIdLength = 0;
    if (!readable(module.base, sizeof(Elf64_Ehdr))) return;
    const auto* header = reinterpret_cast<const Elf64_Ehdr*>(module.base);
    if (std::memcmp(header->e_ident, ELFMAG, SELFMAG) != 0 || header->e_ident[EI_CLASS] != ELFCLASS64) return;
    const std::uint64_t phdrs = module.base + header->e_phoff;
    const std::uint64_t phdrBytes = std::uint64_t(header->e_phnum) * sizeof(Elf64_Phdr);
    if (header->e_phentsize != sizeof(Elf64_Phdr) || !readable(phdrs, phdrBytes)) return;
    const auto* ph = reinterpret_cast<const Elf64_Phdr*>(phdrs);
    std::uint64_t lowest = ~std::uint64_t(0);
    for (unsigned i = 0; i < header->e_phnum; ++i)
        if (ph[i].p_type == PT_LOAD && ph[i].p_vaddr < lowest) lowest = ph[i].p_vaddr;
    if (lowest == ~std::uint64_t(0)) return;
    const std::uint64_t bias = module.base - (lowest & ~std::uint64_t(0xFFF));
    for (unsigned i = 0; i < header->e_phnum; ++i) {
        if (ph[i].p_type != PT_NOTE) continue;
        const std::uint64_t start = bias + ph[i].p_vaddr;
        const std::uint64_t size = ph[i].p_memsz;
        if (size > (1 << 20) || !readable(start, size)) continue;
        std::uint64_t at = start;
        while (at + sizeof(Elf64_Nhdr) <= start + size) {
            const auto* note = reinterpret_cast<const Elf64_Nhdr*>(at);
            const std::uint64_t name = at + sizeof(Elf64_Nhdr);
            const std::uint64_t desc = name + ((note->n_namesz + 3) & ~3u);
            const std::uint64_t next = desc + ((note->n_descsz + 3) & ~3u);
            if (next > start + size) break;
            if (note->n_type == NT_GNU_BUILD_ID && note->n_namesz == 4 &&
                std::memcmp(reinterpret_cast<const void*>(name), "GNU", 4) == 0 && note->n_descsz > 0) {
                const std::uint32_t n = note->n_descsz < kMaxBuildId ? note->n_descsz : kMaxBuildId;
                std::memcpy(module.buildId, reinterpret_cast<const void*>(desc), n);
                module.buildIdLength = n;
                return;
            }
            at = next;
        }
    }
}

// Modules: a file mapped from offset 0 starts one; later mappings of the
// same file extend it. Only files with executable code count (fonts and
// other data files are mapped too).
void collectModules() {
    s_moduleCount = 0;
    for (std::size_t i = 0; i < s_mappingCount; ++i) {
        const Mapping& m = s_mappings[i];
        if (!m.path) continue;
        ModuleEntry* last = s_moduleCount ? &s_modules[s_moduleCount - 1] : nullptr;
        if (m.offset != 0 && last && samePath(m, *last)) {
            last->end = m.end;
            last->executable = last->executable || m.executable;
            continue;
        }
        if (m.offset != 0) continue;
        if (last && !last->executable) --s_moduleCount;  // a data file: drop it
        if (s_moduleCount == kMaxModules) break;
        ModuleEntry& module = s_modules[s_moduleCount++];
        module = ModuleEntry{};
        module.base = m.start;
        module.end = m.end;
        module.path = m.path;
        module.pathLength = m.pathLength;
        module.executable = m.executable;
    }
    if (s_moduleCount && !s_modules[s_moduleCount - 1].executable) --s_moduleCount;
    for (std::size_t i = 0; i < s_moduleCount; ++i) readBuildId(s_modules[i]);
}

const Mapping* mappingAt(std::uint64_t address) {
    for (std::size_t i = 0; i < s_mappingCount; ++i)
        if (address >= s_mappings[i].start && address < s_mappings[i].end) return &s_mappings[i];
    return nullptr;
}

// ---- streams ----------------------------------------------------------------

void fillContext(ContextAmd64& out, const ucontext_t* uc) {
    std::memset(&out, 0, sizeof out);
#if defined(__x86_64__)
    const greg_t* g = uc->uc_mcontext.gregs;
    out.contextFlags = kContextAmd64Full;
    out.rax = g[REG_RAX], out.rbx = g[REG_RBX], out.rcx = g[REG_RCX], out.rdx = g[REG_RDX];
    out.rsi = g[REG_RSI], out.rdi = g[REG_RDI], out.rbp = g[REG_RBP], out.rsp = g[REG_RSP];
    out.r8 = g[REG_R8], out.r9 = g[REG_R9], out.r10 = g[REG_R10], out.r11 = g[REG_R11];
    out.r12 = g[REG_R12], out.r13 = g[REG_R13], out.r14 = g[REG_R14], out.r15 = g[REG_R15];
    out.rip = g[REG_RIP];
    out.eflags = static_cast<std::uint32_t>(g[REG_EFL]);
    const std::uint64_t segments = static_cast<std::uint64_t>(g[REG_CSGSFS]);
    out.cs = static_cast<std::uint16_t>(segments);
    out.gs = static_cast<std::uint16_t>(segments >> 16);
    out.fs = static_cast<std::uint16_t>(segments >> 32);
    if (uc->uc_mcontext.fpregs) {
        std::memcpy(out.fxsave, uc->uc_mcontext.fpregs, sizeof out.fxsave);
        out.mxCsr = uc->uc_mcontext.fpregs->mxcsr;
    }
#else
    (void)uc;
#endif
}

void fillSystemInfo(SystemInfo& info) {
    std::memset(&info, 0, sizeof info);
    info.processorArchitecture = kArchitectureAmd64;
    info.numberOfProcessors = s_processors;
    info.majorVersion = s_kernelVersion[0];
    info.minorVersion = s_kernelVersion[1];
    info.buildNumber = s_kernelVersion[2];
    info.platformId = kPlatformLinux;
#if defined(__x86_64__)
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(0, &a, &b, &c, &d)) {
        info.vendorId[0] = b, info.vendorId[1] = d, info.vendorId[2] = c;
    }
    if (__get_cpuid(1, &a, &b, &c, &d)) {
        info.versionInformation = a;
        info.featureInformation = d;
        unsigned family = (a >> 8) & 0xF, model = (a >> 4) & 0xF;
        if (family == 0xF) family += (a >> 20) & 0xFF;
        if (family == 6 || family >= 0xF) model |= ((a >> 16) & 0xF) << 4;
        info.processorLevel = static_cast<std::uint16_t>(family);
        info.processorRevision = static_cast<std::uint16_t>(model << 8 | (a & 0xF));
    }
    if (__get_cpuid(0x80000001, &a, &b, &c, &d)) info.amdExtendedCpuFeatures = b;
#endif
}

// "other threads: 1234 1235 ..." from /proc/self/task, without this one.
std::size_t otherThreadsText(long self) {
    s_text[0] = 0;
    rawsys::append(s_text, sizeof s_text, "other threads:");
    long fd = rawsys::open("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return rawsys::length(s_text);
    alignas(8) char entries[4096];
    for (;;) {
        long n = rawsys::call(SYS_getdents64, fd, reinterpret_cast<long>(entries), sizeof entries);
        if (n <= 0) break;
        for (long at = 0; at < n;) {
            const auto* entry = reinterpret_cast<const dirent64*>(entries + at);
            at += entry->d_reclen;
            const char* name = entry->d_name;
            if (name[0] < '0' || name[0] > '9') continue;
            long tid = 0;
            for (const char* q = name; *q >= '0' && *q <= '9'; ++q) tid = tid * 10 + (*q - '0');
            if (tid == self) continue;
            rawsys::append(s_text, sizeof s_text, " ");
            rawsys::append(s_text, sizeof s_text, name);
        }
    }
    rawsys::close(static_cast<int>(fd));
    return rawsys::length(s_text);
}

}  // namespace

void CMinidumpWriter::prepare() {
    utsname name{};
    if (::uname(&name) == 0) {
        s_uname[0] = 0;
        for (const char* part : std::initializer_list<const char*>{name.sysname, " ", name.release, " ", name.version, " ", name.machine})
            rawsys::append(s_uname, sizeof s_uname, part);
        const char* p = name.release;
        for (int i = 0; i < 3; ++i) {
            std::uint32_t v = 0;
            while (*p >= '0' && *p <= '9') v = v * 10 + static_cast<std::uint32_t>(*p++ - '0');
            s_kernelVersion[i] = v;
            if (*p == '.') ++p;
        }
    }
    const long processors = ::sysconf(_SC_NPROCESSORS_ONLN);
    s_processors = static_cast<std::uint8_t>(processors < 1 ? 1 : processors > 255 ? 255 : processors);
}

bool CMinidumpWriter::write(int fd, int signal, const siginfo_t* info, const ucontext_t* context) {
    Output out{fd, 0, true};
    constexpr std::uint32_t kStreams = 11;
    Header header{};
    header.signature = kSignature;
    header.version = kVersion;
    header.streamCount = kStreams;
    header.streamDirectoryRva = sizeof(Header);
    timespec now{};
    rawsys::call(SYS_clock_gettime, CLOCK_REALTIME, reinterpret_cast<long>(&now));
    header.timeDateStamp = static_cast<std::uint32_t>(now.tv_sec);
    out.append(&header, sizeof header);
    Directory directory[kStreams] = {};
    out.append(directory, sizeof directory);
    std::uint32_t n = 0;
    auto addStream = [&](std::uint32_t type, std::uint32_t rva, std::uint32_t size) {
        directory[n].streamType = type;
        directory[n].location = {size, rva};
        ++n;
    };

    parseMaps();
    collectModules();
    const long tid = rawsys::gettid();

    // The crashing thread: context and the top of its stack.
    ContextAmd64 registers;
    fillContext(registers, context);
    out.alignTo8();
    const std::uint32_t contextRva = out.append(&registers, sizeof registers);

    std::uint64_t stackStart = 0, stackSize = 0;
    const std::uint64_t sp = registers.rsp;
    const Mapping* stack = mappingAt(sp);
    if (!stack) {
        // A stack overflow can leave the pointer in the gap below the
        // stack: the stack is the mapping just above it.
        for (std::size_t i = 0; i < s_mappingCount; ++i)
            if (s_mappings[i].start > sp && s_mappings[i].start - sp < 65536 &&
                (!stack || s_mappings[i].start < stack->start))
                stack = &s_mappings[i];
    }
    if (stack && stack->readable) {
        // 128 bytes below the pointer are the red zone the function may use.
        stackStart = sp >= stack->start + 128 ? sp - 128 : stack->start;
        const std::uint64_t end = stack->end - stackStart > kMaxStackBytes ? stackStart + kMaxStackBytes : stack->end;
        stackSize = end - stackStart;
    }
    out.alignTo8();
    const std::uint32_t stackRva = stackSize ? out.appendMemory(stackStart, stackSize) : out.position;

    // Bytes around the instruction pointer, when they are mapped.
    const std::uint64_t ip = registers.rip;
    std::uint64_t codeStart = ip >= 128 ? ip - 128 : 0, codeSize = 0;
    if (readable(codeStart, 256)) codeSize = 256;
    out.alignTo8();
    const std::uint32_t codeRva = codeSize ? out.appendMemory(codeStart, codeSize) : out.position;

    // Thread list.
    out.alignTo8();
    {
        const std::uint32_t count = 1;
        Thread thread{};
        thread.threadId = static_cast<std::uint32_t>(tid);
        thread.stack = {stackStart, {static_cast<std::uint32_t>(stackSize), stackRva}};
        thread.threadContext = {sizeof registers, contextRva};
        const std::uint32_t at = out.append(&count, 4);
        out.append(&thread, sizeof thread);
        addStream(STREAM_THREAD_LIST, at, 4 + sizeof thread);
    }
    // Memory list: the stack and the code around the crash.
    out.alignTo8();
    {
        const std::uint32_t count = codeSize ? 2 : 1;
        MemoryDescriptor ranges[2] = {{stackStart, {static_cast<std::uint32_t>(stackSize), stackRva}},
                                      {codeStart, {static_cast<std::uint32_t>(codeSize), codeRva}}};
        const std::uint32_t at = out.append(&count, 4);
        out.append(ranges, sizeof(MemoryDescriptor) * count);
        addStream(STREAM_MEMORY_LIST, at, 4 + sizeof(MemoryDescriptor) * count);
    }
    // Exception.
    out.alignTo8();
    {
        ExceptionStream exception{};
        exception.threadId = static_cast<std::uint32_t>(tid);
        exception.exceptionRecord.exceptionCode = static_cast<std::uint32_t>(signal);
        exception.exceptionRecord.exceptionFlags = info ? static_cast<std::uint32_t>(info->si_code) : 0;
        exception.exceptionRecord.exceptionAddress = info ? reinterpret_cast<std::uint64_t>(info->si_addr) : 0;
        exception.threadContext = {sizeof registers, contextRva};
        addStream(STREAM_EXCEPTION, out.append(&exception, sizeof exception), sizeof exception);
    }
    // System information with the kernel's name as its version text.
    {
        SystemInfo system;
        fillSystemInfo(system);
        system.csdVersionRva = out.appendString(s_uname, rawsys::length(s_uname));
        out.alignTo8();
        addStream(STREAM_SYSTEM_INFO, out.append(&system, sizeof system), sizeof system);
    }
    // Module list: names and build ids first, then the records.
    {
        static std::uint32_t nameRva[kMaxModules];
        static LocationDescriptor cvRecord[kMaxModules];
        for (std::size_t i = 0; i < s_moduleCount; ++i) {
            const ModuleEntry& m = s_modules[i];
            nameRva[i] = out.appendString(m.path, m.pathLength);
            cvRecord[i] = {0, 0};
            if (m.buildIdLength) {
                out.alignTo8();
                const std::uint32_t at = out.append(&kCodeViewElf, 4);
                out.append(m.buildId, m.buildIdLength);
                cvRecord[i] = {4 + m.buildIdLength, at};
            }
        }
        out.alignTo8();
        const std::uint32_t count = static_cast<std::uint32_t>(s_moduleCount);
        const std::uint32_t at = out.append(&count, 4);
        for (std::size_t i = 0; i < s_moduleCount; ++i) {
            Module record{};
            record.baseOfImage = s_modules[i].base;
            record.sizeOfImage = static_cast<std::uint32_t>(s_modules[i].end - s_modules[i].base);
            record.moduleNameRva = nameRva[i];
            record.cvRecord = cvRecord[i];
            out.append(&record, kModuleSize);
        }
        addStream(STREAM_MODULE_LIST, at, static_cast<std::uint32_t>(4 + kModuleSize * s_moduleCount));
    }
    // Process id.
    out.alignTo8();
    {
        MiscInfo misc{};
        misc.sizeOfInfo = sizeof misc;
        misc.flags1 = kMiscProcessId;
        misc.processId = static_cast<std::uint32_t>(rawsys::getpid());
        addStream(STREAM_MISC_INFO, out.append(&misc, sizeof misc), sizeof misc);
    }
    // The Linux text streams, as the kernel gives them.
    out.alignTo8();
    addStream(STREAM_LINUX_MAPS, out.append(s_maps, s_mapsLength), static_cast<std::uint32_t>(s_mapsLength));
    struct {
        const char* path;
        std::uint32_t type;
    } const files[] = {{"/proc/self/status", STREAM_LINUX_PROC_STATUS},
                       {"/proc/self/cmdline", STREAM_LINUX_CMD_LINE},
                       {"/proc/self/auxv", STREAM_LINUX_AUXV}};
    for (const auto& file : files) {
        const std::size_t size = rawsys::readFile(file.path, s_text, sizeof s_text);
        out.alignTo8();
        addStream(file.type, out.append(s_text, size), static_cast<std::uint32_t>(size));
    }
    {
        const std::size_t size = otherThreadsText(tid);
        out.alignTo8();
        addStream(STREAM_COMMENT_A, out.append(s_text, size + 1), static_cast<std::uint32_t>(size + 1));
    }

    // The directory, now that every stream's place is known.
    if (out.ok && rawsys::lseek(fd, sizeof(Header), SEEK_SET) == static_cast<long>(sizeof(Header)))
        out.ok = rawsys::writeAll(fd, directory, sizeof directory);
    else
        out.ok = false;
    return out.ok && n == kStreams;
}
