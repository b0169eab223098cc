#pragma once

// Private to signature/.

// Turns pieces of an untrusted report into text that is the same for every
// report of one bug: function names without what varies between builds and
// runs, and free text without what varies between hosts and runs. What they
// return is printable (see Printable.h).

#include <cstddef>
#include <string>
#include <string_view>

namespace triage {

// The index of the first character from `at` on in `text` that `is` does
// not take, or the size of `text`: find_first_not_of for a class of
// characters, without searching a set for each.
template <typename Is>
std::size_t skipWhile(std::string_view text, Is is, std::size_t at = 0)
{
    while (at < text.size() && is(text[at])) {
        ++at;
    }
    return at;
}

// A function name as every build and run of the program prints it: no
// argument list, offset (+0x1a), module ([ext4]), address, compiler clone
// suffix (.isra.0, .cold), Rust hash (::h0123456789abcdef) or glibc alias
// prefix (__GI_), template arguments collapsed to <>, and the CPU variant of
// a libc string function named by the function (memmove for
// __memmove_avx_unaligned_erms). Printable, at most 256 bytes.
std::string normaliseFunction(std::string_view name);

// A line of free text with what differs between reports of one bug replaced:
// numbers and hex words by <n>, UUIDs by <uuid>, dates and times by <time>,
// the directories of temporary paths by <tmp>, the host name `host` by
// <host> and quoted values by "…" in their quotes. Printable, at most 256 bytes.
std::string normaliseText(std::string_view text, std::string_view host = {});

// "SIGSEGV" for "11", "SEGV" or "SIGSEGV"; empty for anything else.
std::string signalName(std::string_view numberOrName);

// The last component of a path: "libc.so.6" for "/lib/x86_64-linux-gnu/libc.so.6".
std::string_view baseName(std::string_view path);

}  // namespace triage
