// A black hole on the lobby port of 127.0.0.1: connection attempts there get
// no answer at all, as behind a firewall that drops them. A listener with a
// backlog of one that nobody accepts from, filled by connections of its
// own: the system then drops every further SYN. Header-only, for POSIX and
// Winsock (a Windows program starts Winsock itself first); shared by the
// join bench and the tests.
#pragma once

#include "lobbylink/lobbylink.h"

#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace tools {

class BlackHole {
  public:
#ifdef _WIN32
    typedef SOCKET Raw;
#else
    typedef int Raw;
#endif
    // False when the port cannot be taken.
    bool open() {
        sockaddr_in a = address();
        Raw l = socket(AF_INET, SOCK_STREAM, 0);
        sockets_.push_back(l);
#ifndef _WIN32
        int one = 1; // connections of an earlier listener may linger on the port
        setsockopt(l, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
#endif
        if (bind(l, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(l, 0) != 0)
            return false;
        for (int i = 0; i < 3; ++i) {
            Raw c = socket(AF_INET, SOCK_STREAM, 0);
            nonBlocking(c);
            (void)connect(c, reinterpret_cast<sockaddr *>(&a), sizeof a); // under way or refused
            sockets_.push_back(c);
        }
        // The fillers' handshakes complete (or are dropped) within moments.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return true;
    }
    ~BlackHole() {
        for (Raw s : sockets_) closeRaw(s);
    }

  private:
    std::vector<Raw> sockets_;

    static sockaddr_in address() {
        sockaddr_in a;
        std::memset(&a, 0, sizeof a);
        a.sin_family = AF_INET;
        a.sin_port = htons(LobbyPort);
        a.sin_addr.s_addr = htonl(0x7f000001);
        return a;
    }
    static void nonBlocking(Raw s) {
#ifdef _WIN32
        u_long on = 1;
        ioctlsocket(s, FIONBIO, &on);
#else
        fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK);
#endif
    }
    static void closeRaw(Raw s) {
#ifdef _WIN32
        closesocket(s);
#else
        close(s);
#endif
    }
};

} // namespace tools
