// Crash signatures: reports of one bug share one, whatever varies between
// runs and hosts; other bugs get others; and any bytes give bounded,
// printable text.

#include "SignatureTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace {

using triage::computeSignature;
using triage::Signature;
using triage::SkipRules;
using namespace signature_tests;

void replaceAll(std::string& text, std::string_view from, std::string_view to)
{
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

// What differs between reports of one bug.
struct Variation {
    const char* address;
    const char* pid;
    const char* host;
    const char* time;
    const char* temporary;
    const char* line;
    const char* uuid;
};

constexpr Variation kVariations[] = {
    {"0x00007f3a2b4c5d6e", "4242", "web-3", "2026-12-08T11:00:00Z", "/tmp/tmpab12cd", "120",
     "4f3c2a1b-1234-4abc-9def-0123456789ab"},
    {"0x000055d1c0ffee12", "77", "db-12.example.org", "2027-01-31T23:59:59.123+01:00", "/tmp/tmpzz9k1q", "98",
     "00000000-0000-4000-8000-000000000000"},
    {"0x00000000004f7f3e", "31337", "build", "1999-12-31 08:15:00", "/var/tmp/job.3f2a", "1",
     "ffffffff-eeee-4ddd-accc-bbbbbbbbbbbb"},
};

// What tells bugs apart: the crashing frame, and the kind of error.
struct Bug {
    const char* frame;
    const char* kind;
};

// A report format's template, with {frame} and {kind} for the bug and {address},
// {pid}, {host}, {time}, {tmp}, {line} and {uuid} for what varies between runs.
struct Family {
    const char* name;
    const char* report;
    std::vector<Bug> bugs;  // the first bug's reports group; each other bug is another
    const char* title;      // of the first bug's reports
    friend void PrintTo(const Family& family, std::ostream* out) { *out << family.name; }
};

std::string render(const Family& family, const Bug& bug, const Variation& variation)
{
    std::string report = family.report;
    replaceAll(report, "{frame}", bug.frame);
    replaceAll(report, "{kind}", bug.kind);
    const std::pair<const char*, const char*> values[] = {
        {"{address}", variation.address}, {"{pid}", variation.pid},       {"{host}", variation.host},
        {"{time}", variation.time},       {"{tmp}", variation.temporary}, {"{line}", variation.line},
        {"{uuid}", variation.uuid}};
    for (const auto& [placeholder, value] : values) {
        replaceAll(report, placeholder, value);
    }
    return report;
}

const Family kFamilies[] = {
    {"UnitWithCoreDump", R"(=== crash report ===
host: {host}
unit: myapp.service
time: {time}
kernel: 6.1.0-27-amd64
=== systemctl status myapp.service ===
     Active: failed (Result: core-dump) since {time}; 2s ago
   Main PID: {pid} (code=dumped)
=== journal of myapp.service ===
Dec 08 11:00:00 {host} myapp[{pid}]: request {uuid} spooled to {tmp}/req
=== core dump of myapp.service ===
           PID: {pid} (myapp)
        Signal: {kind}
    Executable: /usr/bin/myapp
      Hostname: {host}
       Message: Process {pid} (myapp) of user 0 dumped core.
                
                Stack trace of thread {pid}:
                #0  {address} raise (libc.so.6 + 0x3c4fc)
                #1  {address} abort (libc.so.6 + 0x26472)
                #2  {address} {frame} (myapp + 0x1e12)
                #3  {address} n/a (myapp + 0x{line})
                #4  {address} main (myapp + 0x2000)
                
                Stack trace of thread 4243:
                #0  {address} epoll_wait (libc.so.6 + 0x3c4fc)
)",
     {{"parse_header", "11 (SEGV)"}, {"parse_body", "11 (SEGV)"}, {"parse_header", "6 (ABRT)"}},
     "SIGSEGV in parse_header"},
    {"UnitWithoutStack", R"(=== crash report ===
host: {host}
unit: {frame}@{host}.service
time: {time}
=== systemctl status {frame}@{host}.service ===
     Active: failed (Result: {kind}) since {time}; 2s ago
   Main PID: {pid} (code=exited, status=1/FAILURE)
=== journal of {frame}@{host}.service ===
Dec 08 11:00:00 {host} worker[{pid}]: cannot open {tmp}/state: Permission denied
=== core dump of {frame}@{host}.service ===
(no core dump of {frame}@{host}.service)
)",
     {{"sync", "exit-code"}, {"backup", "exit-code"}, {"sync", "timeout"}},
     "unit failed (exit-code) in sync@<host>.service"},
    {"UnitJournalTraceback", R"(=== crash report ===
host: {host}
unit: pyapp.service
=== systemctl status pyapp.service ===
     Active: failed (Result: exit-code) since {time}; 2s ago
=== journal of pyapp.service ===
Dec 08 11:00:00 {host} python3[{pid}]: Traceback (most recent call last):
Dec 08 11:00:00 {host} python3[{pid}]:   File "{tmp}/main.py", line {line}, in <module>
Dec 08 11:00:00 {host} python3[{pid}]:     main()
Dec 08 11:00:00 {host} python3[{pid}]:   File "{tmp}/config.py", line {line}, in {frame}
Dec 08 11:00:00 {host} python3[{pid}]:     port = int(value)
Dec 08 11:00:00 {host} python3[{pid}]: {kind}: invalid literal for int() with base 10: '{uuid}'
=== core dump of pyapp.service ===
(no core dump of pyapp.service)
)",
     {{"load_config", "ValueError"}, {"load_settings", "ValueError"}, {"load_config", "TypeError"}},
     "ValueError in load_config"},
    {"CrashLog", R"(*** crash report ***
process: render-worker (pid {pid})
signal {kind}, code 1 (SEGV_MAPERR), fault address {address}
{time} WARN  worker-2: worker queue depth above threshold
thread 1 (LWP {pid}) "worker-1":
  #0  {address} in {frame} (render/scene.cpp:{line})
  #1  {address} in io::Socket::poll (io/socket.cpp:301)
  #2  {address} in core::Task::run (core/task.cpp:39)
  #3  {address} in start_thread (./nptl/pthread_create.c:442)
{time} ERROR worker-0: event loop stalled
thread 2 (LWP {pid}) "worker-2":
  #0  {address} in io::Reader::fill (io/reader.cpp:57)
)",
     {{"render::Scene::draw", "11 (SIGSEGV)"}, {"render::Mesh::upload", "11 (SIGSEGV)"}, {"render::Scene::draw", "7 (SIGBUS)"}},
     "SIGSEGV in render::Scene::draw"},
    {"Gdb", R"(Program terminated with signal {kind}, Aborted.
#0  __pthread_kill_implementation (no_tid=0, signo=6, threadid={pid}) at ./nptl/pthread_kill.c:44
#1  {address} in __pthread_kill_internal (signo=6, threadid=<optimized out>) at ./nptl/pthread_kill.c:78
#2  {address} in __GI_raise (sig=sig@entry=6) at ../sysdeps/posix/raise.c:26
#3  {address} in __GI_abort () at ./stdlib/abort.c:79
#4  {address} in __assert_fail_base (fmt={address} "%s", assertion={address} "len > 0", line={line}) at ./assert/assert.c:92
#5  {address} in {frame} (buf={address} "GET /", len=0) at src/http.c:{line}
#6  {address} in handle_request (req={address}) at src/server.c:55
#7  {address} in ?? ()
#8  {address} in main () at src/main.c:3
)",
     {{"parse_header", "SIGABRT"}, {"parse_body", "SIGABRT"}, {"parse_header", "SIGSEGV"}},
     "SIGABRT in parse_header"},
    {"BacktraceSymbols", R"(Caught signal {kind}
./app(crash_handler+0x1f)[{address}]
/lib/x86_64-linux-gnu/libc.so.6(+0x3c050)[{address}]
./app({frame}+0x1a)[{address}]
./app(main+0x10) [{address}]
/lib/x86_64-linux-gnu/libc.so.6(__libc_start_main+0xf3)[{address}]
)",
     {{"parse_header", "11"}, {"parse_body", "11"}, {"parse_header", "6"}},
     "SIGSEGV in parse_header"},
    {"AddressSanitizer", R"(=================================================================
=={pid}==ERROR: AddressSanitizer: {kind} on address {address} at pc {address} bp {address} sp {address}
READ of size 4 at {address} thread T0
    #0 {address} in __interceptor_memcpy ../../../../src/libsanitizer/sanitizer_common/sanitizer_common_interceptors.inc:827
    #1 {address} in {frame} /src/http.c:{line}:9
    #2 {address} in handle_request(Request*) /src/server.cpp:55:3
    #3 {address} in main /src/main.c:3:1

{address} is located 0 bytes inside of 4-byte region
)",
     {{"parse_header", "heap-use-after-free"}, {"parse_body", "heap-use-after-free"}, {"parse_header", "heap-buffer-overflow"}},
     "AddressSanitizer: heap-use-after-free in parse_header"},
    {"UndefinedBehaviorSanitizer", R"(src/{frame}:{line}:5: runtime error: {kind}
SUMMARY: UndefinedBehaviorSanitizer: undefined-behavior src/{frame}:{line}:5 in
)",
     {{"math.c", "signed integer overflow: 2147483647 + {pid} cannot be represented in type 'int'"},
      {"hash.c", "signed integer overflow: 2147483647 + {pid} cannot be represented in type 'int'"},
      {"math.c", "division by zero"}},
     "UndefinedBehaviorSanitizer: signed integer overflow in src/math.c"},
    {"PythonChainedFirstIsTheError", R"({time} ERROR job {uuid} failed
Traceback (most recent call last):
  File "{tmp}/app.py", line {line}, in <module>
    main()
  File "{tmp}/config.py", line {line}, in {frame}
    port = json.loads(text)
  File "/usr/lib/python3.11/json/__init__.py", line 346, in loads
    return _default_decoder.decode(s)
{kind}: invalid literal for int() with base 10: '{pid}'

During handling of the above exception, another exception occurred:

Traceback (most recent call last):
  File "/usr/lib/python3.11/logging/__init__.py", line 1110, in emit
    msg = self.format(record)
TypeError: not all arguments converted during string formatting
INFO: shutting down
)",
     {{"load_config", "ValueError"}, {"load_settings", "ValueError"}, {"load_config", "json.decoder.JSONDecodeError"}},
     "ValueError in load_config"},
    {"JavaRootCause", "Exception in thread \"main\" java.lang.IllegalStateException: cannot start {uuid}\n"
                      "\tat com.example.App.start(App.java:{line})\n"
                      "\tat com.example.App.main(App.java:12)\n"
                      "Caused by: {kind}: Stream closed at {time}\n"
                      "\tat java.base/java.io.BufferedInputStream.getBufIfOpen(BufferedInputStream.java:176)\n"
                      "\tat com.example.Config.{frame}(Config.java:{line})\n"
                      "\tat com.example.App.start(App.java:40)\n"
                      "\t... 1 more\n",
     {{"readAll", "java.io.IOException"}, {"readHeader", "java.io.IOException"}, {"readAll", "java.io.EOFException"}},
     "java.io.IOException in com.example.Config.readAll"},
    {"GoPanic", R"(panic: runtime error: {kind}

goroutine 1 [running]:
panic({address}, {address})
	/usr/local/go/src/runtime/panic.go:{line} +0x215
main.{frame}({address}, 0x5)
	{tmp}/main.go:{line} +0x1d
main.main()
	{tmp}/main.go:30 +0x25
exit status 2
)",
     {{"parseHeader", "index out of range [{line}] with length 3"}, {"parseBody", "index out of range [{line}] with length 3"},
      {"parseHeader", "invalid memory address or nil pointer dereference"}},
     "panic: runtime error: index out of range in main.parseHeader"},
    {"RustBacktrace", R"(thread 'main' panicked at src/main.rs:{line}:5:
index out of bounds: the len is 3 but the index is {pid}
stack backtrace:
   0: rust_begin_unwind
             at /rustc/90b35a6239c3d8bdabc530a6a0816f7ff89a0aaf/library/std/src/panicking.rs:645:5
   1: core::panicking::panic_bounds_check
   2: <usize as core::slice::index::SliceIndex<[T]>>::index
   3: myapp::{frame}
             at ./src/main.rs:{line}:5
   4: myapp::main
)",
     {{"parse_header", ""}, {"parse_body", ""}}, "panic: index out of bounds: the len is <n> but the index is <n> in myapp::parse_header"},
    {"RustWithoutBacktrace", R"(thread 'main' panicked at src/{frame}.rs:{line}:10:
{kind}
note: run with `RUST_BACKTRACE=1` environment variable to display a backtrace
)",
     {{"config", "called `Option::unwrap()` on a `None` value"}, {"parser", "called `Option::unwrap()` on a `None` value"},
      {"config", "attempt to subtract with overflow"}},
     "panic: called `Option::unwrap()` on a `None` value in src/config.rs"},
    {"KernelOops", R"([{line}.678901] {kind}
[{line}.678980] Oops: 0000 [#1] PREEMPT SMP NOPTI
[{line}.678990] CPU: 3 PID: {pid} Comm: kworker/3:1 Tainted: G            E      6.1.0-27-amd64 #1
[{line}.679010] RIP: 0010:{frame}+0x12a/0x4b0 [ext4]
[{line}.679100] Call Trace:
[{line}.679110]  <TASK>
[{line}.679120]  ? __die+0x23/0x70
[{line}.679140]  ext4_mark_iloc_dirty+0x5f/0x80 [ext4]
[{line}.679150]  __ext4_mark_inode_dirty+0x94/0x210 [ext4]
[{line}.679170]  </TASK>
)",
     {{"ext4_do_update_inode.isra.0", "BUG: kernel NULL pointer dereference, address: {address}"},
      {"ext4_writepages", "BUG: kernel NULL pointer dereference, address: {address}"},
      {"ext4_do_update_inode.isra.0", "general protection fault, probably for non-canonical address {address}: 0000 [#1]"}},
     "BUG: unable to handle kernel NULL pointer dereference in ext4_do_update_inode"},
    {"PlainLog", R"(Dec 08 11:00:00 {host} worker[{pid}]: starting job {uuid}
Dec 08 11:00:01 {host} worker[{pid}]: error: {kind} while writing {tmp}/{frame}.db at {time} (attempt {line})
)",
     {{"state", "disk full"}, {"index", "disk full"}, {"state", "permission denied"}},
     "error: disk full while writing <tmp>/state.db at <time> (attempt <n>)"},
};

class ReportFormat : public testing::TestWithParam<Family> {};

TEST_P(ReportFormat, ReportsOfOneBugShareASignature)
{
    const Family& family = GetParam();
    const Signature first = signatureOf(render(family, family.bugs[0], kVariations[0]));
    for (const Variation& variation : kVariations) {
        EXPECT_EQ(signatureOf(render(family, family.bugs[0], variation)).text, first.text) << variation.host;
    }
}

TEST_P(ReportFormat, OtherCrashingFramesAndKindsGetOtherSignatures)
{
    const Family& family = GetParam();
    const Signature first = signatureOf(render(family, family.bugs[0], kVariations[0]));
    for (std::size_t bug = 1; bug < family.bugs.size(); ++bug) {
        EXPECT_NE(signatureOf(render(family, family.bugs[bug], kVariations[0])).id, first.id)
            << family.bugs[bug].frame << " " << family.bugs[bug].kind;
    }
}

TEST_P(ReportFormat, TitleNamesKindAndCrashingFrame)
{
    const Family& family = GetParam();
    EXPECT_EQ(signatureOf(render(family, family.bugs[0], kVariations[0])).title, family.title);
}

INSTANTIATE_TEST_SUITE_P(Families, ReportFormat, testing::ValuesIn(kFamilies),
                         [](const testing::TestParamInfo<Family>& family) { return std::string(family.param.name); });

// Shapes that the formats also come in, by what each one takes care of.
struct Shape {
    const char* name;
    const char* report;
    const char* title;
    friend void PrintTo(const Shape& shape, std::ostream* out) { *out << shape.name; }
};

const Shape kShapes[] = {
    {"GdbFramesAboveTheSignalHandlerAreTheHandlers",
     "Thread 1 \"app\" received signal SIGSEGV, Segmentation fault.\n"
     "#0  0x0000555555555100 in crash_handler (sig=11) at src/crash.c:10\n"
     "#1  <signal handler called>\n"
     "#2  0x0000555555555171 in parse_header (buf=0x0) at src/http.c:120\n",
     "SIGSEGV in parse_header"},
    {"GdbStackOfTheCurrentThread",
     "Program terminated with signal SIGSEGV, Segmentation fault.\n"
     "[Current thread is 1 (Thread 0x7ffff7a01740 (LWP 4242))]\n"
     "Thread 2 (Thread 0x7ffff7a00640 (LWP 4243) \"worker\"):\n"
     "#0  0x00007ffff7c93a41 in pthread_cond_wait () at ./nptl/pthread_cond_wait.c:627\n\n"
     "Thread 1 (Thread 0x7ffff7a01740 (LWP 4242) \"app\"):\n"
     "#0  0x0000555555555171 in parse_header (buf=0x0) at src/http.c:120\n",
     "SIGSEGV in parse_header"},
    {"GdbCxxNameWithoutTemplateArgumentsOrArguments",
     "Program received signal SIGSEGV, Segmentation fault.\n"
     "#0  0x0000555555555171 in std::vector<int, std::allocator<int> >::at (this=0x0, __n=3) at stl_vector.h:1123\n",
     "SIGSEGV in std::vector<>::at"},
    {"LibcStringFunctionWithoutItsCpuVariant",
     "Program received signal SIGSEGV, Segmentation fault.\n"
     "#0  __memmove_avx_unaligned_erms () at ../sysdeps/x86_64/multiarch/memmove-vec-unaligned-erms.S:314\n",
     "SIGSEGV in memmove"},
    {"CoreDumpFrameWithoutSymbolNamesItsModule",
     "        Signal: 11 (SEGV)\nStack trace of thread 4242:\n#0  0x000055d1c0ffee12 n/a (/usr/bin/myapp + 0x1e12)\n",
     "SIGSEGV in myapp"},
    {"RustBeforeVersion1_73", "thread 'main' panicked at 'called `Option::unwrap()` on a `None` value', src/config.rs:30:10\n",
     "panic: called `Option::unwrap()` on a `None` value in src/config.rs"},
    {"ThreadSanitizer",
     "WARNING: ThreadSanitizer: data race (pid=9876)\n  Write of size 4 at 0x7b0400000000 by thread T1:\n"
     "    #0 increment /src/counter.c:8:5 (app+0x4a8b1e)\n",
     "ThreadSanitizer: data race in increment"},
    {"LeakSanitizerWithoutItsAllocator",
     "==1==ERROR: LeakSanitizer: detected memory leaks\n\nDirect leak of 24 byte(s) in 1 object(s) allocated from:\n"
     "    #0 0x7f3a2b4dd8f in malloc (/lib/x86_64-linux-gnu/libasan.so.8+0xdd8f) (BuildId: 1f2e)\n"
     "    #1 0x55d1c0ffee12 in make_buffer /src/buf.c:7:3\n",
     "LeakSanitizer: detected memory leaks in make_buffer"},
    {"KernelBugAtItsFile", "[    1.000000] kernel BUG at fs/ext4/inode.c:1234!\n[    1.000100] RIP: 0010:ext4_write_end+0x2a/0x90\n",
     "kernel BUG in ext4_write_end"},
    {"KernelWarningAtItsFile",
     "WARNING: CPU: 1 PID: 42 at net/core/dev.c:3190 skb_warn_bad_offload+0x6c/0xf0\nCall Trace:\n <TASK>\n"
     " dump_stack_lvl+0x48/0x70\n skb_warn_bad_offload+0x6c/0xf0\n </TASK>\n",
     "WARNING in skb_warn_bad_offload"},
    {"GoFatalErrorPastTheRuntimeStack",
     "fatal error: concurrent map writes\n\ngoroutine 5 [running]:\nruntime.throw({0x4b2e40, 0x15})\n"
     "\t/usr/local/go/src/runtime/panic.go:1047 +0x5d\nmain.(*Cache).store(0xc000012345)\n\t/app/main.go:9 +0x1d\n",
     "fatal error: concurrent map writes in main.(*Cache).store"},
    {"JavaExceptionLoggedWithoutItsThread",
     "2026-12-08 11:00:00 ERROR request failed\njava.lang.NullPointerException: Cannot invoke \"String.length()\"\n"
     "\tat com.example.Parser.parse(Parser.java:42)\n\tat java.base/java.lang.Thread.run(Thread.java:833)\n",
     "java.lang.NullPointerException in com.example.Parser.parse"},
    {"EmptyReport", "", "empty report"},
    {"ErrorAsAWordNotInsideAnother", "unit: \"><img onerror=alert(1)>\nstorage failed: disk full\n",
     "storage failed: disk full"},
};

class ReportShape : public testing::TestWithParam<Shape> {};

TEST_P(ReportShape, TitleNamesKindAndCrashingFrame) { EXPECT_EQ(signatureOf(GetParam().report).title, GetParam().title); }

INSTANTIATE_TEST_SUITE_P(Shapes, ReportShape, testing::ValuesIn(kShapes),
                         [](const testing::TestParamInfo<Shape>& shape) { return std::string(shape.param.name); });

}  // namespace
