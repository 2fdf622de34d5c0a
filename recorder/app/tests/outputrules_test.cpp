// Output naming, the free-space rule and the encoded size.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "diskspace.h"
#include "encodedsize.h"
#include "outputnaming.h"

namespace {

std::tm sampleTime() {
    std::tm t {};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 11;
    t.tm_mday = 8;
    t.tm_hour = 5;
    t.tm_min = 7;
    t.tm_sec = 9;
    return t;
}

std::string makeTempFolder() {
    char pattern[] = "/tmp/tolvane-app-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    return made ? made : "";
}

}  // namespace

TEST(OutputNaming, NamesFollowTheLocalTimeAndTheHostPrefix) {
    EXPECT_EQ(COutputNaming::fileName(sampleTime()), "20261208050709.flv");
    EXPECT_EQ(COutputNaming::outputPath("/rec", sampleTime(), false, "Alice"), "/rec/20261208050709.flv");
    EXPECT_EQ(COutputNaming::outputPath("/rec/", sampleTime(), true, "Alice"), "/rec/Alice-20261208050709.flv");
    EXPECT_EQ(COutputNaming::outputPath("/rec", sampleTime(), true, ""), "/rec/-20261208050709.flv");
    EXPECT_EQ(COutputNaming::dumpPath("/rec/a.flv"), "/rec/a.AAC");
}

TEST(OutputNaming, FoldersAreMadeLevelByLevel) {
    std::string base = makeTempFolder();
    ASSERT_FALSE(base.empty());
    std::string deep = base + "/one/two/three";
    EXPECT_TRUE(COutputNaming::ensureFolder(deep));
    EXPECT_TRUE(COutputNaming::folderExists(deep));
    // A level that is a file cannot become a folder.
    std::ofstream(base + "/file") << "x";
    EXPECT_FALSE(COutputNaming::ensureFolder(base + "/file/sub"));
    EXPECT_FALSE(COutputNaming::ensureFolder(""));
    std::system(("rm -rf '" + base + "'").c_str());
}

TEST(DiskSpace, NetworkFileSystemsAreSkipped) {
    for (const char* type : {"nfs", "nfs4", "cifs", "smb3", "fuse.sshfs", "fuse.rclone"})
        EXPECT_TRUE(CDiskSpace::isNetworkFileSystem(type)) << type;
    for (const char* type : {"ext4", "tmpfs", "btrfs", "xfs", "overlay", "fuseblk"})
        EXPECT_FALSE(CDiskSpace::isNetworkFileSystem(type)) << type;

    const std::string mounts =
        "22 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
        "40 22 0:40 / /mnt/share rw - cifs //server/share rw\n"
        "41 22 0:41 / /mnt/share\\040two rw shared:5 - fuse.sshfs host: rw\n"
        "42 22 0:42 / /mnt/sharelocal rw - tmpfs tmpfs rw\n";
    EXPECT_EQ(CDiskSpace::fileSystemType("/home/ann/Videos", mounts), "ext4");
    EXPECT_EQ(CDiskSpace::fileSystemType("/mnt/share/rec", mounts), "cifs");
    EXPECT_EQ(CDiskSpace::fileSystemType("/mnt/share two/rec", mounts), "fuse.sshfs");
    EXPECT_EQ(CDiskSpace::fileSystemType("/mnt/sharelocal", mounts), "tmpfs");
}

TEST(DiskSpace, LocalFoldersReportTheirFreeRoom) {
    auto bytes = CDiskSpace::freeBytes("/tmp");
    ASSERT_TRUE(bytes.has_value());
    EXPECT_GT(*bytes, 0u);
    EXPECT_FALSE(CDiskSpace::freeBytes("/no/such/folder/anywhere").has_value());
}

TEST(EncodedSize, RegionAndFullScreenRules) {
    auto expectSize = [](int w, int h, bool region, bool wide, int ew, int eh) {
        EncodedSize size = CEncodedSize::compute(w, h, region, wide);
        EXPECT_EQ(size.width, ew) << w << "x" << h << " region=" << region << " wide=" << wide;
        EXPECT_EQ(size.height, eh) << w << "x" << h << " region=" << region << " wide=" << wide;
    };
    expectSize(700, 393, true, true, 688, 384);   // own size, rounded down to 16
    expectSize(720, 405, true, true, 720, 400);
    expectSize(721, 405, true, true, 1280, 720);
    expectSize(600, 450, true, false, 592, 448);
    expectSize(601, 450, true, false, 800, 592);  // 800x600 rounded down
    expectSize(1920, 1080, false, true, 1280, 720);
    expectSize(640, 480, false, false, 1280, 720);
    expectSize(0, 0, true, true, 1280, 720);      // empty rectangle
    expectSize(8, 8, true, true, 16, 16);         // never below one block
}
