#pragma once

// Private to signature/.

// The built-in rule files of signature/rules/, as the build embedded them.

#include <span>
#include <string_view>

namespace triage {

struct RuleFile {
    std::string_view name;  // "kernel", "native", ...: the file's name under signature/rules/
    std::string_view text;
};

std::span<const RuleFile> builtInRuleFiles();

}  // namespace triage
