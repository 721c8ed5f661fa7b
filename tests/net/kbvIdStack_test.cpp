#include "net/kbvIdStack.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "core/Ticks.h"
#include "net/kbvIdStackLinux.h"
#include "tests/net/support/LoopbackPeer.h"

namespace {

// The platform stack, counting its instances and its resolver look-ups.
class TCountingStack : public TIdStackLinux {
public:
    static inline int Created = 0;
    static inline int Destroyed = 0;
    static inline int LookUps = 0;
    TCountingStack() { ++Created; }
    ~TCountingStack() override { ++Destroyed; }

protected:
    std::string HostByName(const std::string& AHost, TIdIPVersion AIPVersion) override {
        ++LookUps;
        return TIdStackLinux::HostByName(AHost, AIPVersion);
    }
};

std::unique_ptr<TIdStack> NewCountingStack() { return std::make_unique<TCountingStack>(); }

// Makes the next stack a counting one, for the life of the object.
class TCountingStackClass {
public:
    TCountingStackClass() : FSaved(TIdStack::StackClass()) {
        TCountingStack::Created = TCountingStack::Destroyed = TCountingStack::LookUps = 0;
        TIdStack::SetStackClass(&NewCountingStack);
    }
    ~TCountingStackClass() { TIdStack::SetStackClass(FSaved); }

private:
    TIdStack::TIdStackClass FSaved;
};

template <typename TAction>
EIdSocketError CatchSocketError(TAction AAction) {
    try {
        AAction();
    } catch (const EIdSocketError& E) {
        return E;
    }
    ADD_FAILURE() << "no EIdSocketError";
    return EIdSocketError(0, "");
}

TIdBytes Bytes(std::string_view AText) { return TIdBytes(AText.begin(), AText.end()); }

class StackTest : public ::testing::Test {
protected:
    void SetUp() override {
        TIdStack::IncUsage();
        Stack = GStack();
    }
    void TearDown() override {
        for (TIdStackSocketHandle Socket : FSockets)
            ::close(Socket);
        TIdStack::DecUsage();
    }

    // A stream socket, closed after the test unless the test closes it with Disconnect.
    TIdStackSocketHandle NewSocket(TIdIPVersion AIPVersion = Id_IPv4) {
        FSockets.push_back(Stack->NewSocketHandle(Id_SOCK_STREAM, Id_IPPROTO_TCP, AIPVersion));
        return FSockets.back();
    }
    TIdStackSocketHandle Connected(const TLoopbackPeer& APeer) {
        TIdIPVersion Version = APeer.IPv6() ? Id_IPv6 : Id_IPv4;
        TIdStackSocketHandle Socket = NewSocket(Version);
        Stack->Connect(Socket, APeer.Host(), APeer.Port(), Version);
        return Socket;
    }
    void Disconnect(TIdStackSocketHandle ASocket) {
        std::erase(FSockets, ASocket);
        Stack->Disconnect(ASocket);
    }
    // Everything up to the end of the stream, each wait bounded.
    std::string ReceiveAll(TIdStackSocketHandle ASocket) {
        TIdSocketList List;
        List.Add(ASocket);
        std::string Result;
        TIdBytes Buffer(7);
        while (List.SelectRead(5000)) {
            int Count = Stack->Receive(ASocket, Buffer);
            if (Count == 0)
                return Result;
            Result.append(Buffer.begin(), Buffer.begin() + Count);
        }
        ADD_FAILURE() << "the stream did not end";
        return Result;
    }

    TIdStack* Stack = nullptr;
    TCountingStackClass FCounting;  // constructed before SetUp creates the stack

private:
    std::vector<TIdStackSocketHandle> FSockets;
};

}  // namespace

// ---------------------------------------------------------------------------
// Stack life

TEST(StackUsage, TheFirstUserCreatesTheStackAndTheLastFreesIt) {
    TCountingStackClass Counting;
    ASSERT_EQ(GStack(), nullptr) << "a stack usage was left over";
    TIdStack::IncUsage();
    TIdStack* First = GStack();
    ASSERT_NE(First, nullptr);
    TIdStack::IncUsage();
    TIdStack::DecUsage();
    EXPECT_EQ(GStack(), First);
    EXPECT_EQ(TCountingStack::Destroyed, 0);
    TIdStack::DecUsage();
    EXPECT_EQ(GStack(), nullptr);
    EXPECT_EQ(TCountingStack::Destroyed, 1);

    TIdStack::DecUsage();  // unmatched: nothing happens
    TIdStack::IncUsage();
    EXPECT_NE(GStack(), nullptr);
    EXPECT_EQ(TCountingStack::Created, 2);
    TIdStack::DecUsage();
    EXPECT_EQ(GStack(), nullptr);
}

TEST(StackUsage, WithoutAStackClassNothingIsCounted) {
    TCountingStackClass Counting;
    TIdStack::SetStackClass(nullptr);
    try {
        TIdStack::IncUsage();
        FAIL() << "no EIdStackError";
    } catch (const EIdStackError& E) {
        EXPECT_STREQ(E.what(), "Stack Class is undefined.");
    }
    TIdStack::SetStackClass(&NewCountingStack);
    TIdStack::IncUsage();
    TIdStack::DecUsage();
    EXPECT_EQ(GStack(), nullptr);  // a count left by the failed call would keep the stack
}

// ---------------------------------------------------------------------------
// Addresses and names

TEST(StackAddresses, IsIPTakesExactlyFourDecimalNumbersUpTo255) {
    EXPECT_TRUE(TIdStack::IsIP("0.0.0.0"));
    EXPECT_TRUE(TIdStack::IsIP("255.255.255.255"));
    EXPECT_TRUE(TIdStack::IsIP("010.001.0.1"));
    for (const char* Text : {"1.2.3", "1.2.3.4.5", "256.0.0.1", "1.2.3.256", "99999999999.1.1.1", "1..2.3", "1.2.3.4.",
                             ".1.2.3", "1.2.3.-4", " 1.2.3.4", "1.2.3.4 ", "0x7f.0.0.1", "a.b.c.d", ""})
        EXPECT_FALSE(TIdStack::IsIP(Text)) << '"' << Text << '"';
}

TEST_F(StackTest, LocalhostAndAddressTextsNeedNoLookUp) {
    EXPECT_EQ(Stack->ResolveHost("localhost"), "127.0.0.1");
    EXPECT_EQ(Stack->ResolveHost("LocalHost", Id_IPv4), "127.0.0.1");
    EXPECT_EQ(Stack->ResolveHost("LOCALHOST", Id_IPv6), "::1");
    EXPECT_EQ(Stack->ResolveHost("10.20.30.40"), "10.20.30.40");
    EXPECT_EQ(Stack->ResolveHost("fe80::a", Id_IPv6), Stack->MakeCanonicalIPv6Address("fe80::a"));
    EXPECT_EQ(TCountingStack::LookUps, 0);
    EXPECT_THROW(Stack->ResolveHost("localhost", static_cast<TIdIPVersion>(2)), EIdIPVersionUnsupported);
}

TEST_F(StackTest, OtherNamesGoToTheResolver) {
    // Short forms the resolver reads itself, without asking anyone.
    EXPECT_EQ(Stack->ResolveHost("127.1"), "127.0.0.1");
    EXPECT_EQ(Stack->ResolveHost("0x7f.0.0.2"), "127.0.0.2");
    EXPECT_EQ(TCountingStack::LookUps, 2);
}

TEST_F(StackTest, AnUnknownNameIsHostNotFound) {
    // The C library refuses a name with blanks before asking any DNS server,
    // so nothing leaves the machine.
    EIdSocketError E = CatchSocketError([&] { Stack->ResolveHost("no such host.invalid"); });
    EXPECT_EQ(E.LastError(), Id_WSAHOST_NOT_FOUND);
    EXPECT_STREQ(E.what(), "Socket Error # 11001\r\nHost not found.");
}

TEST_F(StackTest, IPv6LoopbackReadsBackAsEightGroups) {
    TIdStackSocketHandle Socket = NewSocket(Id_IPv6);
    Stack->Bind(Socket, "::1", 0, Id_IPv6);
    std::string IP;
    uint16_t Port = 0;
    TIdIPVersion Version = Id_IPv4;
    Stack->GetSocketName(Socket, IP, Port, Version);
    EXPECT_EQ(IP, "0:0:0:0:0:0:0:1");
    EXPECT_NE(Port, 0);
    EXPECT_EQ(Version, Id_IPv6);
}

TEST_F(StackTest, LocalAddressesLeaveOutLoopback) {
    TIdStackLocalAddressList List;
    List.Add(std::make_unique<TIdStackLocalAddressIPv4>("203.0.113.7", "255.255.255.0"));
    Stack->GetLocalAddressList(List);
    EXPECT_EQ(List.IndexOfIP("203.0.113.7"), -1) << "the list is replaced";
    int IPv4Count = 0;
    for (int I = 0; I < List.Count(); ++I) {
        const TIdStackLocalAddress& Address = List.Addresses(I);
        EXPECT_FALSE(Address.InterfaceName().empty());
        EXPECT_NE(Address.IPAddress().rfind("127.", 0), 0u);
        EXPECT_NE(Address.IPAddress(), "0:0:0:0:0:0:0:1");
        if (Address.IPVersion() == Id_IPv4) {
            ++IPv4Count;
            EXPECT_TRUE(TIdStack::IsIP(Address.IPAddress()));
            EXPECT_TRUE(TIdStack::IsIP(static_cast<const TIdStackLocalAddressIPv4&>(Address).SubNetMask()));
        } else {
            EXPECT_TRUE(TIdStack::IsValidIPv6(Address.IPAddress())) << Address.IPAddress();
        }
    }
    TStringList IPv4 = Stack->LocalAddresses();
    EXPECT_EQ(IPv4.Count(), IPv4Count);
    EXPECT_EQ(Stack->LocalAddress(), IPv4Count > 0 ? IPv4.Strings(0) : "");
}

TEST(StackByteOrder, NetworkOrderIsBigEndian) {
    const uint32_t Network = TIdStack::HostToNetwork(uint32_t{0x01020304});
    uint8_t Bytes[4];
    std::memcpy(Bytes, &Network, 4);
    EXPECT_EQ(Bytes[0], 1);
    EXPECT_EQ(Bytes[3], 4);
    EXPECT_EQ(TIdStack::NetworkToHost(TIdStack::HostToNetwork(uint64_t{0x0102030405060708})), 0x0102030405060708u);
    const TIdIPv6Address Groups = TIdStack::HostToNetwork(TIdIPv6Address{0x0102, 0, 0, 0, 0, 0, 0, 0x0a0b});
    std::memcpy(Bytes, Groups.data(), 2);
    EXPECT_EQ(Bytes[0], 1);
    EXPECT_EQ(TIdStack::NetworkToHost(Groups)[7], 0x0a0b);
}

// ---------------------------------------------------------------------------
// Errors

TEST(StackErrors, RaiseSocketErrorFormatsCodeAndText) {
    EIdSocketError Refused = CatchSocketError([] { TIdStack::RaiseSocketError(10061); });
    EXPECT_EQ(Refused.LastError(), 10061);
    EXPECT_STREQ(Refused.what(), "Socket Error # 10061\r\nConnection refused.");
    EXPECT_STREQ(CatchSocketError([] { TIdStack::RaiseSocketError(12345); }).what(), "Socket Error # 12345\r\n");
    EXPECT_THROW(TIdStack::RaiseSocketError(Id_WSAENOTSOCK), EIdNotASocket);
}

TEST_F(StackTest, SystemErrorsBecomeTheLibraryCodes) {
    const std::pair<int, int> Cases[] = {
        {ECONNREFUSED, 10061}, {ECONNRESET, 10054},    {ECONNABORTED, 10053}, {EPIPE, 10058},
        {ESHUTDOWN, 10058},    {ETIMEDOUT, 10060},     {ENETUNREACH, 10051},  {EHOSTUNREACH, 10065},
        {EADDRINUSE, 10048},   {EADDRNOTAVAIL, 10049}, {EWOULDBLOCK, 10035},  {EINPROGRESS, 10036},
        {ENOTSOCK, 10038},     {EBADF, 10038},         {EINVAL, 10022},       {EMFILE, 10024},
        {EACCES, 10013}};
    for (auto [Errno, Code] : Cases) {
        errno = Errno;
        EXPECT_EQ(Stack->WSGetLastError(), Code) << std::strerror(Errno);
    }
    errno = ECONNRESET;
    EXPECT_EQ(Stack->CheckForSocketError(Id_SOCKET_ERROR, {10058, 10053, 10054, 10060}), 10054);
    errno = ECONNREFUSED;
    EXPECT_THROW(Stack->CheckForSocketError(Id_SOCKET_ERROR, {10054}), EIdSocketError);
    EXPECT_EQ(Stack->CheckForSocketError(7, {10054}), 7);
}

// ---------------------------------------------------------------------------
// Connections, over IPv4 and IPv6

static void PrintTo(TIdIPVersion AVersion, std::ostream* AOut) { *AOut << (AVersion == Id_IPv6 ? "Id_IPv6" : "Id_IPv4"); }

class StackConnectionTest : public StackTest, public ::testing::WithParamInterface<TIdIPVersion> {
protected:
    bool IPv6() const { return GetParam() == Id_IPv6; }
};

INSTANTIATE_TEST_SUITE_P(IPVersions, StackConnectionTest, ::testing::Values(Id_IPv4, Id_IPv6),
                         [](const auto& AInfo) { return AInfo.param == Id_IPv6 ? "IPv6" : "IPv4"; });

TEST_P(StackConnectionTest, SendsAndReceivesOverAResolvedAddress) {
    TLoopbackPeer Peer(IPv6());
    Peer.ExpectLine().Send("pong\r\n").Close();
    Peer.Start();
    TIdStackSocketHandle Socket = NewSocket(GetParam());
    Stack->Connect(Socket, Stack->ResolveHost(Peer.Host(), GetParam()), Peer.Port(), GetParam());
    EXPECT_EQ(Stack->Send(Socket, Bytes("xxping\r\nyy"), 2, 6), 6);
    EXPECT_EQ(Stack->Send(Socket, Bytes("ab"), 2), 0);  // nothing after the offset
    EXPECT_EQ(ReceiveAll(Socket), "pong\r\n");
    ASSERT_TRUE(Peer.Wait(5000));
    EXPECT_EQ(Peer.Error(), "");
    EXPECT_EQ(Peer.Received(), "ping\r\n");

    std::string IP;
    uint16_t Port = 0;
    TIdIPVersion Version;
    Stack->GetPeerName(Socket, IP, Port, Version);
    EXPECT_EQ(IP, IPv6() ? "0:0:0:0:0:0:0:1" : "127.0.0.1");
    EXPECT_EQ(Port, Peer.Port());
    EXPECT_EQ(Version, GetParam());
}

TEST_P(StackConnectionTest, AClosedPortRefusesWithAndWithoutTimeOut) {
    TRefusingPort Closed(IPv6());
    for (int TimeoutMS : {-2, 5000}) {
        TIdStackSocketHandle Socket = NewSocket(GetParam());
        EIdSocketError E = CatchSocketError([&] {
            if (TimeoutMS < 0)
                Stack->Connect(Socket, Closed.Host(), Closed.Port(), GetParam());
            else
                Stack->Connect(Socket, Closed.Host(), Closed.Port(), GetParam(), TimeoutMS);
        });
        EXPECT_EQ(E.LastError(), Id_WSAECONNREFUSED);
        EXPECT_STREQ(E.what(), "Socket Error # 10061\r\nConnection refused.");
    }
}

TEST_P(StackConnectionTest, ConnectTimeOutGivesUpAfterAboutTheTimeAsked) {
    TUnansweredListener Silent(IPv6());
    TIdStackSocketHandle Socket = NewSocket(GetParam());
    const uint64_t Start = GetTickCount64();
    EXPECT_FALSE(Stack->Connect(Socket, Silent.Host(), Silent.Port(), GetParam(), 500));
    const uint64_t Elapsed = GetTickDiff64(Start, GetTickCount64());
    EXPECT_GE(Elapsed, 400u);
    EXPECT_LT(Elapsed, 5000u);
    EXPECT_EQ(::fcntl(Socket, F_GETFL) & O_NONBLOCK, 0) << "the socket is left blocking";
}

TEST_F(StackTest, AConnectWithinTheTimeLeavesABlockingSocket) {
    TLoopbackPeer Peer;
    Peer.Expect(2);
    Peer.Start();
    TIdStackSocketHandle Socket = NewSocket();
    ASSERT_TRUE(Stack->Connect(Socket, Peer.Host(), Peer.Port(), Id_IPv4, 5000));
    EXPECT_EQ(::fcntl(Socket, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(Stack->Send(Socket, Bytes("ok")), 2);
    EXPECT_TRUE(Peer.WaitForReceived(2, 5000));
}

TEST_F(StackTest, APortInUseCannotBeBoundAgain) {
    TIdStackSocketHandle First = NewSocket();
    Stack->Bind(First, "127.0.0.1", 0, Id_IPv4);
    ASSERT_EQ(::listen(First, 1), 0);
    std::string IP;
    uint16_t Port;
    TIdIPVersion Version;
    Stack->GetSocketName(First, IP, Port, Version);

    TIdStackSocketHandle Second = NewSocket();
    EIdSocketError E = CatchSocketError([&] { Stack->Bind(Second, "127.0.0.1", Port, Id_IPv4); });
    EXPECT_EQ(E.LastError(), Id_WSAEADDRINUSE);
    EXPECT_STREQ(E.what(), "Socket Error # 10048\r\nAddress already in use.");
    EXPECT_EQ(CatchSocketError([&] { Stack->Bind(Second, "127.0.0", 0, Id_IPv4); }).LastError(), Id_WSAEINVAL);
}

TEST_F(StackTest, AResetDuringAReceiveIsConnectionReset) {
    TLoopbackPeer Peer;
    Peer.Stall(100).Reset();
    Peer.Start();
    TIdStackSocketHandle Socket = Connected(Peer);
    timeval Bound{5, 0};  // should the reset never come
    ::setsockopt(Socket, SOL_SOCKET, SO_RCVTIMEO, &Bound, sizeof Bound);
    TIdBytes Buffer(16);
    EIdSocketError E = CatchSocketError([&] { Stack->Receive(Socket, Buffer); });
    EXPECT_EQ(E.LastError(), Id_WSAECONNRESET);
    EXPECT_STREQ(E.what(), "Socket Error # 10054\r\nConnection reset by peer.");
}

TEST_F(StackTest, SendingToAClosedPeerRaisesInsteadOfSignalling) {
    TLoopbackPeer Peer;
    Peer.Close();
    Peer.Start();
    TIdStackSocketHandle Socket = Connected(Peer);
    ASSERT_TRUE(Peer.Wait(5000));
    const TIdBytes Block(4096, 'x');
    int Code = 0;
    for (const uint64_t Start = GetTickCount64(); Code == 0 && GetTickDiff64(Start, GetTickCount64()) < 5000;) {
        try {
            Stack->Send(Socket, Block);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        } catch (const EIdSocketError& E) {
            Code = E.LastError();
        }
    }
    EXPECT_TRUE(Code == Id_WSAESHUTDOWN || Code == Id_WSAECONNRESET) << Code;
}

// The sockets are open at once; each closes by its own setting, not by the newest one.
TEST_F(StackTest, DisconnectEndsTheStreamOrResetsWhenLingeringZero) {
    struct TCase {
        int LingerState;  // INT_MIN: never set
        bool PeerSeesReset;
    } const Cases[] = {{INT_MIN, false}, {0, true}, {-1, false}, {5, false}, {0, true}};
    std::vector<std::unique_ptr<TLoopbackPeer>> Peers;
    std::vector<TIdStackSocketHandle> Sockets;
    for (const TCase& Case : Cases) {
        Peers.push_back(std::make_unique<TLoopbackPeer>());
        Peers.back()->ExpectClose();
        Peers.back()->Start();
        Sockets.push_back(Connected(*Peers.back()));
        if (Case.LingerState != INT_MIN)
            Stack->SetLingerState(Sockets.back(), Case.LingerState);
    }
    for (size_t I = 0; I < Sockets.size(); ++I) {
        Disconnect(Sockets[I]);
        ASSERT_TRUE(Peers[I]->Wait(5000));
        const std::string Error = Peers[I]->Error();
        EXPECT_EQ(Error.find("reset") != std::string::npos, Cases[I].PeerSeesReset) << I << ": " << Error;
    }
}

TEST_F(StackTest, KeepAliveTimesAreSetInWholeSeconds) {
    TIdStackSocketHandle Socket = NewSocket();
    Stack->SetKeepAliveValues(Socket, true, 30000, 1500);
    EXPECT_EQ(Stack->GetSocketOption(Socket, Id_SOL_SOCKET, Id_SO_KEEPALIVE), 1);
    EXPECT_EQ(Stack->GetSocketOption(Socket, Id_IPPROTO_TCP, TCP_KEEPIDLE), 30);
    EXPECT_EQ(Stack->GetSocketOption(Socket, Id_IPPROTO_TCP, TCP_KEEPINTVL), 2);
    Stack->SetKeepAliveValues(Socket, false, 0, 0);
    EXPECT_EQ(Stack->GetSocketOption(Socket, Id_SOL_SOCKET, Id_SO_KEEPALIVE), 0);
}

TEST_F(StackTest, SocketListWaitsForReadability) {
    TLoopbackPeer Peer;
    Peer.Hold().Send("x");
    Peer.Start();
    TIdStackSocketHandle Socket = Connected(Peer);
    TIdSocketList List;
    List.Add(Socket);
    List.Add(Socket);
    EXPECT_EQ(List.Count(), 1);
    EXPECT_FALSE(List.SelectRead(50));
    Peer.Release();
    EXPECT_TRUE(List.SelectRead(5000));
    std::unique_ptr<TIdSocketList> Readable;
    EXPECT_TRUE(List.SelectReadList(Readable, 0));
    ASSERT_TRUE(Readable);
    EXPECT_TRUE(Readable->ContainsSocket(Socket));

    TIdSocketList Closed;
    Closed.Add(999999);  // far above any descriptor in use
    EXPECT_THROW(Closed.SelectRead(0), EIdNotASocket);
}
