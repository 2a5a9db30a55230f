// p2pSend and p2pBuffer in both roles, checked by the bytes a raw peer receives.
#include "support/testkit.h"

using kit::bytes;
using kit::Msg;
using kit::nul;
using Msgs = std::vector<Msg>;

using kit::room;
using kit::send;

namespace {

using SendingTest = kit::LibTest;

// An empty text, no text at all and no dictionary send nothing.
void sendNothing() {
    kit::Map m;
    send(5, 255, "");
    p2pSend(m.set("id", 5).set("rcv", 255));
    p2pSend(nullptr);
}

kit::Peer connectTo(kit::Listener &lobby) {
    kit::Map m;
    p2pConnect(m.set("address", "127.0.0.1").set("user", "me"));
    EXPECT_EQ(m.i("result"), 1);
    kit::Peer host = lobby.accept();
    EXPECT_EQ(host.recv(3), "me" + nul());
    return host;
}

// Reads until `want.size()` bytes came (or time is up) while the library pumps.
std::string collect(kit::Peer &p, const std::string &want) {
    std::string got = p.pumpRecv(want.size()); // first, then anything after it
    return kit::hex(got + p.recvQuiet(100));
}

std::string notice(int member, int kind, const std::string &name) {
    return kit::frame({member, kind, 0xFF}, name);
}

TEST_F(SendingTest, ClientQueuesDataFramesUntilItOverflows) {
    EXPECT_EQ(room(), 0); // idle
    kit::Listener lobby;
    ASSERT_TRUE(lobby.open("127.0.0.1"));
    kit::Peer host = connectTo(lobby);
    send(5, 255, "hi");
    EXPECT_EQ(room(), LobbyQueueBytes - 5);
    sendNothing();
    send(256 + 5, -1, "hi"); // only the low bytes count
    EXPECT_EQ(room(), LobbyQueueBytes - 10);
    // The text is the list's first `count` characters; one with a 0 among
    // them cannot be framed whole and is not sent.
    kit::Map longer, zero;
    p2pSend(longer.setOverlong("msg", "hiXYZ", 2).set("id", 5).set("rcv", 255));
    p2pSend(zero.set("msg", std::string("hi\0zz", 5)).set("id", 5).set("rcv", 255));
    EXPECT_EQ(room(), LobbyQueueBytes - 15);
    // A 0 in the header would end the frame: message id 0 (also as 256) and
    // receiver 0 are not sent.
    send(0, 255, "x");
    send(256, 255, "x");
    send(5, 0, "x");
    for (int notice : {MsgError, MsgJoin, MsgLeave}) send(notice, 255, "x"); // the library's own
    EXPECT_EQ(room(), LobbyQueueBytes - 15);
    std::string want = bytes({5, 0xFF, 'h', 'i', 0, 5, 0xFF, 'h', 'i', 0, 5, 0xFF, 'h', 'i', 0});
    EXPECT_EQ(collect(host, want), kit::hex(want));
    // Without pumping: a frame leaving one byte free is queued and the next
    // overflows; after a reconnect, so does one that would fill the whole queue.
    for (int freeAfterFirst : {1, 4}) {
        if (freeAfterFirst == 4) host = connectTo(lobby);
        ASSERT_EQ(room(), LobbyQueueBytes) << "a new connection starts with an empty queue";
        send(7, 1, std::string(LobbyQueueBytes - freeAfterFirst - LobbyClientFrameOverhead, 'a'));
        ASSERT_EQ(room(), freeAfterFirst);
        send(7, 1, "b"); // 4 bytes
        EXPECT_EQ(kit::drain(), (Msgs{{0, MsgError, "overflow"}}));
        EXPECT_EQ(room(), 0);
        EXPECT_TRUE(host.waitClosed()) << "closed without sending anything";
        kit::updateFor(50);
        EXPECT_EQ(kit::drain(), Msgs{});
    }
    createLobby(); // the library is idle again
}

TEST_F(SendingTest, LobbyHostQueuesHostFramesAndDropsAFullClient) {
    createLobby("host");
    kit::Peer a = kit::admitRaw("a"), b = kit::admitRaw("b"); // ids 2 and 3
    ASSERT_TRUE(a.ok() && b.ok());
    send(5, 255, "hi");
    send(6, -1, "x");
    send(7, 256 + 3, "y");
    send(8, 1, "z");   // the lobby host itself is no client
    send(8, 9, "z");   // nobody has id 9
    send(0, 255, "0"); // a 0 message id cannot be framed
    sendNothing();
    std::string all = bytes({1, 5, 0xFF, 'h', 'i', 0, 1, 6, 0xFF, 'x', 0});
    std::string wantA = notice(1, MsgJoin, "host") + notice(3, MsgJoin, "b") + all;
    std::string wantB =
        notice(1, MsgJoin, "host") + notice(2, MsgJoin, "a") + all + bytes({1, 7, 3, 'y', 0});
    EXPECT_EQ(room(2), LobbyQueueBytes - int(wantA.size()));
    EXPECT_EQ(room(3), LobbyQueueBytes - int(wantB.size()));
    EXPECT_EQ(room(9), 0);
    EXPECT_EQ(collect(a, wantA), kit::hex(wantA));
    EXPECT_EQ(collect(b, wantB), kit::hex(wantB));

    // Fill a's queue to four bytes short of the relay room without pumping
    // (p2pBuffer answers 0 long before); a broadcast then fails a, b still
    // gets it, and a is gone at the next update.
    for (int i = 0; i < 4; ++i)
        send(9, 2, std::string(kit::LongestHostText, 'f')); // a queue but one byte each
    EXPECT_EQ(kit::numClients(), 2);
    ASSERT_EQ(room(2), 0);
    send(5, 255, "hi");
    EXPECT_EQ(kit::numClients(), 2);
    p2pUpdate(nullptr);
    EXPECT_EQ(kit::numClients(), 1);
    EXPECT_EQ(room(2), 0);
    EXPECT_TRUE(a.waitClosed());
    std::string want = bytes({1, 5, 0xFF, 'h', 'i', 0}) + notice(2, MsgLeave, "a");
    EXPECT_EQ(collect(b, want), kit::hex(want));
    Msgs inbox = kit::drain();
    ASSERT_FALSE(inbox.empty());
    EXPECT_EQ(inbox.back(), (Msg{2, MsgLeave, "a"}));

    // The frame size bound is strict: the longest text (a frame of a queue
    // but one byte) reaches b whole; one character more fails b.
    std::string longest(kit::LongestHostText, 'L'), head = bytes({1, 9, 3});
    send(9, 3, longest);
    std::string got = b.pumpRecv(head.size() + longest.size() + 1);
    EXPECT_TRUE(got == head + longest + nul()) << got.size() << " bytes";
    send(9, 3, longest + "L");
    p2pUpdate(nullptr);
    EXPECT_EQ(kit::numClients(), 0);
    EXPECT_TRUE(b.waitClosed());
}

} // namespace
