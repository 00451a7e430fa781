// The ZIP archive component placed on the updater's window.
//
// Use: SetFileName(".\\Vendarix.zip"); OpenArchive();
//      ExtractByMask("*.*", 0x28BF, ""); CloseArchive();
// Failures are EZAException (zip/ZAExcept.h) or the platform's stream errors.
#pragma once

#include "zip/ZABaseArchiver.h"
#include "zip/ZAExcept.h"

namespace vx::zip {

enum TZip64Mode { zmDisabled, zmAuto, zmAlways };

class TZipArchiver : public TZABaseArchiver {
public:
    explicit TZipArchiver(TComponent* owner = nullptr);
    // Governs writing only; Zip64 archives are read in every mode.
    TZip64Mode Zip64Mode() const { return zip64Mode_; }
    void SetZip64Mode(TZip64Mode v) { zip64Mode_ = v; }

protected:
    void UpdateCompressionMethod() override;

private:
    TZip64Mode zip64Mode_ = zmDisabled;
};

} // namespace vx::zip
