// paradox_show: the demo's window onto a folder of Paradox tables.
//   paradox_show make <folder>   makes a small shop's tables with the engine,
//                                one of them encrypted with the program's password
//   paradox_show show <folder>   prints each table's level, key, fields and
//                                records as the engine reads them and as pxlib,
//                                an independent reader, reads them
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iostream>

#include "db/DBTables.h"
#include "db/ParadoxCipher.h"
#include "db/ParadoxTable.h"
#include "db/ParadoxTableWriter.h"
#include "platform/Text.h"
#include "tests/support/PxlibReader.h"

using namespace vx::platform;
using namespace vx::db;
using namespace vx::test;

namespace fs = std::filesystem;

namespace {

constexpr const char* kProgramPassword = "7302518";

void exec(const std::string& sql) {
    TQuery q;
    q.SetDatabaseName("DEMO");
    q.SQL().Add(sql);
    q.ExecSQL();
}

int make(const std::string& folder) {
    fs::create_directories(folder);
    TDatabase db;
    db.SetDatabaseName("DEMO");
    db.SetDriverName("STANDARD");
    db.Params().Add("PATH=" + folder);
    db.Open();
    exec("CREATE TABLE Cad_Clientes (Codigo Integer, Nome Varchar(40), PRIMARY KEY(Codigo))");
    exec("INSERT INTO Cad_Clientes VALUES (1, 'Maria da Silva'), (2, 'Jo\xe3o Pereira'), (3, 'Ana Souza')");
    exec("CREATE TABLE Produtos (Codigo Integer, Descricao Varchar(60), PRIMARY KEY(Codigo))");
    exec("INSERT INTO Produtos VALUES (10, 'Caneta azul'), (11, 'Caderno 96 folhas')");
    exec("CREATE TABLE Caixa (Numero Integer, Historico Varchar(30), PRIMARY KEY(Numero))");
    exec("INSERT INTO Caixa VALUES (1, 'Abertura'), (2, 'Venda 1')");
    // The program's own tables are protected by its password.
    const std::string caixa = folder + "/Caixa.db";
    TParadoxTable plain(caixa);
    TParadoxLayout l = TParadoxLayout::Of(plain);
    l.key = ParadoxCipher::PasswordChecksum(kProgramPassword);
    const auto records = plain.RawRecords();
    ReplaceParadoxFiles(folder, "Caixa",
                        {{caixa, BuildParadoxData(l, records)},
                         {ParadoxCompanionFile(caixa, ".PX"), BuildParadoxIndex(l, records)}});
    return 0;
}

std::string text(const TParadoxValue& v) {
    switch (v.kind) {
    case TParadoxValue::Kind::Null:
        return "NULL";
    case TParadoxValue::Kind::Int:
        return std::to_string(v.i);
    case TParadoxValue::Kind::Real: {
        char buf[40];
        std::snprintf(buf, sizeof buf, "%g", v.d);
        return buf;
    }
    default:
        return AnsiToUtf8(v.s);
    }
}

int show(const std::string& folder) {
    const std::vector<uint32_t> keys{ParadoxCipher::PasswordChecksum(kProgramPassword)};
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(folder))
        if (e.path().extension() == ".db" || e.path().extension() == ".DB")
            files.push_back(e.path());
    std::sort(files.begin(), files.end());
    for (const auto& f : files) {
        try {
            TParadoxTable t(f, keys);
            std::printf("   %s: level %s, %s%s, %lld records, code page %d\n", f.filename().c_str(),
                        t.Version() >= 0x0B ? "5" : "4",
                        t.Keyed() ? ("keyed on " + std::to_string(t.KeyFieldCount()) + " field(s)").c_str()
                                  : "unkeyed",
                        t.Encrypted() ? ", encrypted" : "", static_cast<long long>(t.RecordCount()),
                        t.CodePage());
            std::string fields;
            for (const auto& fd : t.Fields())
                fields += (fields.empty() ? "" : ", ") + AnsiToUtf8(fd.name) + " " + fd.type +
                          (fd.type == 'A' ? std::to_string(fd.size) : "");
            std::printf("      engine: %s\n", fields.c_str());
            for (TParadoxTable::Cursor c(t); !c.Eof(); c.Next()) {
                std::string row;
                for (int i = 0; i < int(t.Fields().size()); ++i)
                    row += (i ? " | " : "") + text(c.Value(i));
                std::printf("         %s\n", row.c_str());
            }
        } catch (const std::exception& e) {
            std::printf("   %s: engine: %s\n", f.filename().c_str(), e.what());
        }
        const TPxlibTable px = ReadWithPxlib(f);
        if (!px.error.empty()) {
            std::printf("      pxlib:  %s\n", px.error.c_str());
            continue;
        }
        std::string fields;
        for (const auto& n : px.fieldNames)
            fields += (fields.empty() ? "" : ", ") + AnsiToUtf8(n);
        std::printf("      pxlib:  %s; %d records\n", fields.c_str(), px.records);
        for (const auto& row : px.rows) {
            std::string line;
            for (size_t i = 0; i < row.size(); ++i)
                line += (i ? " | " : "") + (row[i] ? AnsiToUtf8(*row[i]) : std::string("NULL"));
            std::printf("         %s\n", line.c_str());
        }
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3 || (std::string(argv[1]) != "make" && std::string(argv[1]) != "show")) {
        std::fprintf(stderr, "usage: %s make|show <folder>\n", argv[0]);
        return 2;
    }
    try {
        return std::string(argv[1]) == "make" ? make(argv[2]) : show(argv[2]);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
