#include "CrashLog.h"

#include <array>
#include <cstdio>
#include <random>
#include <string_view>

namespace test_support {

namespace {

struct Function {
    std::string_view name;
    std::string_view file;
    unsigned line;
};

constexpr std::array<Function, 24> kFunctions{{
    {"render::Scene::draw", "render/scene.cpp", 412},
    {"render::Mesh::upload", "render/mesh.cpp", 88},
    {"render::Pipeline::bind", "render/pipeline.cpp", 231},
    {"io::Reader::fill", "io/reader.cpp", 57},
    {"io::Socket::poll", "io/socket.cpp", 301},
    {"net::Session::onMessage", "net/session.cpp", 145},
    {"net::Codec::decode", "net/codec.cpp", 622},
    {"core::Arena::allocate", "core/arena.cpp", 73},
    {"core::Task::run", "core/task.cpp", 39},
    {"core::ThreadPool::worker", "core/thread_pool.cpp", 118},
    {"core::EventLoop::runOnce", "core/event_loop.cpp", 264},
    {"script::Vm::call", "script/vm.cpp", 1180},
    {"script::Vm::execute", "script/vm.cpp", 903},
    {"script::Heap::collect", "script/heap.cpp", 477},
    {"ui::Widget::layout", "ui/widget.cpp", 355},
    {"ui::Window::onResize", "ui/window.cpp", 96},
    {"db::Cache::lookup", "db/cache.cpp", 201},
    {"db::Store::commit", "db/store.cpp", 740},
    {"std::function<void ()>::operator()", "/usr/include/c++/12/bits/std_function.h", 591},
    {"start_thread", "./nptl/pthread_create.c", 442},
    {"clone3", "../sysdeps/unix/sysv/linux/x86_64/clone3.S", 81},
    {"__libc_start_call_main", "../sysdeps/nptl/libc_start_call_main.h", 58},
    {"main", "app/main.cpp", 64},
    {"app::Application::run", "app/application.cpp", 188},
}};

constexpr std::array<std::string_view, 12> kMessages{{
    "frame took longer than budget",
    "cache miss on texture atlas, reloading",
    "connection to peer reset, reconnecting",
    "script heap above soft limit, collecting",
    "retrying commit after lock timeout",
    "decoder saw unexpected message type",
    "worker queue depth above threshold",
    "window resized, relayout scheduled",
    "slow read from disk",
    "session heartbeat missed",
    "allocation from arena failed, growing",
    "event loop stalled",
}};

constexpr std::array<std::string_view, 4> kLevels{{"INFO", "WARN", "ERROR", "DEBUG"}};

class CrashLogWriter {
public:
    CrashLogWriter(std::size_t size, unsigned seed) : random_(seed) { text_.reserve(size + 512); }

    void writeHeader()
    {
        append("*** crash report ***\nprocess: render-worker (pid %u)\n", pick(30000) + 1000);
        append("signal 11 (SIGSEGV), code 1 (SEGV_MAPERR), fault address 0x%016llx\n",
               static_cast<unsigned long long>(pick(4096)));
        append("build: 4.12.7 (a1b2c3d) 2026-12-01T08:00:00Z\n\nregisters:\n");
        static constexpr std::array<std::string_view, 16> kRegisters{
            {"rax", "rbx", "rcx", "rdx", "rsi", "rdi", "rbp", "rsp", "r8", "r9", "r10", "r11", "r12", "r13", "r14", "r15"}};
        for (const auto name : kRegisters) {
            append("  %-3.*s 0x%016llx\n", static_cast<int>(name.size()), name.data(), address(pick(1U << 30)));
        }
        text_ += '\n';
    }

    void writeThread(unsigned thread)
    {
        append("thread %u (LWP %u) \"worker-%u\":\n", thread, 4242 + thread, thread % 8);
        const unsigned depth = 6 + pick(10);
        for (unsigned frame = 0; frame < depth; ++frame) {
            // Every stack ends in the thread's start, as real ones do.
            const unsigned fromBottom = depth - frame - 1;
            const unsigned index = fromBottom < 2 ? 20 - fromBottom : pick(19);
            const Function& function = kFunctions[index];
            append("  #%-2u 0x%016llx in %.*s (%.*s:%u)\n", frame, address(index * 0x1a40U + 0x37U),
                   static_cast<int>(function.name.size()), function.name.data(),
                   static_cast<int>(function.file.size()), function.file.data(), function.line);
        }
    }

    void writeLogLines()
    {
        for (unsigned count = pick(4); count > 0; --count) {
            clock_ += pick(900);
            const auto message = kMessages[pick(kMessages.size())];
            const auto level = kLevels[pick(kLevels.size())];
            append("2026-12-08T11:%02u:%02u.%03uZ %-5.*s worker-%u: %.*s\n", clock_ / 60000 % 60,
                   clock_ / 1000 % 60, clock_ % 1000, static_cast<int>(level.size()), level.data(), pick(8),
                   static_cast<int>(message.size()), message.data());
        }
    }

    std::size_t size() const { return text_.size(); }
    std::string take(std::size_t size)
    {
        text_.resize(size, '\n');
        return std::move(text_);
    }

private:
    unsigned pick(std::size_t bound) { return static_cast<unsigned>(random_() % bound); }
    static unsigned long long address(unsigned offset) { return 0x00005581c3a00000ULL + offset; }

    template <typename... Args>
    void append(const char* format, Args... args)
    {
        char line[256];
        const int length = std::snprintf(line, sizeof line, format, args...);
        text_.append(line, static_cast<std::size_t>(length));
    }

    std::mt19937 random_;
    std::string text_;
    unsigned clock_ = 0;
};

}  // namespace

std::string makeCrashLog(std::size_t size, unsigned seed)
{
    CrashLogWriter writer(size, seed);
    writer.writeHeader();
    for (unsigned thread = 1; writer.size() < size; ++thread) {
        writer.writeLogLines();
        writer.writeThread(thread);
    }
    return writer.take(size);
}

}  // namespace test_support
