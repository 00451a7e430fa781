// Cost of the schema reconciliation on local tables: a schema table of N
// tables (default 300) of 10 fields each against a shop folder that has
// every second table (complete), so that N/2 CREATE TABLE and 9N/2 ALTER
// TABLE statements are needed. The shop's tables are Paradox tables, as a
// shop has them. Each round times, on a fresh copy of the shop folder:
//   updater  ConferirTabelas of the window's reconciler, opened on the folder as a run does
//   engine   the same statements, one TQuery.ExecSQL each, on the same folder
//   sqlite   the same statements through SQLite itself, on a copy of the shop
//            made of SQLite files, opening each table's file for its
//            statement (a table is a file of its own)
// and prints the medians, the ratios and the peak memory, which show the
// updater's own overhead (schema reading, table listing, field lookups)
// over the work of the statements.
// Usage: reconcile_bench [--rounds N] [--dir FOLDER] [--tables N] [--only WAY]
//        (FOLDER default: $TMPDIR or /tmp; try /dev/shm to leave the disk out;
//        --only updater|engine|sqlite runs one way, for a profiler;
//        --tables 10000 is the size of a large shop's schema)
#include <sqlite3.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "app/UAtualizarVersaoVendarix.h"
#include "db/DBTables.h"
#include "platform/Application.h"
#include "platform/Dialogs.h"

using namespace vx::platform;
using namespace vx::db;
using namespace vx::app;

namespace fs = std::filesystem;

namespace {

constexpr int kFieldsPerTable = 10;
const char* const kTypes[] = {"Integer", "Varchar(20)", "Float", "Date", "Varchar(60)"};

struct Row {
    std::string tabela, campo, tipo;
};

void check(int rc, sqlite3* db, const char* what) {
    if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
        std::fprintf(stderr, "%s: %s\n", what, db ? sqlite3_errmsg(db) : "?");
        std::exit(3);
    }
}

void execFile(const std::string& file, const std::string& sql) {
    sqlite3* db = nullptr;
    check(sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr), db,
          "open");
    check(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), db, sql.c_str());
    sqlite3_close(db);
}

std::vector<Row> schemaRows(int tables) {
    std::vector<Row> rows;
    for (int t = 0; t < tables; ++t) {
        char name[32];
        std::snprintf(name, sizeof name, "Tabela%03d", t);
        for (int f = 0; f < kFieldsPerTable; ++f) {
            char field[32];
            std::snprintf(field, sizeof field, "Campo%02d", f);
            rows.push_back({name, field, kTypes[(t + f) % 5]});
        }
    }
    return rows;
}

// Talvir.db: the schema rows in stored order.
void writeSchemaTable(const std::string& file, const std::vector<Row>& rows) {
    sqlite3* db = nullptr;
    check(sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr), db,
          "open");
    check(sqlite3_exec(db,
                       "CREATE TABLE Talvir (Tabela Varchar(40), Campo Varchar(40), Tipo Varchar(20)); BEGIN",
                       nullptr, nullptr, nullptr),
          db, "schema");
    sqlite3_stmt* st = nullptr;
    check(sqlite3_prepare_v2(db, "INSERT INTO Talvir VALUES (?, ?, ?)", -1, &st, nullptr), db, "prepare");
    for (const Row& r : rows) {
        sqlite3_bind_text(st, 1, r.tabela.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(st, 2, r.campo.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(st, 3, r.tipo.c_str(), -1, SQLITE_TRANSIENT);
        check(sqlite3_step(st), db, "insert");
        sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db, "commit");
    sqlite3_close(db);
}

std::string createStatement(const std::vector<Row>& rows, size_t i) {
    std::string sql = "CREATE TABLE " + rows[i].tabela + " (";
    for (int f = 0; f < kFieldsPerTable; ++f)
        sql += rows[i + f].campo + " " + rows[i + f].tipo + ", ";
    return sql + "PRIMARY KEY(" + rows[i].campo + "))";
}

// The shop has every second table of the schema, complete: as SQLite files
// for the direct way, as Paradox tables written by the engine for the others.
void writeShop(const std::string& folder, const std::vector<Row>& rows, bool paradox) {
    fs::create_directories(folder);
    TDatabase db;
    if (paradox) {
        db.SetDatabaseName("Modelo");
        db.SetDriverName("STANDARD");
        db.SetLoginPrompt(false);
        db.Params().Add("PATH=" + folder);
        db.Open();
    }
    TQuery q;
    q.SetDatabaseName("Modelo");
    for (size_t i = 0; i < rows.size(); i += kFieldsPerTable) {
        if ((i / kFieldsPerTable) % 2 == 1)
            continue;
        if (!paradox) {
            execFile(folder + "/" + rows[i].tabela + ".db", createStatement(rows, i));
            continue;
        }
        q.SQL().Clear();
        q.SQL().Add(createStatement(rows, i));
        q.ExecSQL();
    }
}

// What the reconciliation has to send for the missing tables, as lines.
struct Statement {
    std::string table;
    std::vector<std::string> lines;
};
std::vector<Statement> neededStatements(const std::vector<Row>& rows) {
    std::vector<Statement> out;
    for (size_t i = 0; i < rows.size(); i += kFieldsPerTable) {
        if ((i / kFieldsPerTable) % 2 == 0)
            continue;
        const Row& key = rows[i];
        out.push_back({key.tabela,
                       {"CREATE TABLE " + key.tabela + " (",
                        key.campo + " " + key.tipo + ", PRIMARY KEY(" + key.campo + "))"}});
        for (int f = 1; f < kFieldsPerTable; ++f)
            out.push_back(
                {key.tabela,
                 {"ALTER TABLE " + key.tabela, " ADD " + rows[i + f].campo + " " + rows[i + f].tipo}});
    }
    return out;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string s;
    for (const auto& l : lines)
        s += l + "\r\n";
    return s;
}

double seconds(const std::function<void()>& f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void copyFolder(const std::string& from, const std::string& to) {
    fs::remove_all(to);
    fs::copy(from, to, fs::copy_options::recursive);
}

double last(const std::vector<double>& v) {
    return v.empty() ? 0 : v.back();
}

double median(std::vector<double> v) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Fields of all tables of a folder, read through the engine, to check that
// each way left the same result.
size_t fieldCount(const std::string& folder) {
    TDatabase db;
    db.SetDatabaseName("Contagem");
    db.SetDriverName("STANDARD");
    db.SetLoginPrompt(false);
    db.Params().Add("PATH=" + folder);
    TStringList names;
    db.GetTableNames(names, false);
    size_t n = 0;
    TTable t;
    t.SetDatabaseName("Contagem");
    for (const auto& name : names) {
        t.SetTableName(name);
        t.Open();
        n += static_cast<size_t>(t.FieldCount());
        t.Close();
    }
    return n;
}

long peakKiB() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

} // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    int rounds = 5;
    int tables = 300;
    std::string only;
    std::string base = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp";
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--rounds" && i + 1 < argc)
            rounds = std::max(1, std::atoi(argv[++i]));
        else if (a == "--dir" && i + 1 < argc)
            base = argv[++i];
        else if (a == "--only" && i + 1 < argc)
            only = argv[++i];
        else if (a == "--tables" && i + 1 < argc)
            tables = std::max(2, std::atoi(argv[++i]));
        else {
            std::fprintf(stderr, "usage: %s [--rounds N] [--dir FOLDER] [--tables N] [--only WAY]\n",
                         argv[0]);
            return 2;
        }
    }
    TApplication app(argc, argv);
    SetDialogs(MakeUnattendedDialogs(""));

    const std::string root = base + "/reconcile_bench." + std::to_string(getpid());
    const std::string work = root + "/work", shop = root + "/shop", templ = root + "/template",
                      templSqlite = root + "/template-sqlite";
    fs::create_directories(work);
    const auto rows = schemaRows(tables);
    writeSchemaTable(work + "/Talvir.db", rows);
    writeShop(templ, rows, true);
    writeShop(templSqlite, rows, false);
    const auto statements = neededStatements(rows);
    fs::current_path(work);
    {
        FILE* ini = std::fopen("Brevanto.ini", "wb");
        std::fprintf(ini, "[BDados]\r\nTipo=Standard\r\nCaminho=%s\r\n", shop.c_str());
        std::fclose(ini);
    }
    std::printf(
        "schema: %zu tables, %zu fields; shop has %d Paradox tables; %zu statements needed; folder %s\n",
        static_cast<size_t>(tables), rows.size(), (tables + 1) / 2, statements.size(), root.c_str());

    auto runs = [&](const char* way) { return only.empty() || only == way; };
    // Every way must leave every schema field in the shop.
    auto verify = [&](const char* way) {
        if (fieldCount(shop) != rows.size()) {
            std::fprintf(stderr, "%s: %zu fields in the shop, %zu expected\n", way, fieldCount(shop),
                         rows.size());
            std::exit(1);
        }
    };
    std::vector<double> tUpdater, tEngine, tSqlite;
    for (int r = 0; r < rounds; ++r) {
        if (runs("updater")) {
            copyFolder(templ, shop);
            TUpdaterSetup setup;
            TFAtualizarVersaoVendarix form(std::move(setup));
            tUpdater.push_back(seconds([&] { form.Reconciler().ConferirTabelas(); }));
            verify("updater");
        }
        if (runs("engine")) {
            copyFolder(templ, shop);
            TDatabase db;
            db.SetDatabaseName("Direto");
            db.SetDriverName("STANDARD");
            db.SetLoginPrompt(false);
            db.Params().Add("PATH=" + shop);
            db.Open();
            TQuery q;
            q.SetDatabaseName("Direto");
            tEngine.push_back(seconds([&] {
                for (const auto& s : statements) {
                    q.SQL().Clear();
                    for (const auto& l : s.lines)
                        q.SQL().Add(l);
                    q.ExecSQL();
                }
            }));
            verify("engine");
        }
        if (runs("sqlite")) {
            copyFolder(templSqlite, shop);
            tSqlite.push_back(seconds([&] {
                for (const auto& s : statements)
                    execFile(shop + "/" + s.table + ".db", joined(s.lines));
            }));
            verify("sqlite");
        }
        std::printf("round %d: updater %.3f s, engine %.3f s, sqlite %.3f s\n", r + 1, last(tUpdater),
                    last(tEngine), last(tSqlite));
        std::fflush(stdout);
    }
    const double u = median(tUpdater), e = median(tEngine), s = median(tSqlite);
    std::printf("median of %d: updater ConferirTabelas %.3f s; the same statements through TQuery %.3f s, "
                "through SQLite %.3f s\n",
                rounds, u, e, s);
    if (only.empty())
        std::printf("ratio updater/TQuery %.2f, updater/SQLite %.2f, TQuery/SQLite %.2f\n", u / e, u / s,
                    e / s);
    std::printf("peak memory %.1f MiB\n", peakKiB() / 1024.0);
    fs::current_path(base);
    fs::remove_all(root);
    return 0;
}
