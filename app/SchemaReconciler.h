// The schema reconciliation: brings the shop's database up to the schema
// table Talvir.db that came in the schema archive, creating the tables and
// adding the fields that are missing, by SQL. It knows no widgets: the gauge
// it moves while comparing tables is reached through IProgressDisplay.
#pragma once

#include <memory>

#include "app/UpdateServices.h"

class TComponent;
class TDatabase;
class TTable;

class TSchemaReconciler {
public:
    // owner owns the queries and the table reader (as the window did);
    // database is the shop's connection, addressed by its database name.
    TSchemaReconciler(TComponent* owner, TDatabase& database, IProgressDisplay& gauge);
    ~TSchemaReconciler();

    // Creates every table of the schema the database lacks and adds every
    // missing field; engine errors other than a failed CREATE leave it.
    void ConferirTabelas();

private:
    TComponent* owner_;
    TDatabase& database_;
    IProgressDisplay& gauge_;
    std::unique_ptr<TTable> tableReader_; // lives on once made
};
