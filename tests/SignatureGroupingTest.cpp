// Crash signatures by kind of report: pairs of reports of one bug that
// must share a group, pairs of different bugs that must not, and the title
// each kind is given, in its platform's own words.

#include "SignatureTestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace {

using namespace signature_tests;

struct Pair {
    const char* name;  // the fault that a failure shows
    std::string first;
    std::string second;
    bool sameBug;
    friend void PrintTo(const Pair& pair, std::ostream* out) { *out << pair.name; }
};

// Kernel reports.
constexpr const char* kKasanRelease = R"([  334.2][T12837] ==================================================================
[  334.2][T12837] BUG: KASAN: use-after-free in refcount_inc_checked+0x17/0x70
[  334.2][T12837] Read of size 4 at addr ffff88808bb14200 by task prog/12837
[  334.2][T12837] Call Trace:
[  334.2][T12837]  dump_stack+0x172/0x1f0
[  334.2][T12837]  print_address_description.cold+0x7c/0x20d
[  334.2][T12837]  kasan_report.cold+0x1b/0x40
[  334.2][T12837]  ? widget_release+0x1/0x3c0
[  334.2][T12837]  refcount_inc_checked+0x17/0x70
[  334.2][T12837]  widget_release+0x62/0x3c0
[  334.2][T12837]  __fput+0x2e5/0x8d0
)";
// The same bug on an older kernel: "[<address>] function" frames, other callers.
constexpr const char* kKasanReleaseOldStyle = R"([   70.3] BUG: KASAN: use-after-free in refcount_inc_checked+0x17/0x70 at addr ffff8801c5b1ddec
[   70.3] Read of size 4 by task prog/3887
[   70.3] Call Trace:
[   70.3]  [<ffffffff81d0402d>] dump_stack+0xc1/0x124
[   70.3]  [<ffffffff81504c9a>] kasan_report+0x25b/0x340
[   70.3]  [<ffffffff81d8a1b0>] refcount_inc_checked+0x17/0x70
[   70.3]  [<ffffffff82a3b2c1>] widget_release+0x99/0x3c0
[   70.3]  [<ffffffff8154a8e7>] task_work_run+0x14a/0x1c0
)";
constexpr const char* kKasanOpen = R"([   12.5] BUG: KASAN: use-after-free in refcount_inc_checked+0x17/0x70
[   12.5] Read of size 4 at addr ffff88808bb14200 by task prog/77
[   12.5] Call Trace:
[   12.5]  dump_stack+0x172/0x1f0
[   12.5]  kasan_report.cold+0x1b/0x40
[   12.5]  refcount_inc_checked+0x17/0x70
[   12.5]  widget_open+0x22/0x100
)";
constexpr const char* kHungFlush = R"([  553.8] INFO: task prog:6761 blocked for more than 140 seconds.
[  553.8]       Not tainted 5.1.0 #1
[  553.8] Call Trace:
[  553.8]  __schedule+0x866/0x1dc0
[  553.8]  schedule+0x92/0x180
[  553.8]  schedule_timeout+0x8ca/0xfd0
[  553.8]  wait_for_completion+0x29c/0x440
[  553.8]  __flush_work+0x4ef/0x8e0
[  553.8]  gadget_close+0x2c/0x40
[  553.8]  gadget_mount+0x99/0x200
)";
constexpr const char* kHungFlushOtherCaller = R"([ 1052.0][   T41] INFO: task prog:9001 blocked for more than 143 seconds.
[ 1052.0][   T41] Call Trace:
[ 1052.0][   T41]  <TASK>
[ 1052.0][   T41]  __schedule+0x1000/0x2000
[ 1052.0][   T41]  schedule+0x92/0x180
[ 1052.0][   T41]  __wait_for_common+0x29c/0x440
[ 1052.0][   T41]  __flush_work+0x4ef/0x8e0
[ 1052.0][   T41]  gadget_close+0x2c/0x40
[ 1052.0][   T41]  gadget_remount+0x10/0x80
[ 1052.0][   T41]  </TASK>
)";
constexpr const char* kStall = R"([  421.6] INFO: rcu_sched self-detected stall on CPU
[  421.6] Call Trace:
[  421.6]  <IRQ>
[  421.6]  dump_stack+0x1a7/0x27d
[  421.6]  rcu_dump_cpu_stacks+0x186/0x1d3
[  421.6]  update_process_times+0x30/0x60
[  421.6]  apic_timer_interrupt+0xa9/0xb0
[  421.6]  </IRQ>
[  421.6] RIP: 0010:hash_walk+0x18/0x50
[  421.6]  hash_walk+0x18/0x50
[  421.6]  frob_packet+0x9a/0x1f0
[  421.6]  __netif_receive_skb_core+0x1a41/0x3460
[  421.6]  process_backlog+0x203/0x740
)";
// Stuck elsewhere in the same handler.
constexpr const char* kStallElsewhere = R"([  268.6] INFO: rcu_preempt detected stalls on CPUs/tasks:
[  268.6] Call Trace:
[  268.6]  <IRQ>
[  268.6]  sched_show_task+0x4a3/0x5e0
[  268.6]  hrtimer_interrupt+0x1c2/0x5e0
[  268.6]  </IRQ>
[  268.6]  kfree+0xcf/0x230
[  268.6]  frob_table_free+0x11/0x40
[  268.6]  frob_packet+0x1f0/0x1f0
[  268.6]  __netif_receive_skb_core+0x1a41/0x3460
)";
constexpr const char* kDeadlock = R"([   25.8] ======================================================
[   25.8] WARNING: possible circular locking dependency detected
[   25.8] prog/3663 is trying to acquire lock:
[   25.8] ffff8881 (&dev->lock){+.+.}, at: gadget_ioctl+0x3a/0x100
[   25.8] but task is already holding lock:
[   25.8] ffff8882 (&ctx->mutex){+.+.}, at: ctx_release+0x10/0x90
[   25.8] Call Trace:
[   25.8]  dump_stack+0x1a7/0x27d
[   25.8]  print_circular_bug.isra.0+0x3e7/0x4b0
[   25.8]  __lock_acquire+0x3c1a/0x48e0
)";
constexpr const char* kWarning = R"([   92.0][   T19] ------------[ cut here ]------------
[   92.0][   T19] WARNING: CPU: 1 PID: 19 at lib/refcount.c:25 refcount_warn_saturate+0x6c/0xf0
[   92.0][   T19] Call Trace:
[   92.0][   T19]  __warn+0xb0/0x164
[   92.0][   T19]  report_bug+0x262/0x2a0
[   92.0][ T3185] usb 8-1: device descriptor read/64, error -71
[   92.0][   T19]  refcount_warn_saturate+0x6c/0xf0
[   92.0][   T19]  gadget_get+0x20/0x40
[   92.0][   T19]  gadget_bind+0x91/0x300
)";

// Language reports before a sanitizer's or fuzzer's report of the abort.
constexpr const char* kGoPanicUnderFuzzer = R"(panic: runtime error: index out of range [7] with length 3

goroutine 17 [running, locked to thread]:
example.com/codec.Decode(...)
	/src/codec/decode.go:42 +0x1d
example.com/codec.Fuzz(0x7ffd, 0x10)
	/src/codec/fuzz.go:9 +0x25
==12==ERROR: libFuzzer: deadly signal
    #0 0x4f7f3e in __sanitizer_print_stack_trace
    #1 0x4a1b2c in fuzzer::PrintStackTrace()
    #2 0x7f3a2b43c050 in runtime.raise /usr/lib/go/src/runtime/sys_linux_amd64.s:165
    #3 0x4f0000 in LLVMFuzzerTestOneInput
)";
constexpr const char* kOtherGoPanicUnderFuzzer = R"(panic: runtime error: invalid memory address or nil pointer dereference

goroutine 17 [running, locked to thread]:
example.com/codec.Encode(...)
	/src/codec/encode.go:12 +0x1d
==99==ERROR: libFuzzer: deadly signal
    #0 0x4f7f3e in __sanitizer_print_stack_trace
    #2 0x7f3a2b43c050 in runtime.raise /usr/lib/go/src/runtime/sys_linux_amd64.s:165
    #3 0x4f0000 in LLVMFuzzerTestOneInput
)";

// One signal under two sanitizers.
constexpr const char* kAsanFpe = R"(==4242==ERROR: AddressSanitizer: FPE on unknown address 0x55d1c0ffee12 (pc 0x55d1c0ffee12 bp 0x7ffd sp 0x7ffd T0)
    #0 0x55d1c0ffee12 in scale_image /src/image.c:88:14
    #1 0x55d1c0ffee99 in load_image /src/image.c:120:3
)";
constexpr const char* kUbsanFpe = R"(==77==ERROR: UndefinedBehaviorSanitizer: FPE on unknown address 0x000000401234 (pc 0x000000401234 bp 0x7ffd sp 0x7ffd T77)
    #0 0x401234 in scale_image /src/image.c:88:14
    #1 0x401299 in load_image /src/image.c:120:3
)";

// Go's race detector.
constexpr const char* kRace = R"(==================
WARNING: DATA RACE
Write at 0x00c4203e8058 by goroutine 27:
  example.com/store.(*Cache).Put()
      /src/store/cache.go:94 +0x13c
  example.com/store.(*Server).handle()
      /src/store/server.go:206 +0x125

Previous read at 0x00c4203e8058 by goroutine 23:
  sync/atomic.LoadInt64()
      /usr/lib/go/src/sync/atomic/doc.go:1 +0x1
  example.com/store.(*Cache).Get()
      /src/store/cache.go:120 +0x4b

Goroutine 27 (running) created at:
  example.com/store.(*Server).Serve()
      /src/store/server.go:95 +0x264
==================
exit status 66
)";
// The same race logged by a CI with a time stamp on each line.
constexpr const char* kRaceStamped = R"([2026-01-25T05:41:21.422Z] WARNING: DATA RACE
[2026-01-25T05:41:21.422Z] Write at 0x00c000123456 by goroutine 9:
[2026-01-25T05:41:21.422Z]   example.com/store.(*Cache).Put()
[2026-01-25T05:41:21.422Z]       /build/store/cache.go:95 +0x13c
[2026-01-25T05:41:21.422Z] Previous read at 0x00c000123456 by goroutine 3:
[2026-01-25T05:41:21.422Z]   example.com/store.(*Cache).Get()
[2026-01-25T05:41:21.422Z]       /build/store/cache.go:121 +0x4b
)";

// A recursion that overflowed the stack, entered at two depths.
std::string stackOverflow(int depth)
{
    std::string report = "==1==ERROR: AddressSanitizer: stack-overflow on address 0x7ffd (pc 0x1 bp 0x2 sp 0x3 T0)\n";
    report += "    #0 0x1 in malloc /src/asan_malloc_linux.cpp:69\n    #1 0x2 in operator new(unsigned long)\n";
    for (int frame = 0; frame < 3 * depth; ++frame) {
        static constexpr std::string_view kCycle[] = {"parse_value", "parse_array", "parse_element"};
        report += "    #" + std::to_string(frame + 2) + " 0x3 in " + std::string(kCycle[(frame + depth) % 3]) + " /src/json.c:1\n";
    }
    return report;
}

// What a crash handler prints, then a shell.
constexpr const char* kHandlerStack = R"(*** fatal signal 11, dumping stack
/opt/app/bin/app : ()+0x1f00 [0x55d1c0ffee12]
/lib/x86_64-linux-gnu/libc.so.6 : ()+0x3c050 [0x7f3a2b43c050]
/usr/lib/libfoo.so.9 : foo_parse(char const*)+0x180 [0x7f3a2b58f95]
/usr/lib/libfoo.so.9 : foo_load+0x12 [0x7f3a2b58f00]
Segmentation fault (core dumped)
)";
constexpr const char* kOtherHandlerStack = R"(*** fatal signal 11, dumping stack
/opt/app/bin/app : ()+0x1f00 [0x55d1c0ffaa00]
/lib/x86_64-linux-gnu/libc.so.6 : ()+0x3c050 [0x7f3a2b43c050]
/usr/lib/libbar.so.2 : ()+0x180f95 [0x7f3a2b58f95]
Segmentation fault (core dumped)
)";

// Check failures without a stack.
constexpr const char* kAssertX86 = "asmtool: decode.c:812: decode_op32: Assertion `*cursor == end' failed.\nAborted (core dumped)\n";
constexpr const char* kAssertI386 = "asmtool: decode.c:812: decode_op16: Assertion `*cursor == end' failed.\nAborted\n";
constexpr const char* kCheckLength = "[1:1:0417/224500.881615:FATAL:span_reader.cc(207)] Check failed: offset <= size (12 vs. 9)\n";
constexpr const char* kCheckLengthAgain = "[9:9:0101/000000.000001:FATAL:span_reader.cc(207)] Check failed: offset <= size (3 vs. 1)\n";
constexpr const char* kCheckOwner = "[0115/090948.959721:FATAL:mutex.cc(41)] Check failed: owner_ == kNoThread.\n";

const Pair kPairs[] = {
    {"KernelReportingMachineryAndRefcountHelpersAreNotTheFunction", kKasanRelease, kKasanReleaseOldStyle, true},
    {"KernelReportsOfOtherFunctionsSplit", kKasanRelease, kKasanOpen, false},
    {"KernelHungTaskIsNamedPastItsWaitsWhateverItsCallers", kHungFlush, kHungFlushOtherCaller, true},
    {"KernelStallIsNamedByTheDispatchedHandler", kStall, kStallElsewhere, true},
    {"KernelDeadlockIsNotAStall", kDeadlock, kStall, false},
    {"KernelWarningIsNotADeadlock", kWarning, kDeadlock, false},
    {"GoPanicBeforeAFuzzersAbortIsTheBug", kGoPanicUnderFuzzer, kOtherGoPanicUnderFuzzer, false},
    {"OneSignalUnderTwoSanitizersIsOneKind", kAsanFpe, kUbsanFpe, true},
    {"GoRaceLoggedWithTimeStampsIsTheSameRace", kRace, kRaceStamped, true},
    {"StackOverflowEnteredAtAnotherDepthIsTheSameRecursion", stackOverflow(40), stackOverflow(41), true},
    {"CrashHandlersStacksOfOtherLibrariesSplit", kHandlerStack, kOtherHandlerStack, false},
    {"AssertionInAFunctionCompiledTwiceIsOneBug", kAssertX86, kAssertI386, true},
    {"CheckFailureValuesDoNotSplit", kCheckLength, kCheckLengthAgain, true},
    {"OtherCheckFailuresSplit", kCheckLength, kCheckOwner, false},
};

class ReportPair : public testing::TestWithParam<Pair> {};

TEST_P(ReportPair, GroupsAsItsBug)
{
    const auto first = signatureOf(GetParam().first);
    const auto second = signatureOf(GetParam().second);
    EXPECT_EQ(first.id == second.id, GetParam().sameBug) << first.text << "\n" << second.text;
}

INSTANTIATE_TEST_SUITE_P(Kinds, ReportPair, testing::ValuesIn(kPairs),
                         [](const testing::TestParamInfo<Pair>& pair) { return std::string(pair.param.name); });

struct Titled {
    const char* name;
    std::string report;
    const char* title;
    friend void PrintTo(const Titled& titled, std::ostream* out) { *out << titled.name; }
};

constexpr const char* kPythonChainWithLogLine = R"(Traceback (most recent call last):
  File "/srv/app/config.py", line 12, in load_config
    value = settings['CONFIG_KEY']
KeyError: 'CONFIG_KEY'

During handling of the above exception, another exception occurred:

Traceback (most recent call last):
  File "/usr/lib/python3.11/logging/__init__.py", line 1110, in emit
    msg = self.format(record)
TypeError: not all arguments converted during string formatting
INFO: shutting down
)";

const Titled kTitles[] = {
    {"KasanNamesTypeAccessAndFunction", kKasanRelease, "KASAN: use-after-free Read in widget_release"},
    {"HungTaskNamesTheWaitingFunction", kHungFlush, "INFO: task hung in gadget_close"},
    {"StallNamesTheDispatchedHandler", kStall, "INFO: rcu detected stall in frob_packet"},
    {"DeadlockNamesTheAcquiringFunction", kDeadlock, "possible deadlock in gadget_ioctl"},
    {"WarningSkipsRefcountHelpersAndOtherTasksLines", kWarning, "WARNING in gadget_get"},
    {"GoPanicBeforeAFuzzersAbort", kGoPanicUnderFuzzer, "panic: runtime error: index out of range in codec.Decode"},
    {"SanitizerSignal", kAsanFpe, "SIGFPE in scale_image"},
    {"GoRaceNamesTheRacingMethod", kRace, "data race in store.(*Cache).Put"},
    {"StackOverflowSkipsAllocationFrames", stackOverflow(2), "stack-overflow in parse_array"},
    {"CrashHandlerStackPastTheHandler", kHandlerStack, "SIGSEGV in foo_parse"},
    {"AssertionNamesConditionAndFile", kAssertX86, "Assertion failed: *cursor == end in decode.c"},
    {"CheckFailureWithoutItsValues", kCheckLength, "Check failed: offset <= size in span_reader.cc"},
    {"PythonChainIsTitledByItsFirstException", kPythonChainWithLogLine, "KeyError in load_config"},
};

class ReportTitle : public testing::TestWithParam<Titled> {};

TEST_P(ReportTitle, IsThePlatformsOwn) { EXPECT_EQ(signatureOf(GetParam().report).title, GetParam().title); }

INSTANTIATE_TEST_SUITE_P(Kinds, ReportTitle, testing::ValuesIn(kTitles),
                         [](const testing::TestParamInfo<Titled>& titled) { return std::string(titled.param.name); });

}  // namespace
