#include "db/DBTables.h"

#include <algorithm>

#include "db/Engine.h"
#include "platform/Files.h"

namespace vx::db {

using namespace vx::platform;

namespace {

constexpr const char* kOpenDatabase = "Cannot perform this operation on an open database";
constexpr const char* kClosedDataset = "Cannot perform this operation on a closed dataset";

std::vector<TDatabase*>& registry() {
    static std::vector<TDatabase*> r;
    return r;
}

// The connection a query or table reader addresses: a TDatabase of that
// name, else an alias of that name, else a folder of local tables; the
// empty name is the working folder.
TDriverConnection& connectionFor(const std::string& name, std::unique_ptr<TDriverConnection>& local) {
    if (!name.empty())
        if (TDatabase* db = TDatabase::Find(name))
            return db->Driver();
    if (!local) {
        Session().Start();
        TConnectionSettings s;
        if (name.empty()) {
            s = ResolveSettings("STANDARD", false, {}, tiDirtyRead);
        } else if (TEngineConfig::FindAlias(name)) {
            s = ResolveSettings(name, true, {}, tiReadCommitted);
        } else if (DirectoryExists(name)) {
            TStringList params;
            params.Add("PATH=" + name);
            s = ResolveSettings("STANDARD", false, params, tiDirtyRead);
        } else {
            throw EDBEngineError(Format("Unknown database: %s", name));
        }
        s.passwords = &Session().Passwords();
        local = OpenDriverConnection(s);
    }
    return *local;
}

} // namespace

// ---- session -------------------------------------------------------------

void TSession::AddPassword(const std::string& password) {
    Start();
    if (std::find(passwords_.begin(), passwords_.end(), password) == passwords_.end())
        passwords_.push_back(password);
}

void TSession::Start() {
    started_ = true;
}

TSession& Session() {
    static TSession session;
    return session;
}

// ---- connection ----------------------------------------------------------

TDatabase::TDatabase(TComponent* owner) : TComponent(owner) {
    registry().push_back(this);
    params_.OnChange = [this] { paramsChanged(); };
}

TDatabase::~TDatabase() {
    params_.OnChange = nullptr;
    std::erase(registry(), this);
}

TDatabase* TDatabase::Find(const std::string& databaseName) {
    for (TDatabase* db : registry())
        if (!db->databaseName_.empty() && SameText(db->databaseName_, databaseName))
            return db;
    return nullptr;
}

void TDatabase::checkInactive() {
    if (conn_)
        throw EDBEngineError(kOpenDatabase);
}

void TDatabase::paramsChanged() {
    if (!conn_ || restoringParams_)
        return;
    // The lines of an open connection stay as they were opened.
    restoringParams_ = true;
    params_.Assign(openParams_);
    restoringParams_ = false;
    throw EDBEngineError(kOpenDatabase);
}

void TDatabase::SetDatabaseName(const std::string& n) {
    checkInactive();
    databaseName_ = n;
}

void TDatabase::SetDriverName(const std::string& n) {
    checkInactive();
    type_ = n;
    isAlias_ = false;
}

void TDatabase::SetAliasName(const std::string& n) {
    checkInactive();
    type_ = n;
    isAlias_ = true;
}

void TDatabase::SetTransIsolation(TTransIsolation t) {
    checkInactive();
    transIsolation_ = t;
}

bool TDatabase::Connected() const {
    return conn_ != nullptr;
}

void TDatabase::SetConnected(bool v) {
    if (!v) {
        conn_.reset();
        return;
    }
    if (conn_)
        return;
    Session().Start();
    TConnectionSettings settings = ResolveSettings(type_, isAlias_, params_, transIsolation_);
    settings.passwords = &Session().Passwords();
    conn_ = OpenDriverConnection(settings);
    restoringParams_ = true;
    openParams_.Assign(params_);
    restoringParams_ = false;
}

void TDatabase::GetTableNames(TStringList& list, bool systemTables) {
    list.Clear();
    for (auto& name : Driver().TableNames(systemTables))
        list.Add(std::move(name));
}

TDriverConnection& TDatabase::Driver() {
    SetConnected(true);
    return *conn_;
}

// ---- query ---------------------------------------------------------------

TQuery::TQuery(TComponent* owner) : TComponent(owner) {
    sql_.OnChange = [this] { Close(); };
}

TQuery::~TQuery() {
    sql_.OnChange = nullptr;
}

void TQuery::SetDatabaseName(const std::string& n) {
    Close();
    databaseName_ = n;
    local_.reset();
}

TDriverConnection& TQuery::connection() {
    return connectionFor(databaseName_, local_);
}

void TQuery::Open() {
    Close();
    result_ = connection().Query(sql_.Text());
}

void TQuery::Close() {
    result_.reset();
}

bool TQuery::Eof() const {
    return !result_ || result_->Eof();
}

void TQuery::Next() {
    if (!result_)
        throw EDBEngineError(kClosedDataset);
    result_->Next();
}

std::string TQuery::FieldByName(const std::string& name) const {
    if (!result_)
        throw EDBEngineError(kClosedDataset);
    const int i = result_->IndexOf(name);
    if (i < 0)
        throw EDBEngineError(Format("Field '%s' not found", name));
    return result_->Value(i).value_or(std::string());
}

int TQuery::FieldCount() const {
    return result_ ? result_->FieldCount() : 0;
}

std::string TQuery::FieldName(int i) const {
    if (!result_)
        throw EDBEngineError(kClosedDataset);
    if (i < 0 || i >= result_->FieldCount())
        throw EDBEngineError(Format("Field index out of range: %d", i));
    return result_->FieldName(i);
}

void TQuery::ExecSQL() {
    Close();
    connection().ExecSQL(sql_.Text());
}

// ---- table reader --------------------------------------------------------

TTable::TTable(TComponent* owner) : TComponent(owner) {}

TTable::~TTable() = default;

void TTable::Open() {
    Close();
    if (tableName_.empty())
        throw EDBEngineError("No table name is set");
    local_.reset(); // the database name may have changed since the last open
    fields_ = connectionFor(databaseName_, local_).FieldNames(tableName_);
    active_ = true;
}

void TTable::Close() {
    active_ = false;
    fields_.clear();
}

const std::string& TTable::FieldName(int i) const {
    if (i < 0 || i >= FieldCount())
        throw EDBEngineError(Format("Field index out of range: %d", i));
    return fields_[i];
}

} // namespace vx::db
