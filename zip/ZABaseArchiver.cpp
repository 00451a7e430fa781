#include "zip/ZABaseArchiver.h"

#include "platform/Files.h"
#include "platform/FolderIndex.h"
#include "zip/ZACommitQueue.h"
#include "zip/ZAConst.h"
#include "zip/ZADecodeAhead.h"
#include "zip/ZAExcept.h"
#include "zip/ZAStrFunc.h"

namespace vx::zip {

using namespace vx::platform;

using namespace za;

// --- TZASpanningOptions ---

void TZASpanningOptions::SetCustomVolumeSize(int64_t v) {
    customVolumeSize_ = v < 65536 ? 65536 : v;
}

int64_t TZASpanningOptions::VolumeBytes(bool firstVolume) const {
    if (firstVolume && FirstVolumeSize > 0)
        return FirstVolumeSize;
    switch (VolumeSize) {
    case vsAutoDetect:
        return 0;
    case vsCustom:
        return customVolumeSize_;
    case vs1_44MB:
        return 1457664;
    case vs100MB:
        return 104857600;
    case vs200MB:
        return 209715200;
    case vs250MB:
        return 262144000;
    case vs600MB:
        return 629145600;
    case vs650MB:
        return 681574400;
    case vs700MB:
        return 734003200;
    }
    return 0;
}

// --- Construction and properties ---

TZABaseArchiver::TZABaseArchiver(TComponent* owner)
    : TComponent(owner), options_(std::make_unique<TZAOptions>()),
      spanningOptions_(std::make_unique<TZASpanningOptions>()), fileMasks_(std::make_unique<TStringList>()),
      exclusionMasks_(std::make_unique<TStringList>()), noCompressionMasks_(std::make_unique<TStringList>()) {
    UpdateCompressionMethod();
}

TZABaseArchiver::~TZABaseArchiver() {
    CloseArchive();
}

void TZABaseArchiver::UpdateCompressionMethod() {
    compressionMethod_ = 0xFFFF;
}

void TZABaseArchiver::SetCompressionLevel(TZACompressionLevel v) {
    static constexpr uint8_t modes[] = {0, 1, 6, 9};
    compressionLevel_ = v;
    compressionMode_ = modes[v];
    UpdateCompressionMethod();
}

void TZABaseArchiver::SetCompressionMode(int v) {
    if (v < 0 || v > 9)
        throw EZAException::CreateFromCode(TZAError::CompressionMode, this);
    compressionMode_ = static_cast<uint8_t>(v);
    if (v == 0)
        compressionLevel_ = clNone;
    else if (v <= 3)
        compressionLevel_ = clFastest;
    else if (v <= 6)
        compressionLevel_ = clNormal;
    else
        compressionLevel_ = clMax;
    UpdateCompressionMethod();
}

std::string TZABaseArchiver::CurrentVersion() const {
    return SCurrentVersion;
}

void TZABaseArchiver::SetSpanningMode(TZASpanningMode v) {
    if (isOpen_)
        throw Exception(SCannotSetSpanningMode);
    spanningMode_ = v;
}

void TZABaseArchiver::SetInMemory(bool v) {
    if (v == inMemory_)
        return;
    if (isOpen_) {
        if (inMemory_) {
            if (fileName_.empty())
                throw EZAException::CreateFromCode(TZAError::InMemoryNoFileName, this);
            {
                TFileStream file(fileName_, fmCreate);
                archiveStream_->Seek(0, soBeginning);
                if (archiveStream_->Size() > 0)
                    file.CopyFrom(*archiveStream_, 0);
            }
            CloseArchive();
            inMemory_ = false;
            OpenArchive();
        } else {
            CloseArchive();
            inMemory_ = true;
            OpenArchive();
        }
    }
    inMemory_ = v;
}

// --- Opening ---

void TZABaseArchiver::OpenArchive() {
    if (!inMemory_ && ExtractFileName(fileName_).empty())
        throw EZAException::CreateFromCode(TZAError::BlankFileName, this);
    uint16_t mode = fmCreate;
    if (!inMemory_ && FileExists(fileName_)) {
        // Read-write when nobody else holds the file, so that the archive
        // could be updated; read-only otherwise.
        try {
            TFileStream probe(fileName_, fmOpenReadWrite | fmShareDenyWrite);
            mode = fmOpenReadWrite | fmShareDenyWrite;
        } catch (const Exception&) {
            mode = fmOpenRead | fmShareDenyNone;
        }
    }
    archiveFileMode_ = mode;
    OpenWithMode(mode);
}

void TZABaseArchiver::OpenWithMode(uint16_t mode) {
    if (!inMemory_ && ExtractFileName(fileName_).empty())
        throw EZAException::CreateFromCode(TZAError::BlankFileNameMode, this);
    if (!(mode == fmCreate || FileExists(fileName_) || spanningMode_ == smSpanning ||
          IsRemovableDrive(fileName_)))
        throw EZAException::CreateFromCodeFmt(TZAError::FileNotFound, this, {fileName_});
    if (mode != fmCreate && inMemory_)
        throw EZAException::CreateFromCodeFmt(TZAError::InMemoryOpen, this, {fileName_});
    CloseArchive();
    externalStream_ = false;
    archiveFileMode_ = mode;
    if (mode == fmCreate || inMemory_)
        openNewArchive();
    else
        openExistingArchive();
    isOpen_ = true;
    if (AfterOpen)
        AfterOpen(this);
}

void TZABaseArchiver::openNewArchive() {
    if (inMemory_) {
        archiveStream_ = std::make_unique<TMemoryStream>();
    } else {
        volumeInfo_ = TZAVolumeNumberInfo::First();
        archiveStream_ = std::make_unique<TFileStream>(fileName_, fmCreate);
        currentVolumeFile_ = fileName_;
    }
    directory_ = std::make_unique<TZADirManager>(archiveStream_.get(), this, true);
    volumeInfo_ = TZAVolumeNumberInfo::First();
}

void TZABaseArchiver::openExistingArchive() {
    spanningMode_ = smNone;
    volumeInfo_.Reset();
    // A ".exe" (a self-extractor) is read like any other file: the stub in
    // front of its archive is found by the directory's stub check.
    bool savedAcceptDamaged = acceptDamaged_;
    acceptDamaged_ = false;
    TZADirManager::FoundEndRecord found;
    try {
        for (;;) {
            directory_.reset();
            volumeInfo_.Reset();
            TZAVolumeNumberInfo probe = TZAVolumeNumberInfo::Last();
            if (!FileExists(fileName_) && IsRemovableDrive(fileName_))
                spanningMode_ = smSpanning;
            MakeVolumeCurrent(probe);
            directory_ = std::make_unique<TZADirManager>(archiveStream_.get(), this, false);
            found = directory_->FindEndRecord(SigEndRecord);
            if (!found.Found)
                spanningMode_ = IsRemovableDrive(fileName_) ? smSpanning : smNone;
            else
                spanningMode_ = smNone; // split archives: only the last part is read
            if (found.Found || spanningMode_ == smNone)
                break;
        }
    } catch (...) {
        acceptDamaged_ = savedAcceptDamaged;
        throw;
    }
    acceptDamaged_ = savedAcceptDamaged;
    if (!found.Found && !acceptDamaged_) {
        if (!externalStream_)
            archiveStream_.reset();
        throw EZAException::CreateFromCode(TZAError::ArchiveDamaged, this);
    }
    TZAReadOptions read;
    read.OEMFileNames = options_->OEMFileNames;
    read.Spanning = spanningMode_ != smNone;
    read.Reporter = this;
    directory_->ReadDirectory(read);
}

void TZABaseArchiver::MakeVolumeCurrent(const TZAVolumeNumberInfo& volume) {
    if (spanningMode_ != smNone) {
        // Volumes on removable media or split files are not supported: the
        // request counts as declined.
        throw EZAException::CreateFromCode(TZAError::VolumeRefused, this);
    }
    if (!archiveStream_) {
        archiveStream_ = std::make_unique<TFileStream>(fileName_, archiveFileMode_);
        currentVolumeFile_ = fileName_;
    }
    volumeInfo_.VolumeNumber = volume.VolumeNumber;
    volumeInfo_.Kind = volume.Kind;
}

// --- Closing ---

void TZABaseArchiver::releaseArchive() {
    if (externalStream_)
        (void)archiveStream_.release();
    else
        archiveStream_.reset();
    directory_.reset();
}

void TZABaseArchiver::CloseArchive() {
    if (isOpen_) {
        try {
            // No update batch is ever pending here, so there is nothing to
            // commit. A new archive that got no entries still becomes a
            // valid (empty) ZIP file.
            if (archiveStream_ && archiveStream_->Size() == 0) {
                TZAEndRecord record = TZAEndRecord::Template();
                record.DiskNumber = static_cast<uint16_t>(volumeInfo_.VolumeNumber);
                record.StartDisk = record.DiskNumber;
                std::string comment = directory_ ? directory_->ArchiveComment : std::string();
                record.CommentLength = static_cast<uint16_t>(comment.size());
                auto bytes = record.Bytes();
                archiveStream_->Seek(0, soBeginning);
                archiveStream_->WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
                if (!comment.empty())
                    archiveStream_->WriteBuffer(comment.data(), static_cast<int64_t>(comment.size()));
            }
        } catch (...) {
            // Closing never fails: whatever happened, the archive is released.
        }
        isOpen_ = false;
    }
    releaseArchive();
}

// --- Event dispatchers ---

void TZABaseArchiver::DoOnOverallProgress(double progress, TZAProcessOperation op, TZAProgressPhase phase,
                                          bool& cancel) {
    if (OnOverallProgress)
        OnOverallProgress(this, progress, op, phase, cancel);
    else
        cancel = false;
}

void TZABaseArchiver::DoOnFileProgress(const std::string& fileName, double progress, TZAProcessOperation op,
                                       TZAProgressPhase phase, bool& cancel) {
    if (OnFileProgress)
        OnFileProgress(this, fileName, progress, op, phase, cancel);
}

void TZABaseArchiver::DoOnConfirmProcessFile(const std::string& fileName, TZAProcessOperation op,
                                             bool& confirm) {
    if (OnConfirmProcessFile)
        OnConfirmProcessFile(this, fileName, op, confirm);
}

void TZABaseArchiver::DoOnExtractFile(std::string& fileName, uint32_t& fileAttr, const std::string& comment) {
    if (OnExtractFile)
        OnExtractFile(this, fileName, fileAttr, comment);
}

} // namespace vx::zip
