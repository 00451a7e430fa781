#include "db/Engine.h"

#include <sstream>

#include "db/InterbaseDriver.h"
#include "db/MssqlDriver.h"
#include "db/StandardDriver.h"
#include "platform/Profile.h"
#include "platform/SystemFiles.h"
#include "platform/Text.h"

namespace vx::db {

using namespace vx::platform;

int TResultSet::IndexOf(const std::string& name) const {
    for (int i = 0; i < FieldCount(); ++i)
        if (SameText(FieldName(i), name))
            return i;
    return -1;
}

std::optional<std::string> TMemoryResultSet::Value(int i) const {
    if (Eof() || i < 0 || i >= FieldCount())
        return std::nullopt;
    const Row& row = rows_[pos_];
    return i < static_cast<int>(row.size()) ? row[i] : std::nullopt;
}

std::string TEngineConfig::FileName() {
    return EngineConfigPath();
}

std::vector<TAliasDefinition> TEngineConfig::Parse(const std::string& text) {
    std::vector<TAliasDefinition> out;
    std::istringstream in(text);
    std::string line;
    TAliasDefinition* current = nullptr;
    while (std::getline(in, line)) {
        std::string t = Trim(line);
        if (t.empty() || t[0] == ';' || t[0] == '#')
            continue;
        if (t.front() == '[') {
            size_t close = t.find(']');
            out.push_back(
                {Trim(t.substr(1, close == std::string::npos ? std::string::npos : close - 1)), "", {}});
            current = &out.back();
            continue;
        }
        size_t eq = t.find('=');
        if (!current || eq == std::string::npos)
            continue;
        std::string key = Trim(t.substr(0, eq));
        std::string value = Trim(t.substr(eq + 1));
        if (SameText(key, "TYPE"))
            current->type = UpperCase(value);
        else
            current->params.emplace_back(key, value);
    }
    return out;
}

std::optional<TAliasDefinition> TEngineConfig::FindAlias(const std::string& name) {
    const std::optional<std::string> text = ReadSettingsText(FileName());
    if (!text)
        return std::nullopt;
    for (auto& a : Parse(*text))
        if (SameText(a.name, name))
            return a;
    return std::nullopt;
}

TConnectionSettings ResolveSettings(const std::string& type, bool isAlias, const TStringList& ownParams,
                                    TTransIsolation isolation) {
    TConnectionSettings s;
    s.transIsolation = isolation;
    if (!isAlias) {
        s.driver = UpperCase(Trim(type));
        s.params.Assign(ownParams);
        return s;
    }
    auto alias = TEngineConfig::FindAlias(type);
    if (!alias)
        throw EDBEngineError(
            Format("Unknown alias: %s (engine configuration %s)", type, TEngineConfig::FileName()));
    if (alias->type.empty())
        throw EDBEngineError(Format("Alias %s has no TYPE in %s", type, TEngineConfig::FileName()));
    s.driver = alias->type;
    s.alias = alias->name;
    for (int i = 0; i < ownParams.Count(); ++i) {
        std::string name = Trim(ownParams.NameAt(i));
        std::erase_if(alias->params, [&](const auto& p) { return SameText(p.first, name); });
    }
    for (const auto& [k, v] : alias->params)
        s.params.Add(k + "=" + v);
    for (const auto& line : ownParams)
        s.params.Add(line);
    return s;
}

std::unique_ptr<TDriverConnection> OpenDriverConnection(const TConnectionSettings& settings) {
    if (settings.driver == "STANDARD" || settings.driver == "PARADOX")
        return std::make_unique<TStandardDriver>(settings);
    if (settings.driver == "INTERBASE")
        return std::make_unique<TInterbaseDriver>(settings);
    if (settings.driver == "MSSQL")
        return std::make_unique<TMssqlDriver>(settings);
    if (settings.driver.empty())
        throw EDBEngineError("No driver name or alias name is set");
    throw EDBEngineError(Format("Unknown driver: %s", settings.driver));
}

} // namespace vx::db
