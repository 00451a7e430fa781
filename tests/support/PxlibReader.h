// Reads a Paradox table with pxlib, a Paradox library that is no part of
// this system, as an independent check of the files the engine writes.
// Values come back as text: alpha as stored, integers and logicals as
// numbers, dates as days, times as milliseconds, numbers with 17 digits.
#pragma once

#include <optional>
#include <string>
#include <vector>

struct TPxlibTable {
    std::string error; // empty when pxlib read the table
    std::vector<std::string> fieldNames;
    std::vector<int> fieldTypes; // the type byte
    int records = 0;
    std::vector<std::vector<std::optional<std::string>>> rows;
};

TPxlibTable ReadWithPxlib(const std::string& path);
