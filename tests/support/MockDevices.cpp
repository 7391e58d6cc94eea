#include "tests/support/MockDevices.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <memory>
#include <mutex>
#include <string_view>
#include <umockdev.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace kivo::test {

// The requests held back on a node, answered once released. The handler runs on the test
// bed's own thread; a held request is completed there too, from its main context.
struct MockDevices::THold {
    std::mutex Lock;
    std::condition_variable Changed;
    bool Released = false;
    std::vector<std::pair<UMockdevIoctlClient*, GMainContext*>> Held; // referenced
    std::size_t Answering = 0;                                        // released, not answered yet
};

namespace {

void RunIoctl(UMockdevIoctlClient* Client) {
    gint Errno = 0;
    const gint Result = umockdev_ioctl_client_execute(Client, &Errno, nullptr);
    umockdev_ioctl_client_complete(Client, Result, Errno);
}

gboolean PassIoctl(UMockdevIoctlBase* /*Handler*/, UMockdevIoctlClient* Client, gpointer Data) {
    auto* Hold = static_cast<MockDevices::THold*>(Data);
    if (Hold != nullptr) {
        const std::lock_guard Guard(Hold->Lock);
        if (!Hold->Released) {
            Hold->Held.emplace_back(UMOCKDEV_IOCTL_CLIENT(g_object_ref(Client)),
                                    g_main_context_ref_thread_default());
            Hold->Changed.notify_all();
            return TRUE; // answered on Release
        }
    }
    RunIoctl(Client);
    return TRUE;
}

struct THeldIoctl {
    UMockdevIoctlClient* Client; // referenced
    MockDevices::THold* Hold;
};

gboolean RunHeldIoctl(gpointer Data) {
    const std::unique_ptr<THeldIoctl> Held(static_cast<THeldIoctl*>(Data));
    RunIoctl(Held->Client);
    g_object_unref(Held->Client);
    const std::lock_guard Guard(Held->Hold->Lock);
    --Held->Hold->Answering;
    Held->Hold->Changed.notify_all();
    return G_SOURCE_REMOVE;
}

void RemoveDanglingLinks(const std::filesystem::path& Directory) {
    std::error_code Error;
    for (const auto& Link : std::filesystem::directory_iterator(Directory, Error)) {
        if (Link.is_symlink(Error) && !std::filesystem::exists(Link.path(), Error)) {
            std::filesystem::remove(Link.path(), Error);
        }
    }
}

// The device nodes (DEVNAME, "ttyACM0", "bus/usb/001/006") of the devices at Directory and
// below.
std::vector<std::string> NodesBelow(const std::filesystem::path& Directory) {
    std::vector<std::string> Nodes;
    std::error_code Error;
    for (auto Entry = std::filesystem::recursive_directory_iterator(Directory, Error);
         !Error && Entry != std::filesystem::recursive_directory_iterator();
         Entry.increment(Error)) {
        if (Entry->path().filename() != "uevent") {
            continue;
        }
        std::ifstream In(Entry->path());
        for (std::string Line; std::getline(In, Line);) {
            if (Line.starts_with("DEVNAME=")) {
                Nodes.push_back(Line.substr(std::string_view("DEVNAME=").size()));
            }
        }
    }
    return Nodes;
}

} // namespace

MockDevices::MockDevices() : FTestbed(umockdev_testbed_new()) {
    EXPECT_TRUE(umockdev_in_mock_environment()) << "run this test under umockdev-wrapper";
}

// A request still held is answered before the test bed goes (its program may have ended).
MockDevices::~MockDevices() {
    for (const auto& Entry : FHolds) {
        Release(Entry.first);
        THold& Hold = *Entry.second;
        std::unique_lock Guard(Hold.Lock);
        EXPECT_TRUE(Hold.Changed.wait_for(Guard, std::chrono::seconds(10), [&Hold] {
            return Hold.Answering == 0;
        })) << Entry.first;
    }
    g_object_unref(FTestbed);
}

void MockDevices::Add(const std::string& File) {
    const std::string Path = std::string(KIVO_UMOCKDEV_DATA) + "/" + File;
    GError* Error = nullptr;
    if (umockdev_testbed_add_from_file(FTestbed, Path.c_str(), &Error) == FALSE) {
        ADD_FAILURE() << "cannot load " << File << ": "
                      << (Error != nullptr ? Error->message : "unknown error");
        g_clear_error(&Error);
    }
}

void MockDevices::Plug(const std::string& File, const std::string& DevNode,
                       const std::string& Target) {
    std::ifstream In(std::string(KIVO_UMOCKDEV_DATA) + "/" + File);
    const std::string Text{std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>()};
    ASSERT_FALSE(Text.empty()) << File;
    // Each device's record is followed by its parents'; umockdev makes the node of an "N:"
    // line itself, so the plugged node's is left out.
    const std::string OwnNode = "N: " + DevNode.substr(std::string_view("/dev/").size()) + "\n";
    std::vector<std::string> Records;
    for (std::size_t Start = 0; Start < Text.size();) {
        std::size_t End = Text.find("\n\n", Start);
        End = End == std::string::npos ? Text.size() : End + 2;
        std::string Record = Text.substr(Start, End - Start);
        if (const std::size_t At = Record.find(OwnNode); At != std::string::npos) {
            Record.erase(At, OwnNode.size());
        }
        Records.push_back(std::move(Record));
        Start = End;
    }
    gchar* RootDir = umockdev_testbed_get_root_dir(FTestbed);
    const std::string Dev = std::string(RootDir) + "/dev";
    g_free(RootDir);
    ASSERT_EQ(g_mkdir_with_parents(Dev.c_str(), 0755), 0) << Dev;
    GError* Error = nullptr;
    // A handler left from an earlier plug goes first; none there is no fault.
    if (umockdev_testbed_detach_ioctl(FTestbed, DevNode.c_str(), &Error) == FALSE) {
        g_clear_error(&Error);
    }
    AttachWith(DevNode, Target, nullptr);
    for (auto Record = Records.rbegin(); Record != Records.rend(); ++Record) {
        if (umockdev_testbed_add_from_string(FTestbed, Record->c_str(), &Error) == FALSE) {
            ADD_FAILURE() << "cannot load " << File << ": "
                          << (Error != nullptr ? Error->message : "unknown error");
            g_clear_error(&Error);
        }
    }
}

void MockDevices::Remove(const std::string& SysPath, const std::string& TtySysPath) {
    gchar* RootDir = umockdev_testbed_get_root_dir(FTestbed);
    const std::filesystem::path Root = RootDir;
    g_free(RootDir);
    const std::vector<std::string> Nodes = NodesBelow(Root / SysPath.substr(1));
    // umockdev removes without an event, and can send one only while the device exists. The
    // kernel's event comes once the device is gone: a program that lists the ports when told
    // must not find it, so its tty's class link goes first.
    std::error_code Error;
    std::filesystem::remove(Root / "sys/class/tty" / std::filesystem::path(TtySysPath).filename(),
                            Error);
    umockdev_testbed_uevent(FTestbed, TtySysPath.c_str(), "remove");
    umockdev_testbed_remove_device(FTestbed, SysPath.c_str());
    // It leaves the device's nodes, their numbers, and its links in /sys, which would keep
    // the same device from being added again: they go here.
    for (const std::string& Node : Nodes) {
        std::filesystem::remove(Root / "dev" / Node, Error);
        std::string Info = Node;
        std::replace(Info.begin(), Info.end(), '/', '_');
        std::filesystem::remove(Root / "dev" / ".node" / Info, Error);
    }
    for (const char* Links : {"sys/class", "sys/bus", "sys/dev"}) {
        for (const auto& Group : std::filesystem::directory_iterator(Root / Links, Error)) {
            RemoveDanglingLinks(Group.path());
            RemoveDanglingLinks(Group.path() / "devices");
        }
    }
}

void MockDevices::Attach(const std::string& DevNode, const std::string& Target) {
    AttachWith(DevNode, Target, nullptr);
}

void MockDevices::AttachHeld(const std::string& DevNode, const std::string& Target) {
    auto& Hold = FHolds[DevNode];
    Hold = std::make_unique<THold>();
    AttachWith(DevNode, Target, Hold.get());
}

bool MockDevices::WaitUntilHeld(const std::string& DevNode, std::chrono::milliseconds Timeout) {
    THold& Hold = *FHolds.at(DevNode);
    std::unique_lock Guard(Hold.Lock);
    return Hold.Changed.wait_for(Guard, Timeout, [&Hold] { return !Hold.Held.empty(); });
}

void MockDevices::Release(const std::string& DevNode) {
    THold& Hold = *FHolds.at(DevNode);
    std::vector<std::pair<UMockdevIoctlClient*, GMainContext*>> Held;
    {
        const std::lock_guard Guard(Hold.Lock);
        Hold.Released = true;
        Held.swap(Hold.Held);
        Hold.Answering += Held.size();
    }
    // Outside the lock: a context nobody runs has the request answered here and now.
    for (const auto& [Client, Context] : Held) {
        g_main_context_invoke(Context, RunHeldIoctl, new THeldIoctl{Client, &Hold});
        g_main_context_unref(Context);
    }
}

void MockDevices::AttachWith(const std::string& DevNode, const std::string& Target, THold* Hold) {
    gchar* RootDir = umockdev_testbed_get_root_dir(FTestbed);
    const std::string Node = RootDir + DevNode;
    g_free(RootDir);
    // Under the test bed's own name, which the preload library leaves alone; a node not made
    // yet (Plug) is made here.
    if (unlink(Node.c_str()) != 0) {
        EXPECT_EQ(errno, ENOENT) << Node;
    }
    EXPECT_EQ(symlink(Target.c_str(), Node.c_str()), 0) << Node;
    // The test bed's own handler answers most tty ioctls with ENOTTY; this one has the
    // program run each on the terminal it opened.
    UMockdevIoctlBase* Handler = umockdev_ioctl_base_new();
    g_signal_connect(Handler, "handle-ioctl", G_CALLBACK(PassIoctl), Hold);
    GError* Error = nullptr;
    if (umockdev_testbed_attach_ioctl(FTestbed, DevNode.c_str(), Handler, &Error) == FALSE) {
        ADD_FAILURE() << "cannot handle the ioctls of " << DevNode << ": "
                      << (Error != nullptr ? Error->message : "unknown error");
        g_clear_error(&Error);
    }
    g_object_unref(Handler);
}

} // namespace kivo::test
