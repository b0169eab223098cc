#pragma once

// Private to signature/.

// The lines of the kernel's stacks, in the shapes that its architectures
// and versions print them.

#include <string>
#include <string_view>

namespace triage {

struct KernelLine {
    enum Type {
        Frame,       // " f+0x12/0x40 [mod]", "[<ffffffff81234567>] f+0x12/0x40", " f lib/x.c:12 [inline]", "RIP: 0010:f+0x12/0x40"
        Unreliable,  // " ? f+0x12/0x40": a guess of the unwinder's
        Context,     // "Call Trace:", "<IRQ>", a register's line: part of a stack, but no frame
        End,         // "</TASK>", "---[ end trace ...": a stack's end
        Other,       // any other line
    };
    Type type = Other;
    std::string_view function;  // of a frame, as the line has it: "f+0x12/0x40"
    bool registers = false;     // a faulting frame's register line, "RIP: 0010:f+0x12/0x40"
    bool traceStart = false;    // "Call Trace:"
};

KernelLine readKernelLine(std::string_view line);

// Whether the line starts with the kernel's time stamp, "[   12.345678]".
bool hasKernelStamp(std::string_view line);

// The task or CPU that the kernel's stamp names after the time: "T107" for
// "[  274.845466][  T107] ...", "C0" for "[...][    C0]"; empty where none.
std::string_view kernelCaller(std::string_view line);

// The line after any addresses that start it: "[<ffffffff81234567>] ",
// powerpc's "[c000000001bb3780] [c00000000138678c] ".
std::string_view withoutAddresses(std::string_view text);

// The function of a frame that starts `text`: "f+0x12/0x40" for
// "f+0x12/0x40 [mod]", "<T as Trait>::f+0x8/0x10" kept whole; empty where
// `text` starts with none.
std::string_view kernelFrameFunction(std::string_view text);

// A kernel function's name as every build prints it (see normaliseFunction),
// a system call by its own name: "sys_read" for "__x64_sys_read", "__se_sys_read",
// "__do_sys_read" and "SyS_read".
std::string normaliseKernelFunction(std::string_view function);

}  // namespace triage
