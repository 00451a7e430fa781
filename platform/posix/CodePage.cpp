#include "platform/CodePage.h"

#include <iconv.h>

#include <cerrno>

namespace vx::platform {

namespace {

const iconv_t kNoConversion = reinterpret_cast<iconv_t>(-1);

std::string iconvName(unsigned codePage) {
    return codePage == kCodePageRoman8 ? "HP-ROMAN8" : "CP" + std::to_string(codePage);
}

} // namespace

struct TCodePage::TState {
    iconv_t toUtf8 = kNoConversion;
};

TCodePage::TCodePage(unsigned codePage) : codePage_(codePage), state_(std::make_unique<TState>()) {
    state_->toUtf8 = iconv_open("UTF-8", iconvName(codePage).c_str());
}

TCodePage::~TCodePage() {
    if (state_->toUtf8 != kNoConversion)
        iconv_close(state_->toUtf8);
}

bool TCodePage::CanRead() const {
    return state_->toUtf8 != kNoConversion;
}

std::string TCodePage::Name() const {
    return iconvName(codePage_);
}

std::string TCodePage::ToUtf8(std::string_view bytes) const {
    std::string out;
    if (!CanRead())
        return out;
    iconv_t cd = state_->toUtf8;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char* in = const_cast<char*>(bytes.data());
    size_t inLeft = bytes.size();
    char buf[256];
    while (inLeft > 0) {
        char* o = buf;
        size_t oLeft = sizeof buf;
        const size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
        out.append(buf, o - buf);
        if (r == static_cast<size_t>(-1) && errno != E2BIG) {
            out += '?'; // a byte the code page does not define
            ++in;
            --inLeft;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
    return out;
}

TCodePage::TWrite TCodePage::FromUtf8(std::string_view utf8, std::string& out) const {
    out.clear();
    // Opened for each text: tables are written rarely, and a conversion
    // left in a half state by a failure is never reused.
    iconv_t cd = iconv_open(iconvName(codePage_).c_str(), "UTF-8");
    if (cd == kNoConversion)
        return TWrite::Unsupported;
    char* in = const_cast<char*>(utf8.data());
    size_t inLeft = utf8.size();
    char buf[256];
    TWrite result = TWrite::Done;
    while (inLeft > 0) {
        char* o = buf;
        size_t oLeft = sizeof buf;
        const size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
        out.append(buf, o - buf);
        if (r == static_cast<size_t>(-1) && errno != E2BIG) {
            result = TWrite::NoSpelling;
            break;
        }
    }
    iconv_close(cd);
    return result;
}

} // namespace vx::platform
