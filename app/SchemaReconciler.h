// The schema reconciliation: brings the shop's database up to the schema
// table Talvir.db that came in the schema archive, creating the tables and
// adding the fields that are missing, by SQL. It knows no widgets: the gauge
// it moves while comparing tables is reached through IProgressDisplay.
#pragma once

#include <memory>
#include <string_view>

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

// The rows of the schema table are written into SQL as they are, for every
// kind of database; these say which texts may be. A name is one identifier
// as the engines take it unquoted: a letter (CP1252 letters included) or
// "_", then letters, digits, "_" and "$"; on the server kind a table may
// carry its owner in front ("dbo.Clientes"). A type is one column
// definition: it may run to several words ("Numeric(15,2) Default 0 Not
// Null"), but holds no comma outside parentheses, no ";", no comment, no
// unbalanced parenthesis or quote, no control character, and at most
// kMaxTypeLength characters. An empty type is left for the engine to refuse.
bool IsPlainIdentifier(std::string_view name, bool withOwner = false);
bool IsColumnDefinition(std::string_view type);
inline constexpr size_t kMaxTypeLength = 200;

// A schema row that is not one name and one column definition; raised
// before any statement is sent, and it ends the run as an engine error does.
class ESchemaRowError : public Exception {
public:
    using Exception::Exception;
};

class TSchemaReconciler {
public:
    // owner owns the queries and the table reader (as the window did);
    // database is the shop's connection, addressed by its database name.
    TSchemaReconciler(TComponent* owner, TDatabase& database, IProgressDisplay& gauge);
    ~TSchemaReconciler();

    // Creates every table of the schema the database lacks and adds every
    // missing field; engine errors other than a failed CREATE leave it, and
    // so does a row that fails the checks above (ESchemaRowError), before
    // any statement is sent.
    void ConferirTabelas();

private:
    TComponent* owner_;
    TDatabase& database_;
    IProgressDisplay& gauge_;
    std::unique_ptr<TTable> tableReader_; // lives on once made
};

} // namespace vx::app
