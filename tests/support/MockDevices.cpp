#include "tests/support/MockDevices.h"

#include <gtest/gtest.h>
#include <umockdev.h>

namespace kivo::test {

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

} // namespace kivo::test
