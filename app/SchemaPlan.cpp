#include "app/SchemaPlan.h"

#include <unordered_set>

namespace vx::app {

using namespace vx::platform;

namespace {

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

TSchemaStatement missing(const char* column) {
    return {{}, column};
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

TSchemaPlan::TSchemaPlan(std::string kind, std::vector<std::string> listed, bool hasCampo, bool hasTipo)
    : mssql_(kind == "MSSQL"), hasCampo_(hasCampo), hasTipo_(hasTipo),
      listedCount_(static_cast<int32_t>(listed.size())) {
    // A schema table's search is one look-up instead of a scan of the
    // list, and the gauge still moves by the names a scan would have passed
    // over before the match.
    listed_.reserve(listed.size());
    for (int32_t i = 0; i < listedCount_; ++i) {
        const std::string& n = listed[static_cast<size_t>(i)];
        // The server lists its tables with the owner in front ("dbo.").
        listed_.emplace(UpperCase(!mssql_ ? n : n.size() > 4 ? n.substr(4) : std::string()), i);
    }
}

void TSchemaPlan::AddRow(const TSchemaRow& row) {
    ++rowCount_;
    const char* wrong = !IsPlainIdentifier(row.Tabela, mssql_)       ? "Tabela"
                        : hasCampo_ && !IsPlainIdentifier(row.Campo) ? "Campo"
                        : hasTipo_ && !IsColumnDefinition(row.Tipo)  ? "Tipo"
                                                                     : nullptr;
    if (wrong)
        throw ESchemaRowError("Talvir.db, linha " + std::to_string(rowCount_) + " (Tabela " +
                              shown(row.Tabela) + ", Campo " + shown(row.Campo) + ", Tipo " +
                              shown(row.Tipo) + "): " + wrong + " recusado");
    rows_[row.Tabela].push_back(row);
}

const std::vector<TSchemaRow>& TSchemaPlan::rowsOf(const std::string& table) const {
    static const std::vector<TSchemaRow> none;
    const auto group = rows_.find(table);
    return group == rows_.end() ? none : group->second;
}

std::string TSchemaPlan::typeText(const std::string& tipo) const {
    if (!mssql_)
        return tipo;
    if (tipo == "TimeStamp" || tipo == "Time")
        return "DateTime";
    if (tipo == "Autoinc")
        return "Int";
    if (tipo == "Money")
        return "Float";
    return tipo;
}

TSchemaTableStart TSchemaPlan::Start(const std::string& table) const {
    TSchemaTableStart s;
    s.GaugeMax = listedCount_;
    const auto hit = listed_.find(UpperCase(table));
    s.GaugeSteps = hit != listed_.end() ? hit->second : listedCount_;
    if (hit != listed_.end())
        return s;
    const std::vector<TSchemaRow>& rows = rowsOf(table);
    if (table == "ComissaoVendedores") {
        s.Create = TSchemaStatement{{"CREATE TABLE ComissaoVendedores (Vendedor Varchar(2), Desconto Float, "
                                     "PRIMARY KEY(Vendedor, Desconto))"},
                                    {}};
    } else if (!rows.empty() && (!hasCampo_ || !hasTipo_)) {
        s.Create = missing(!hasCampo_ ? "Campo" : "Tipo");
    } else {
        // Without rows the first row's fields read as empty texts.
        const std::string c = rows.empty() ? std::string() : rows.front().Campo;
        const std::string y = typeText(rows.empty() ? std::string() : rows.front().Tipo);
        s.Create =
            TSchemaStatement{{"CREATE TABLE " + table + " (", c + " " + y + ", PRIMARY KEY(" + c + "))"}, {}};
    }
    return s;
}

std::vector<TSchemaStatement> TSchemaPlan::AddFields(const std::string& table,
                                                     const std::vector<std::string>& fields) const {
    std::unordered_set<std::string> have;
    for (const std::string& f : fields)
        have.insert(UpperCase(f));
    std::vector<TSchemaStatement> out;
    // The field list was read once, before these: a field named twice is
    // added twice, and the engine refuses the second.
    for (const TSchemaRow& row : rowsOf(table)) {
        if (!hasCampo_) {
            out.push_back(missing("Campo"));
            break;
        }
        if (have.count(UpperCase(row.Campo)))
            continue;
        if (!hasTipo_) {
            out.push_back(missing("Tipo"));
            break;
        }
        out.push_back({{"ALTER TABLE " + table, " ADD " + row.Campo + " " + typeText(row.Tipo)}, {}});
        if (table == "Cad_Clientes" && row.Campo == "MalaDireta")
            out.push_back({{"UPDATE Cad_Clientes SET MalaDireta = 'T' WHERE MalaDireta IS NULL"}, {}});
    }
    return out;
}

} // namespace vx::app
