// Single failing platform calls that once cost a port, a file or the server's service.
#include <gtest/gtest.h>

#include "server_fixture.h"

namespace ecub {
namespace {

using test::At;
using test::HostMsg;

class FailingCalls : public test::ServerFixture {};

TEST_F(FailingCalls, AScanWhoseCloseFailsOnceStillReleasesThePort) {
  EcuSim& unit = UnitOn(5);
  Start();
  Ask(HostMsg(10, unit.ExpectedIdentity()));
  // The close after the scan, and the close of a port whose set-up failed.
  for (const char* set_up_failure : {"", "GetCommState"}) {
    if (*set_up_failure) p.FailCall(set_up_failure, 0, 1);
    p.FailCall("CloseHandle", 0, 1);
    Ask(HostMsg(13, std::string(1, '\0')));
    EXPECT_TRUE(p.open_serial.empty()) << set_up_failure;
    EXPECT_EQ(At(Ask(HostMsg(3, std::string(1, '\x05'))), 3), 1) << set_up_failure;
    Ask(HostMsg(2));
  }
}

}  // namespace
}  // namespace ecub
