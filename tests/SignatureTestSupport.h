#pragma once

// What the signature tests share: the built-in rules, and a report's
// signature from its text.

#include "signature/Signature.h"

#include <string_view>

namespace signature_tests {

inline const triage::SkipRules& builtInRules()
{
    static const triage::SkipRules rules = triage::SkipRules::builtIn();
    return rules;
}

inline triage::Signature signatureOf(std::string_view report, const triage::SkipRules& rules = builtInRules())
{
    return triage::computeSignature({reinterpret_cast<const unsigned char*>(report.data()), report.size()}, rules);
}

}  // namespace signature_tests
