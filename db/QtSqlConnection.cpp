#include "db/QtSqlConnection.h"

#include <QDate>
#include <QDateTime>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTime>
#include <QVariant>
#include <atomic>
#include <cctype>
#include <chrono>
#include <thread>

#include "platform/Text.h"

namespace {

QString toQ(const std::string& ansi) {
    return QString::fromStdString(AnsiToUtf8(ansi));
}
std::string fromQ(const QString& s) {
    return Utf8ToAnsi(s.toStdString());
}

std::optional<std::string> valueText(const QVariant& v) {
    if (v.isNull())
        return std::nullopt;
    switch (v.metaType().id()) {
    case QMetaType::Double:
    case QMetaType::Float:
        return fromQ(QString::number(v.toDouble(), 'g', QLocale::FloatingPointShortest));
    case QMetaType::QDate:
        return fromQ(v.toDate().toString("yyyy-MM-dd"));
    case QMetaType::QTime:
        return fromQ(v.toTime().toString(v.toTime().msec() ? "hh:mm:ss.zzz" : "hh:mm:ss"));
    case QMetaType::QDateTime: {
        const QDateTime d = v.toDateTime();
        return fromQ(d.toString(d.time().msec() ? "yyyy-MM-dd hh:mm:ss.zzz" : "yyyy-MM-dd hh:mm:ss"));
    }
    case QMetaType::QByteArray:
        return v.toByteArray().toStdString();
    default:
        return fromQ(v.toString());
    }
}

} // namespace

TQtSqlConnection::TQtSqlConnection(const char* qtDriver) {
    static std::atomic<int> counter{0};
    name_ = QStringLiteral("vx_db_%1").arg(++counter);
    QSqlDatabase db = QSqlDatabase::addDatabase(qtDriver, name_);
    if (!db.isValid()) {
        QSqlDatabase::removeDatabase(name_);
        name_.clear();
        throw EDBEngineError(Format("The database client %s is not available", qtDriver));
    }
}

TQtSqlConnection::~TQtSqlConnection() {
    if (name_.isEmpty())
        return;
    {
        QSqlDatabase db = QSqlDatabase::database(name_, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(name_);
}

std::string TQtSqlConnection::ErrorText(const QSqlError& e) {
    QString t = e.databaseText().trimmed();
    if (t.isEmpty())
        t = e.driverText().trimmed();
    if (t.isEmpty())
        t = e.text().trimmed();
    return fromQ(t);
}

void TQtSqlConnection::open() {
    QSqlDatabase db = QSqlDatabase::database(name_, false);
    if (!db.open())
        throw EDBEngineError(ErrorText(db.lastError()));
}

std::unique_ptr<TMemoryResultSet> TQtSqlConnection::run(const std::string& sql, bool wantRows) {
    QSqlDatabase db = QSqlDatabase::database(name_, false);
    for (int attempt = 1;; ++attempt) {
        // With an explicit transaction around each statement, a commit that
        // fails (a conflict with a concurrent change of the schema, say) is
        // reported instead of undoing the statement silently.
        if (explicitCommit_ && !db.transaction())
            throw EDBEngineError(ErrorText(db.lastError()));
        try {
            auto result = runInTransaction(db, sql, wantRows);
            if (explicitCommit_ && !db.commit()) {
                const QSqlError e = db.lastError();
                discardFailedTransaction(db, e);
                // A conflict with another transaction leaves no trace of the
                // statement, so it may run again; a few times, briefly apart.
                if (attempt < kConflictRetries && isConflict(e)) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(20 * attempt));
                    continue;
                }
                throw EDBEngineError(ErrorText(e));
            }
            return result;
        } catch (const EDBEngineError&) {
            if (explicitCommit_ && db.isOpen())
                db.rollback();
            throw;
        }
    }
}

void TQtSqlConnection::discardFailedTransaction(QSqlDatabase& db, const QSqlError&) {
    db.rollback();
}

bool TQtSqlConnection::isConflict(const QSqlError& e) {
    return e.databaseText().contains(QLatin1String("update conflicts with concurrent update")) ||
           e.databaseText().contains(QLatin1String("lock conflict"));
}

std::unique_ptr<TMemoryResultSet> TQtSqlConnection::runInTransaction(QSqlDatabase& db, const std::string& sql,
                                                                     bool wantRows) {
    QSqlQuery q(db);
    q.setForwardOnly(true);
    // Trailing line breaks are dropped so that a statement ends clean.
    std::string text = sql;
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.pop_back();
    if (!q.exec(toQ(text)))
        throw EDBEngineError(ErrorText(q.lastError()));
    std::vector<std::string> names;
    const QSqlRecord rec = q.record();
    for (int i = 0; i < rec.count(); ++i)
        names.push_back(fromQ(rec.fieldName(i)));
    auto result = std::make_unique<TMemoryResultSet>(std::move(names));
    if (wantRows && q.isSelect()) {
        while (q.next()) {
            TMemoryResultSet::Row row;
            for (int i = 0; i < rec.count(); ++i)
                row.push_back(valueText(q.value(i)));
            result->AddRow(std::move(row));
        }
        if (q.lastError().isValid())
            throw EDBEngineError(ErrorText(q.lastError()));
    }
    return result;
}

std::unique_ptr<TResultSet> TQtSqlConnection::Query(const std::string& sql) {
    return run(sql, true);
}

void TQtSqlConnection::ExecSQL(const std::string& sql) {
    run(sql, false);
}

void TQtSqlConnection::checkTableName(const std::string& table) {
    bool ok = !table.empty();
    for (unsigned char c : table)
        ok = ok && (std::isalnum(c) || c == '_' || c == '$' || c == '.' || c == '"' || c == '[' || c == ']' ||
                    c >= 0x80);
    if (!ok)
        throw EDBEngineError(Format("Invalid table name: %s", table));
}

std::vector<std::string> TQtSqlConnection::FieldNames(const std::string& table) {
    checkTableName(table);
    auto r = run("SELECT * FROM " + table + " WHERE 1=0", false);
    std::vector<std::string> out;
    for (int i = 0; i < r->FieldCount(); ++i)
        out.push_back(r->FieldName(i));
    return out;
}

bool TQtSqlConnection::hasParam(const TStringList& params, const std::string& name) {
    for (int i = 0; i < params.Count(); ++i)
        if (SameText(Trim(params.NameAt(i)), name))
            return true;
    return false;
}
