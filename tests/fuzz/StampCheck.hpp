// The check both document targets make of a stamp (DocumentStamp) that loaded: an expiry either does not
// read or reads back as it is written (the one form has one spelling), and a sequence is a number or
// nothing. A broken promise aborts, which the fuzzer reports.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <limits>

#include "manifest/DocumentStamp.hpp"
#include "manifest/ManifestText.hpp"

namespace halcyne::fuzz {

inline void CheckStamp(const DocumentStamp& stamp) {
    if (stamp.expires) {
        const auto seconds = ParseUtcTime(*stamp.expires);
        if (seconds && FormatUtcTime(*seconds) != *stamp.expires) {
            std::abort();
        }
    }
    if (stamp.sequence) {
        static_cast<void>(ParseDecimal(*stamp.sequence, std::numeric_limits<std::uint64_t>::max()));
    }
}

}  // namespace halcyne::fuzz
