#include "zip/ZipArchiver.h"

namespace vx::zip {

TZipArchiver::TZipArchiver(TComponent* owner) : TZABaseArchiver(owner) {
    standardSignatures_ = true;
    zip64Mode_ = zmDisabled;
    UpdateCompressionMethod();
}

void TZipArchiver::UpdateCompressionMethod() {
    compressionMethod_ = CompressionMode() != 0 ? 8 : 0;
}

} // namespace vx::zip
