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

namespace vx::app {

using namespace vx::platform;
using namespace vx::db;

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

bool isLetter(unsigned char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))
        return true;
    // The letters of CP1252 above ASCII, the multiplication and division
    // signs left out.
    if (c >= 0xC0)
        return c != 0xD7 && c != 0xF7;
    return c == 0x8A || c == 0x8C || c == 0x8E || c == 0x9A || c == 0x9C || c == 0x9E || c == 0x9F;
}

bool isIdentifier(std::string_view s) {
    if (s.empty() || !(isLetter(static_cast<unsigned char>(s[0])) || s[0] == '_'))
        return false;
    for (unsigned char c : s)
        if (!isLetter(c) && !(c >= '0' && c <= '9') && c != '_' && c != '$')
            return false;
    return true;
}

// A refused value as the error shows it: short, and on one line.
std::string shown(const std::string& value) {
    constexpr size_t kShown = 60;
    std::string s = value.size() > kShown ? value.substr(0, kShown) + "..." : value;
    for (char& c : s)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    return "\"" + s + "\"";
}

} // namespace

bool IsPlainIdentifier(std::string_view name, bool withOwner) {
    const size_t dot = name.find('.');
    if (withOwner && dot != std::string_view::npos)
        return isIdentifier(name.substr(0, dot)) && isIdentifier(name.substr(dot + 1));
    return isIdentifier(name);
}

bool IsColumnDefinition(std::string_view type) {
    if (type.size() > kMaxTypeLength)
        return false;
    int depth = 0;
    char quote = 0;
    for (size_t i = 0; i < type.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(type[i]);
        const char next = i + 1 < type.size() ? type[i + 1] : '\0';
        if (c < 0x20 || c == 0x7F || c == ';')
            return false;
        // Comment markers are refused inside quotes too: no engine needs
        // them in a type, and not every engine reads quotes the same way.
        if ((c == '-' && next == '-') || (c == '/' && next == '*') || (c == '*' && next == '/'))
            return false;
        if (quote) {
            if (c == static_cast<unsigned char>(quote))
                quote = 0;
            continue;
        }
        if (c == '\'' || c == '"')
            quote = static_cast<char>(c);
        else if (c == '(')
            ++depth;
        else if (c == ')' && --depth < 0)
            return false;
        else if (c == ',' && depth == 0)
            return false;
    }
    return depth == 0 && !quote;
}

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
    // Every row is checked before the first statement: a schema table with
    // one row that would not be a name and a type is not applied in part.
    int number = 0;
    for (; !linhas->Eof(); linhas->Next()) {
        const std::string tabela = linhas->FieldByName("Tabela");
        const TSchemaField row{value("Campo", noCampo), value("Tipo", noTipo)};
        ++number;
        const char* wrong = !IsPlainIdentifier(tabela, mssql)           ? "Tabela"
                            : !noCampo && !IsPlainIdentifier(row.campo) ? "Campo"
                            : !noTipo && !IsColumnDefinition(row.tipo)  ? "Tipo"
                                                                        : nullptr;
        if (wrong)
            throw ESchemaRowError("Talvir.db, linha " + std::to_string(number) + " (Tabela " + shown(tabela) +
                                  ", Campo " + shown(row.campo) + ", Tipo " + shown(row.tipo) +
                                  "): " + wrong + " recusado");
        rowsOf[tabela].push_back(row);
    }
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

} // namespace vx::app
