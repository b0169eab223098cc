#pragma once

// Private to page/.

// The triage pages' charts, as inline SVG drawn here: no library, nothing
// fetched. Their texts are our own (counts and times), never a report's.

#include "store/Catalog.h"

#include <string>
#include <string_view>

namespace triage {

// Reports per bucket as bars under a scale, each bucket's count and time in
// its tooltip, times along the bottom. `caption` names the chart for people
// who cannot see it.
std::string barChart(const store::Histogram& histogram, std::string_view caption);

// A table row's small chart: reports per bucket, scaled to the row's own
// busiest bucket, with the total in its tooltip. Its size and colours are
// the style sheet's.
std::string sparkline(const store::Histogram& histogram);

}  // namespace triage
