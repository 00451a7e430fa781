#include "app/SchemaReconciler.h"

#include <exception>
#include <string>
#include <vector>

#include "db/DBTables.h"

namespace vx::app {

using namespace vx::platform;
using namespace vx::db;

TSchemaReconciler::TSchemaReconciler(TComponent* owner, TDatabase& database, IProgressDisplay& gauge,
                                     IRunEnvironment& env, std::string kind)
    : owner_(owner), database_(database), gauge_(gauge), env_(env), kind_(std::move(kind)) {}

TSchemaReconciler::~TSchemaReconciler() = default;

namespace {

// Every statement sent to the shop's database goes to the run log with its
// outcome; a failure goes on to the caller as before.
void execLogged(TQuery& q, IRunLog& log) {
    std::string text;
    for (int i = 0; i < q.SQL().Count(); ++i)
        text += q.SQL()[i];
    try {
        q.ExecSQL();
    } catch (const std::exception& e) {
        log.Write("sql " + text + ": failed: " + e.what());
        throw;
    }
    log.Write("sql " + text + ": ok");
}

// The engine's error for a column the schema table lacks, as reading it
// from the current row raises it; none when the column is there.
std::exception_ptr missingColumn(const TQuery& q, const char* column) {
    try {
        (void)q.FieldByName(column);
    } catch (const EDBEngineError&) {
        return std::current_exception();
    }
    return nullptr;
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

    std::vector<std::string> listed;
    listed.reserve(static_cast<size_t>(tabelas.Count()));
    for (int i = 0; i < tabelas.Count(); ++i)
        listed.push_back(tabelas[i]);

    // The rows of the schema table, read in one pass and grouped by table
    // in stored order, as a query per table would return them. A row
    // without a table name belongs to no table.
    linhas->SQL().Clear();
    linhas->SQL().Add("SELECT * FROM Talvir WHERE Tabela IS NOT NULL");
    linhas->Open();
    // A schema table lacking one of the columns fails where that column's
    // value is first needed, not before: the engine's error is kept for then.
    const std::exception_ptr noCampo = linhas->Eof() ? nullptr : missingColumn(*linhas, "Campo");
    const std::exception_ptr noTipo = linhas->Eof() ? nullptr : missingColumn(*linhas, "Tipo");
    TSchemaPlan plan(kind_, std::move(listed), !noCampo, !noTipo);
    // Every row is checked before the first statement: a schema table with
    // one row that would not be a name and a type is not applied in part.
    for (; !linhas->Eof(); linhas->Next())
        plan.AddRow({linhas->FieldByName("Tabela"), noCampo ? std::string() : linhas->FieldByName("Campo"),
                     noTipo ? std::string() : linhas->FieldByName("Tipo")});
    linhas->Close();

    // Gives the statement query its lines, or ends the reconciliation with
    // the error of the column the statement would have needed.
    auto prepare = [&](const TSchemaStatement& s) {
        if (!s.MissingColumn.empty())
            std::rethrow_exception(s.MissingColumn == "Campo" ? noCampo : noTipo);
        comando->SQL().Clear();
        for (const std::string& line : s.Lines)
            comando->SQL().Add(line);
    };

    while (!nomes->Eof()) {
        const std::string t = nomes->FieldByName("Tabela");
        const TSchemaTableStart start = plan.Start(t);
        gauge_.SetMaxValue(start.GaugeMax);
        if (start.GaugeSteps > 0)
            gauge_.AddProgress(start.GaugeSteps);

        if (start.Create) {
            prepare(*start.Create);
            bool created = true;
            try {
                execLogged(*comando, env_.Log());
            } catch (const std::exception&) {
                created = false;
            }
            if (!created)
                env_.ShowMessage("Problemas ao criar tabela " + t);
        }

        // A table that is still missing fails here with the engine's error.
        tableReader_->SetTableName(t);
        tableReader_->Open();
        std::vector<std::string> campos;
        for (int i = 0; i < tableReader_->FieldCount(); ++i)
            campos.push_back(tableReader_->FieldName(i));
        tableReader_->Close();

        for (const TSchemaStatement& s : plan.AddFields(t, campos)) {
            prepare(s);
            execLogged(*comando, env_.Log());
        }
        nomes->Next();
    }
    nomes->Close();
}

} // namespace vx::app
