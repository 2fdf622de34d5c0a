// CDiskSpace: free room for a recording. Folders on network file systems
// (NFS, SMB/CIFS, sshfs and other FUSE mounts) are not checked, as the
// query there is slow or meaningless.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

class CDiskSpace {
public:
    // Below this many free bytes a recording does not start, or stops.
    static constexpr std::uint64_t kMinimumFreeBytes = 0x100000;

    // The free bytes for an unprivileged writer on the file system of
    // folder; nothing when it is a network file system or cannot be queried.
    static std::optional<std::uint64_t> freeBytes(const std::string& folder);
    // True when folder is checked and has less than kMinimumFreeBytes free.
    static bool isBelowMinimum(const std::string& folder);

    // A mount's file-system type as /proc/self/mountinfo names it.
    static bool isNetworkFileSystem(std::string_view type);
    // The type of the mount holding path (the longest mount point that is a
    // prefix of it); empty when unknown. mountInfo: the mountinfo text.
    static std::string fileSystemType(const std::string& path, const std::string& mountInfo);
    static std::string readMountInfo();
};
