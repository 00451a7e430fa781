// The run's view of the window's archive component.
#include "app/UpdateServices.h"
#include "zip/ZipArchiver.h"

namespace vx::app {

using namespace vx::zip;

namespace {

class TZipArchiverService : public IArchiveService {
public:
    explicit TZipArchiverService(TComponent* owner) : zip_(std::make_unique<TZipArchiver>(owner)) {
        // The component's name prefixes its error texts ("ZipArchiver: ...").
        zip_->SetName("ZipArchiver");
        zip_->Options().FlushBuffers = true;
        zip_->Options().OEMFileNames = true;
        zip_->SpanningOptions().AdvancedNaming = true;
        zip_->SpanningOptions().VolumeSize = vsAutoDetect;
        // The backup of the program is the shop's way back while the run is
        // under way: no archive may replace it.
        zip_->SetProtectedNames({"Vendarix.bkp"});
    }
    void SetFileName(const std::string& f) override { zip_->SetFileName(f); }
    void OpenArchive() override { zip_->OpenArchive(); }
    void ExtractByMask(const std::string& mask, uint32_t attr, const std::string& exclusion) override {
        zip_->ExtractByMask(mask, static_cast<int32_t>(attr), exclusion);
    }
    void CloseArchive() override { zip_->CloseArchive(); }

private:
    std::unique_ptr<TZipArchiver> zip_;
};

} // namespace

std::unique_ptr<IArchiveService> MakeArchiveService(TComponent* owner) {
    return std::make_unique<TZipArchiverService>(owner);
}

} // namespace vx::app
