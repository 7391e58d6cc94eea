#include "tests/support/MockDevices.h"

#include <gtest/gtest.h>
#include <umockdev.h>
#include <unistd.h>

namespace kivo::test {
namespace {

gboolean PassIoctl(UMockdevIoctlBase* /*Handler*/, UMockdevIoctlClient* Client, gpointer /*Data*/) {
    gint Errno = 0;
    const gint Result = umockdev_ioctl_client_execute(Client, &Errno, nullptr);
    umockdev_ioctl_client_complete(Client, Result, Errno);
    return TRUE;
}

} // namespace

MockDevices::MockDevices() : FTestbed(umockdev_testbed_new()) {
    EXPECT_TRUE(umockdev_in_mock_environment()) << "run this test under umockdev-wrapper";
}

MockDevices::~MockDevices() {
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
    g_signal_connect(Handler, "handle-ioctl", G_CALLBACK(PassIoctl), nullptr);
    GError* Error = nullptr;
    if (umockdev_testbed_attach_ioctl(FTestbed, DevNode.c_str(), Handler, &Error) == FALSE) {
        ADD_FAILURE() << "cannot handle the ioctls of " << DevNode << ": "
                      << (Error != nullptr ? Error->message : "unknown error");
        g_clear_error(&Error);
    }
    g_object_unref(Handler);
}

} // namespace kivo::test
