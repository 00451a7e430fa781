#include "app/UpdaterConfig.h"

#include <cstdlib>

#include "db/DBTables.h"
#include "platform/Text.h"

namespace vx::app {

using namespace vx::platform;
using namespace vx::db;

#ifndef VX_FTP_HOST_DEFAULT
#define VX_FTP_HOST_DEFAULT ""
#endif
#ifndef VX_FTP_PORT_DEFAULT
#define VX_FTP_PORT_DEFAULT 21
#endif
#ifndef VX_FTP_USER_DEFAULT
#define VX_FTP_USER_DEFAULT ""
#endif
#ifndef VX_FTP_PASSWORD_DEFAULT
#define VX_FTP_PASSWORD_DEFAULT ""
#endif
#ifndef VX_FTP_PASSIVE_DEFAULT
#define VX_FTP_PASSIVE_DEFAULT 0
#endif
#ifndef VX_FTP_TLS_DEFAULT
#define VX_FTP_TLS_DEFAULT ""
#endif
#ifndef VX_FTP_CA_FILE_DEFAULT
#define VX_FTP_CA_FILE_DEFAULT ""
#endif
#ifndef VX_SIGNING_KEY_DEFAULT
#define VX_SIGNING_KEY_DEFAULT ""
#endif
#ifndef VX_FTP_TIMEOUT_DEFAULT
#define VX_FTP_TIMEOUT_DEFAULT 0
#endif
#ifndef VX_FTP_MIN_RATE_DEFAULT
#define VX_FTP_MIN_RATE_DEFAULT 1024
#endif
#ifndef VX_FTP_RATE_WINDOW_DEFAULT
#define VX_FTP_RATE_WINDOW_DEFAULT 60
#endif

std::string DefaultTipo() {
    return "Standard";
}
std::string DefaultCaminho() {
    return "C:\\Sistemas\\Dados";
}
std::string DefaultSenhaBD() {
    return Txt("Não");
}
std::string DefaultSistemaVendarix() {
    return Txt("Inválido");
}

UpdaterConfig ReadDatabaseConfig(const TIniFile& ini) {
    UpdaterConfig cfg;
    cfg.Tipo = ini.ReadString(kIniSection, "Tipo", DefaultTipo());
    cfg.Caminho = ini.ReadString(kIniSection, "Caminho", DefaultCaminho());
    cfg.SenhaBD = ini.ReadString(kIniSection, "SenhaBD", DefaultSenhaBD());
    return cfg;
}

std::string ReadSistemaVendarix() {
    TIniFile ini(kIniFileName);
    return ini.ReadString(kIniSection, "SistemaVendarix", DefaultSistemaVendarix());
}

void ConfigureConnection(TDatabase& db, const UpdaterConfig& cfg) {
    // The parameter list of an open connection cannot be changed.
    db.SetConnected(false);
    db.Params().Clear();
    if (cfg.Tipo == "Standard") {
        db.Params().Add("PATH=" + cfg.Caminho);
        db.Params().Add("DEFAULT DRIVER=PARADOX");
        db.Params().Add("ENABLE BCD=FALSE");
        db.SetTransIsolation(tiDirtyRead);
    } else if (cfg.Tipo == "Interbase") {
        db.SetAliasName("Talvir");
        db.Params().Add("SERVER NAME=" + cfg.Caminho);
        db.Params().Add("USER NAME=SYSDBA");
        db.Params().Add("password=quillrose");
        db.SetTransIsolation(tiReadCommitted);
    } else if (cfg.Tipo == "MSSQL") {
        db.SetAliasName(cfg.Caminho);
        db.Params().Add("USER NAME=sa");
        // Only the exact "Sim" sends the password; "sim" is a server without one.
        if (cfg.SenhaBD == "Sim")
            db.Params().Add("password=7302518");
        db.SetTransIsolation(tiReadCommitted);
    } else {
        db.SetTransIsolation(tiReadCommitted);
    }
}

TFtpSettings CompiledFtpSettings() {
    TFtpSettings s;
    s.Host = VX_FTP_HOST_DEFAULT;
    s.Port = VX_FTP_PORT_DEFAULT;
    s.User = VX_FTP_USER_DEFAULT;
    s.Password = VX_FTP_PASSWORD_DEFAULT;
    s.Passive = VX_FTP_PASSIVE_DEFAULT != 0;
    s.TimeoutMs = VX_FTP_TIMEOUT_DEFAULT;
    s.Tls = VX_FTP_TLS_DEFAULT;
    s.CaFile = VX_FTP_CA_FILE_DEFAULT;
    s.MinRate = VX_FTP_MIN_RATE_DEFAULT;
    s.RateWindowS = VX_FTP_RATE_WINDOW_DEFAULT;
    return s;
}

namespace {

const char* env(const char* name) {
    return std::getenv(name);
}

int32_t envNumber(const char* name, const char* value, int32_t min, int32_t max) {
    int32_t v = 0;
    try {
        v = StrToInt(value);
    } catch (const EConvertError& e) {
        throw EConvertError(std::string(name) + ": " + e.Message());
    }
    if (v < min || v > max)
        throw EConvertError(Format("%s: %d is not between %d and %d", name, v, min, max));
    return v;
}

} // namespace

TFtpSettings ApplyFtpEnvironment(TFtpSettings s) {
    if (const char* v = env("UPDATER_FTP_HOST"))
        s.Host = Utf8ToAnsi(v);
    if (const char* v = env("UPDATER_FTP_PORT"))
        s.Port = envNumber("UPDATER_FTP_PORT", v, 1, 65535);
    if (const char* v = env("UPDATER_FTP_USER"))
        s.User = Utf8ToAnsi(v);
    if (const char* v = env("UPDATER_FTP_PASSWORD"))
        s.Password = Utf8ToAnsi(v);
    if (const char* v = env("UPDATER_FTP_PASSIVE"))
        s.Passive = envNumber("UPDATER_FTP_PASSIVE", v, 0, 1) != 0;
    if (const char* v = env("UPDATER_FTP_TIMEOUT"))
        s.TimeoutMs = envNumber("UPDATER_FTP_TIMEOUT", v, 0, 2147483647);
    if (const char* v = env("UPDATER_FTP_TLS"))
        s.Tls = v;
    if (const char* v = env("UPDATER_FTP_CA_FILE"))
        s.CaFile = v;
    // A misspelt "require" must not quietly leave the password in clear.
    if (!s.Tls.empty() && s.Tls != "require")
        throw EConvertError("UPDATER_FTP_TLS: \"" + s.Tls + "\" is neither \"require\" nor empty");
    if (const char* v = env("UPDATER_FTP_MIN_RATE"))
        s.MinRate = envNumber("UPDATER_FTP_MIN_RATE", v, 0, 2147483647);
    // A window of a day at most: the timer that samples it counts in
    // milliseconds of 32 bits.
    if (const char* v = env("UPDATER_FTP_RATE_WINDOW"))
        s.RateWindowS = envNumber("UPDATER_FTP_RATE_WINDOW", v, 1, 86400);
    return s;
}

std::string CompiledSigningKeyText() {
    return VX_SIGNING_KEY_DEFAULT;
}

std::string SigningKeyText() {
    if (const char* v = env("UPDATER_SIGNING_KEY"))
        return v;
    return CompiledSigningKeyText();
}

std::optional<TSigningKey> SigningKeyFromText(const std::string& text) {
    if (text.find_first_not_of(" \t\r\n") == std::string::npos)
        return std::nullopt;
    std::optional<TSigningKey> key = ParseSigningKey(text);
    if (!key)
        throw EConvertError("UPDATER_SIGNING_KEY: not a minisign public key");
    return key;
}

} // namespace vx::app
