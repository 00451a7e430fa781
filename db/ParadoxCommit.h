// The way new files take the place of a Paradox table's old ones (.DB, .PX,
// .MB), so that a kill or a power loss at any moment leaves the table wholly
// old or wholly new, and a change cut short never overwrites what another
// program wrote to the table since.
//
// Every new file is first written whole beside the old ones under a work
// name; a commit marker then names the files to put in place, each with the
// stamp of the old file it replaces and of the new one. A marker found
// later is finished only while each of its files is still the old one it
// was made from or already the new one; otherwise the table changed after
// the kill (the shop's program went on with it), and the marker goes with
// its work files: the change is made again from the table as it is.
//
// The protocol's own names are fixed for each table, "CAIXA.DB.vxnew" and
// "CAIXA.VXCOMMIT" for Caixa.db: leftovers are found by those names only.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vx::db {

struct TParadoxNewFile {
    std::string path; // the file it replaces or makes (Linux path)
    std::vector<uint8_t> bytes;
};

// Puts new contents in place of a table's files (Linux paths, all in
// `folder`). Either every file is replaced or, after a failure before the
// commit marker, none is; raises EDBEngineError on a failure.
void ReplaceParadoxFiles(const std::string& folder, const std::string& tableStem,
                         const std::vector<TParadoxNewFile>& files);
// Completes a replacement a kill interrupted after its commit marker while
// the table is still the one it was made from, and removes the leftovers
// of one interrupted before (or made stale since). Cheap when there is none.
void RecoverParadoxTable(const std::string& folder, const std::string& tableStem);
// True for the names the replacement uses for its own work.
bool IsParadoxWorkFile(const std::string& name);
// The table stem such a name belongs to ("CAIXA" for "CAIXA.VXCOMMIT").
std::optional<std::string> ParadoxWorkFileStem(const std::string& name);

// For tests: called with the step about to be taken ("marker" before the
// marker's rename, then the name of each file before its rename, "done"
// before the marker's removal), so that a test can end the process there.
void SetParadoxCommitProbe(std::function<void(const std::string& step)> probe);

} // namespace vx::db
