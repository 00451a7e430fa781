#include "app/SchemaReconciler.h"

#include <exception>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "app/RunLog.h"
#include "app/UpdaterConfig.h"
#include "db/DBTables.h"
#include "db/SqlScanner.h"
#include "platform/Dialogs.h"

namespace {

// One row of the schema table: a field and its type text.
struct TSchemaField {
    std::string campo, tipo;
};

std::string fieldType(const std::string& tipo, bool mssql) {
    if (!mssql)
        return tipo;
    if (tipo == "TimeStamp" || tipo == "Time")
        return "DateTime";
    if (tipo == "Autoinc")
        return "Int";
    if (tipo == "Money")
        return "Float";
    return tipo;
}

} // namespace

TSchemaReconciler::TSchemaReconciler(TComponent* owner, TDatabase& database, IProgressDisplay& gauge)
    : owner_(owner), database_(database), gauge_(gauge) {}

TSchemaReconciler::~TSchemaReconciler() = default;

namespace {

// Every statement sent to the shop's database goes to the run log with its
// outcome; a failure goes on to the caller as before.
void execLogged(TQuery& q) {
    std::string text;
    for (int i = 0; i < q.SQL().Count(); ++i)
        text += q.SQL()[i];
    try {
        q.ExecSQL();
    } catch (const std::exception& e) {
        RunLog::Write("sql " + text + ": failed: " + e.what());
        throw;
    }
    RunLog::Write("sql " + text + ": ok");
}

} // namespace

void TSchemaReconciler::ConferirTabelas() {
    TStringList tabelas;
    database_.GetTableNames(tabelas, false);

    const std::string dbName = database_.DatabaseName();
    auto comando = std::make_unique<TQuery>(owner_);
    comando->SetDatabaseName(dbName);
    if (!tableReader_)
        tableReader_ = std::make_unique<TTable>(owner_);
    tableReader_->SetDatabaseName(dbName);
    // These two read the schema table among the local tables of the
    // working folder, where it was extracted.
    auto linhas = std::make_unique<TQuery>(owner_);
    auto nomes = std::make_unique<TQuery>(owner_);
    nomes->SQL().Clear();
    nomes->SQL().Add("SELECT Tabela FROM Talvir GROUP BY Tabela");
    nomes->Open();

    const bool mssql = ConfigTipo() == "MSSQL";

    // The shop's tables by compare key, each key at the first place it has
    // in the list: a schema table's search is one look-up instead of a scan
    // of the list, and the gauge still moves by the names a scan would have
    // passed over before the match (all of them when there is none).
    std::unordered_map<std::string, int> listed;
    listed.reserve(static_cast<size_t>(tabelas.Count()));
    for (int i = 0; i < tabelas.Count(); ++i) {
        const std::string& n = tabelas[i];
        // The server lists its tables with the owner in front ("dbo.").
        const std::string key = UpperCase(!mssql ? n : n.size() > 4 ? n.substr(4) : std::string());
        listed.emplace(key, i);
    }

    // The rows of the schema table, read in one pass and grouped by table
    // in stored order, as a query per table would return them. A row
    // without a table name belongs to no table.
    linhas->SQL().Clear();
    linhas->SQL().Add("SELECT * FROM Talvir WHERE Tabela IS NOT NULL");
    linhas->Open();
    std::unordered_map<std::string, std::vector<TSchemaField>> rowsOf;
    // A schema table lacking one of the columns fails where that column's
    // value is first needed, not before.
    std::exception_ptr noCampo, noTipo;
    auto value = [&](const char* column, std::exception_ptr& missing) -> std::string {
        if (missing)
            return {};
        try {
            return linhas->FieldByName(column);
        } catch (const EDBEngineError&) {
            missing = std::current_exception();
            return {};
        }
    };
    for (; !linhas->Eof(); linhas->Next())
        rowsOf[linhas->FieldByName("Tabela")].push_back({value("Campo", noCampo), value("Tipo", noTipo)});
    linhas->Close();
    auto need = [](const std::exception_ptr& missing) {
        if (missing)
            std::rethrow_exception(missing);
    };
    const std::vector<TSchemaField> none;

    while (!nomes->Eof()) {
        const std::string t = nomes->FieldByName("Tabela");
        gauge_.SetMaxValue(tabelas.Count());
        const auto hit = listed.find(UpperCase(t));
        const bool found = hit != listed.end();
        const int passed = found ? hit->second : tabelas.Count();
        if (passed > 0)
            gauge_.AddProgress(passed);

        const auto group = rowsOf.find(t);
        const std::vector<TSchemaField>& rows = group == rowsOf.end() ? none : group->second;

        if (!found) {
            comando->SQL().Clear();
            if (t == "ComissaoVendedores") {
                comando->SQL().Add("CREATE TABLE ComissaoVendedores (Vendedor Varchar(2), Desconto Float, "
                                   "PRIMARY KEY(Vendedor, Desconto))");
            } else {
                // Without rows the first row's fields read as empty texts.
                if (!rows.empty()) {
                    need(noCampo);
                    need(noTipo);
                }
                const std::string c = rows.empty() ? std::string() : rows.front().campo;
                const std::string y = fieldType(rows.empty() ? std::string() : rows.front().tipo, mssql);
                comando->SQL().Add("CREATE TABLE " + t + " (");
                comando->SQL().Add(c + " " + y + ", PRIMARY KEY(" + c + "))");
            }
            bool created = true;
            try {
                execLogged(*comando);
            } catch (const std::exception&) {
                created = false;
            }
            if (!created)
                ShowMessage("Problemas ao criar tabela " + t);
        }

        tableReader_->SetTableName(t);
        tableReader_->Open();
        // The table's fields by upper-cased name, read once.
        std::unordered_set<std::string> campos;
        for (int i = 0; i < tableReader_->FieldCount(); ++i)
            campos.insert(UpperCase(tableReader_->FieldName(i)));
        tableReader_->Close();

        for (const TSchemaField& row : rows) {
            need(noCampo);
            if (campos.count(UpperCase(row.campo)))
                continue;
            need(noTipo);
            comando->SQL().Clear();
            comando->SQL().Add("ALTER TABLE " + t);
            comando->SQL().Add(" ADD " + row.campo + " " + fieldType(row.tipo, mssql));
            execLogged(*comando);
            if (t == "Cad_Clientes" && row.campo == "MalaDireta") {
                comando->SQL().Clear();
                comando->SQL().Add("UPDATE Cad_Clientes SET MalaDireta = 'T' WHERE MalaDireta IS NULL");
                execLogged(*comando);
            }
        }
        nomes->Next();
    }
    nomes->Close();
}
