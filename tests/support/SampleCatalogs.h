#pragma once

// Catalogs to write sites from: a realistic one of any size, and one whose
// every text is an attack on the page that shows it.

#include "FakeCatalog.h"

#include <cstddef>

namespace test_support {

struct SampleShape {
    std::size_t groups = 30;
    std::size_t reports = 1500;
    unsigned seed = 1;
};

// Reports of `shape.groups` bugs over the 60 days before `now`: a few busy
// groups and a long tail; some first seen in the last day, some back in it
// after a quiet week, some gone quiet. Each report is a crash log of its
// bug from one of a fleet of hosts, named as a directory store names it.
void addSampleReports(FakeCatalog& catalog, store::TimePoint now, const SampleShape& shape);

// The payloads in the hostile reports' texts: each would set the page's
// title to this, or add an element with this id, if it ever ran.
inline constexpr const char* kPwnedTitle = "PWNED";
inline constexpr const char* kPwnedId = "pwned";

// Reports whose titles, signatures, ids, hosts, units and texts hold
// markup, scripts, comment and section ends, quotes, line separators,
// invalid UTF-8, NUL and control bytes; in groups whose ids are fine, and
// one whose id isn't.
void addHostileReports(FakeCatalog& catalog, store::TimePoint now);

}  // namespace test_support
