// The schema reconciliation: brings the shop's database up to the schema
// table Talvir.db that came in the schema archive, creating the tables and
// adding the fields that are missing, by SQL. It knows no widgets: the gauge
// it moves while comparing tables is reached through IProgressDisplay. What
// to send is worked out by TSchemaPlan; this reads its inputs through the
// engine, sends its statements and keeps to the failure policy below.
#pragma once

#include <memory>

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
    // database is the shop's connection, addressed by its database name.
    TSchemaReconciler(TComponent* owner, TDatabase& database, IProgressDisplay& gauge);
    ~TSchemaReconciler();

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
    std::unique_ptr<TTable> tableReader_; // lives on once made
};

} // namespace vx::app
