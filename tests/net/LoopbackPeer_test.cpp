// The test peers themselves, checked with plain system calls.
#include "tests/net/support/LoopbackPeer.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace {

using TClock = std::chrono::steady_clock;

long long MillisecondsSince(TClock::time_point AStart) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - AStart).count();
}

// A blocking client socket; every connect, receive and send gives up after ABoundMS.
class TClient {
public:
    TClient(bool AIPv6, uint16_t APort, int ABoundMS = 5000)
        : FSocket(::socket(AIPv6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0)) {
        timeval Bound{ABoundMS / 1000, ABoundMS % 1000 * 1000};
        ::setsockopt(FSocket, SOL_SOCKET, SO_RCVTIMEO, &Bound, sizeof Bound);
        ::setsockopt(FSocket, SOL_SOCKET, SO_SNDTIMEO, &Bound, sizeof Bound);
        FResult = ::connect(FSocket, Address(AIPv6, APort), AIPv6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in));
        FErrno = errno;
    }
    explicit TClient(const TLoopbackPeer& APeer) : TClient(APeer.IPv6(), APeer.Port()) {}
    ~TClient() { ::close(FSocket); }

    bool IsConnected() const { return FResult == 0; }
    int ConnectErrno() const { return FErrno; }
    void Send(std::string_view AText) { ASSERT_EQ(::send(FSocket, AText.data(), AText.size(), MSG_NOSIGNAL), ssize_t(AText.size())); }
    // One receive: the bytes, "" at the end of the stream; VErrno is set on failure.
    std::string ReceiveSome(int* VErrno = nullptr) {
        char Buffer[65536];
        ssize_t Count = ::recv(FSocket, Buffer, sizeof Buffer, 0);
        if (VErrno)
            *VErrno = Count < 0 ? errno : 0;
        return Count > 0 ? std::string(Buffer, size_t(Count)) : std::string();
    }
    std::string ReceiveAll() {
        std::string Result, Piece;
        int Errno = 0;
        while (!(Piece = ReceiveSome(&Errno)).empty())
            Result += Piece;
        EXPECT_EQ(Errno, 0) << std::strerror(Errno);
        return Result;
    }
    bool Readable(int AMS) {
        pollfd Fd{FSocket, POLLIN, 0};
        return ::poll(&Fd, 1, AMS) > 0;
    }
    void Close() { ::shutdown(FSocket, SHUT_WR); }

private:
    const sockaddr* Address(bool AIPv6, uint16_t APort) {
        FAddress = {};
        if (AIPv6) {
            auto& A6 = reinterpret_cast<sockaddr_in6&>(FAddress);
            A6.sin6_family = AF_INET6;
            A6.sin6_addr = in6addr_loopback;
            A6.sin6_port = htons(APort);
        } else {
            auto& A4 = reinterpret_cast<sockaddr_in&>(FAddress);
            A4.sin_family = AF_INET;
            A4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            A4.sin_port = htons(APort);
        }
        return reinterpret_cast<const sockaddr*>(&FAddress);
    }

    int FSocket;
    sockaddr_storage FAddress{};
    int FResult = -1;
    int FErrno = 0;
};

}  // namespace

// ---------------------------------------------------------------------------
// Sending

TEST(LoopbackPeer, PiecesArriveWholeAndTheStreamCanEndMidLine) {
    TLoopbackPeer Peer;
    Peer.SendInPieces("HTTP/1.1 200 OK\r\n", 4, 10).Send("Content-Le").Close();
    Peer.Start();
    TClient Client(Peer);
    ASSERT_TRUE(Client.IsConnected());
    EXPECT_EQ(Client.ReceiveAll(), "HTTP/1.1 200 OK\r\nContent-Le");
    ASSERT_TRUE(Peer.Wait(5000));
    EXPECT_EQ(Peer.Error(), "");
}

TEST(LoopbackPeer, SendStreamDeliversThePattern) {
    const uint64_t Total = 3 * 251 * 1024 + 17;  // a few whole chunks and a partial one
    TLoopbackPeer Peer;
    Peer.SendStream(Total).Close();
    Peer.Start();
    TClient Client(Peer);
    uint64_t Index = 0, Wrong = 0;
    for (std::string Piece; !(Piece = Client.ReceiveSome()).empty();)
        for (char C : Piece)
            Wrong += static_cast<uint8_t>(C) != TLoopbackPeer::StreamByte(Index++);
    EXPECT_EQ(Index, Total);
    EXPECT_EQ(Wrong, 0u);
}

TEST(LoopbackPeer, HoldWaitsForRelease) {
    TLoopbackPeer Peer;
    Peer.Send("a").Hold().Send("b").Close();
    Peer.Start();
    TClient Client(Peer);
    EXPECT_EQ(Client.ReceiveSome(), "a");
    EXPECT_FALSE(Client.Readable(100));
    Peer.Release();
    EXPECT_EQ(Client.ReceiveAll(), "b");
}

TEST(LoopbackPeer, ResetReachesTheClientAsConnectionReset) {
    TLoopbackPeer Peer;
    Peer.Reset();
    Peer.Start();
    TClient Client(Peer);
    ASSERT_TRUE(Peer.Wait(5000));
    int Errno = 0;
    Client.ReceiveSome(&Errno);
    EXPECT_EQ(Errno, ECONNRESET);
}

// ---------------------------------------------------------------------------
// Receiving

TEST(LoopbackPeer, ExpectStepsWaitForTheClientAndRecordIt) {
    TLoopbackPeer Peer;
    Peer.ExpectLine().Expect(5).ExpectUntil("\r\n\r\n").Send("ok").ExpectClose();
    Peer.Start();
    TClient Client(Peer);
    Client.Send("GET / HTTP/1.1\r\nab");
    Client.Send("cde");
    Client.Send("Host: x\r\n\r");
    EXPECT_FALSE(Client.Readable(50)) << "answered before the header block ended";
    Client.Send("\n");
    EXPECT_EQ(Client.ReceiveSome(), "ok");
    Client.Close();
    ASSERT_TRUE(Peer.Wait(5000));
    EXPECT_EQ(Peer.Error(), "");
    EXPECT_EQ(Peer.Received(), "GET / HTTP/1.1\r\nabcdeHost: x\r\n\r\n");
}

TEST(LoopbackPeer, WaitForReceivedSeesBytesWhileTheConnectionStaysOpen) {
    TLoopbackPeer Peer;
    Peer.Start();
    TClient Client(Peer);
    Client.Send("hello");
    EXPECT_TRUE(Peer.WaitForReceived(5, 5000));
    EXPECT_EQ(Peer.Received(), "hello");
    EXPECT_FALSE(Peer.Wait(0)) << "the peer waits for the client to close";
    Client.Close();
    EXPECT_TRUE(Peer.Wait(5000));
}

TEST(LoopbackPeer, NextConnectionRunsTheRestForTheNextClient) {
    TLoopbackPeer Peer;
    Peer.ExpectLine().Send("1").Close().NextConnection().ExpectLine().Send("2").Close();
    Peer.Start();
    {
        TClient First(Peer);
        First.Send("a\n");
        EXPECT_EQ(First.ReceiveAll(), "1");
    }
    TClient Second(Peer);
    Second.Send("b\n");
    EXPECT_EQ(Second.ReceiveAll(), "2");
    ASSERT_TRUE(Peer.Wait(5000));
    EXPECT_EQ(Peer.Error(), "");
    EXPECT_EQ(Peer.Accepted(), 2);
    EXPECT_EQ(Peer.Received(0), "a\n");
    EXPECT_EQ(Peer.Received(1), "b\n");
}

TEST(LoopbackPeer, WorksOverIPv6) {
    TLoopbackPeer Peer(true);
    EXPECT_STREQ(Peer.Host(), "::1");
    Peer.ExpectLine().Send("six").Close();
    Peer.Start();
    TClient Client(Peer);
    Client.Send("v6?\n");
    EXPECT_EQ(Client.ReceiveAll(), "six");
    EXPECT_TRUE(Peer.Wait(5000));
    EXPECT_EQ(Peer.Received(), "v6?\n");
}

// ---------------------------------------------------------------------------
// Bounds

TEST(LoopbackPeer, EveryWaitOfTheScriptIsBounded) {
    TLoopbackPeer Lonely;
    Lonely.SetTimeout(100);
    Lonely.Start();
    ASSERT_TRUE(Lonely.Wait(5000));
    EXPECT_EQ(Lonely.Error(), "no client connected in time");

    TLoopbackPeer Peer;
    Peer.SetTimeout(100);
    Peer.Expect(10);
    Peer.Start();
    TClient Client(Peer);
    Client.Send("abc");
    ASSERT_TRUE(Peer.Wait(5000));
    EXPECT_NE(Peer.Error().find("Expect(10)"), std::string::npos) << Peer.Error();
}

TEST(LoopbackPeer, DestructionStopsAStalledScriptPromptly) {
    auto Start = TClock::now();
    {
        TLoopbackPeer Peer;
        Peer.Stall(60000);
        Peer.Start();
        TClient Client(Peer);
        while (Peer.Accepted() == 0 && MillisecondsSince(Start) < 5000)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_EQ(Peer.Accepted(), 1);
        Start = TClock::now();
    }
    EXPECT_LT(MillisecondsSince(Start), 5000);
}

// ---------------------------------------------------------------------------
// Ports that do not answer

TEST(RefusingPort, RefusesConnections) {
    TRefusingPort Closed;
    TClient Client(false, Closed.Port());
    EXPECT_FALSE(Client.IsConnected());
    EXPECT_EQ(Client.ConnectErrno(), ECONNREFUSED);
}

TEST(UnansweredListener, ABlockingConnectHangs) {
    TUnansweredListener Silent;
    const auto Start = TClock::now();
    TClient Client(false, Silent.Port(), 1500);  // the send time-out bounds the connect
    EXPECT_FALSE(Client.IsConnected());
    EXPECT_EQ(Client.ConnectErrno(), EINPROGRESS) << "the connect ended otherwise";
    EXPECT_GE(MillisecondsSince(Start), 1000);
}
