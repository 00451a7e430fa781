// Writes the files of one extraction pass into the folders they go to:
// checks each target's name against its folder (names the run protects,
// symbolic links leading out, two entries meeting on one file), makes the
// folders, writes each entry into a temporary beside its target and hands
// the finished temporary to the deferred commit, which flushes it and
// renames it into place.
//
// Lives for one pass: what it learnt of the folders (their listings, the
// folders made and checked, where each really is) holds only while the
// pass alone makes files below them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/Streams.h"
#include "platform/SysUtils.h"

namespace vx::platform {
class TFolderIndex;
}

namespace vx::zip {

using namespace vx::platform;

class TZADeferredCommit;

class TZADiskWriter {
public:
    // What a finished file takes from its entry.
    struct FileFacts {
        int32_t index = -1;         // the directory item, for reporting a failure
        uint32_t attributes = 0;    // external attributes, as the extract event left them
        uint16_t versionMadeBy = 0; // its high byte: the system the entry was made on
        int32_t dosTime = 0;        // MS-DOS date and time, local
        bool setAttributes = true;  // the option SetAttributes
    };
    // A file whose flush or rename failed: nothing of it is in place.
    struct Failure {
        int32_t index = -1;
        std::string linuxTarget;
    };

    // reporter: the component named in the messages. protectedNames:
    // names relative to the folder extracted into that no entry replaces.
    TZADiskWriter(const TComponent* reporter, std::vector<std::string> protectedNames);
    // Puts in place what was written (on every way out).
    ~TZADiskWriter();
    TZADiskWriter(const TZADiskWriter&) = delete;
    TZADiskWriter& operator=(const TZADiskWriter&) = delete;

    // A stored name that would reach outside the folder it is extracted
    // into, or that did not fit: code 19.
    void CheckStoredName(const std::string& name, bool nameCut) const;
    // The name dir + name (dir empty: the name is a whole path) is one the
    // run protects, or leads out of dir through a symbolic link: code 19.
    void CheckTarget(const std::string& dir, const std::string& name);
    // Makes the folder and those above it: code 20 when it cannot.
    void MakeFolder(const std::string& folder);
    // A second entry of the pass for the same file: code 19.
    void CheckFirstForTarget(const std::string& target) const;
    // Whether a file (not a folder) of that name is there.
    bool FileExists(const std::string& target);

    // Writes one file: a temporary beside the target, filled by decode,
    // which returns false to drop it (the entry was skipped or cancelled);
    // then its time and attributes, and the commit. Code 19 when the
    // target is a folder or no temporary can be made; what decode raises
    // goes on, the temporary removed.
    void WriteFile(const std::string& target, const FileFacts& facts,
                   const std::function<bool(TStream& out)>& decode);
    // Puts every file written in place; the ones that failed are given
    // back, and then the targets may be written again.
    std::vector<Failure> FinishCommits();

    // How many folders had their steps looked at for links (for the tests
    // of the cache).
    size_t FoldersChecked() const { return foldersChecked_.size(); }

private:
    std::string temporaryBeside(const std::string& target);
    bool isProtected(const std::string& dir, const std::string& name) const;
    bool leadsOutside(const std::string& dir, const std::string& name);
    bool needsFlush(const std::string& linuxFolder);

    const TComponent* reporter_;
    const std::vector<std::string> protectedNames_;
    const uint32_t umask_;
    const long pid_;
    std::unique_ptr<TFolderIndex> folderIndex_;
    std::unique_ptr<TZADeferredCommit> commit_;
    std::unordered_set<std::string> foldersMade_;
    std::unordered_set<std::string> targetsWritten_;
    // Folders below a target folder whose steps were found not to lead out.
    std::unordered_set<std::string> foldersChecked_;
    // Each target folder's real path, resolved once.
    std::unordered_map<std::string, std::string> realFolders_;
    // Whether files in each Linux folder are flushed before their rename.
    std::unordered_map<std::string, bool> flushFolders_;
};

} // namespace vx::zip
