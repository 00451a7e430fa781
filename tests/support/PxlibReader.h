// Reads a Paradox table with pxlib, a Paradox library that is no part of
// this system, as an independent check of the files the engine writes.
// Values come back as text: alpha as stored, integers and logicals as
// numbers, dates as days, times as milliseconds, numbers with 17 digits.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vx::test {

// pxlib is a Linux library. The Windows build of the tests has no reading of
// its own to compare with and leaves the comparisons out: the files are the
// same bytes on either system, and the Linux build compares them.
#ifdef _WIN32
constexpr bool kPxlibHere = false;
#else
constexpr bool kPxlibHere = true;
#endif

struct TPxlibTable {
    std::string error; // empty when pxlib read the table
    std::vector<std::string> fieldNames;
    std::vector<int> fieldTypes; // the type byte
    int records = 0;
    std::vector<std::vector<std::optional<std::string>>> rows;
};

// Memo values are not read: pxlib 0.6.8 as packaged aborts on opening any
// memo file, genuine ones included.
#ifndef _WIN32
TPxlibTable ReadWithPxlib(const std::string& path);
#endif

// pxlib's reading of a table's primary index: it reads the entries and
// checks that those of the lowest level count the table's records.
struct TPxlibIndex {
    std::string error;         // empty when pxlib read the index and took it for the table's
    int entries = 0;           // index records, every level
    long long leafRecords = 0; // the records the lowest level's entries count
};
#ifndef _WIN32
TPxlibIndex ReadIndexWithPxlib(const std::string& dataPath, const std::string& indexPath);
#endif

#ifdef _WIN32
inline TPxlibTable ReadWithPxlib(const std::string&) {
    return {"pxlib is not built for Windows", {}, {}, 0, {}};
}
inline TPxlibIndex ReadIndexWithPxlib(const std::string&, const std::string&) {
    return {"pxlib is not built for Windows", 0, 0};
}
#endif

} // namespace vx::test
