# Writes OUTPUT, a C++ source that holds the built-in rule files of RULES_DIR
# named in NAMES (a ;-list), so that every program signs reports by the same
# rules whatever is installed. Run by the build whenever a rule file changes.
set(entries "")
foreach(name IN LISTS NAMES)
    file(READ "${RULES_DIR}/${name}" text)
    string(APPEND entries "    {\"${name}\", R\"rules(${text})rules\"},\n")
endforeach()
file(WRITE "${OUTPUT}.new" "// Written by signature/EmbedRules.cmake from signature/rules/: do not edit.\n\n"
    "#include \"signature/BuiltInRules.h\"\n\n"
    "#include <array>\n\n"
    "namespace triage {\n\n"
    "namespace {\n\n"
    "constexpr std::array kRuleFiles = std::to_array<RuleFile>({\n${entries}});\n\n"
    "}  // namespace\n\n"
    "std::span<const RuleFile> builtInRuleFiles() { return kRuleFiles; }\n\n"
    "}  // namespace triage\n")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
