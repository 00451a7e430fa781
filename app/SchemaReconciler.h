// The schema reconciliation: brings the shop's database up to the schema
// table Talvir.db that came in the schema archive, creating the tables and
// adding the fields that are missing, by SQL. It knows no widgets nor
// globals: the gauge it moves while comparing tables is reached through
// IProgressDisplay, its message box and run log through the run's
// environment, and the database kind is given to it. What
// to send is worked out by TSchemaPlan; this reads its inputs through the
// engine, sends its statements and keeps to the failure policy below.
#pragma once

#include <memory>
#include <string>

#include "app/SchemaPlan.h"
#include "app/UpdateServices.h"

namespace vx::platform {
class TComponent;
}
namespace vx::db {
class TDatabase;
class TTable;
} // namespace vx::db

namespace vx::app {

using vx::db::TDatabase;
using vx::db::TTable;
using vx::platform::TComponent;

class TSchemaReconciler {
public:
    // owner owns the queries and the table reader (as the window did);
    // database is the shop's connection, addressed by its database name, and
    // kind its Tipo from the ini file. Each reference must outlive this.
    TSchemaReconciler(TComponent* owner, TDatabase& database, IProgressDisplay& gauge, IRunEnvironment& env,
                      std::string kind);
    ~TSchemaReconciler();

    // The window reads the ini file only after it has made the
    // reconciliation, so it hands the kind over then.
    void SetDatabaseKind(std::string kind) { kind_ = std::move(kind); }
    const std::string& DatabaseKind() const { return kind_; }

    // Creates every table of the schema the database lacks and adds every
    // missing field. A failed CREATE is shown ("Problemas ao criar tabela
    // ...") and the reconciliation goes on; every other engine error leaves
    // it at once, what was sent before keeping its effect, and so does a row
    // that fails TSchemaPlan's checks (ESchemaRowError), before any
    // statement is sent.
    void ConferirTabelas();

private:
    TComponent* owner_;
    TDatabase& database_;
    IProgressDisplay& gauge_;
    IRunEnvironment& env_;
    std::string kind_;
    std::unique_ptr<TTable> tableReader_; // lives on once made
};

} // namespace vx::app
