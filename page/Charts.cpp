#include "page/Charts.h"

#include "page/Format.h"
#include "page/Html.h"

#include <algorithm>
#include <cstdio>
#include <numeric>

namespace triage {

namespace {

using namespace std::chrono;

constexpr double kWidth = 980;
constexpr double kHeight = 180;
constexpr double kLeft = 44;
constexpr double kRight = 8;
constexpr double kTop = 10;
constexpr double kBottom = 22;
constexpr std::size_t kMaxLabels = 8;

// The space between a scale's lines: 1, 2 or 5 times a power of ten, so
// that at most four lines span `most`.
std::uint64_t scaleStep(std::uint64_t most)
{
    for (std::uint64_t power = 1;; power *= 10) {
        for (const std::uint64_t factor : {1U, 2U, 5U}) {
            if (most <= 4 * factor * power) {
                return factor * power;
            }
        }
    }
}

std::string number(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    std::string_view shown = text;
    return std::string(shown.ends_with(".0") ? shown.substr(0, shown.size() - 2) : shown);
}

std::string reportCount(std::uint64_t count)
{
    return displayCount(count) + (count == 1 ? " report" : " reports");
}

// A bucket's start as the time axis shows it: the day for buckets of a day
// or more, else the time, with the day where it changes.
std::string axisLabel(system_clock::time_point start, seconds width, bool withDay)
{
    const std::string full = displayTime(start);  // "2026-12-08 11:00"
    if (width >= days{1}) {
        return full.substr(5, 5);
    }
    return withDay ? full.substr(5) : full.substr(11);
}

// "14 days", "48 hours".
std::string spanText(seconds span)
{
    if (span >= days{2}) {
        return std::to_string(duration_cast<days>(span).count()) + " days";
    }
    return std::to_string(duration_cast<hours>(span).count()) + " hours";
}

void appendScale(std::string& svg, std::uint64_t top, std::uint64_t step)
{
    const double plotHeight = kHeight - kTop - kBottom;
    for (std::uint64_t value = 0; value <= top; value += step) {
        const std::string y = number(kHeight - kBottom - plotHeight * static_cast<double>(value) / static_cast<double>(top));
        svg += "<line class=\"" + std::string(value == 0 ? "axis" : "grid") + "\" x1=\"" + number(kLeft) + "\" x2=\""
            + number(kWidth - kRight) + "\" y1=\"" + y + "\" y2=\"" + y + "\"/>";
        svg += "<text class=\"end\" x=\"" + number(kLeft - 6) + "\" y=\"" + y + "\" dy=\"4\">" + displayCount(value)
            + "</text>";
    }
}

void appendBar(std::string& svg, const store::Histogram& histogram, std::size_t index, std::uint64_t top)
{
    const std::uint64_t count = histogram.counts[index];
    const double pitch = (kWidth - kLeft - kRight) / static_cast<double>(histogram.counts.size());
    const double height = (kHeight - kTop - kBottom) * static_cast<double>(count) / static_cast<double>(top);
    const auto start = histogram.start + histogram.width * static_cast<long>(index);
    svg += "<rect class=\"bar\" x=\"" + number(kLeft + pitch * static_cast<double>(index) + pitch * 0.12)
        + "\" y=\"" + number(kHeight - kBottom - height) + "\" width=\"" + number(pitch * 0.76) + "\" height=\""
        + number(height) + "\"><title>" + displayTime(start) + " UTC: " + reportCount(count) + "</title></rect>";
}

void appendTimeAxis(std::string& svg, const store::Histogram& histogram)
{
    const std::size_t buckets = histogram.counts.size();
    const std::size_t every = std::max<std::size_t>(1, (buckets + kMaxLabels - 1) / kMaxLabels);
    const double pitch = (kWidth - kLeft - kRight) / static_cast<double>(buckets);
    std::string lastDay;
    for (std::size_t index = (buckets - 1) % every; index < buckets; index += every) {
        const auto start = histogram.start + histogram.width * static_cast<long>(index);
        const std::string day = displayTime(start).substr(0, 10);
        const std::string label = axisLabel(start, histogram.width, day != lastDay);
        lastDay = day;
        svg += "<text class=\"mid\" x=\"" + number(kLeft + pitch * (static_cast<double>(index) + 0.5)) + "\" y=\""
            + number(kHeight - 6) + "\">" + label + "</text>";
    }
}

}  // namespace

std::string barChart(const store::Histogram& histogram, std::string_view caption)
{
    std::string svg = "<svg class=\"chart\" viewBox=\"0 0 " + number(kWidth) + " " + number(kHeight)
        + "\" role=\"img\"><title>";
    html::appendEscaped(svg, caption);
    svg += "</title>";
    if (histogram.counts.empty()) {
        return svg + "</svg>";
    }
    const std::uint64_t most = *std::ranges::max_element(histogram.counts);
    const std::uint64_t step = scaleStep(most);
    const std::uint64_t top = std::max<std::uint64_t>(step, (most + step - 1) / step * step);
    appendScale(svg, top, step);
    for (std::size_t index = 0; index < histogram.counts.size(); ++index) {
        if (histogram.counts[index] > 0) {
            appendBar(svg, histogram, index, top);
        }
    }
    appendTimeAxis(svg, histogram);
    return svg + "</svg>";
}

std::string sparkline(const store::Histogram& histogram)
{
    // Small numbers keep a large index small: bars 4 apart, heights in whole
    // units of 16, scaled up by the style sheet.
    constexpr int kPitch = 4;
    constexpr double kBarsHeight = 16;
    const int buckets = static_cast<int>(histogram.counts.size());
    const std::uint64_t total = std::accumulate(histogram.counts.begin(), histogram.counts.end(), std::uint64_t{0});
    const std::uint64_t most = histogram.counts.empty() ? 0 : *std::ranges::max_element(histogram.counts);
    std::string svg = "<svg viewBox=\"0 0 " + std::to_string(kPitch * buckets) + " 16\"><title>" + reportCount(total)
        + " in " + spanText(histogram.width * buckets) + "</title><path d=\"";
    for (int index = 0; index < buckets; ++index) {
        const std::uint64_t count = histogram.counts[static_cast<std::size_t>(index)];
        if (count > 0) {
            const double height = kBarsHeight * static_cast<double>(count) / static_cast<double>(most);
            svg += 'M';
            svg += std::to_string(kPitch * index + kPitch / 2);
            svg += " 16V";
            svg += std::to_string(static_cast<int>(kBarsHeight) - std::max(1, static_cast<int>(height + 0.5)));
        }
    }
    return svg + "\"/></svg>";
}

}  // namespace triage
