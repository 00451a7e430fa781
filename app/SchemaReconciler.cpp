#include "app/SchemaReconciler.h"

#include <string_view>

#include "app/UpdaterConfig.h"
#include "db/DBTables.h"
#include "db/SqlScanner.h"
#include "platform/Dialogs.h"

namespace {

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

void TSchemaReconciler::ConferirTabelas() {
    TStringList tabelas;
    database_.GetTableNames(tabelas, false);
    TStringList campos;

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
    while (!nomes->Eof()) {
        const std::string t = nomes->FieldByName("Tabela");
        bool found = false;
        gauge_.SetMaxValue(tabelas.Count());
        for (const std::string& n : tabelas) {
            // The server lists its tables with the owner in front ("dbo.").
            const std::string_view key = !mssql         ? std::string_view(n)
                                         : n.size() > 4 ? std::string_view(n).substr(4)
                                                        : std::string_view();
            if (SameText(key, t)) {
                found = true;
                break;
            }
            gauge_.AddProgress(1);
        }

        linhas->SQL().Clear();
        linhas->SQL().Add("SELECT * FROM Talvir WHERE Tabela = " + SqlQuoteLiteral(t));
        linhas->Open();

        if (!found) {
            comando->SQL().Clear();
            if (t == "ComissaoVendedores") {
                comando->SQL().Add("CREATE TABLE ComissaoVendedores (Vendedor Varchar(2), Desconto Float, "
                                   "PRIMARY KEY(Vendedor, Desconto))");
            } else {
                const std::string c = linhas->FieldByName("Campo");
                const std::string y = fieldType(linhas->FieldByName("Tipo"), mssql);
                comando->SQL().Add("CREATE TABLE " + t + " (");
                comando->SQL().Add(c + " " + y + ", PRIMARY KEY(" + c + "))");
            }
            bool created = true;
            try {
                comando->ExecSQL();
            } catch (const std::exception&) {
                created = false;
            }
            if (!created)
                ShowMessage("Problemas ao criar tabela " + t);
        }

        tableReader_->SetTableName(t);
        tableReader_->Open();
        campos.Clear();
        for (int i = 0; i < tableReader_->FieldCount(); ++i)
            campos.Add(tableReader_->FieldName(i));
        tableReader_->Close();

        while (!linhas->Eof()) {
            const std::string campo = linhas->FieldByName("Campo");
            bool present = false;
            for (const std::string& f : campos) {
                if (SameText(f, campo)) {
                    present = true;
                    break;
                }
            }
            if (!present) {
                comando->SQL().Clear();
                comando->SQL().Add("ALTER TABLE " + t);
                comando->SQL().Add(" ADD " + campo + " " + fieldType(linhas->FieldByName("Tipo"), mssql));
                comando->ExecSQL();
                if (t == "Cad_Clientes" && campo == "MalaDireta") {
                    comando->SQL().Clear();
                    comando->SQL().Add("UPDATE Cad_Clientes SET MalaDireta = 'T' WHERE MalaDireta IS NULL");
                    comando->ExecSQL();
                }
            }
            linhas->Next();
        }
        nomes->Next();
    }
    nomes->Close();
}
