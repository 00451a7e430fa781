// What the reconciliation sends, worked out from plain data: the schema
// rows, the shop's table names and, per table, the fields the shop's table
// has. No database; the statements are compared as the lines the statement
// query is given.
#include <map>

#include <gtest/gtest.h>

#include "app/SchemaPlan.h"
#include "platform/Text.h"

using namespace vx::platform;
using namespace vx::app;

namespace {

using Names = std::vector<std::string>;

struct TShop {
    std::string kind = "Standard";
    Names listed;
    // The fields each table has once its CREATE was sent (or failed).
    std::map<std::string, Names> fields;
    bool hasCampo = true, hasTipo = true;
};

// The reconciliation's steps for the schema tables in names order, as
// texts: "gauge <max> +<steps>", each statement's lines joined by "|", and
// "missing <column>" where it would end.
Names plan(const TShop& shop, const std::vector<TSchemaRow>& rows, const Names& names) {
    TSchemaPlan p(shop.kind, shop.listed, shop.hasCampo, shop.hasTipo);
    for (const TSchemaRow& r : rows)
        p.AddRow(r);
    Names out;
    // False where the reconciliation would end.
    auto text = [&](const TSchemaStatement& s) {
        std::string joined;
        for (const std::string& l : s.Lines)
            joined += (joined.empty() ? "" : "|") + l;
        out.push_back(s.MissingColumn.empty() ? joined : "missing " + s.MissingColumn);
        return s.MissingColumn.empty();
    };
    for (const std::string& t : names) {
        const TSchemaTableStart start = p.Start(t);
        out.push_back("gauge " + std::to_string(start.GaugeMax) + " +" + std::to_string(start.GaugeSteps));
        if (start.Create && !text(*start.Create))
            return out;
        const auto f = shop.fields.find(t);
        for (const TSchemaStatement& s : p.AddFields(t, f == shop.fields.end() ? Names{} : f->second))
            if (!text(s))
                return out;
    }
    return out;
}

TEST(SchemaPlanTest, StatementsForRowsTablesAndFields) {
    const std::vector<TSchemaRow> pedidos = {{"Pedidos", "Numero", "Autoinc"},
                                             {"Pedidos", "Data", "TimeStamp"},
                                             {"Pedidos", "Hora", "Time"},
                                             {"Pedidos", "Valor", "Money"},
                                             {"Pedidos", "Obs", "Varchar(40)"}};
    const TShop empty;
    TShop interbase;
    interbase.kind = "Interbase";
    TShop mssql;
    mssql.kind = "MSSQL";
    TShop lowerMssql; // the kind is compared exactly
    lowerMssql.kind = "mssql";
    TShop created;
    created.fields["Pedidos"] = {"Numero"};
    const Names unchanged = {"gauge 0 +0",
                             "CREATE TABLE Pedidos (|Numero Autoinc, PRIMARY KEY(Numero))",
                             "ALTER TABLE Pedidos| ADD Data TimeStamp",
                             "ALTER TABLE Pedidos| ADD Hora Time",
                             "ALTER TABLE Pedidos| ADD Valor Money",
                             "ALTER TABLE Pedidos| ADD Obs Varchar(40)"};
    TShop listed; // found under another letter case, after one name
    listed.listed = {"Alpha", "CAD_PRODUTOS", "Cad_Produtos"};
    listed.fields["Cad_Produtos"] = {"codigo", "NOME"};
    TShop owners; // the server's names carry the owner; four characters or fewer leave no key
    owners.kind = "MSSQL";
    owners.listed = {"dbo.Alpha", "Abcd", "dbo.Cad_Produtos"};
    owners.fields = {{"Cad_Produtos", {"Codigo"}}, {"Abcd", {"Codigo"}}};
    TShop commission;
    commission.fields["ComissaoVendedores"] = {"Vendedor", "Desconto"};
    TShop customers;
    customers.listed = {"Cad_Clientes"};
    customers.fields["Cad_Clientes"] = {"Codigo"};
    TShop mailing = customers;
    mailing.fields["Cad_Clientes"] = {"Codigo", "MALADIRETA"};
    TShop accented;
    accented.listed = {Txt("Promoção")};
    TShop noCampo;
    noCampo.hasCampo = false;
    noCampo.listed = {"Cad_Clientes"};
    TShop noTipo = customers;
    noTipo.hasTipo = false;
    noTipo.fields["Cad_Clientes"] = {"Codigo", "Nome"};

    struct Row {
        const char* what;
        const TShop& shop;
        std::vector<TSchemaRow> rows;
        Names names; // as the names query lists the schema tables
        Names expected;
    };
    const Row table[] = {
        {"Standard: types unchanged; created table keyed by its first row",
         created,
         pedidos,
         {"Pedidos"},
         unchanged},
        {"Interbase: types unchanged",
         interbase,
         pedidos,
         {"Pedidos"},
         {"gauge 0 +0", "CREATE TABLE Pedidos (|Numero Autoinc, PRIMARY KEY(Numero))",
          // the field list is not read again after the CREATE: here the
          // table was not made, so every field is added
          "ALTER TABLE Pedidos| ADD Numero Autoinc", "ALTER TABLE Pedidos| ADD Data TimeStamp",
          "ALTER TABLE Pedidos| ADD Hora Time", "ALTER TABLE Pedidos| ADD Valor Money",
          "ALTER TABLE Pedidos| ADD Obs Varchar(40)"}},
        {"MSSQL: server types",
         mssql,
         {pedidos[0], pedidos[1], pedidos[2], pedidos[3], pedidos[4]},
         {"Pedidos"},
         {"gauge 0 +0", "CREATE TABLE Pedidos (|Numero Int, PRIMARY KEY(Numero))",
          "ALTER TABLE Pedidos| ADD Numero Int", "ALTER TABLE Pedidos| ADD Data DateTime",
          "ALTER TABLE Pedidos| ADD Hora DateTime", "ALTER TABLE Pedidos| ADD Valor Float",
          "ALTER TABLE Pedidos| ADD Obs Varchar(40)"}},
        {"another letter case of MSSQL is not the server",
         lowerMssql,
         {pedidos[0]},
         {"Pedidos"},
         {"gauge 0 +0", "CREATE TABLE Pedidos (|Numero Autoinc, PRIMARY KEY(Numero))",
          "ALTER TABLE Pedidos| ADD Numero Autoinc"}},
        {"listed table gets only its missing fields",
         listed,
         {{"Cad_Produtos", "Codigo", "Integer"},
          {"Cad_Produtos", "Nome", "Varchar(20)"},
          {"Cad_Produtos", "Preco", "Float"}},
         {"Cad_Produtos"},
         {"gauge 3 +1", "ALTER TABLE Cad_Produtos| ADD Preco Float"}},
        {"owner dropped on the server; a short name matches nothing",
         owners,
         {{"Cad_Produtos", "Codigo", "Integer"}, {"Abcd", "Codigo", "Integer"}, {"Abcd", "Total", "Money"}},
         {"Abcd", "Cad_Produtos"},
         {"gauge 3 +3", "CREATE TABLE Abcd (|Codigo Integer, PRIMARY KEY(Codigo))",
          "ALTER TABLE Abcd| ADD Total Float", "gauge 3 +2"}},
        {"commission table has its fixed statement",
         commission,
         {{"ComissaoVendedores", "Vendedor", "Integer"}, {"ComissaoVendedores", "Comissao", "Float"}},
         {"ComissaoVendedores"},
         {"gauge 0 +0",
          "CREATE TABLE ComissaoVendedores (Vendedor Varchar(2), Desconto Float, PRIMARY KEY(Vendedor, "
          "Desconto))",
          "ALTER TABLE ComissaoVendedores| ADD Comissao Float"}},
        {"new mailing field flags the customers",
         customers,
         {{"Cad_Clientes", "MalaDireta", "Char(1)"}},
         {"Cad_Clientes"},
         {"gauge 1 +0", "ALTER TABLE Cad_Clientes| ADD MalaDireta Char(1)",
          "UPDATE Cad_Clientes SET MalaDireta = 'T' WHERE MalaDireta IS NULL"}},
        {"mailing field already there: no UPDATE",
         mailing,
         {{"Cad_Clientes", "MalaDireta", "Char(1)"}},
         {"Cad_Clientes"},
         {"gauge 1 +0"}},
        {"same field twice is added twice",
         customers,
         {{"Cad_Clientes", "Saldo", "Float"}, {"Cad_Clientes", "Saldo", "Float"}},
         {"Cad_Clientes"},
         {"gauge 1 +0", "ALTER TABLE Cad_Clientes| ADD Saldo Float",
          "ALTER TABLE Cad_Clientes| ADD Saldo Float"}},
        {"a schema table without rows",
         empty,
         {},
         {"Vazia"},
         {"gauge 0 +0", "CREATE TABLE Vazia (| , PRIMARY KEY())"}},
        {"accented letters compare byte for byte",
         accented,
         {{Txt("PROMOçãO"), "Id", "Integer"}, {Txt("PROMOÇÃO"), "Id", "Integer"}},
         {Txt("PROMOçãO"), Txt("PROMOÇÃO")},
         {"gauge 1 +0", Txt("ALTER TABLE PROMOçãO| ADD Id Integer"), "gauge 1 +1",
          Txt("CREATE TABLE PROMOÇÃO (|Id Integer, PRIMARY KEY(Id))"),
          Txt("ALTER TABLE PROMOÇÃO| ADD Id Integer")}},
        {"no Campo column: the first table that needs it ends the plan",
         noCampo,
         {{"Cad_Clientes", "", "Integer"}, {"Novos", "", "Integer"}},
         {"Cad_Clientes", "Novos"},
         {"gauge 1 +0", "missing Campo"}},
        {"no Tipo column: needed only for a field to add or a table to create",
         noTipo,
         {{"Cad_Clientes", "Nome", ""}, {"Cad_Clientes", "Fone", ""}, {"Novos", "Id", ""}},
         {"Cad_Clientes", "Novos"},
         {"gauge 1 +0", "missing Tipo"}},
    };
    for (const Row& row : table) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(plan(row.shop, row.rows, row.names), row.expected);
    }
}

TEST(SchemaPlanTest, RowsAreCheckedAsTheyComeAndNamedByTheirNumber) {
    struct Row {
        std::string kind;
        bool hasCampo;
        TSchemaRow bad;
        std::string error; // empty: accepted
    };
    const Row rows[] = {
        {"MSSQL", true, {"dbo.Clientes", "Id", "Int"}, ""},
        {"Standard",
         true,
         {"dbo.Clientes", "Id", "Int"},
         "Talvir.db, linha 2 (Tabela \"dbo.Clientes\", Campo \"Id\", Tipo \"Int\"): Tabela recusado"},
        {"Standard",
         true,
         {"Vendas", "Id", "Int;\nDROP TABLE Vendas"},
         "Talvir.db, linha 2 (Tabela \"Vendas\", Campo \"Id\", Tipo \"Int;?DROP TABLE Vendas\"): Tipo "
         "recusado"},
        {"Standard",
         true,
         {"Vendas", "Id Int, X", "Int"},
         "Talvir.db, linha 2 (Tabela \"Vendas\", Campo \"Id Int, X\", Tipo \"Int\"): Campo recusado"},
        // Without the column there is nothing of it to check.
        {"Standard", false, {"Vendas", "", "Int"}, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.error);
        TSchemaPlan p(row.kind, {}, row.hasCampo);
        p.AddRow({"Vendas", row.hasCampo ? "Numero" : "", "Integer"});
        try {
            p.AddRow(row.bad);
            EXPECT_EQ(row.error, "");
        } catch (const ESchemaRowError& e) {
            EXPECT_EQ(e.Message(), row.error);
        }
    }
}

TEST(SchemaTextsTest, NamesAndColumnDefinitions) {
    struct Row {
        std::string text;
        bool name, ownerName, type;
    };
    const Row rows[] = {
        {"Cad_Clientes", true, true, true},
        {"_Campo$2", true, true, true},
        {Txt("Promoção"), true, true, true},
        {"Double Precision", false, false, true},
        {"Varchar(60) Character Set WIN1252", false, false, true},
        {"Numeric(15,2) Default 0 Not Null", false, false, true},
        {"Char(1) Default 'T'", false, false, true},
        {"Varchar(10) Default 'a,b(c'", false, false, true},
        {"", false, false, true},
        {"dbo.Clientes", false, true, true},
        {"dbo.", false, false, true},
        {"a.b.c", false, false, true},
        {"2Campo", false, false, true},
        {"$Campo", false, false, true},
        {"O'Brien", false, false, false},
        {"Nome Completo", false, false, true},
        {"INTEGER, DROP NOME", false, false, false},
        {"Integer;", false, false, false},
        {"Integer -- comment", false, false, false},
        {"Integer /* x */", false, false, false},
        {"Varchar(10", false, false, false},
        {"Varchar10)", false, false, false},
        {"Numeric(15,2))(", false, false, false},
        {"Char(1) Default 'T", false, false, false},
        {"Char(1) Default \"T", false, false, false},
        {"Char(1) Default '--'", false, false, false},
        {"Integer\nNot Null", false, false, false},
        {"Integer\tNot Null", false, false, false},
        {std::string("Integer") + '\0', false, false, false},
        {"Varchar(" + std::string(192, '9') + ")", false, false, false},
        {"Varchar(" + std::string(191, '9') + ")", false, false, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(IsPlainIdentifier(row.text), row.name);
        EXPECT_EQ(IsPlainIdentifier(row.text, true), row.ownerName);
        EXPECT_EQ(IsColumnDefinition(row.text), row.type);
    }
}

} // namespace
