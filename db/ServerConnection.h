// Common ground of the drivers that reach a database server through its
// client library (INTERBASE, MSSQL): statements sent with their trailing
// line breaks removed, values read as text in the program's code page, field
// names from a query that reads no row, and the parameter helpers.
#pragma once

#include "db/Engine.h"

namespace vx::db {

class TServerConnection : public TDriverConnection {
public:
    std::unique_ptr<TResultSet> Query(const std::string& sql) override;
    void ExecSQL(const std::string& sql) override;
    // Field names from a query that reads no row, so that a missing table
    // reports the server's own text.
    std::vector<std::string> FieldNames(const std::string& table) override;

    // A floating-point value as the engine shows it: the fewest digits that
    // read back as the same value, in plain decimal unless the exponent form
    // is shorter ("2.5", "0.001", "1e+20").
    static std::string FormatDouble(double v);
    // The same for a single-precision value, with the digits of its own
    // precision ("0.1", not the double's "0.10000000149011612").
    static std::string FormatFloat(float v);

protected:
    // Runs one statement by itself; the result carries the field names, and
    // the rows when wantRows is set and the statement returns rows.
    virtual std::unique_ptr<TMemoryResultSet> execute(const std::string& sql, bool wantRows) = 0;
    // A table name as a statement may carry it: no blanks, no separators.
    static void checkTableName(const std::string& table);
    // Whether a parameter line of that name is present at all.
    static bool hasParam(const TStringList& params, const std::string& name);
};

} // namespace vx::db
