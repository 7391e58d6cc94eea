#include "tests/support/MockDevices.h"

#include <condition_variable>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
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

void MockDevices::Remove(const std::string& SysPath, const std::string& TtySysPath) {
    // umockdev removes without an event, and can send one only while the device exists.
    umockdev_testbed_uevent(FTestbed, TtySysPath.c_str(), "remove");
    umockdev_testbed_remove_device(FTestbed, SysPath.c_str());
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
    const std::string Root = RootDir;
    g_free(RootDir);
    // Under the test bed's own name, which the preload library leaves alone.
    const std::string Node = Root + DevNode;
    EXPECT_EQ(unlink(Node.c_str()), 0) << Node;
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
