// A certificate store's index log, as a damaged or hostile file could hold it. Every
// line carries a checksum, so half of the inputs get theirs filled in here: the
// fuzzer then reaches the records themselves. An entry the log gives keeps its
// properties through their text form, and its subject is the one a find reads.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cert_properties.h"
#include "store_index.h"

namespace {

std::string with_checksum(const std::string &body) {
    char sum[24];
    std::snprintf(sum, sizeof sum, " %016llx", cryptoapi::index_line_checksum(body.data(), body.size()));
    return body + sum;
}

std::string checksummed_log(const std::string &records) {
    std::string text = cryptoapi::index_log_header() + "\n";
    size_t pos = 0;
    while (pos < records.size()) {
        size_t end = records.find('\n', pos);
        if (end == std::string::npos) {
            text += records.substr(pos);  // a partial last line stays partial
            break;
        }
        text += with_checksum(records.substr(pos, end - pos)) + "\n";
        pos = end + 1;
    }
    return text;
}

bool same_properties(const cryptoapi::CertEntry &a, const cryptoapi::CertEntry &b) {
    if (a.friendly_name != b.friendly_name || a.key_prov_info.has_value() != b.key_prov_info.has_value())
        return false;
    if (!a.key_prov_info) return true;
    const auto &x = *a.key_prov_info, &y = *b.key_prov_info;
    return x.container == y.container && x.provider == y.provider && x.provider_type == y.provider_type &&
           x.flags == y.flags && x.key_spec == y.key_spec;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    std::string rest(reinterpret_cast<const char *>(data) + 1, size - 1);
    std::string text = data[0] & 1 ? checksummed_log(rest) : rest;

    std::vector<std::shared_ptr<cryptoapi::CertEntry>> entries;
    bool complete = false;
    if (!cryptoapi::parse_index_log(text, entries, complete)) return 0;
    // A find reads a subject from its record without making the entry; an entry made from
    // a record (not one of ours, so removed) must have been given that same subject.
    std::vector<std::string> subjects;
    if (!cryptoapi::index_log_subjects(text, subjects) || subjects.size() != entries.size()) std::abort();
    for (size_t i = 0; i < entries.size(); ++i)
        if (!entries[i]->removed && entries[i]->subject != subjects[i]) std::abort();
    for (const auto &e : entries) {
        cryptoapi::CertEntry again;
        cryptoapi::parse_properties(cryptoapi::format_properties(*e), again);
        if (!same_properties(*e, again)) std::abort();

        std::string decoded;
        if (!cryptoapi::decode_value(cryptoapi::encode_value(e->subject), decoded) || decoded != e->subject)
            std::abort();
    }
    return 0;
}
