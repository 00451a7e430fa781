// The updater's settings: the database section of the shop's ini file and
// the FTP server settings compiled in at build time and overridable per
// deployment.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "app/SignatureVerifier.h"

#include "platform/Profile.h"

namespace vx::db {
class TDatabase;
}

namespace vx::app {

using namespace vx::platform;

using vx::db::TDatabase;

// The four values of section BDados of .\Brevanto.ini.
struct UpdaterConfig {
    std::string Tipo;
    std::string Caminho;
    std::string SenhaBD;
    std::string SistemaVendarix;
};

// The ini file is named with the explicit ".\" so that it is always the
// working folder's, whatever a search path might say.
inline constexpr const char* kIniFileName = ".\\Brevanto.ini";
inline constexpr const char* kIniSection = "BDados";

// Defaults of the keys (CP1252).
std::string DefaultTipo();            // "Standard"
std::string DefaultCaminho();         // "C:\Sistemas\Dados"
std::string DefaultSenhaBD();         // "Não"
std::string DefaultSistemaVendarix(); // "Inválido"

// Reads Tipo, Caminho and SenhaBD through one reader (what window creation
// needs); SistemaVendarix is left empty.
UpdaterConfig ReadDatabaseConfig(const TIniFile& ini);
// Reads SistemaVendarix through a fresh reader, so that a change made to the
// file since window creation is seen.
std::string ReadSistemaVendarix();

// Closes the connection, clears its parameters and fills in driver or alias,
// parameter lines and isolation for the configured kind. The kind is compared
// exactly: any text other than the three known ones leaves the driver and an
// empty parameter list.
void ConfigureConnection(TDatabase& db, const UpdaterConfig& cfg);

// The FTP server of the maker and how to reach it.
struct TFtpSettings {
    std::string Host;
    int32_t Port = 21;
    std::string User;
    std::string Password;
    bool Passive = false;
    int32_t TimeoutMs = 0; // 0: no socket time-out
    // "require": explicit TLS on the control and data connections; empty:
    // none. ApplyFtpEnvironment refuses any other text.
    std::string Tls;
    // PEM file of the certificates trusted for TLS; empty: the system's.
    std::string CaFile;
    // A transfer slower than MinRate bytes/s over any RateWindowS seconds
    // fails (MinRate 0: no least rate).
    int32_t MinRate = 1024;
    int32_t RateWindowS = 60;
};

// The values compiled in from the build's cache variables.
TFtpSettings CompiledFtpSettings();
// base with each UPDATER_FTP_* environment variable that is set applied.
// A value that is not a number (or not 0/1 for the passive flag, or not
// "require" or empty for TLS, the compiled-in value included) raises
// EConvertError naming the variable, so a deployment mistake is reported
// instead of silently reaching the wrong server, or reaching it in clear.
TFtpSettings ApplyFtpEnvironment(TFtpSettings base);

// The maker's public key, the base64 line of a minisign public key file:
// UPDATER_SIGNING_KEY when that is set, else the one compiled in. Empty: the
// archives are not verified.
std::string CompiledSigningKeyText();
std::string SigningKeyText();
// The key to verify the archives with; none when the text is empty. A text
// that is not a key raises EConvertError naming the variable: a deployment
// mistake must not quietly turn verification off.
std::optional<TSigningKey> SigningKeyFromText(const std::string& text);

} // namespace vx::app
