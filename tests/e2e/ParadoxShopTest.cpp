// The whole updater on a shop whose tables are Paradox tables, the
// "Standard" kind as shops have it: tables created, fields added to tables
// with records (a keyed one of several blocks, one with memos, one encrypted
// with the program's password), the MalaDireta update; a table of another
// password fails by name and is left as it was; a kill during an ALTER
// leaves a table that reads whole.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "db/DBTables.h"
#include "db/ParadoxCipher.h"
#include "db/ParadoxTable.h"
#include "db/ParadoxTableWriter.h"
#include "tests/db/EngineProbe.h"
#include "tests/e2e/Shop.h"
#include "tests/support/PxlibReader.h"

using namespace vx::db;
using namespace vx::test;

using namespace e2e;
namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

namespace {

const uint32_t kProgramKey = ParadoxCipher::PasswordChecksum("7302518");

Strings fieldsOf(const std::string& file, uint32_t key = 0) {
    TParadoxTable t(file, {key});
    Strings out;
    for (const auto& f : t.Fields())
        out.push_back(f.name + " " + f.type);
    return out;
}

std::string bytesOf(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class ParadoxShop : public ::testing::Test {
protected:
    Shop shop;

    std::string table(const std::string& name) { return shop.Tables() + "/" + name; }

    // Re-writes a table encrypted with the key of a password.
    void encrypt(const std::string& stem, uint32_t key) {
        TParadoxTable plain(table(stem + ".db"), {kProgramKey});
        TParadoxLayout l = TParadoxLayout::Of(plain);
        l.key = key;
        ReplaceParadoxFiles(shop.Tables(), stem,
                            {{table(stem + ".db"), BuildParadoxData(l, plain.RawRecords())}});
    }

    // The shop's tables, made by the engine in a folder of its own.
    void makeShop(int customers) {
        shop.WriteIni({{"Tipo", "Standard"}, {"Caminho", shop.Tables()}, {"SistemaVendarix", "Vendarix"}});
        WriteFile(shop.Path("Vendarix.exe"), ProgramScript("old"), true);
        fs::create_directories(shop.Tables());
        TDatabase db;
        db.SetDatabaseName("E2EPDX");
        db.SetDriverName("STANDARD");
        db.Params().Add("PATH=" + shop.Tables());
        db.Open();
        ExecLines("E2EPDX",
                  {"CREATE TABLE Cad_Clientes (Codigo Integer, Nome Varchar(40), PRIMARY KEY(Codigo))"});
        std::string values;
        for (int i = 1; i <= customers; ++i)
            values += (i > 1 ? ", (" : "(") + std::to_string(i) + ", 'Cliente " + std::to_string(i) + "')";
        ExecLines("E2EPDX", {"INSERT INTO Cad_Clientes VALUES " + values});
        ExecLines("E2EPDX",
                  {"CREATE TABLE Caixa (Numero Integer, Historico Varchar(20), PRIMARY KEY(Numero))"});
        ExecLines("E2EPDX", {"INSERT INTO Caixa VALUES (1, 'Abertura'), (2, 'Sangria')"});
        for (const char* ext : {".db", ".mb", ".px"})
            fs::copy_file(std::string(VX_FIXTURES_DIR) + "/paradox/fields/memo" + ext,
                          table(std::string("memo") + ext));
        for (const auto& e : fs::directory_iterator(shop.Tables()))
            fs::permissions(e.path(), fs::perms::owner_write, fs::perm_options::add);
        encrypt("Caixa", kProgramKey);
        shop.MakeProgramArchive();
    }

    RunResult run(const RunControl& control = {}) {
        Vsftpd server(shop.Maker());
        return shop.Run(server.Port(), {}, control);
    }
};

TEST_F(ParadoxShop, TheUpdateChangesTheTablesInPlace) {
    makeShop(200);
    shop.MakeSchemaArchive({{"Cad_Clientes", "Codigo", "Integer"},
                            {"Cad_Clientes", "Nome", "Varchar(40)"},
                            {"Cad_Clientes", "Email", "Varchar(60)"},
                            {"Cad_Clientes", "MalaDireta", "Varchar(1)"},
                            {"Caixa", "Numero", "Integer"},
                            {"Caixa", "Valor", "Money"},
                            {"memo", "Id", "Autoinc"},
                            {"memo", "Nota", "Varchar(20)"},
                            {"Vendas", "Numero", "Integer"},
                            {"Vendas", "Data", "Date"},
                            {"Vendas", "Obs", "BLOB(20,1)"},
                            {"ComissaoVendedores", "Vendedor", "Varchar(2)"},
                            {"ComissaoVendedores", "Desconto", "Float"},
                            {"ComissaoVendedores", "Percentual", "Float"}});
    const RunResult r = run();
    ASSERT_EQ(r.status, 0) << r.stderrText;
    EXPECT_EQ(r.dialogs, Strings{});

    EXPECT_EQ(fieldsOf(table("Cad_Clientes.db")), (Strings{"Codigo I", "Nome A", "Email A", "MalaDireta A"}));
    EXPECT_EQ(fieldsOf(table("Caixa.db"), kProgramKey), (Strings{"Numero I", "Historico A", "Valor $"}));
    EXPECT_EQ(fieldsOf(table("memo.db")), (Strings{"Id +", "MEMO M", "Nota A"}));
    EXPECT_EQ(fieldsOf(table("Vendas.db")), (Strings{"Numero I", "Data D", "Obs M"}));
    EXPECT_EQ(fieldsOf(table("ComissaoVendedores.db")),
              (Strings{"Vendedor A", "Desconto N", "Percentual N"}));
    EXPECT_EQ(TParadoxTable(table("ComissaoVendedores.db")).KeyFieldCount(), 2);
    EXPECT_TRUE(fs::exists(table("Vendas.px")));
    EXPECT_TRUE(fs::exists(table("Vendas.mb")));
    EXPECT_EQ(TParadoxTable(table("Caixa.db"), {kProgramKey}).Key(), kProgramKey);

    // Every record kept, MalaDireta set by the update, memos still read.
    for (const char* name :
         {"Cad_Clientes.db", "Caixa.db", "memo.db", "Vendas.db", "ComissaoVendedores.db"}) {
        SCOPED_TRACE(name);
        const TPxlibTable px = ReadWithPxlib(table(name));
        ASSERT_EQ(px.error, "");
        EXPECT_EQ(px.fieldNames.size(), TParadoxTable(table(name), {kProgramKey}).Fields().size());
    }
    const TPxlibTable customers = ReadWithPxlib(table("Cad_Clientes.db"));
    ASSERT_EQ(customers.records, 200);
    for (int i = 0; i < 200; ++i) {
        EXPECT_EQ(customers.rows[size_t(i)][0], std::to_string(i + 1));
        EXPECT_EQ(customers.rows[size_t(i)][1], "Cliente " + std::to_string(i + 1));
        EXPECT_FALSE(customers.rows[size_t(i)][2]);
        EXPECT_EQ(customers.rows[size_t(i)][3], "T");
    }
    EXPECT_EQ(ReadWithPxlib(table("Caixa.db")).rows.at(1).at(1), "Sangria");
    TParadoxTable memo(table("memo.db"));
    TParadoxTable::Cursor c(memo);
    EXPECT_EQ(c.Value(1).s.size(), 555u);
}

TEST_F(ParadoxShop, ATableOfAnotherPasswordFailsByNameAndStaysAsItWas) {
    makeShop(3);
    ASSERT_TRUE(fs::exists(table("Caixa.db")));
    fs::copy_file(table("Caixa.db"), table("Segredo.db"));
    encrypt("Segredo", ParadoxCipher::PasswordChecksum("outra senha"));
    const std::string before = bytesOf(table("Segredo.db"));
    shop.MakeSchemaArchive({{"Segredo", "Numero", "Integer"}, {"Segredo", "Valor", "Money"}});
    const RunResult r = run();
    EXPECT_EQ(r.status, 2) << r.stderrText;
    ASSERT_FALSE(r.dialogs.empty());
    EXPECT_NE(r.dialogs.back().find("Segredo.db is encrypted"), std::string::npos) << r.dialogs.back();
    EXPECT_EQ(bytesOf(table("Segredo.db")), before);
}

// A table whose block chain no longer reaches all its records is not
// rewritten: the run fails in the error box with exit status 2, and the
// table stays byte for byte.
TEST_F(ParadoxShop, ADamagedTableFailsTheRunAndStaysAsItWas) {
    makeShop(3);
    fs::copy_file(table("Caixa.db"), table("Danificada.db"));
    std::string bytes = bytesOf(table("Danificada.db"));
    bytes[6] = char(bytes[6] + 1); // the header counts one record more than the chain holds
    std::ofstream(table("Danificada.db"), std::ios::binary | std::ios::trunc) << bytes;
    shop.MakeSchemaArchive({{"Danificada", "Numero", "Integer"}, {"Danificada", "Valor", "Money"}});
    const RunResult r = run();
    EXPECT_EQ(r.status, 2) << r.stderrText;
    ASSERT_FALSE(r.dialogs.empty());
    EXPECT_NE(r.dialogs.back().find("Danificada.db is damaged: "), std::string::npos) << r.dialogs.back();
    EXPECT_EQ(bytesOf(table("Danificada.db")), bytes);
}

// Killed while a field is added to a table of many blocks: the table then
// reads whole, with or without the field, and the next run completes it.
TEST_F(ParadoxShop, AKillDuringAnAlterLeavesAReadableTable) {
    makeShop(40000);
    shop.MakeSchemaArchive({{"Cad_Clientes", "Codigo", "Integer"}, {"Cad_Clientes", "Email", "Varchar(60)"}});
    RunControl control;
    bool killed = false;
    control.whileRunning = [&](pid_t pid) {
        if (killed)
            return;
        for (const auto& e : fs::directory_iterator(shop.Tables()))
            if (e.path().extension() == ".vxnew" || e.path().extension() == ".VXCOMMIT") {
                ::kill(pid, SIGKILL);
                killed = true;
                return;
            }
    };
    const RunResult first = run(control);
    std::printf("killed during the change: %s (status %d)\n", killed ? "yes" : "no, it ended first",
                first.status);
    TStringList names;
    {
        TDatabase db; // a look-up completes or forgets the interrupted change
        db.SetDatabaseName("E2EPDXK");
        db.SetDriverName("STANDARD");
        db.Params().Add("PATH=" + shop.Tables());
        db.GetTableNames(names);
    }
    const Strings fields = fieldsOf(table("Cad_Clientes.db"));
    EXPECT_TRUE(fields == (Strings{"Codigo I", "Nome A"}) ||
                fields == (Strings{"Codigo I", "Nome A", "Email A"}));
    EXPECT_EQ(TParadoxTable(table("Cad_Clientes.db")).RecordCount(), 40000);
    EXPECT_EQ(ReadWithPxlib(table("Cad_Clientes.db")).records, 40000);
    for (const auto& e : fs::directory_iterator(shop.Tables()))
        EXPECT_FALSE(IsParadoxWorkFile(e.path().filename().string())) << e.path();

    fs::remove(shop.Path("started.log"));
    const RunResult again = run();
    EXPECT_EQ(again.status, 0) << again.stderrText;
    EXPECT_EQ(fieldsOf(table("Cad_Clientes.db")), (Strings{"Codigo I", "Nome A", "Email A"}));
}

} // namespace
