#include "basekit/ucfile.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

class UCFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/basekit_ucfile_XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        m_strDir = dir;
    }
    void TearDown() override {
        std::string cmd = "rm -rf '" + m_strDir + "'";
        EXPECT_EQ(std::system(cmd.c_str()), 0);
    }
    std::string Path(const char* name) const { return m_strDir + "/" + name; }

    std::string m_strDir;
};

using FilePtr = CUCAutoPtr<IUCFile>;

FilePtr Create(int type) {
    return FilePtr(CUCFileFactory::CreateUCFile(type));
}

std::string ReadAll(IUCFile* f, std::size_t max = 1 << 20) {
    std::string out(max, '\0');
    long n = f->Read(out.data(), max);
    out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return out;
}

off_t FileSize(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// True when the process has a descriptor open on `path` with FD_CLOEXEC set.
bool OpenWithCloexec(const std::string& path) {
    DIR* dir = opendir("/proc/self/fd");
    bool found = false;
    while (dirent* e = dir ? readdir(dir) : nullptr) {
        char target[PATH_MAX] = {};
        std::string link = std::string("/proc/self/fd/") + e->d_name;
        ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n > 0 && path == target) found = (fcntl(std::atoi(e->d_name), F_GETFD) & FD_CLOEXEC) != 0;
    }
    if (dir) closedir(dir);
    return found;
}

class DiskFileTest : public UCFileTest, public ::testing::WithParamInterface<int> {};

}  // namespace

TEST(UCFileFactory, CreatesCountedFilesOfTheKnownTypes) {
    for (int type : {0, 1, 2}) {
        IUCFile* f = CUCFileFactory::CreateUCFile(type);
        ASSERT_NE(f, nullptr) << type;
        EXPECT_EQ(f->AddReference(), 2);
        EXPECT_EQ(f->ReleaseReference(), 1);
        EXPECT_EQ(f->ReleaseReference(), 0);  // deleted here
    }
    EXPECT_EQ(CUCFileFactory::CreateUCFile(3), nullptr);
    EXPECT_EQ(CUCFileFactory::CreateUCFile(-1), nullptr);
}

TEST_P(DiskFileTest, WritesReadsSeeksAndReportsTheEnd) {
    std::string path = Path("data.bin");
    FilePtr f = Create(GetParam());
    EXPECT_EQ(f->Tell(), -1);
    EXPECT_NE(f->IsEof(), 0);
    EXPECT_EQ(f->Write("x", 1), -1);
    EXPECT_EQ(f->GetLastError(), EBADF);

    ASSERT_EQ(f->Open(path, "wb"), 0);
    EXPECT_TRUE(OpenWithCloexec(path));
    std::string block(1000, '\0');
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 7);
    EXPECT_EQ(f->Write(block.data(), block.size()), 1000);
    EXPECT_EQ(f->WriteString("xyz"), 3);
    EXPECT_EQ(f->Tell(), 1003);
    EXPECT_EQ(f->Flush(), 0);
    EXPECT_EQ(f->Close(), 0);
    EXPECT_EQ(FileSize(path), 1003);

    ASSERT_EQ(f->Open(path, "rb"), 0);
    EXPECT_EQ(f->IsEof(), 0);
    std::string head(500, '\0');
    EXPECT_EQ(f->Read(head.data(), 500), 500);
    EXPECT_EQ(head, block.substr(0, 500));
    EXPECT_EQ(f->IsEof(), 0);
    EXPECT_EQ(f->Seek(-3, 2), 0);
    EXPECT_EQ(ReadAll(f.Get()), "xyz");
    EXPECT_NE(f->IsEof(), 0);
    EXPECT_EQ(f->Seek(10, 0), 0);
    EXPECT_EQ(f->IsEof(), 0);
    EXPECT_EQ(f->Seek(5, 1), 0);
    EXPECT_EQ(f->Tell(), 15);
    EXPECT_EQ(f->Seek(-1, 0), EINVAL);
    EXPECT_EQ(f->Seek(0, 3), EINVAL);
    EXPECT_EQ(f->Tell(), 15);
    EXPECT_EQ(f->Write("no", 2), 0);  // opened for reading
    EXPECT_NE(f->GetLastError(), 0);

    // Patch in place, then read on without an explicit seek in between.
    ASSERT_EQ(f->Open(path, "r+b"), 0);
    EXPECT_EQ(f->Seek(1000, 0), 0);
    EXPECT_EQ(f->WriteString("XY"), 2);
    EXPECT_EQ(ReadAll(f.Get()), "z");
    EXPECT_EQ(f->Seek(998, 0), 0);
    EXPECT_EQ(ReadAll(f.Get()), block.substr(998) + "XYz");

    ASSERT_EQ(f->Open(path, "ab"), 0);
    EXPECT_EQ(f->WriteString("++"), 2);
    ASSERT_EQ(f->Open(path, "w+b"), 0);  // truncates
    EXPECT_EQ(f->WriteString("fresh"), 5);
    EXPECT_EQ(f->Seek(0, 0), 0);
    EXPECT_EQ(ReadAll(f.Get()), "fresh");
    EXPECT_EQ(f->Close(), 0);
    EXPECT_EQ(f->Close(), 0);
}

TEST_P(DiskFileTest, OpenFailuresGiveTheErrno) {
    FilePtr f = Create(GetParam());
    EXPECT_EQ(f->Open(Path("missing"), "rb"), ENOENT);
    EXPECT_EQ(f->GetLastError(), ENOENT);
    EXPECT_EQ(f->Open(Path("bad"), "rw"), EINVAL);
    EXPECT_EQ(f->Open(Path("bad"), "x"), EINVAL);
    EXPECT_EQ(f->Open(Path("bad"), nullptr), EINVAL);
    EXPECT_EQ(f->Open(m_strDir, "rb"), EISDIR);
    EXPECT_EQ(f->Open(Path("no/such/dir"), "wb"), ENOENT);
    EXPECT_EQ(f->Tell(), -1);
}

TEST_P(DiskFileTest, SeesDataAppendedByAnotherWriter) {
    std::string path = Path("growing.flv");
    FilePtr writer = Create(0);
    FilePtr reader = Create(GetParam());
    ASSERT_EQ(writer->Open(path, "wb"), 0);
    EXPECT_EQ(writer->WriteString("hello"), 5);
    ASSERT_EQ(writer->Flush(), 0);

    ASSERT_EQ(reader->Open(path, "rb"), 0);
    EXPECT_EQ(ReadAll(reader.Get()), "hello");
    EXPECT_NE(reader->IsEof(), 0);

    FilePtr appender = Create(0);
    ASSERT_EQ(appender->Open(path, "ab"), 0);
    EXPECT_EQ(appender->WriteString(" world"), 6);
    ASSERT_EQ(appender->Close(), 0);
    EXPECT_EQ(ReadAll(reader.Get()), " world");  // the same handle reads on

    ASSERT_EQ(writer->Seek(0, 2), 0);
    EXPECT_EQ(writer->WriteString("!"), 1);
    ASSERT_EQ(writer->Flush(), 0);
    ASSERT_EQ(reader->Close(), 0);
    ASSERT_EQ(reader->Open(path, "rb"), 0);
    EXPECT_EQ(reader->Seek(5, 0), 0);
    EXPECT_EQ(ReadAll(reader.Get()), " world!");
}

TEST_P(DiskFileTest, HandlesOffsetsBeyondFourGigabytes) {
    std::string path = Path("large.bin");
    const long kFar = 5L * 1024 * 1024 * 1024;  // a sparse file
    FilePtr f = Create(GetParam());
    ASSERT_EQ(f->Open(path, "wb"), 0);
    ASSERT_EQ(f->Seek(kFar, 0), 0);
    EXPECT_EQ(f->WriteString("tail"), 4);
    EXPECT_EQ(f->Tell(), kFar + 4);
    ASSERT_EQ(f->Close(), 0);
    ASSERT_EQ(f->Open(path, "rb"), 0);
    ASSERT_EQ(f->Seek(0, 2), 0);
    EXPECT_EQ(f->Tell(), kFar + 4);
    ASSERT_EQ(f->Seek(-4, 2), 0);
    EXPECT_EQ(ReadAll(f.Get()), "tail");
}

INSTANTIATE_TEST_SUITE_P(OrdinaryAndMedia, DiskFileTest, ::testing::Values(0, 1));

TEST_F(UCFileTest, MediaFileBuffersSmallWrites) {
    std::string path = Path("media.flv");
    FilePtr f = Create(CUCFileFactory::UCFILE_MEDIA);
    ASSERT_EQ(f->Open(path, "wb"), 0);
    std::string tag(4096, 't');
    for (int i = 0; i < 128; ++i) ASSERT_EQ(f->Write(tag.data(), tag.size()), 4096);
    EXPECT_EQ(FileSize(path), 0);  // 512 KiB still in the buffer
    ASSERT_EQ(f->Flush(), 0);
    EXPECT_EQ(FileSize(path), 128 * 4096);
}

// Writes into a file whose size is capped by RLIMIT_FSIZE, in a child process so
// that the cap does not reach the test process. Returns what went wrong, or "".
static std::string WriteUnderSizeLimit(const std::string& dir) {
    int fds[2];
    if (pipe(fds) != 0) return "pipe";
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{65536, 65536};
        setrlimit(RLIMIT_FSIZE, &limit);
        std::string failures;
        auto check = [&](bool ok, const std::string& what) {
            if (!ok) failures += what + "; ";
        };
        std::string big(2 * 1024 * 1024, 'b');  // larger than any stdio buffer of the files
        for (int type : {0, 1}) {
            std::string t = "type " + std::to_string(type) + ": ";
            IUCFile* f = CUCFileFactory::CreateUCFile(type);
            check(f->Open(dir + "/big", "wb") == 0, t + "open");
            long n = f->Write(big.data(), big.size());
            check(n >= 0 && n < static_cast<long>(big.size()), t + "one large write returned " + std::to_string(n));
            check(f->GetLastError() == EFBIG, t + "error " + std::to_string(f->GetLastError()));
            check(f->Close() == EFBIG, t + "close after a short write");

            // Small writes fill the buffer; the failure shows when it is written
            // out, by a write, by Flush, and again by Close.
            for (bool flush : {true, false}) {
                check(f->Open(dir + "/small", "wb") == 0, t + "open small");
                bool shortWrite = false;
                for (int i = 0; i < 32 && !shortWrite; ++i) shortWrite = f->Write(big.data(), 4096) != 4096;
                if (flush && !shortWrite) check(f->Flush() == EFBIG, t + "flush");
                check(f->Close() == EFBIG, t + "close, flush=" + std::to_string(flush));
                check(f->GetLastError() == EFBIG, t + "error " + std::to_string(f->GetLastError()));
            }
            f->ReleaseReference();
        }
        ssize_t ignored = write(fds[1], failures.data(), failures.size());
        (void)ignored;
        _exit(0);
    }
    close(fds[1]);
    std::string report;
    char buf[256];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) report.append(buf, static_cast<std::size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) report += "child died";
    return report;
}

TEST_F(UCFileTest, ShortWritesAndFlushFailuresAreReported) {
    EXPECT_EQ(WriteUnderSizeLimit(m_strDir), "");
}

TEST(UCFileMemory, ReadsBytesWithNulsAndIsReadOnly) {
    const std::string data("a\0b\0cdef", 8);
    FilePtr f = Create(CUCFileFactory::UCFILE_MEMORY);
    EXPECT_EQ(f->Open(data, "wb"), EINVAL);
    EXPECT_EQ(f->Open(data, "r+b"), EINVAL);
    ASSERT_EQ(f->Open(data, "rb"), 0);
    char buf[16] = {};
    EXPECT_EQ(f->Read(buf, 3), 3);
    EXPECT_EQ(std::string(buf, 3), std::string("a\0b", 3));
    EXPECT_EQ(f->Tell(), 3);
    EXPECT_EQ(f->IsEof(), 0);
    EXPECT_EQ(f->Read(buf, 16), 5);
    EXPECT_EQ(std::string(buf, 5), std::string("\0cdef", 5));
    EXPECT_NE(f->IsEof(), 0);
    EXPECT_EQ(f->Seek(-2, 2), 0);
    EXPECT_EQ(f->IsEof(), 0);
    EXPECT_EQ(f->Read(buf, 2), 2);
    EXPECT_EQ(f->IsEof(), 0);  // exactly at the end, not past it
    EXPECT_EQ(f->Read(buf, 1), 0);
    EXPECT_NE(f->IsEof(), 0);
    EXPECT_EQ(f->Seek(-1, 1), 0);
    EXPECT_EQ(f->Tell(), 7);
    EXPECT_EQ(f->Seek(-10, 0), EINVAL);
    EXPECT_EQ(f->Seek(0, 5), EINVAL);
    EXPECT_EQ(f->Tell(), 7);
    EXPECT_EQ(f->Seek(100, 0), 0);
    EXPECT_EQ(f->Read(buf, 1), 0);
    EXPECT_EQ(f->Write("x", 1), -1);
    EXPECT_EQ(f->WriteString("x"), -1);
    EXPECT_EQ(f->GetLastError(), EBADF);
    EXPECT_EQ(f->Flush(), 0);
    EXPECT_EQ(f->Close(), 0);
    EXPECT_EQ(f->Tell(), -1);
    EXPECT_NE(f->IsEof(), 0);
    EXPECT_EQ(f->Read(buf, 1), -1);
}
