#include "db/SqlScanner.h"

#include <cctype>

#include "platform/SysUtils.h"

namespace vx::db {

using namespace vx::platform;

namespace {

struct Token {
    enum Kind { Word, Quoted, Punct } kind;
    std::string text; // a quoted identifier without its quotes
};

bool wordChar(unsigned char c) {
    return std::isalnum(c) || c == '_' || c == '$' || c >= 0x80;
}

std::vector<Token> tokenize(const std::string& s) {
    std::vector<Token> out;
    size_t i = 0;
    const size_t n = s.size();
    while (i < n) {
        const unsigned char c = s[i];
        if (std::isspace(c)) {
            ++i;
        } else if (c == '-' && i + 1 < n && s[i + 1] == '-') {
            while (i < n && s[i] != '\n')
                ++i;
        } else if (c == '/' && i + 1 < n && s[i + 1] == '*') {
            size_t e = s.find("*/", i + 2);
            i = e == std::string::npos ? n : e + 2;
        } else if (c == '\'') { // string literal: skipped, never a name
            for (++i; i < n; ++i)
                if (s[i] == '\'' && !(i + 1 < n && s[i + 1] == '\'' && ++i))
                    break;
            ++i;
        } else if (c == '"' || c == '[' || c == '`') {
            const char close = c == '[' ? ']' : static_cast<char>(c);
            std::string text;
            for (++i; i < n; ++i) {
                if (s[i] == close) {
                    if (close != ']' && i + 1 < n && s[i + 1] == close) {
                        text += close;
                        ++i;
                        continue;
                    }
                    break;
                }
                text += s[i];
            }
            ++i;
            out.push_back({Token::Quoted, text});
        } else if (wordChar(c)) {
            size_t b = i;
            while (i < n && wordChar(static_cast<unsigned char>(s[i])))
                ++i;
            out.push_back({Token::Word, s.substr(b, i - b)});
        } else {
            out.push_back({Token::Punct, std::string(1, static_cast<char>(c))});
            ++i;
        }
    }
    return out;
}

bool isKeyword(const Token& t, const char* k) {
    return t.kind == Token::Word && SameText(t.text, k);
}

bool endsFromList(const Token& t) {
    static const char* const kEnd[] = {"WHERE",  "GROUP",     "ORDER",  "HAVING",   "LIMIT",   "UNION",
                                       "EXCEPT", "INTERSECT", "JOIN",   "ON",       "USING",   "INNER",
                                       "LEFT",   "RIGHT",     "FULL",   "CROSS",    "NATURAL", "SET",
                                       "VALUES", "SELECT",    "WINDOW", "RETURNING"};
    for (const char* k : kEnd)
        if (isKeyword(t, k))
            return true;
    return false;
}

} // namespace

bool TSqlStatementInfo::Changes() const {
    return verb == "CREATE" || verb == "ALTER" || verb == "DROP" || verb == "UPDATE" || verb == "INSERT" ||
           verb == "DELETE" || verb == "REPLACE";
}

TSqlStatementInfo ScanSql(const std::string& sql) {
    TSqlStatementInfo info;
    const std::vector<Token> t = tokenize(sql);
    if (t.empty())
        return info;
    if (t[0].kind == Token::Word)
        info.verb = UpperCase(t[0].text);
    if (t.size() > 1 && t[1].kind == Token::Word)
        info.object = UpperCase(t[1].text);

    auto add = [&](const std::string& name) {
        for (const auto& x : info.tables)
            if (SameText(x, name))
                return;
        info.tables.push_back(name);
    };
    // The name starting at token i (a schema-qualified name counts by its
    // last part); returns the index after it, or i when there is no name.
    auto nameAt = [&](size_t i, std::string& name) {
        while (i + 2 < t.size() &&
               (isKeyword(t[i], "IF") || isKeyword(t[i], "NOT") || isKeyword(t[i], "EXISTS")))
            ++i;
        if (i >= t.size() || t[i].kind == Token::Punct)
            return i;
        size_t j = i;
        while (j + 2 < t.size() && t[j + 1].kind == Token::Punct && t[j + 1].text == "." &&
               t[j + 2].kind != Token::Punct)
            j += 2;
        name = t[j].text;
        return j + 1;
    };

    bool inFrom = false;
    int depth = 0, fromDepth = 0;
    for (size_t i = 0; i < t.size(); ++i) {
        const Token& k = t[i];
        if (k.kind == Token::Punct) {
            if (k.text == "(")
                ++depth;
            else if (k.text == ")") {
                if (inFrom && depth == fromDepth)
                    inFrom = false;
                --depth;
            } else if (k.text == "," && inFrom && depth == fromDepth) {
                std::string name;
                if (nameAt(i + 1, name) != i + 1)
                    add(name);
            }
            continue;
        }
        if (inFrom && depth == fromDepth && endsFromList(k))
            inFrom = false;
        const bool from = isKeyword(k, "FROM");
        if (from || isKeyword(k, "JOIN") || isKeyword(k, "INTO") || isKeyword(k, "UPDATE") ||
            isKeyword(k, "TABLE") || (isKeyword(k, "ON") && info.verb == "CREATE")) {
            std::string name;
            if (nameAt(i + 1, name) != i + 1) {
                add(name);
                if (info.target.empty() && info.Changes() && !(from && info.verb != "DELETE"))
                    info.target = name;
            }
            if (from) {
                inFrom = true;
                fromDepth = depth;
            }
        }
    }
    if (info.verb == "CREATE" && info.object != "TABLE") {
        // CREATE INDEX i ON t: the table is the one after ON.
        info.target.clear();
        for (size_t i = 0; i + 1 < t.size(); ++i)
            if (isKeyword(t[i], "ON")) {
                std::string name;
                if (nameAt(i + 1, name) != i + 1)
                    info.target = name;
                break;
            }
    }
    return info;
}

namespace {
std::string quotedWith(const std::string& s, char q) {
    std::string out(1, q);
    for (char c : s) {
        out += c;
        if (c == q)
            out += q;
    }
    return out + q;
}
} // namespace

std::string SqlQuoteLiteral(const std::string& s) {
    return quotedWith(s, '\'');
}

std::string SqlQuoteIdent(const std::string& s) {
    return quotedWith(s, '"');
}

} // namespace vx::db
