// The archive component's base: published properties, options, events, the
// open/close state, the selection of entries and their decoded data. A
// processing pass over the selected entries is a TZAExtractionPass, which
// writes the files through a TZADiskWriter.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Streams.h"
#include "platform/SysUtils.h"
#include "zip/ZADirectory.h"

namespace vx::zip {

using namespace vx::platform;

enum TZACompressionLevel { clNone, clFastest, clNormal, clMax };
enum TZASpanningMode { smNone, smSpanning, smSplitting };
enum TZAStorePathMode { spNoPath, spRelativePath, spFullPath, spFullPathWithDrive };
enum TZAFileShareMode { smShareCompat, smShareExclusive, smShareDenyWrite, smShareDenyRead, smShareDenyNone };
enum TZAOverwriteMode { omPrompt, omAlways, omNever, omIfNewer, omIfOlder };
enum TZAVolumeSize { vsAutoDetect, vsCustom, vs1_44MB, vs100MB, vs200MB, vs250MB, vs600MB, vs650MB, vs700MB };

// Operation codes of the processing passes.
enum TZAProcessOperation : uint8_t {
    poAdd = 0,
    poMove = 1,
    poDelete = 2,
    poUpdate = 3,
    poExtract = 4,
    poTest = 5
};
enum TZAProgressPhase { ppStart = 0, ppProcess = 1, ppEnd = 2 };
enum TZAAction { fxaRetry = 0, fxaIgnore = 1, fxaAbort = 2 };

// Plain options; the constructor values are the stored defaults.
struct TZAOptions {
    TZAStorePathMode StorePath = spRelativePath;
    bool Recurse = true;
    TZAFileShareMode ShareMode = smShareDenyNone;
    TZAOverwriteMode OverwriteMode = omAlways;
    bool CreateDirs = true;
    bool ReplaceReadOnly = true;
    bool SetAttributes = true;
    int32_t SearchAttr = 0x28BF;
    bool FlushBuffers = true;
    bool OEMFileNames = true;
};

class TZASpanningOptions {
public:
    bool AdvancedNaming = true;
    int64_t FirstVolumeSize = 0;
    TZAVolumeSize VolumeSize = vsAutoDetect;
    int64_t CustomVolumeSize() const { return customVolumeSize_; }
    // Values below 64 KiB are raised to 64 KiB.
    void SetCustomVolumeSize(int64_t v);
    bool SaveDirToFirstVolume = false;
    // Bytes per volume; 0 means no limit.
    int64_t VolumeBytes(bool firstVolume) const;

private:
    int64_t customVolumeSize_ = 0;
};

using TZAProgressEvent = std::function<void(TObject* Sender, double Progress, TZAProcessOperation Operation,
                                            TZAProgressPhase ProgressPhase, bool& Cancel)>;
using TZAFileProgressEvent =
    std::function<void(TObject* Sender, const std::string& FileName, double Progress,
                       TZAProcessOperation Operation, TZAProgressPhase ProgressPhase, bool& Cancel)>;
using TZACopyTempFileProgressEvent =
    std::function<void(TObject* Sender, double Progress, TZAProgressPhase ProgressPhase, bool& Cancel)>;
using TZAConfirmOverwriteEvent = std::function<void(TObject* Sender, const std::string& SourceFileName,
                                                    std::string& DestFileName, bool& Confirm)>;
using TZAConfirmProcessFileEvent = std::function<void(TObject* Sender, const std::string& FileName,
                                                      TZAProcessOperation Operation, bool& Confirm)>;
using TZAOnPasswordEvent = std::function<void(TObject* Sender, const std::string& FileName,
                                              std::string& NewPassword, bool& SkipFile)>;
using TZAProcessFileFailureEvent = std::function<void(
    TObject* Sender, const std::string& FileName, TZAProcessOperation Operation, int32_t NativeError,
    int32_t ErrorCode, const std::string& ErrorMessage, TZAAction& Action)>;
using TZARequestVolumeEvent =
    std::function<void(TObject* Sender, int32_t VolumeNumber, std::string& VolumeFileName, bool& Cancel)>;
using TZADiskFullEvent = std::function<void(TObject* Sender, int32_t VolumeNumber, int64_t VolumeSize,
                                            std::string& VolumeFileName, bool& Cancel)>;
using TZAProcessVolumeFailureEvent = std::function<void(TObject* Sender, int32_t VolumeNumber,
                                                        std::string& VolumeFileName, TZAAction& Action)>;
using TZAOnStoreFileEvent = std::function<void(TObject* Sender, std::string& FileName, uint32_t& FileAttr,
                                               std::string& Comment, const std::string& OriginalFileName)>;
using TZAOnExtractFileEvent = std::function<void(TObject* Sender, std::string& FileName, uint32_t& FileAttr,
                                                 const std::string& Comment)>;

class TZADecodeAhead;
class TZAExtractionPass;

// The run state of a processing pass, kept with its last values after it.
struct TZARunState {
    int32_t FilesToProcess = 0;
    int32_t FilesDone = 0;
    bool CancelRequested = false;
    bool SkipEntry = false; // the current entry's password prompt was refused
};

class TZABaseArchiver : public TComponent {
public:
    explicit TZABaseArchiver(TComponent* owner = nullptr);
    ~TZABaseArchiver() override;

    // --- Published properties ---
    bool ExtractCorruptedFiles() const { return extractCorruptedFiles_; }
    void SetExtractCorruptedFiles(bool v) { extractCorruptedFiles_ = v; }
    TZACompressionLevel CompressionLevel() const { return compressionLevel_; }
    void SetCompressionLevel(TZACompressionLevel v);
    uint8_t CompressionMode() const { return compressionMode_; }
    void SetCompressionMode(int v); // above 9: code 5
    std::string CurrentVersion() const;
    void SetCurrentVersion(const std::string&) {} // read-only in effect
    const std::string& Password() const { return password_; }
    void SetPassword(std::string v) { password_ = std::move(v); }
    const std::string& FileName() const { return fileName_; }
    void SetFileName(std::string v) { fileName_ = std::move(v); }
    const std::string& BaseDir() const { return baseDir_; }
    void SetBaseDir(std::string v) { baseDir_ = std::move(v); }
    const std::string& TempDir() const { return tempDir_; }
    void SetTempDir(std::string v) { tempDir_ = std::move(v); }
    TZASpanningMode SpanningMode() const { return spanningMode_; }
    void SetSpanningMode(TZASpanningMode v); // refused while open
    TZASpanningOptions& SpanningOptions() { return *spanningOptions_; }
    const std::string& SFXStub() const { return sfxStub_; }
    void SetSFXStub(std::string v) { sfxStub_ = std::move(v); }
    TZAOptions& Options() { return *options_; }
    const TZAOptions& Options() const { return *options_; }
    const TStringList& FileMasks() const { return *fileMasks_; }
    void SetFileMasks(const TStringList& v) { fileMasks_->Assign(v); }
    const TStringList& ExclusionMasks() const { return *exclusionMasks_; }
    void SetExclusionMasks(const TStringList& v) { exclusionMasks_->Assign(v); }
    const TStringList& NoCompressionMasks() const { return *noCompressionMasks_; }
    void SetNoCompressionMasks(const TStringList& v) { noCompressionMasks_->Assign(v); }
    // Names (relative to the folder extracted into, compared without regard
    // to case) that no entry may replace: such an entry is refused like an
    // unsafe name. The run protects its backup of the program this way.
    const std::vector<std::string>& ProtectedNames() const { return protectedNames_; }
    void SetProtectedNames(std::vector<std::string> v) { protectedNames_ = std::move(v); }
    // Entries are decoded on a second thread while the pass writes them (the
    // default); off, each is decoded on the pass's thread as it is written.
    // Events, boxes and files are the same either way.
    bool DecodeAhead() const { return decodeAheadOn_; }
    void SetDecodeAhead(bool v) { decodeAheadOn_ = v; }
    bool InMemory() const { return inMemory_; }
    void SetInMemory(bool v);

    TZAProgressEvent OnOverallProgress;
    TZAFileProgressEvent OnFileProgress;
    TZACopyTempFileProgressEvent OnCopyTempFileProgress;
    TZAConfirmOverwriteEvent OnConfirmOverwrite;
    TZAConfirmProcessFileEvent OnConfirmProcessFile;
    TNotifyEvent AfterOpen;
    TZAOnPasswordEvent OnPassword;
    TZAProcessFileFailureEvent OnProcessFileFailure;
    TZARequestVolumeEvent OnRequestBlankVolume;
    TZARequestVolumeEvent OnRequestFirstVolume;
    TZARequestVolumeEvent OnRequestLastVolume;
    TZARequestVolumeEvent OnRequestMiddleVolume;
    TZADiskFullEvent OnDiskFull;
    TZAProcessVolumeFailureEvent OnProcessVolumeFailure;
    TZAOnStoreFileEvent OnStoreFile;
    TZAOnExtractFileEvent OnExtractFile;

    // --- Operations ---
    // Opens FileName (created when missing); closes what was open first.
    void OpenArchive();
    void OpenWithMode(uint16_t mode);
    // Never raises. Writes the empty end record for a new, empty archive.
    void CloseArchive();
    // Extracts the entries matching the mask under BaseDir (or the working
    // folder). Per-entry failures go to OnProcessFileFailure or its box.
    void ExtractByMask(const std::string& fileMask, int32_t searchAttr, const std::string& exclusionMask);
    // Decodes one entry into an open stream; codes 16, 8 and 55.
    void ExtractEntryToStream(int32_t index, TStream& output);
    // With single-file archives the archive's own stream stays current.
    void MakeVolumeCurrent(const TZAVolumeNumberInfo& volume);

    // --- State (read by the directory, the decoder and the tests) ---
    bool IsOpen() const { return isOpen_; }
    TZADirManager* Directory() const { return directory_.get(); }
    TStream* ArchiveStream() const { return archiveStream_.get(); }
    uint16_t ArchiveFileMode() const { return archiveFileMode_; }
    const TZAVolumeNumberInfo& VolumeInfo() const { return volumeInfo_; }
    const std::string& CurrentVolumeFile() const { return currentVolumeFile_; }
    bool ExternalStream() const { return externalStream_; }
    bool StandardSignatures() const { return standardSignatures_; }
    bool AcceptDamaged() const { return acceptDamaged_; }
    int32_t UpdateDepth() const { return updateDepth_; }
    uint16_t CompressionMethod() const { return compressionMethod_; }
    // Of the pass under way, or else of the last one.
    const TZARunState& RunState() const;
    int32_t FilesToProcess() const { return RunState().FilesToProcess; }
    int32_t FilesDone() const { return RunState().FilesDone; }
    bool CancelRequested() const { return RunState().CancelRequested; }
    bool SkipEntry() const { return RunState().SkipEntry; }

protected:
    // Derives the method code of new entries from CompressionMode.
    virtual void UpdateCompressionMethod();
    // Event dispatchers: the handler when assigned, else the default.
    virtual void DoOnOverallProgress(double progress, TZAProcessOperation op, TZAProgressPhase phase,
                                     bool& cancel);
    virtual void DoOnFileProgress(const std::string& fileName, double progress, TZAProcessOperation op,
                                  TZAProgressPhase phase, bool& cancel);
    virtual void DoOnConfirmOverwrite(const std::string& sourceFileName, std::string& destFileName,
                                      bool& confirm);
    virtual void DoOnConfirmProcessFile(const std::string& fileName, TZAProcessOperation op, bool& confirm);
    virtual void DoOnPassword(const std::string& fileName, std::string& newPassword, bool& skipFile);
    virtual void DoOnProcessFileFailure(const std::string& fileName, TZAProcessOperation op,
                                        int32_t nativeError, int32_t errorCode,
                                        const std::string& errorMessage, TZAAction& action);
    virtual void DoOnExtractFile(std::string& fileName, uint32_t& fileAttr, const std::string& comment);

    bool standardSignatures_ = false;
    uint16_t compressionMethod_ = 0xFFFF;

private:
    // The pass calls the dispatchers and reads the open archive.
    friend class TZAExtractionPass;

    // How an entry's data is read: in a pass, with the pass's decoding
    // ahead and its progress events; outside one, plainly.
    struct EntryRead {
        int64_t ArchiveSize = -1;
        TZADecodeAhead* Ahead = nullptr;
        std::function<bool(double position, double total)> Progress; // false stops
    };
    enum class EntryOutcome { Written, Skipped, Cancelled };
    // Decodes one entry into an open stream; codes 13, 16, 8 and 55.
    EntryOutcome decodeEntry(int32_t index, TStream& output, const EntryRead& read);

    void openNewArchive();
    void openExistingArchive();
    void releaseArchive();
    void checkCanProcess() const;
    void selectByMask(const std::string& fileMask, int32_t searchAttr, const std::string& exclusionMask);
    bool itemPasses(const TDirItem& item, const std::string& mask, int32_t searchAttr) const;
    void processSelected(TZAProcessOperation op);

    bool extractCorruptedFiles_ = false;
    TZACompressionLevel compressionLevel_ = clFastest;
    uint8_t compressionMode_ = 1;
    std::string password_, fileName_, baseDir_, tempDir_, sfxStub_;
    TZASpanningMode spanningMode_ = smNone;
    bool inMemory_ = false;
    std::unique_ptr<TZAOptions> options_;
    std::unique_ptr<TZASpanningOptions> spanningOptions_;
    std::unique_ptr<TStringList> fileMasks_, exclusionMasks_, noCompressionMasks_;

    int32_t updateDepth_ = 0;
    bool isOpen_ = false;
    bool externalStream_ = false;
    std::string currentVolumeFile_;
    TZAVolumeNumberInfo volumeInfo_;
    uint16_t archiveFileMode_ = 0;
    bool acceptDamaged_ = true;
    bool noProgress_ = false;
    bool suppressPasswordEvent_ = false;
    std::unique_ptr<TStream> archiveStream_;
    std::unique_ptr<TZADirManager> directory_;
    std::vector<std::string> protectedNames_;
    bool decodeAheadOn_ = true;
    // The pass under way (its state is read through RunState) and the
    // state the last one left.
    const TZAExtractionPass* activePass_ = nullptr;
    TZARunState lastRun_;
};

} // namespace vx::zip
