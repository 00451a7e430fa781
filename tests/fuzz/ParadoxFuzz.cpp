// The Paradox reader on arbitrary bytes, with a memo file made of the same
// bytes: opening (with the keys the header names, so that the cipher is
// exercised too), reading every value of every record, running a SELECT
// through SQLite and adding a field must give rows or an engine error,
// never a crash or a hang.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "db/DBTables.h"
#include "db/ParadoxTable.h"

using namespace vx::db;

namespace {
void write(const std::string& path, const uint8_t* data, size_t size) {
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string dir = [] {
        std::string d = "/tmp/vx-fuzz-paradox-" + std::to_string(getpid());
        mkdir(d.c_str(), 0700);
        return d;
    }();
    write(dir + "/t.db", data, size);
    write(dir + "/t.mb", data, size);
    const uint32_t keys[] = {size >= 0x29 ? ReadU32LE(data + 0x25) : 0u,
                             size >= 0x60 ? ReadU32LE(data + 0x5C) : 0u};
    bool opened = false;
    try {
        TParadoxTable t(dir + "/t.db", {keys[0], keys[1]});
        opened = true;
        TParadoxTable::Cursor c(t);
        for (c.Rewind(); !c.Eof(); c.Next())
            for (size_t i = 0; i < t.Fields().size(); ++i)
                c.Value(static_cast<int>(i));
    } catch (const EDBEngineError&) {
    }
    try {
        TQuery q;
        q.SetDatabaseName(dir);
        q.SQL().Add("SELECT * FROM t");
        q.Open();
    } catch (const EDBEngineError&) {
    }
    if (opened) { // a table the reader takes must also be rewritten, or refused, cleanly
        try {
            TQuery q;
            q.SetDatabaseName(dir);
            q.SQL().Add("ALTER TABLE t ADD Fuzz Float");
            q.ExecSQL();
        } catch (const EDBEngineError&) {
        }
        unlink((dir + "/t.px").c_str());
    }
    return 0;
}
