#include "SampleCatalogs.h"

#include "common/Endpoint.h"
#include "store/ReportNames.h"

#include <array>
#include <cstdarg>
#include <cstdio>
#include <random>
#include <set>

namespace test_support {

namespace {

using namespace std::chrono;
using namespace std::string_view_literals;

struct Function {
    std::string_view name;
    std::string_view file;
};

constexpr std::array<Function, 24> kFunctions{{
    {"net::Codec::decode", "net/codec.cpp"},         {"net::Session::onMessage", "net/session.cpp"},
    {"net::Tls::handshake", "net/tls.cpp"},          {"io::Reader::fill", "io/reader.cpp"},
    {"io::Socket::poll", "io/socket.cpp"},           {"render::Scene::draw", "render/scene.cpp"},
    {"render::Mesh::upload", "render/mesh.cpp"},     {"render::Atlas::pack", "render/atlas.cpp"},
    {"core::Arena::allocate", "core/arena.cpp"},     {"core::Task::run", "core/task.cpp"},
    {"core::Timer::fire", "core/timer.cpp"},         {"script::Vm::call", "script/vm.cpp"},
    {"script::Heap::collect", "script/heap.cpp"},    {"script::Json::parse", "script/json.cpp"},
    {"db::Cache::lookup", "db/cache.cpp"},           {"db::Store::commit", "db/store.cpp"},
    {"db::Index::rebuild", "db/index.cpp"},          {"search::Query::plan", "search/query.cpp"},
    {"search::Ranker::score", "search/ranker.cpp"},  {"image::Png::inflate", "image/png.cpp"},
    {"image::Scaler::resize", "image/scaler.cpp"},   {"auth::Token::verify", "auth/token.cpp"},
    {"parse_header", "http/parser.c"},               {"read_request", "http/server.c"},
}};

struct Kind {
    std::string_view name;    // as a signature names it
    std::string_view signal;  // empty for a sanitizer's report
    int number;
};

constexpr std::array<Kind, 6> kKinds{{
    {"SIGSEGV", "SIGSEGV", 11},
    {"SIGABRT", "SIGABRT", 6},
    {"SIGBUS", "SIGBUS", 7},
    {"SIGFPE", "SIGFPE", 8},
    {"AddressSanitizer: heap-use-after-free", "", 0},
    {"AddressSanitizer: heap-buffer-overflow", "", 0},
}};

struct Program {
    std::string_view executable;
    std::string_view unit;
};

constexpr std::array<Program, 5> kPrograms{{
    {"/usr/bin/render-worker", "render-worker.service"},
    {"/usr/sbin/api-gateway", "api-gateway.service"},
    {"/usr/bin/ingest", "ingest@3.service"},
    {"/opt/search/bin/indexer", "indexer.service"},
    {"/usr/bin/thumbnailer", ""},
}};

constexpr std::size_t kFleet = 40;

struct Bug {
    const Kind* kind;
    const Program* program;
    std::array<const Function*, 3> frames;
    std::string signature;
    std::string title;
    std::string group;
};

// How a group's reports spread over time.
enum class Pattern { steady, fresh, regressed, gone };

std::string groupId(std::string_view signature)
{
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (const char c : signature) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return text;
}

std::string formatted(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string formatted(const char* format, ...)
{
    char text[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    return text;
}

Bug makeBug(std::mt19937& random, std::set<std::string>& signatures)
{
    for (;;) {
        Bug bug{&kKinds[random() % kKinds.size()], &kPrograms[random() % kPrograms.size()], {}, {}, {}, {}};
        for (auto& frame : bug.frames) {
            frame = &kFunctions[random() % kFunctions.size()];
        }
        bug.signature = std::string(bug.kind->name);
        for (const Function* frame : bug.frames) {
            bug.signature += " | " + std::string(frame->name);
        }
        if (signatures.insert(bug.signature).second) {
            bug.title = std::string(bug.kind->name) + " in " + std::string(bug.frames[0]->name);
            bug.group = groupId(bug.signature);
            return bug;
        }
    }
}

std::string crashLog(const Bug& bug, const std::string& host, std::mt19937& random)
{
    const unsigned pid = 1000 + static_cast<unsigned>(random() % 60000);
    std::string log = "*** crash report ***\n";
    log += formatted("process: %s (pid %u)\nhost: %s\n", bug.program->executable.data(), pid, host.c_str());
    if (!bug.program->unit.empty()) {
        log += formatted("unit: %s\n", bug.program->unit.data());
    }
    if (bug.kind->signal.empty()) {
        log += formatted("==%u==ERROR: %s on address 0x6020000%05x\n", pid, bug.kind->name.data(),
                         static_cast<unsigned>(random() % 0xfffff));
    } else {
        log += formatted("signal %d (%s), fault address 0x%016x\n", bug.kind->number, bug.kind->signal.data(),
                         static_cast<unsigned>(random() % 4096));
    }
    log += "build: 4.12.7 (a1b2c3d)\n\nthread 1 (LWP " + std::to_string(pid + 1) + ") \"worker-1\":\n";
    std::vector<const Function*> stack(bug.frames.begin(), bug.frames.end());
    for (const auto index : {9, 4, 3}) {
        stack.push_back(&kFunctions[static_cast<std::size_t>(index)]);
    }
    for (std::size_t frame = 0; frame < stack.size(); ++frame) {
        log += formatted("  #%-2zu 0x00005581c3a%05x in %s (%s:%u)\n", frame, static_cast<unsigned>(random() % 0xfffff),
                         stack[frame]->name.data(), stack[frame]->file.data(), 40 + static_cast<unsigned>(frame * 37));
    }
    log += "  #6  0x00007f3a2b4c5d6e in start_thread (./nptl/pthread_create.c:442)\n"
           "  #7  0x00007f3a2b4c5e00 in clone3 (../sysdeps/unix/sysv/linux/x86_64/clone3.S:81)\n\n";
    for (unsigned line = 0; line < 6; ++line) {
        log += formatted("2026-12-08T11:%02u:%02u.%03uZ WARN  worker-%u: request queue above threshold (%u waiting)\n",
                         line * 7 % 60, static_cast<unsigned>(random() % 60), static_cast<unsigned>(random() % 1000),
                         static_cast<unsigned>(random() % 8), static_cast<unsigned>(random() % 500));
    }
    return log;
}

Pattern patternOf(std::size_t group, std::size_t reports)
{
    switch (group % 12) {
    case 4: return Pattern::fresh;
    case 7: return reports >= 2 ? Pattern::regressed : Pattern::steady;
    case 9:
    case 10: return Pattern::gone;
    default: return Pattern::steady;
    }
}

// When the `index`th of a group's `count` reports came, the group's pattern
// being `pattern`.
store::TimePoint receivedAt(Pattern pattern, std::size_t index, std::size_t count, store::TimePoint now,
                            seconds firstAgo, std::mt19937& random)
{
    const auto within = [&random](store::TimePoint from, store::TimePoint to) {
        const auto span = duration_cast<seconds>(to - from).count();
        return from + seconds(static_cast<long>(random() % static_cast<unsigned long>(std::max<long>(span, 1))));
    };
    switch (pattern) {
    case Pattern::fresh: return within(now - std::min<seconds>(firstAgo % hours{23}, hours{22}) - hours{1}, now);
    case Pattern::regressed:
        return index < (count + 2) / 3 ? within(now - hours{20}, now) : within(now - days{60}, now - days{10});
    case Pattern::gone: return within(now - days{60}, now - days{15});
    case Pattern::steady: break;
    }
    return within(now - firstAgo, now);
}

// How many reports each group gets: one at least, the rest falling off as
// 1/rank.
std::vector<std::size_t> reportCounts(const SampleShape& shape)
{
    std::vector<std::size_t> counts(shape.groups, 1);
    double weights = 0;
    for (std::size_t group = 0; group < shape.groups; ++group) {
        weights += 1.0 / static_cast<double>(group + 1);
    }
    const std::size_t spare = shape.reports > shape.groups ? shape.reports - shape.groups : 0;
    std::size_t given = 0;
    for (std::size_t group = 0; group < shape.groups; ++group) {
        counts[group] += static_cast<std::size_t>(static_cast<double>(spare) / static_cast<double>(group + 1) / weights);
        given += counts[group] - 1;
    }
    if (!counts.empty()) {
        counts.front() += spare - given;
    }
    return counts;
}

}  // namespace

void addSampleReports(FakeCatalog& catalog, store::TimePoint now, const SampleShape& shape)
{
    std::mt19937 random(shape.seed);
    std::set<std::string> signatures;
    const auto counts = reportCounts(shape);
    std::uint64_t sequence = 0;
    for (std::size_t group = 0; group < shape.groups; ++group) {
        const Bug bug = makeBug(random, signatures);
        const Pattern pattern = patternOf(group, counts[group]);
        const seconds firstAgo = hours{2 * 24 + random() % (58 * 24)};
        const std::size_t hosts = 1 + std::min<std::size_t>(kFleet - 1, random() % (1 + counts[group] / 4) % 12);
        const std::size_t firstHost = random() % kFleet;
        for (std::size_t index = 0; index < counts[group]; ++index) {
            const std::size_t host = (firstHost + random() % hosts) % kFleet;
            const crashreports::Endpoint sender{0x0A000100U + static_cast<std::uint32_t>(10 + host),
                                                static_cast<std::uint16_t>(40000 + random() % 20000)};
            const auto received = receivedAt(pattern, index, counts[group], now, firstAgo, random);
            const std::string hostName = formatted("web-%02zu", host + 1);
            catalog.add({.report = store::reportFileName(received, sender, ++sequence),
                          .group = bug.group,
                          .title = bug.title,
                          .received = received,
                          .sender = sender.text(),
                          .host = hostName,
                          .unit = std::string(bug.program->unit),
                          .executable = std::string(bug.program->executable),
                          .signal = std::string(bug.kind->signal)},
                         bug.signature, crashLog(bug, hostName, random));
        }
    }
}

namespace {

// Markup that breaks out of every place a text may land, each piece marked
// so that it shows if it ever runs or makes an element.
constexpr std::array<std::string_view, 17> kMarkup{{
    "<script>document.title='PWNED'</script>",
    "<img src=x onerror=\"document.title='PWNED'\">",
    "<svg onload=\"document.title='PWNED'\"></svg>",
    "</textarea><script>document.title='PWNED'</script>",
    "</pre><b id=pwned>pre ended</b>",
    "</title><b id=pwned>title ended</b>",
    "</style><b id=pwned>style ended</b>",
    "</script><b id=pwned>script ended</b>",
    "<!-- a comment begun",
    "]]><b id=pwned>section ended</b>",
    "\"><b id=pwned>double-quoted attribute ended</b>",
    "' onmouseover='document.title=\"PWNED\"' x='",
    "<base href=\"http://attacker.invalid/\">",
    "<link rel=stylesheet href=\"http://attacker.invalid/a.css\">",
    "<meta http-equiv=\"refresh\" content=\"0;url=http://attacker.invalid/\">",
    "<iframe src=\"http://attacker.invalid/\"></iframe>",
    "<a href=\"javascript:document.title='PWNED'\">link</a>",
}};

// Bytes that are no text: a line separator, invalid and overlong UTF-8, an
// encoded surrogate, NUL, BEL, an escape sequence, DEL, a C1 control and a
// direction override.
constexpr std::string_view kBadBytes =
    "line\xE2\x80\xA8separator paragraph\xE2\x80\xA9separator invalid\xFF\xFE overlong\xC0\xAF "
    "surrogate\xED\xA0\x80 cut\xE2\x82 nul\0 bel\a esc\x1B[31mred\x1B[0m del\x7F nel\xC2\x85 rlo\xE2\x80\xAE"sv;

std::string allMarkup()
{
    std::string text;
    for (const auto piece : kMarkup) {
        text += piece;
        text += ' ';
    }
    return text;
}

void addHostile(FakeCatalog& catalog, store::ReportSummary summary, std::string signature, std::string_view bytes)
{
    summary.sender = summary.sender.empty() ? "192.0.2.7:40000" : summary.sender;
    summary.executable = "</pre><script>document.title='PWNED'</script>";
    summary.signal = "<img src=x onerror=\"document.title='PWNED'\">";
    catalog.add(std::move(summary), std::move(signature), bytes);
}

}  // namespace

void addHostileReports(FakeCatalog& catalog, store::TimePoint now)
{
    const std::string markup = allMarkup();
    const std::string bad(kBadBytes);
    const std::string text = "*** crash report ***\n" + markup + "\n" + bad + "\n";
    const std::string markupGroup = groupId("markup");
    const std::string bytesGroup = groupId("bytes");
    const auto at = [now](int minutes) { return now - std::chrono::minutes{minutes}; };
    for (int index = 0; index < 3; ++index) {
        addHostile(catalog,
                   {.report = formatted("20261208T1%d0000.000000Z_192.0.2.7_40000_00000%d.report", index, index),
                    .group = markupGroup,
                    .title = "<script>document.title='PWNED'</script> \"double\" 'single' " + bad,
                    .received = at(10 + index),
                    .host = "\"><b id=pwned>host</b>",
                    .unit = "' onmouseover='document.title=1' x='.service"},
                   markup, text);
    }
    addHostile(catalog,
               {.report = "../../../escaped-from-reports", .group = markupGroup, .title = markup, .received = at(20),
                .host = markup, .unit = markup},
               markup, text);
    addHostile(catalog,
               {.report = "<b id=pwned>id</b>.report", .group = markupGroup, .title = markup, .received = at(21)},
               markup, text);
    addHostile(catalog,
               {.report = "20261208T090000.000000Z_192.0.2.8_40001_000009.report", .group = bytesGroup,
                .title = bad, .received = at(30), .sender = "192.0.2.8:40001", .host = bad,
                .unit = "\"quoted\" 'unit'.service"},
               bad + markup, bad + "\n" + markup);
    addHostile(catalog,
               {.report = "20261208T080000.000000Z_192.0.2.9_40002_000010.report",
                .group = "../<img src=x onerror=document.title='PWNED'>", .title = "a group whose id is no id",
                .received = at(40), .sender = "192.0.2.9:40002"},
               markup, text);
}

}  // namespace test_support
