// The Paradox reader on arbitrary bytes, with a memo file made of the same
// bytes: opening, reading every value of every record and running a SELECT
// through SQLite must give rows or an engine error, never a crash or a hang.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "db/DBTables.h"
#include "db/ParadoxTable.h"

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
    try {
        TParadoxTable t(dir + "/t.db");
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
    return 0;
}
