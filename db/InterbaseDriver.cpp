#include "db/InterbaseDriver.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <thread>

#include "platform/Text.h"

namespace vx::db {

using namespace vx::platform;

namespace {

// Each statement runs in a read-committed transaction of its own. A lock
// held by another program is waited for, but not for ever.
constexpr char kTpb[] = {isc_tpb_version3,
                         isc_tpb_write,
                         isc_tpb_read_committed,
                         isc_tpb_rec_version,
                         isc_tpb_wait,
                         isc_tpb_lock_timeout,
                         1,
                         30};

// One database's entry in the start of a transaction.
struct TTeb {
    isc_db_handle* db;
    long tpbLength;
    const char* tpb;
};

void addDpb(std::string& dpb, char item, const std::string& value) {
    if (value.size() > 255)
        throw EDBEngineError(Format("A connection parameter is too long (%d characters)", value.size()));
    dpb += item;
    dpb += static_cast<char>(value.size());
    dpb += value;
}

// An XSQLDA of n variables, with a buffer for each variable's value.
class TSqlda {
public:
    explicit TSqlda(int n) { resize(n); }
    void resize(int n) {
        mem_.assign(XSQLDA_LENGTH(n > 0 ? n : 1), 0);
        da()->version = SQLDA_VERSION1;
        da()->sqln = static_cast<ISC_SHORT>(n > 0 ? n : 1);
    }
    XSQLDA* da() { return reinterpret_cast<XSQLDA*>(mem_.data()); }
    // Buffers for the described variables; VARCHAR values carry their
    // length in front.
    void bind() {
        data_.resize(da()->sqld);
        nulls_.assign(da()->sqld, 0);
        for (int i = 0; i < da()->sqld; ++i) {
            XSQLVAR& v = da()->sqlvar[i];
            data_[i].assign((v.sqllen + 2 + 7) / 8 + 1, 0);
            v.sqldata = reinterpret_cast<ISC_SCHAR*>(data_[i].data());
            v.sqlind = &nulls_[i];
        }
    }

private:
    std::vector<char, std::allocator<char>> mem_;
    std::vector<std::vector<std::int64_t>> data_;
    std::vector<ISC_SHORT> nulls_;
};

// The statement handle, freed on every way out.
struct TStatement {
    const TFirebirdClient& fb;
    isc_stmt_handle h = 0;
    ~TStatement() {
        ISC_STATUS_ARRAY st;
        if (h)
            fb.dsql_free_statement(st, &h, DSQL_drop);
    }
};

std::string two(int v) {
    return std::string(1, static_cast<char>('0' + v / 10 % 10)) + static_cast<char>('0' + v % 10);
}

// ISC_DATE counts days from 17 November 1858.
std::string dateText(ISC_DATE d) {
    // Days to civil date (proleptic Gregorian), counted from 1 March of
    // year 0: that day is 719468 days before 1970-01-01, which is day 40587.
    const std::int64_t z = static_cast<std::int64_t>(d) - 40587 + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    std::int64_t y = yoe + era * 400;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    if (month <= 2)
        ++y;
    std::string year = std::to_string(y);
    if (year.size() < 4)
        year.insert(0, 4 - year.size(), '0');
    return year + "-" + two(month) + "-" + two(day);
}

// ISC_TIME counts ten-thousandths of a second from midnight.
std::string timeText(ISC_TIME t) {
    const unsigned s = t / 10000, ms = t % 10000 / 10;
    std::string out = two(s / 3600) + ":" + two(s / 60 % 60) + ":" + two(s % 60);
    if (ms) {
        out += '.';
        out += static_cast<char>('0' + ms / 100);
        out += static_cast<char>('0' + ms / 10 % 10);
        out += static_cast<char>('0' + ms % 10);
    }
    return out;
}

// Text the server sent in the connection's character set (UTF-8); a column
// of no character set may hold the program's own bytes.
std::string fromServer(std::string_view bytes) {
    return GuessToAnsi(bytes);
}

constexpr int kCharsetOctets = 1, kCharsetUtf8 = 4;

// A CHAR value of a UTF-8 column fills its buffer of four bytes a character
// with blanks; it keeps the declared number of characters.
std::string_view fixedText(std::string_view bytes, int charset) {
    if (charset != kCharsetUtf8)
        return bytes;
    size_t chars = bytes.size() / 4, i = 0;
    for (size_t n = 0; i < bytes.size() && n < chars; ++n) {
        ++i;
        while (i < bytes.size() && (static_cast<unsigned char>(bytes[i]) & 0xC0) == 0x80)
            ++i;
    }
    return bytes.substr(0, i);
}

} // namespace

TInterbaseDriver::TInterbaseDriver(const TConnectionSettings& settings)
    : TInterbaseDriver(settings, TFirebirdClient::System()) {}

TInterbaseDriver::TInterbaseDriver(const TConnectionSettings& settings, const TFirebirdClient& client)
    : fb_(client) {
    const std::string server = AnsiToUtf8(Trim(settings.params.Value("SERVER NAME")));
    if (server.empty())
        throw EDBEngineError("No SERVER NAME is set for the INTERBASE driver");
    if (server.size() > 32767)
        throw EDBEngineError("The SERVER NAME is too long");
    std::string dpb(1, static_cast<char>(isc_dpb_version1));
    addDpb(dpb, isc_dpb_user_name, AnsiToUtf8(settings.params.Value("USER NAME")));
    addDpb(dpb, isc_dpb_password, AnsiToUtf8(settings.params.Value("PASSWORD")));
    addDpb(dpb, isc_dpb_lc_ctype, "UTF8");
    ISC_STATUS_ARRAY st;
    if (fb_.attach_database(st, static_cast<short>(server.size()), server.data(), &db_,
                            static_cast<short>(dpb.size()), dpb.data()))
        fail(st);
}

TInterbaseDriver::~TInterbaseDriver() {
    ISC_STATUS_ARRAY st;
    if (tr_)
        fb_.rollback_transaction(st, &tr_);
    if (db_)
        fb_.detach_database(st, &db_);
}

std::string TInterbaseDriver::errorText(const ISC_STATUS* status) const {
    std::string msg;
    char buf[1024];
    const ISC_STATUS* p = status;
    while (fb_.interpret(buf, sizeof buf, &p)) {
        if (!msg.empty())
            msg += " - ";
        msg += buf;
    }
    return fromServer(msg);
}

void TInterbaseDriver::fail(const ISC_STATUS* status) const {
    throw EDBEngineError(errorText(status));
}

std::unique_ptr<TMemoryResultSet> TInterbaseDriver::execute(const std::string& sql, bool wantRows) {
    for (int attempt = 1;; ++attempt) {
        ISC_STATUS_ARRAY st;
        TTeb teb{&db_, sizeof kTpb, kTpb};
        if (fb_.start_multiple(st, &tr_, 1, &teb))
            fail(st);
        std::unique_ptr<TMemoryResultSet> result;
        try {
            result = runInTransaction(sql, wantRows);
        } catch (const EDBEngineError&) {
            fb_.rollback_transaction(st, &tr_);
            tr_ = 0;
            throw;
        }
        // The commit is where a conflict with a concurrent change of the
        // schema shows; it is reported, not taken as success. The failed
        // transaction is still open on the server, holding its locks, and is
        // rolled back so that the statement leaves no trace.
        if (!fb_.commit_transaction(st, &tr_)) {
            tr_ = 0;
            return result;
        }
        const std::string text = errorText(st);
        ISC_STATUS_ARRAY rb;
        fb_.rollback_transaction(rb, &tr_);
        tr_ = 0;
        // A conflict leaves no trace of the statement, so it may run again;
        // a few times, briefly apart.
        const bool conflict = text.find("update conflicts with concurrent update") != std::string::npos ||
                              text.find("lock conflict") != std::string::npos;
        if (attempt < kConflictRetries && conflict) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20 * attempt));
            continue;
        }
        throw EDBEngineError(text);
    }
}

std::unique_ptr<TMemoryResultSet> TInterbaseDriver::runInTransaction(const std::string& sql, bool wantRows) {
    ISC_STATUS_ARRAY st;
    TStatement stmt{fb_};
    if (fb_.dsql_allocate_statement(st, &db_, &stmt.h))
        fail(st);
    TSqlda out(20);
    const std::string text = AnsiToUtf8(sql);
    if (fb_.dsql_prepare(st, &tr_, &stmt.h, 0, text.c_str(), SQL_DIALECT_V6, out.da()))
        fail(st);
    if (out.da()->sqld > out.da()->sqln) {
        const int n = out.da()->sqld;
        out.resize(n);
        if (fb_.dsql_describe(st, &stmt.h, SQLDA_VERSION1, out.da()))
            fail(st);
    }
    out.bind();
    const char item = isc_info_sql_stmt_type;
    char info[16] = {};
    if (fb_.dsql_sql_info(st, &stmt.h, 1, &item, sizeof info, info))
        fail(st);
    long type = 0;
    if (info[0] == isc_info_sql_stmt_type) {
        const int len = static_cast<unsigned char>(info[1]) | static_cast<unsigned char>(info[2]) << 8;
        for (int i = len - 1; i >= 0 && 3 + i < static_cast<int>(sizeof info); --i)
            type = type << 8 | static_cast<unsigned char>(info[3 + i]);
    }
    const bool select = type == isc_info_sql_stmt_select || type == isc_info_sql_stmt_select_for_upd;

    std::vector<std::string> names;
    for (int i = 0; i < out.da()->sqld; ++i) {
        const XSQLVAR& v = out.da()->sqlvar[i];
        names.push_back(fromServer(std::string_view(v.aliasname, v.aliasname_length)));
    }
    auto result = std::make_unique<TMemoryResultSet>(select ? std::move(names) : std::vector<std::string>());
    if (fb_.dsql_execute(st, &tr_, &stmt.h, SQLDA_VERSION1, nullptr))
        fail(st);
    if (!select || !wantRows)
        return result;
    for (;;) {
        const ISC_STATUS r = fb_.dsql_fetch(st, &stmt.h, SQLDA_VERSION1, out.da());
        if (r == 100)
            break;
        if (r)
            fail(st);
        TMemoryResultSet::Row row;
        for (int i = 0; i < out.da()->sqld; ++i)
            row.push_back(value(out.da()->sqlvar[i]));
        result->AddRow(std::move(row));
    }
    return result;
}

std::optional<std::string> TInterbaseDriver::value(const XSQLVAR& v) {
    if ((v.sqltype & 1) && *v.sqlind < 0)
        return std::nullopt;
    const char* d = v.sqldata;
    auto scaled = [&](std::int64_t n) -> std::string {
        if (v.sqlscale >= 0)
            return std::to_string(n);
        return FormatDouble(static_cast<double>(n) / std::pow(10.0, -v.sqlscale));
    };
    auto read = [&](auto x) {
        std::memcpy(&x, d, sizeof x);
        return x;
    };
    switch (v.sqltype & ~1) {
    case SQL_TEXT: {
        const std::string_view raw(d, v.sqllen);
        if ((v.sqlsubtype & 0xFF) == kCharsetOctets)
            return std::string(raw);
        return fromServer(fixedText(raw, v.sqlsubtype & 0xFF));
    }
    case SQL_VARYING: {
        const auto len = static_cast<unsigned short>(read(ISC_SHORT{}));
        const std::string_view raw(d + 2, std::min<size_t>(len, v.sqllen));
        if ((v.sqlsubtype & 0xFF) == kCharsetOctets)
            return std::string(raw);
        return fromServer(raw);
    }
    case SQL_SHORT:
        return scaled(read(ISC_SHORT{}));
    case SQL_LONG:
        return scaled(read(ISC_LONG{}));
    case SQL_INT64:
        return scaled(read(ISC_INT64{}));
    case SQL_FLOAT:
        return FormatFloat(read(float{}));
    case SQL_DOUBLE:
    case SQL_D_FLOAT:
        return FormatDouble(read(double{}));
    case SQL_TYPE_DATE:
        return dateText(read(ISC_DATE{}));
    case SQL_TYPE_TIME:
        return timeText(read(ISC_TIME{}));
    case SQL_TIMESTAMP: {
        const auto ts = read(ISC_TIMESTAMP{});
        return dateText(ts.timestamp_date) + " " + timeText(ts.timestamp_time);
    }
    case SQL_BOOLEAN:
        return read(FB_BOOLEAN{}) ? "true" : "false";
    case SQL_BLOB: {
        ISC_QUAD id = read(ISC_QUAD{});
        ISC_STATUS_ARRAY st;
        isc_blob_handle blob = 0;
        if (fb_.open_blob2(st, &db_, &tr_, &blob, &id, 0, nullptr))
            fail(st);
        std::string bytes;
        char buf[8192];
        for (;;) {
            unsigned short got = 0;
            const ISC_STATUS r = fb_.get_segment(st, &blob, &got, sizeof buf, buf);
            if (r && r != isc_segment) {
                if (r == isc_segstr_eof)
                    break;
                const std::string text = errorText(st);
                ISC_STATUS_ARRAY cs;
                fb_.close_blob(cs, &blob);
                throw EDBEngineError(text);
            }
            bytes.append(buf, got);
        }
        fb_.close_blob(st, &blob);
        return v.sqlsubtype == isc_blob_text ? fromServer(bytes) : bytes;
    }
    default:
        throw EDBEngineError(Format("Field %s has a type the engine cannot read (%d)",
                                    fromServer(std::string_view(v.aliasname, v.aliasname_length)),
                                    v.sqltype & ~1));
    }
}

std::vector<std::string> TInterbaseDriver::TableNames(bool systemTables) {
    auto r =
        execute(std::string("SELECT TRIM(RDB$RELATION_NAME) FROM RDB$RELATIONS WHERE RDB$VIEW_BLR IS NULL") +
                    (systemTables ? "" : " AND COALESCE(RDB$SYSTEM_FLAG, 0) = 0") + " ORDER BY 1",
                true);
    std::vector<std::string> out;
    for (; !r->Eof(); r->Next())
        out.push_back(r->Value(0).value_or(""));
    return out;
}

} // namespace vx::db
