// What the schema reconciliation is to do, worked out without a database:
// from the rows of the schema table Talvir.db, the shop's table names and,
// table by table, the fields the shop's table has, the statements to send
// and the steps the gauge is to move. TSchemaReconciler reads those inputs
// through the engine and sends what this returns; everything that decides
// a statement's text lives here, where a test can reach it with plain data.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/SysUtils.h"

namespace vx::app {

using vx::platform::Exception;

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

// One row of the schema table: a field of a table and its type text.
struct TSchemaRow {
    std::string Tabela, Campo, Tipo;
};

// One statement, as the lines the statement query is given. With no lines
// it is where the reconciliation first needs a column that the schema table
// lacks ("Campo" or "Tipo"): it ends there with the engine's error, after
// what was sent before it, as it would have had it read the column there.
struct TSchemaStatement {
    std::vector<std::string> Lines;
    std::string MissingColumn;

    bool operator==(const TSchemaStatement&) const = default;
};

// How one schema table begins: the gauge, then its creation when the shop
// lacks it.
struct TSchemaTableStart {
    // Set as the gauge's maximum: the number of the shop's tables.
    int32_t GaugeMax = 0;
    // Added to the gauge's progress: the names a search of the shop's list
    // passes over before the match, all of them when there is none.
    int32_t GaugeSteps = 0;
    // The CREATE TABLE when the shop lacks the table. Its failure is shown
    // and the reconciliation goes on.
    std::optional<TSchemaStatement> Create;
};

class TSchemaPlan {
public:
    // kind is the configured database kind, compared exactly: "MSSQL" lists
    // its tables with a four-character owner in front and takes some types
    // under other names. listed are the shop's table names as the engine
    // lists them. hasCampo and hasTipo say whether the schema table has
    // those columns.
    TSchemaPlan(std::string kind, std::vector<std::string> listed, bool hasCampo = true, bool hasTipo = true);

    // Takes the next row in stored order. A row that fails the checks above
    // raises ESchemaRowError naming it by its number; the caller adds every
    // row before it sends the first statement, so that such a schema table
    // is not applied in part. A missing column reads as an empty text.
    void AddRow(const TSchemaRow& row);

    // For the schema table named table (as the schema table writes it).
    TSchemaTableStart Start(const std::string& table) const;
    // What adds the fields of table that fields (the names of the shop's
    // table, read after its creation) lacks, in row order: one ALTER TABLE
    // each, and the UPDATE that flags the customers when their mailing field
    // is new. Ends at a statement needing a missing column, if any.
    std::vector<TSchemaStatement> AddFields(const std::string& table,
                                            const std::vector<std::string>& fields) const;

private:
    const std::vector<TSchemaRow>& rowsOf(const std::string& table) const;
    std::string typeText(const std::string& tipo) const;

    bool mssql_;
    bool hasCampo_, hasTipo_;
    int32_t listedCount_;
    // The shop's tables by compare key, each at the first place it has in
    // the list.
    std::unordered_map<std::string, int32_t> listed_;
    std::unordered_map<std::string, std::vector<TSchemaRow>> rows_;
    int32_t rowCount_ = 0;
};

} // namespace vx::app
