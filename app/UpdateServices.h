// The operations the update run needs from the FTP client, the archive
// component, the gauge, the run log and the machine it runs on. The run
// reaches all of them through these interfaces, so the shipped updater drives the real
// components while tests script every outcome (a refused connection, a file
// missing on the server, an archive that cannot be opened) without a server
// that misbehaves on cue.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/SysUtils.h"

namespace vx::platform {
class TComponent;
}

namespace vx::app {

using namespace vx::platform;

class IFtpService {
public:
    virtual ~IFtpService() = default;
    // Each raises an exception with the failure's text.
    virtual void Connect() = 0;
    // Connects (logs in again) when not connected: the run disconnects after
    // a failed download and still fetches the next archive. A transfer cut
    // part of the way is taken up where it stopped, a few times, before it
    // raises. The local file is made afresh, never through a link.
    virtual void Download(const std::string& remotePath, const std::string& localFile) = 0;
    // Sends nothing and raises nothing when not connected.
    virtual void Disconnect() = 0;
    // Downloads after this stop with an error as soon as more than maxBytes
    // have arrived, before more is written (0: no bound of the caller's).
    virtual void SetDownloadLimit(int64_t maxBytes) { (void)maxBytes; }
    // Byte counts of the current transfer.
    virtual int32_t BytesTotal() const = 0;
    virtual int32_t BytesRecvd() const = 0;
    // Called each time a block of data has arrived during Download.
    virtual void SetOnPacketRecvd(TNotifyEvent e) = 0;
};

class IArchiveService {
public:
    virtual ~IArchiveService() = default;
    virtual void SetFileName(const std::string& fileName) = 0;
    virtual void OpenArchive() = 0;
    virtual void ExtractByMask(const std::string& mask, uint32_t searchAttr,
                               const std::string& exclusionMask) = 0;
    virtual void CloseArchive() = 0;
};

// The progress gauge as the run and the reconciliation see it: a scale from
// 0 to MaxValue with the progress kept within it by the gauge itself.
class IProgressDisplay {
public:
    virtual ~IProgressDisplay() = default;
    virtual int32_t MaxValue() const = 0;
    // Lowers the progress to a smaller maximum; a negative maximum raises
    // EInvalidOperation.
    virtual void SetMaxValue(int32_t v) = 0;
    virtual int32_t Progress() const = 0;
    // Clamped into the scale.
    virtual void SetProgress(int32_t v) = 0;
    virtual void AddProgress(int32_t delta) = 0;
};

// Where the run, its services and the reconciliation say what they did,
// one event a call, in the order it happened.
class IRunLog {
public:
    virtual ~IRunLog() = default;
    // Never raises: a log that cannot be written is no reason for the
    // update to stop.
    virtual void Write(const std::string& text) = 0;
};

// What the run asks of the machine: the screen cursor, message boxes, the
// files of the working folder, the settings, the program start and the run
// log. Names are the run's own, relative to the working folder, in CP1252.
class IRunEnvironment {
public:
    virtual ~IRunEnvironment() = default;
    // The run log; it lives as long as the environment.
    virtual IRunLog& Log() = 0;
    // The application's screen cursor (crHourGlass, crArrow).
    virtual void SetCursor(int cursor) = 0;
    // A modal message box; returns once it is answered.
    virtual void ShowMessage(const std::string& text) = 0;
    // A file (not a folder) of that name exists, under any letter case.
    virtual bool FileExists(const std::string& name) = 0;
    // The run does not look at the outcome of these two: a delete or a
    // rename that fails leaves the file as it was.
    virtual void DeleteFile(const std::string& name) = 0;
    // Fails, without effect, when to exists or from does not.
    virtual void RenameFile(const std::string& from, const std::string& to) = 0;
    // Removes what an extraction killed before its renames left behind.
    virtual void RemoveExtractionLeftovers() = 0;
    // SistemaVendarix from the ini file, read afresh at each call.
    virtual std::string ReadSistemaVendarix() = 0;
    // The maker's public key as configured; empty: archives are not verified.
    virtual std::string SigningKeyText() = 0;
    // Starts a command line with a show command; above 31 is success.
    virtual unsigned StartProgram(const std::string& cmdLine, int show) = 0;
};

struct TFtpSettings;

// The window's own FTP client, FTPTalvir, with the deployment settings,
// writing what its transfers did to log, and its archive component,
// ZipArchiver, with its stored settings; each service owns its component,
// and owner is the window. log must outlive the service.
std::unique_ptr<IFtpService> MakeFtpService(TComponent* owner, const TFtpSettings& settings, IRunLog& log);
std::unique_ptr<IArchiveService> MakeArchiveService(TComponent* owner);

} // namespace vx::app
