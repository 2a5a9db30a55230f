// Host hygiene: what a host application may do around the library without
// losing its own socket library or crashing.
#include "agents/agentkit.h"

#include <chrono>
#include <thread>

namespace {

using agents::Agent;
using agents::Build;

// p2pTerminate (or nlTerminate) gives back only a WSAStartup that p2pInit
// made and has not given back yet; with none outstanding it answers
// SOCKET_ERROR and leaves Winsock alone. A host that holds a reference of its
// own (or another DLL in its process) keeps working sockets throughout.
TEST(WindowsHostHygiene, TerminateReleasesOnlyTheLibrarysOwnWinsockReference) {
    if (!agents::haveWindows()) GTEST_SKIP() << "no Windows build";
    Agent host(Build::Windows, "host");
    ASSERT_TRUE(host.alive());
    EXPECT_EQ(host.req("wsastartup").i("ret"), 0); // the host's own reference
    EXPECT_EQ(host.null("p2pTerminate"), -1) << "a terminate without p2pInit";
    EXPECT_EQ(host.req("hostsocket").i("ret"), 0) << "the host's Winsock was cleaned up";
    EXPECT_EQ(host.call("p2pInit").i("result"), 1);
    EXPECT_EQ(host.null("nlTerminate"), 0);
    EXPECT_EQ(host.null("p2pTerminate"), -1) << "a second terminate after one p2pInit";
    EXPECT_EQ(host.req("hostsocket").i("ret"), 0) << "the host's Winsock was cleaned up";
    // The library starts afresh afterwards.
    EXPECT_EQ(host.call("p2pInit").i("result"), 1);
    EXPECT_EQ(host.call("p2pCreateLobby", {{"user", "gold"}}).i("result"), 1);
    EXPECT_EQ(host.call("p2pSearchClient").i("result"), 1);
    EXPECT_EQ(host.null("p2pTerminate"), 0);
    EXPECT_EQ(host.req("hostsocket").i("ret"), 0);
}

class UnloadHygiene : public ::testing::TestWithParam<Build> {};

// The library's threads wake every 25 ms; a crash ends the process within
// moments, or a little later when the machine is busy.
bool staysAlive(Agent &host, const char *when) {
    for (int i = 0; i < 10; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (!host.req("ping").ok) {
            ADD_FAILURE() << "the host application died " << when;
            return false;
        }
    }
    return true;
}

// A host that unloads the library (FreeLibrary, dlclose) without
// p2pTerminate while a search runs keeps running: the admission thread must
// not run code that has gone, also when a client then arrives.
TEST_P(UnloadHygiene, UnloadWhileASearchRuns) {
    Agent host(GetParam(), "host");
    ASSERT_TRUE(host.alive());
    EXPECT_EQ(host.call("p2pInit").i("result"), 1);
    EXPECT_EQ(host.call("p2pCreateLobby", {{"user", "gold"}}).i("result"), 1);
    EXPECT_EQ(host.call("p2pSearchClient").i("result"), 1);
    ASSERT_TRUE(host.poll("p2pIsSearching", 1));
    EXPECT_TRUE(host.req("unload").ok);
    if (!staysAlive(host, "after unloading the library")) return;
    kit::Peer late = kit::connectLobby(); // the search had not ended
    if (late.ok()) late.send("late" + kit::nul());
    if (!staysAlive(host, "when a client came")) return;
    EXPECT_EQ(host.req("hostsocket").i("ret"), 0);
    EXPECT_EQ(host.quit(), 0) << "the host application did not end cleanly";
}

// The same while a join with "async" runs: its thread goes on after the
// unload (the name arrives, and after its pause the thread hands the
// connection over and ends) without pulling the code from under itself.
TEST_P(UnloadHygiene, UnloadWhileJoining) {
    kit::Listener lobby;
    ASSERT_TRUE(lobby.open("127.0.0.1"));
    Agent host(GetParam(), "host");
    ASSERT_TRUE(host.alive());
    EXPECT_EQ(host.call("p2pInit").i("result"), 1);
    agents::Reply r =
        host.call("p2pConnect", {{"address", "127.0.0.1"}, {"user", "red"}, {"async", 1}});
    EXPECT_EQ(r.i("result"), 1) << r;
    EXPECT_TRUE(host.req("unload").ok);
    kit::Peer joining = lobby.accept();
    EXPECT_EQ(joining.recvQuiet(), "red" + kit::nul());
    if (!staysAlive(host, "after unloading the library while joining")) return;
    EXPECT_EQ(host.quit(), 0) << "the host application did not end cleanly";
}

INSTANTIATE_TEST_SUITE_P(WindowsHostHygiene, UnloadHygiene, ::testing::ValuesIn(agents::builds()),
                         agents::BuildName());

} // namespace
