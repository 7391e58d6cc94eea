// Figures of the program against the simulated phone answering at once:
//   - the window's read run (seven exchanges; the window waits for each reply in the toolkit,
//     at most 100 ms a round, and wakes when it arrives),
//   - the window's start-up time to its first paint and the process's peak memory,
//   - kivo-read's whole process time.
// Usage: kivo_app_bench [runs]   (the window runs on Qt's offscreen platform)

#include "app/Start.h"
#include "tools/PhoneSim.h"
#include "ui/Forms.h"

#include <QApplication>
#include <QEvent>
#include <QWidget>
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ; // NOLINT: handed to the children

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point Start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - Start).count();
}

// Notices the first paint of a widget.
class TPaintWatch : public QObject {
public:
    bool Painted = false;

protected:
    bool eventFilter(QObject* Watched, QEvent* Event) override {
        if (Event->type() == QEvent::Paint) {
            Painted = true;
        }
        return QObject::eventFilter(Watched, Event);
    }
};

// The child: shows the window, reports "painted", then times Runs read runs.
int RunWindow(int Runs) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0); // NOLINT(concurrency-mt-unsafe)
    TApplication App;
    App.SetTitle("Kivo");
    TfrmStart Form(nullptr);
    Form.Show();
    TPaintWatch Watch;
    for (QWidget* W : QApplication::topLevelWidgets()) {
        W->installEventFilter(&Watch);
        W->update();
    }
    const auto Deadline = Clock::now() + std::chrono::seconds(10);
    while (!Watch.Painted && Clock::now() < Deadline) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    }
    std::cout << "painted" << std::endl;
    for (int I = 0; I < Runs; ++I) {
        const auto Start = Clock::now();
        Form.btnRead->Click();
        std::cout << "run " << MsSince(Start) << " " << Form.edCGSN->Text() << std::endl;
    }
    return 0;
}

struct TChild {
    pid_t Pid = -1;
    FILE* Out = nullptr;
};

TChild Spawn(const std::vector<std::string>& Args) {
    std::array<int, 2> Pipe{};
    if (::pipe(Pipe.data()) != 0) {
        std::perror("pipe");
        std::exit(1); // NOLINT(concurrency-mt-unsafe)
    }
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_adddup2(&Actions, Pipe[1], 1);
    posix_spawn_file_actions_addclose(&Actions, Pipe[0]);
    std::vector<std::string> Copy = Args;
    std::vector<char*> Argv;
    Argv.reserve(Copy.size() + 1);
    for (auto& A : Copy) {
        Argv.push_back(A.data());
    }
    Argv.push_back(nullptr);
    TChild Child;
    if (posix_spawn(&Child.Pid, Argv[0], &Actions, nullptr, Argv.data(), environ) != 0) {
        std::perror(Argv[0]);
        std::exit(1); // NOLINT(concurrency-mt-unsafe)
    }
    posix_spawn_file_actions_destroy(&Actions);
    ::close(Pipe[1]);
    Child.Out = ::fdopen(Pipe[0], "r");
    return Child;
}

std::string ReadLine(FILE* In) {
    std::string Line;
    int C = 0;
    while ((C = std::fgetc(In)) != EOF && C != '\n') {
        Line += static_cast<char>(C);
    }
    return Line;
}

// Ends the child and returns its peak resident memory in KiB.
long Finish(TChild& Child) {
    std::fclose(Child.Out);
    int Status = 0;
    rusage Usage{};
    ::wait4(Child.Pid, &Status, 0, &Usage);
    return Usage.ru_maxrss;
}

void Report(const char* What, std::vector<double> Ms) {
    std::sort(Ms.begin(), Ms.end());
    std::printf("%-34s min %8.2f ms  median %8.2f ms  max %8.2f ms  (%zu runs)\n", What, Ms.front(),
                Ms[Ms.size() / 2], Ms.back(), Ms.size());
}

void MeasureWindow(const std::string& Self, int Runs) {
    std::vector<double> Startups;
    std::vector<double> ReadRuns;
    long PeakKiB = 0;
    for (int I = 0; I < Runs; ++I) {
        const auto Start = Clock::now();
        TChild Child = Spawn({Self, "--window", "3"});
        if (ReadLine(Child.Out) != "painted") {
            std::cerr << "window bench: no paint\n";
            std::exit(1); // NOLINT(concurrency-mt-unsafe)
        }
        Startups.push_back(MsSince(Start));
        for (int R = 0; R < 3; ++R) {
            const std::string Line = ReadLine(Child.Out);
            ReadRuns.push_back(std::stod(Line.substr(4)));
        }
        PeakKiB = std::max(PeakKiB, Finish(Child));
    }
    Report("window: start-up to first paint", Startups);
    Report("window: read run (7 commands)", ReadRuns);
    std::printf("%-34s %ld KiB\n", "window: peak resident memory", PeakKiB);
}

void MeasureReader(const std::string& ReadPath, int Runs) {
    std::vector<double> Times;
    for (int I = 0; I < Runs; ++I) {
        const auto Start = Clock::now();
        TChild Child = Spawn({ReadPath, "--port", "COM4"});
        const std::string First = ReadLine(Child.Out);
        Finish(Child);
        Times.push_back(MsSince(Start));
        if (First.find("Kestrel") == std::string::npos) {
            std::cerr << "kivo-read bench: unexpected output " << First << '\n';
            std::exit(1); // NOLINT(concurrency-mt-unsafe)
        }
    }
    Report("kivo-read: whole process", Times);
}

} // namespace

int main(int Argc, char** Argv) {
    if (Argc >= 3 && std::string(Argv[1]) == "--window") {
        return RunWindow(std::atoi(Argv[2])); // NOLINT(concurrency-mt-unsafe)
    }
    const int Runs =
        Argc >= 2 ? std::max(1, std::atoi(Argv[1])) : 5; // NOLINT(concurrency-mt-unsafe)
    TPhoneSim Phone;
    ::setenv("KIVO_COM4", Phone.DevicePath().c_str(), 1); // NOLINT(concurrency-mt-unsafe)
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);          // NOLINT(concurrency-mt-unsafe)
    std::printf("simulated phone on %s, answering at once\n", Phone.DevicePath().c_str());
    MeasureWindow("/proc/self/exe", Runs);
    MeasureReader(KIVO_READ_PATH, Runs * 4);
    return 0;
}
