// The operations the update run needs from the FTP client and from the
// archive component. The run reaches both through these interfaces, so the
// shipped updater drives the real components while tests script every
// outcome (a refused connection, a file missing on the server, an archive
// that cannot be opened) without a server that misbehaves on cue.
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

struct TFtpSettings;

// The window's own FTP client, FTPTalvir, with the deployment settings, and
// its archive component, ZipArchiver, with its stored settings; each service
// owns its component, and owner is the window.
std::unique_ptr<IFtpService> MakeFtpService(TComponent* owner, const TFtpSettings& settings);
std::unique_ptr<IArchiveService> MakeArchiveService(TComponent* owner);

} // namespace vx::app
