// The trace file on POSIX systems: a named pipe without a reader and a full device.

#include "app/ExchangeTrace.h"

#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The window opens its KIVO_TRACE file before it shows and reports a failed trace once.
TEST(TraceFile, NeverWaitsForAReaderAndReportsAFailureOnce) {
    const std::string Fifo = ::testing::TempDir() + "kivo-trace-fifo";
    ::unlink(Fifo.c_str());
    ASSERT_EQ(::mkfifo(Fifo.c_str(), 0600), 0);
    TTraceFile Unread(Fifo); // would block here for a reader
    ::unlink(Fifo.c_str());
    EXPECT_EQ(Unread.Error(),
              "Cannot write the trace to " + Fifo + ": a named pipe that no program reads");
    EXPECT_EQ(Unread.TakeFailure(), Unread.Error());
    EXPECT_EQ(Unread.TakeFailure(), std::nullopt);

    TTraceFile Full("/dev/full");
    EXPECT_EQ(Full.TakeFailure(), std::nullopt) << "nothing failed yet";
    Full.Write("+0.000 /dev/pts/3 > AT+CGMI\\r\\n\n");
    Full.Write("+0.001 /dev/pts/3 < OK\n");
    EXPECT_EQ(Full.TakeFailure(), "Cannot write the trace to /dev/full: No space left on device");
    EXPECT_EQ(Full.TakeFailure(), std::nullopt);
}

} // namespace
