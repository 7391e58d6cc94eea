// The event thread's end on a device that completes a cancelled wait late, as Wine's serial
// driver does: a test hold on the device keeps the wait pending until the test releases it.

#include "platform/posix/WaitHold.h"
#include "tests/serial/CommFixture.h"

namespace {

namespace posix = kivo::posix;

using EventThread = CommTest;

constexpr std::chrono::seconds Bound{10};

// Closing the port stops the event thread twice: once when the component stops its threads,
// again from the thread's destructor. The wait that the thread cancels writes its result into
// the thread's record and mask when it completes, so the thread must not end before then,
// whenever the second stop comes; here it comes inside the cancel.
TEST_F(EventThread, EndsOnlyOnceItsCancelledWaitHasCompletedThoughStoppedAgainMeanwhile) {
    Comm->SetMonitorEvents({}); // the component starts no event thread: the test runs one
    Comm->Open();
    const HANDLE Device = TVaCommAccess::Handle(*Comm);
    ASSERT_NE(SetCommMask(Device, EV_RXCHAR), FALSE);
    std::unique_ptr<TVaCommEventThread> Thread;
    const auto Hold = std::make_shared<posix::WaitHold>([&Thread] { Thread->Stop(); });
    ASSERT_TRUE(posix::AttachWaitHold(Device, Hold));
    Thread = std::make_unique<TVaCommEventThread>(Comm.get(), Device);
    Thread->Resume();
    ASSERT_TRUE(Hold->AwaitSleeper(false, Bound)) << "the thread's wait never became pending";

    Thread->Stop();
    EXPECT_TRUE(Hold->AwaitSleeper(true, Bound))
        << "the thread did not wait for its wait to complete";
    EXPECT_FALSE(Thread->Finished());
    EXPECT_TRUE(posix::ReleaseHeldWait(Device));
    Thread.reset(); // ends once the wait has completed
    EXPECT_TRUE(Reports.empty());
}

} // namespace
