#include "db/ParadoxCommit.h"

#include <algorithm>
#include <array>
#include <sstream>

#include "db/DBTypes.h"
#include "platform/NativeFiles.h"
#include "platform/SysUtils.h"
#include "platform/Text.h"

namespace vx::db {

using namespace vx::platform;

namespace {

constexpr const char* kWorkSuffix = ".vxnew";
constexpr const char* kMarkerSuffix = ".VXCOMMIT";
constexpr const char* kMarkerHead = "VXCOMMIT 2";
// The kinds of file a table has, in the spelling of their work names.
constexpr std::array<const char*, 3> kKinds{".DB", ".PX", ".MB"};
// What of a file the stamps hash: the header, where a Paradox table counts
// its records and blocks.
constexpr size_t kStampedBytes = 4096;
constexpr size_t kMarkerMax = 64 * 1024;
constexpr uint32_t kNewFileMode = 0644;

std::function<void(const std::string&)>& probe() {
    static std::function<void(const std::string&)> p;
    return p;
}

void step(const std::string& what) {
    if (probe())
        probe()(what);
}

uint64_t fnv1a(const uint8_t* p, size_t n) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (size_t i = 0; i < n; ++i)
        h = (h ^ p[i]) * 0x100000001b3ull;
    return h;
}

std::string baseName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string workName(const std::string& stem, const std::string& kind) {
    return UpperCase(stem) + kind + kWorkSuffix;
}

std::string markerName(const std::string& stem) {
    return UpperCase(stem) + kMarkerSuffix;
}

// Which of the table's kinds a file of the table is, by its extension.
std::optional<std::string> kindOf(const std::string& stem, const std::string& name) {
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || !SameText(name.substr(0, dot), stem))
        return std::nullopt;
    for (const char* k : kKinds)
        if (SameText(name.substr(dot), k))
            return std::string(k);
    return std::nullopt;
}

// A file as the marker records it. The old file must be found again with
// its times (a rename has not touched it); the new one is matched without
// its change time, which its own rename moves.
struct TRecorded {
    bool exists = false;
    uint64_t device = 0, id = 0, size = 0, hash = 0;
    int64_t modifiedNs = 0, changedNs = 0;
};

TRecorded record(const TFileStamp& s, uint64_t hash) {
    return {s.exists, s.device, s.id, s.size, hash, s.modifiedNs, s.changedNs};
}

std::string text(const TRecorded& r) {
    if (!r.exists)
        return "-";
    std::ostringstream o;
    o << r.device << ':' << r.id << ':' << r.size << ':' << r.modifiedNs << ':' << r.changedNs << ':'
      << r.hash;
    return o.str();
}

std::optional<TRecorded> parse(const std::string& s) {
    TRecorded r;
    if (s == "-")
        return r;
    std::istringstream in(s);
    char c1 = 0, c2 = 0, c3 = 0, c4 = 0, c5 = 0;
    in >> r.device >> c1 >> r.id >> c2 >> r.size >> c3 >> r.modifiedNs >> c4 >> r.changedNs >> c5 >> r.hash;
    if (!in || !in.eof() || c1 != ':' || c2 != ':' || c3 != ':' || c4 != ':' || c5 != ':')
        return std::nullopt;
    r.exists = true;
    return r;
}

uint64_t headHash(const TDurableFolder& folder, const std::string& name) {
    std::string head;
    folder.ReadFile(name, head, kStampedBytes);
    return fnv1a(reinterpret_cast<const uint8_t*>(head.data()), head.size());
}

TRecorded recordNow(const TDurableFolder& folder, const std::string& name) {
    const TFileStamp s = folder.Stamp(name);
    return record(s, s.exists && s.regular ? headHash(folder, name) : 0);
}

bool sameOld(const TRecorded& now, const TRecorded& old) {
    if (!old.exists)
        return !now.exists;
    return now.exists && now.device == old.device && now.id == old.id && now.size == old.size &&
           now.modifiedNs == old.modifiedNs && now.changedNs == old.changedNs && now.hash == old.hash;
}

bool sameNew(const TRecorded& now, const TRecorded& made) {
    return now.exists && made.exists && now.device == made.device && now.id == made.id &&
           now.size == made.size && now.modifiedNs == made.modifiedNs && now.hash == made.hash;
}

struct TEntry {
    std::string kind, target;
    TRecorded old, made;
};

// The marker's entries; nothing when it is not one this protocol wrote for
// this table (another version's, damaged, or naming other files).
std::optional<std::vector<TEntry>> readMarker(const TDurableFolder& folder, const std::string& stem) {
    std::string bytes;
    if (!folder.ReadFile(markerName(stem), bytes, kMarkerMax) || bytes.size() >= kMarkerMax)
        return std::nullopt;
    std::istringstream in(bytes);
    std::string line;
    if (!std::getline(in, line) || line != kMarkerHead)
        return std::nullopt;
    std::vector<TEntry> entries;
    bool ended = false;
    while (std::getline(in, line)) {
        if (line == "end") {
            ended = true;
            break;
        }
        std::vector<std::string> parts;
        std::istringstream fields(line);
        for (std::string p; std::getline(fields, p, '\t');)
            parts.push_back(p);
        if (parts.size() != 4)
            return std::nullopt;
        TEntry e;
        e.kind = parts[0];
        e.target = parts[1];
        const auto old = parse(parts[2]), made = parse(parts[3]);
        if (!old || !made || !made->exists || kindOf(stem, e.target) != e.kind)
            return std::nullopt;
        for (const auto& other : entries)
            if (other.kind == e.kind)
                return std::nullopt;
        e.old = *old;
        e.made = *made;
        entries.push_back(std::move(e));
    }
    if (!ended || entries.empty())
        return std::nullopt;
    return entries;
}

// Removes every name the protocol may have left for the table.
void removeLeftovers(TDurableFolder& folder, const std::string& stem) {
    for (const char* k : kKinds)
        folder.Remove(workName(stem, k));
    folder.Remove(markerName(stem) + kWorkSuffix);
    folder.Remove(markerName(stem));
}

} // namespace

void SetParadoxCommitProbe(std::function<void(const std::string&)> p) {
    probe() = std::move(p);
}

std::optional<std::string> ParadoxWorkFileStem(const std::string& name) {
    std::vector<std::string> suffixes{std::string(kMarkerSuffix), std::string(kMarkerSuffix) + kWorkSuffix};
    for (const char* k : kKinds)
        suffixes.push_back(std::string(k) + kWorkSuffix);
    for (const auto& s : suffixes)
        if (name.size() > s.size() && name.compare(name.size() - s.size(), s.size(), s) == 0) {
            std::string stem = name.substr(0, name.size() - s.size());
            if (stem == UpperCase(stem))
                return stem;
        }
    return std::nullopt;
}

bool IsParadoxWorkFile(const std::string& name) {
    return ParadoxWorkFileStem(name).has_value();
}

void RecoverParadoxTable(const std::string& folderPath, const std::string& stem) {
    TDurableFolder folder(folderPath);
    if (!folder.IsOpen())
        return;
    const std::string marker = markerName(stem);
    const TFileStamp markerStamp = folder.Stamp(marker);
    bool anything = markerStamp.exists || folder.Stamp(marker + kWorkSuffix).exists;
    for (const char* k : kKinds)
        anything = anything || folder.Stamp(workName(stem, k)).exists;
    if (!anything)
        return;
    if (!markerStamp.exists) { // cut short before its commit: the old table stands
        removeLeftovers(folder, stem);
        return;
    }
    // Each file must be either still the old one with its new one waiting,
    // or already the new one; anything else means the table was written
    // since, and finishing the change would undo that.
    const auto entries = readMarker(folder, stem);
    bool current = entries.has_value();
    std::vector<const TEntry*> pending;
    if (current)
        for (const TEntry& e : *entries) {
            const TRecorded now = recordNow(folder, e.target);
            const TRecorded work = recordNow(folder, workName(stem, e.kind));
            if (sameNew(now, e.made) && !work.exists)
                continue;
            if (sameOld(now, e.old) && sameNew(work, e.made)) {
                pending.push_back(&e);
                continue;
            }
            current = false;
            break;
        }
    if (!current) {
        removeLeftovers(folder, stem);
        folder.Flush();
        return;
    }
    // As in the change itself: the data file last, and nothing after a
    // rename that fails.
    std::stable_partition(pending.begin(), pending.end(), [](const TEntry* e) { return e->kind != ".DB"; });
    bool complete = true;
    for (const TEntry* e : pending)
        if (!folder.Rename(workName(stem, e->kind), e->target)) {
            complete = false;
            break;
        }
    folder.Flush();
    // The marker's removal need not reach the disk before going on: a marker
    // that comes back after a power cut finds its files already new.
    if (complete)
        removeLeftovers(folder, stem);
}

void ReplaceParadoxFiles(const std::string& folderPath, const std::string& stem,
                         const std::vector<TParadoxNewFile>& files) {
    RecoverParadoxTable(folderPath, stem);
    TDurableFolder folder(folderPath);
    if (!folder.IsOpen())
        throw EDBEngineError(Format("Cannot open folder %s: %s", Utf8ToAnsi(folderPath), folder.LastError()));
    const std::string marker = markerName(stem);
    std::vector<std::string> written;
    auto fail = [&](const std::string& name) {
        const std::string why = folder.LastError();
        for (const auto& w : written)
            folder.Remove(w);
        throw EDBEngineError(Format("Cannot create file %s: %s", Utf8ToAnsi(folderPath + "/" + name), why));
    };
    std::string plan = std::string(kMarkerHead) + "\n";
    std::vector<std::pair<std::string, std::string>> renames;
    for (const auto& f : files) {
        const std::string target = baseName(f.path);
        const auto kind = kindOf(stem, target);
        const size_t slash = f.path.rfind('/');
        const std::string in = slash == std::string::npos ? std::string(".") : f.path.substr(0, slash);
        if (!kind || in != (folderPath.empty() ? std::string(".") : folderPath))
            throw EDBEngineError(
                Format("%s is not a file of table %s", Utf8ToAnsi(f.path), Utf8ToAnsi(stem)));
        const std::string work = workName(stem, *kind);
        const TFileStamp oldStamp = folder.Stamp(target);
        const TRecorded old =
            record(oldStamp, oldStamp.exists && oldStamp.regular ? headHash(folder, target) : 0);
        const uint32_t mode = oldStamp.exists && oldStamp.regular ? oldStamp.mode & 0666 : kNewFileMode;
        if (!folder.CreateNewFile(work, f.bytes.data(), f.bytes.size(), mode | 0600, true))
            fail(work);
        written.push_back(work);
        TRecorded made =
            record(folder.Stamp(work), fnv1a(f.bytes.data(), std::min(f.bytes.size(), kStampedBytes)));
        plan += *kind + "\t" + target + "\t" + text(old) + "\t" + text(made) + "\n";
        renames.emplace_back(work, target);
    }
    plan += "end\n";
    // The marker is the commit: once it is in place the new files win.
    if (!folder.CreateNewFile(marker + kWorkSuffix, plan.data(), plan.size(), kNewFileMode, true))
        fail(marker + kWorkSuffix);
    written.push_back(marker + kWorkSuffix);
    step("marker");
    if (!folder.Rename(marker + kWorkSuffix, marker) || !folder.Flush())
        fail(marker);
    // The files are put in place as the marker says, from the plan in hand
    // rather than read back; a rename that fails leaves the marker for the
    // next look at the table to finish.
    // The data file goes last: until it is in place the table is the old
    // one, which a new memo file or index beside it does not change for a
    // reader that follows the data file.
    std::stable_partition(renames.begin(), renames.end(),
                          [](const auto& r) { return r.first.find(".DB.") == std::string::npos; });
    // The first rename that fails (a file held open on Windows) stops the
    // rest: the data file must not go in place beside an old memo file or
    // index, which its records do not fit.
    bool complete = true;
    for (const auto& [work, target] : renames) {
        step(target);
        if (!folder.Rename(work, target)) {
            complete = false;
            break;
        }
    }
    folder.Flush();
    step("done");
    if (complete)
        folder.Remove(marker);
}

} // namespace vx::db
