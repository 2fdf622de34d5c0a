// CRecordingMarker: the small file "<recording>.unfinished" that lies beside
// a recording while it is written and names the writing process ("pid=N").
// The FLV muxer creates it when it opens a recording and removes it once the
// file is finished; one that is left over marks a recording that a crash or
// a power cut left unfinished, which `flvtool repair` puts right.
//
// All functions are static and may be called from any thread; nothing is
// owned beyond the call.
#pragma once

#include <string>
#include <vector>

class CRecordingMarker {
public:
    // The marker's path for a recording.
    static std::string PathFor(const std::string& recording);
    // Writes the marker naming this process, durably (the marker and its
    // folder entry reach the disk). false when it could not be written.
    static bool Create(const std::string& recording);
    // Removes the marker; true when none is left.
    static bool Remove(const std::string& recording);
    // Whether a marker lies beside the recording.
    static bool Exists(const std::string& recording);
    // Whether the process the marker names still runs (a recording that is
    // being written must not be repaired). false without a marker.
    static bool WriterRuns(const std::string& recording);
    // The recordings in `folder` whose marker is left over (its process no
    // longer runs) and that still exist, sorted by name.
    static std::vector<std::string> FindUnfinished(const std::string& folder);
    // The folder a path lies in ("." for a bare name).
    static std::string FolderOf(const std::string& path);
    // Flushes a folder's entries to the disk (after a file was created,
    // renamed or removed in it).
    static void SyncFolder(const std::string& folder);
};
