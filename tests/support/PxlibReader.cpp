#include "tests/support/PxlibReader.h"

extern "C" { // the library's header declares C functions without saying so
#include <paradox.h>
}

#include <cstdio>

namespace vx::test {

namespace {

bool holdsBytes(int type) {
    switch (type) {
    case pxfAlpha:
    case pxfMemoBLOb:
    case pxfBLOb:
    case pxfFmtMemoBLOb:
    case pxfOLE:
    case pxfGraphic:
    case pxfBCD:
    case pxfBytes:
        return true;
    default:
        return false;
    }
}

void quiet(pxdoc_t*, int, const char*, void*) {}

void remember(pxdoc_t*, int, const char* msg, void* data) {
    static_cast<std::string*>(data)->assign(msg);
}

} // namespace

TPxlibTable ReadWithPxlib(const std::string& path) {
    TPxlibTable out;
    PX_boot();
    pxdoc_t* doc = PX_new2(quiet, nullptr, nullptr, nullptr);
    if (!doc || PX_open_file(doc, path.c_str()) < 0) {
        out.error = "pxlib cannot open " + path;
        if (doc)
            PX_delete(doc);
        return out;
    }
    const int n = PX_get_num_fields(doc);
    pxfield_t* fields = PX_get_fields(doc);
    for (int i = 0; i < n; ++i) {
        out.fieldNames.emplace_back(fields[i].px_fname);
        out.fieldTypes.push_back(static_cast<unsigned char>(fields[i].px_ftype));
    }
    out.records = PX_get_num_records(doc);
    for (int r = 0; r < out.records; ++r) {
        pxval_t** values = PX_retrieve_record(doc, r);
        if (!values) {
            out.error = "pxlib cannot read record " + std::to_string(r);
            break;
        }
        std::vector<std::optional<std::string>> row;
        for (int i = 0; i < n; ++i) {
            pxval_t* v = values[i];
            if (v->isnull) {
                row.emplace_back();
            } else if (holdsBytes(fields[i].px_ftype)) {
                row.emplace_back(std::string(v->value.str.val ? v->value.str.val : "",
                                             v->value.str.val ? size_t(v->value.str.len) : 0));
            } else {
                switch (fields[i].px_ftype) {
                case pxfCurrency:
                case pxfNumber:
                case pxfTimestamp: {
                    char buf[40];
                    std::snprintf(buf, sizeof buf, "%.17g", v->value.dval);
                    row.emplace_back(buf);
                    break;
                }
                default:
                    row.emplace_back(std::to_string(v->value.lval));
                }
            }
            if (holdsBytes(fields[i].px_ftype) && v->value.str.val)
                doc->free(doc, v->value.str.val);
            doc->free(doc, v);
        }
        doc->free(doc, values);
        out.rows.push_back(std::move(row));
    }
    PX_close(doc);
    PX_delete(doc);
    return out;
}

TPxlibIndex ReadIndexWithPxlib(const std::string& dataPath, const std::string& indexPath) {
    TPxlibIndex out;
    std::string message;
    PX_boot();
    pxdoc_t* doc = PX_new3(remember, nullptr, nullptr, nullptr, &message);
    pxdoc_t* index = PX_new3(remember, nullptr, nullptr, nullptr, &message);
    if (PX_open_file(doc, dataPath.c_str()) < 0 || PX_open_file(index, indexPath.c_str()) < 0)
        out.error = "pxlib cannot open the files: " + message;
    else if (PX_read_primary_index(index) < 0)
        out.error = "pxlib cannot read the index: " + message;
    else {
        out.entries = index->px_datalen; // an index document keeps its entries here
        const auto* entries = static_cast<const pxpindex_t*>(index->px_data);
        for (int i = 0; i < out.entries; ++i)
            if (entries[i].level == 1)
                out.leafRecords += entries[i].numrecords;
        if (PX_add_primary_index(doc, index) < 0)
            out.error = "pxlib refuses the index: " + message;
        else
            index = nullptr; // the table's document has it now; its end is the library's business
    }
    PX_close(doc);
    PX_delete(doc);
    if (index) {
        PX_close(index);
        PX_delete(index);
    }
    return out;
}

} // namespace vx::test
