#include "db/ServerConnection.h"

#include <cctype>
#include <charconv>
#include <cstdlib>

namespace vx::db {

namespace {

// Trailing line breaks are dropped so that a statement ends clean.
std::string trimmedStatement(const std::string& sql) {
    std::string text = sql;
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.pop_back();
    return text;
}

// Lays out the shortest scientific form that std::to_chars gives.
std::string layout(const std::string& sci) {
    if (sci == "inf" || sci == "-inf" || sci == "nan" || sci == "-nan")
        return sci;
    // Shortest digits and decimal exponent of "d.ddde+X".
    const size_t e = sci.find('e');
    std::string sign, digits;
    size_t i = 0;
    if (sci[0] == '-') {
        sign = "-";
        i = 1;
    }
    for (; i < e; ++i)
        if (sci[i] != '.')
            digits += sci[i];
    const int exponent = std::atoi(sci.c_str() + e + 1);
    const int n = static_cast<int>(digits.size());
    const int point = exponent + 1; // digits before the decimal point
    // The plain form when it is no longer than the exponent form.
    const bool plain = point <= 0 ? 1 - point <= 4 : point <= n + 4;
    if (!plain) {
        std::string out = sign + digits.substr(0, 1);
        if (n > 1)
            out += "." + digits.substr(1);
        const int a = std::abs(exponent);
        out += exponent < 0 ? "e-" : "e+";
        if (a < 10)
            out += '0';
        return out + std::to_string(a);
    }
    if (point <= 0)
        return sign + "0." + std::string(-point, '0') + digits;
    if (point >= n)
        return sign + digits + std::string(point - n, '0');
    return sign + digits.substr(0, point) + "." + digits.substr(point);
}

template <typename T> std::string formatShortest(T v) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    return layout(std::string(buf, r.ptr));
}

} // namespace

std::string TServerConnection::FormatDouble(double v) {
    return formatShortest(v);
}

std::string TServerConnection::FormatFloat(float v) {
    return formatShortest(v);
}

std::unique_ptr<TResultSet> TServerConnection::Query(const std::string& sql) {
    return execute(trimmedStatement(sql), true);
}

void TServerConnection::ExecSQL(const std::string& sql) {
    execute(trimmedStatement(sql), false);
}

void TServerConnection::checkTableName(const std::string& table) {
    bool ok = !table.empty();
    for (unsigned char c : table)
        ok = ok && (std::isalnum(c) || c == '_' || c == '$' || c == '.' || c == '"' || c == '[' || c == ']' ||
                    c >= 0x80);
    if (!ok)
        throw EDBEngineError(Format("Invalid table name: %s", table));
}

std::vector<std::string> TServerConnection::FieldNames(const std::string& table) {
    checkTableName(table);
    auto r = execute("SELECT * FROM " + table + " WHERE 1=0", false);
    std::vector<std::string> out;
    for (int i = 0; i < r->FieldCount(); ++i)
        out.push_back(r->FieldName(i));
    return out;
}

bool TServerConnection::hasParam(const TStringList& params, const std::string& name) {
    for (int i = 0; i < params.Count(); ++i)
        if (SameText(Trim(params.NameAt(i)), name))
            return true;
    return false;
}

} // namespace vx::db
