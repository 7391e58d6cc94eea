// Prints how long the runtime's basic operations take: a Synchronize round trip from a
// worker to the main thread's loop, creating and finishing a thread, Format, and reading and
// writing a stored form.

#include "runtime/Streaming.h"
#include "runtime/Thread.h"
#include "runtime/TypInfo.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

class TBodyThread : public TThread {
public:
    explicit TBodyThread(std::function<void(TBodyThread&)> Body)
        : TThread(true), FBody(std::move(Body)) {}
    ~TBodyThread() override { TerminateAndWait(); }
    bool Sync(const std::function<void()>& Method) { return Synchronize(Method); }

protected:
    void Execute() override { FBody(*this); }

private:
    std::function<void(TBodyThread&)> FBody;
};

void Report(const char* What, std::vector<double> Micros) {
    std::sort(Micros.begin(), Micros.end());
    const auto at = [&](double Q) {
        return Micros[static_cast<std::size_t>(Q * static_cast<double>(Micros.size() - 1))];
    };
    std::printf("%-34s n=%-6zu median %8.2f us   p99 %8.2f us   max %8.2f us\n", What,
                Micros.size(), at(0.5), at(0.99), Micros.back());
}

double MicrosSince(Clock::time_point Start) {
    return std::chrono::duration<double, std::micro>(Clock::now() - Start).count();
}

void BenchSynchronize() {
    constexpr int Rounds = 20000;
    std::vector<double> micros;
    micros.reserve(Rounds);
    TBodyThread worker([&](TBodyThread& Self) {
        for (int i = 0; i < Rounds && !Self.Terminated(); ++i) {
            const auto start = Clock::now();
            Self.Sync([] {});
            micros.push_back(MicrosSince(start));
        }
    });
    worker.Resume();
    while (!worker.Finished()) {
        if (WaitForSynchronize(std::chrono::milliseconds(100))) {
            CheckSynchronize();
        }
    }
    Report("Synchronize round trip", std::move(micros));
}

void BenchThreadLifetime() {
    constexpr int Rounds = 2000;
    std::vector<double> micros;
    micros.reserve(Rounds);
    for (int i = 0; i < Rounds; ++i) {
        const auto start = Clock::now();
        TBodyThread t([](TBodyThread&) {});
        t.SetPriority(tpLower);
        t.Resume();
        t.WaitFor();
        micros.push_back(MicrosSince(start));
    }
    Report("thread create, resume, WaitFor", std::move(micros));
}

void BenchFormat() {
    constexpr int Rounds = 200000;
    std::vector<double> micros;
    micros.reserve(Rounds / 100);
    std::size_t total = 0;
    for (int i = 0; i < Rounds / 100; ++i) {
        const auto start = Clock::now();
        for (int j = 0; j < 100; ++j) {
            total +=
                Format("Error opening port %s (%d), %s", {"COM4", j, "Access is denied."}).size();
        }
        micros.push_back(MicrosSince(start) / 100);
    }
    Report("Format, 3 placeholders", std::move(micros));
    std::printf("  (%zu characters formatted)\n", total);
}

class TBenchComponent : public TComponent {
public:
    using TComponent::TComponent;
    const char* ClassName() const override { return "TBenchComponent"; }
    const TClassInfo& ClassInfo() const override {
        static const std::array<std::string_view, 3> Names = {"kA", "kB", "kC"};
        static const TClassInfo Info =
            TPropertyList<TBenchComponent>("TBenchComponent", &TComponent::ClassInfo())
                .Integer("Left", &TBenchComponent::Left, &TBenchComponent::SetLeft, 0)
                .Enum<int>("Kind", &TBenchComponent::Kind, &TBenchComponent::SetKind, Names, 0)
                .String("Caption", &TBenchComponent::Caption, &TBenchComponent::SetCaption)
                .Strings("Items", &TBenchComponent::Items, &TBenchComponent::SetItems)
                .Build();
        return Info;
    }
    [[nodiscard]] int Left() const { return FLeft; }
    void SetLeft(int Value) { FLeft = Value; }
    [[nodiscard]] int Kind() const { return FKind; }
    void SetKind(int Value) { FKind = Value; }
    [[nodiscard]] const std::string& Caption() const { return FCaption; }
    void SetCaption(const std::string& Value) { FCaption = Value; }
    [[nodiscard]] const std::vector<std::string>& Items() const { return FItems; }
    void SetItems(const std::vector<std::string>& Value) { FItems = Value; }

private:
    int FLeft = 0;
    int FKind = 0;
    std::string FCaption;
    std::vector<std::string> FItems;
};

void BenchStoredForm() {
    RegisterComponentClass<TBenchComponent>("TBenchComponent");
    TBenchComponent source(nullptr);
    source.SetName("form");
    for (int i = 0; i < 30; ++i) {
        auto* child = new TBenchComponent(&source);
        child->SetName("child" + std::to_string(i));
        child->SetLeft(i * 8);
        child->SetKind(i % 3);
        child->SetCaption("Caption 'quoted'\r\n" + std::to_string(i));
        child->SetItems({"COM 1", "COM 2", "COM 3", "COM 4"});
    }
    const std::string text = WriteComponent(source);
    constexpr int Rounds = 500;
    std::vector<double> reads;
    std::vector<double> writes;
    for (int i = 0; i < Rounds; ++i) {
        TBenchComponent target(nullptr);
        auto start = Clock::now();
        ReadComponent(text, target);
        reads.push_back(MicrosSince(start));
        start = Clock::now();
        (void)WriteComponent(target);
        writes.push_back(MicrosSince(start));
    }
    std::printf("stored form of 31 components: %zu bytes\n", text.size());
    Report("ReadComponent", std::move(reads));
    Report("WriteComponent", std::move(writes));
}

} // namespace

int main() {
    BenchSynchronize();
    BenchThreadLifetime();
    BenchFormat();
    BenchStoredForm();
    return 0;
}
