#include "net/kbvIdTCPClient.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "core/Format.h"
#include "tests/net/support/LoopbackPeer.h"
#include "tests/support/MessageOf.h"

namespace {

constexpr int ReadBoundMS = 5000;

// A client aimed at the peer, recording its statuses and events.
struct TRecordedClient {
    TIdTCPClient Client;
    std::vector<std::string> Log;

    explicit TRecordedClient(const char* AHost = "127.0.0.1", uint16_t APort = 0) {
        Client.SetHost(AHost);
        Client.SetPort(APort);
        Client.SetReadTimeout(ReadBoundMS);
        Client.SetOnStatus([this](TObject*, TIdStatus, const std::string& AText) { Log.push_back(AText); });
        Client.SetOnConnected([this](TObject*) { Log.push_back("OnConnected"); });
        Client.SetOnDisconnected([this](TObject*) { Log.push_back("OnDisconnected"); });
    }
    explicit TRecordedClient(const TLoopbackPeer& APeer) : TRecordedClient(APeer.Host(), APeer.Port()) {
        if (APeer.IPv6())
            Client.SetIPVersion(Id_IPv6);
    }
};

// A loopback socket bound to a free port; the port stays taken while it lives.
struct TTakenPort {
    int Socket = ::socket(AF_INET, SOCK_STREAM, 0);
    uint16_t Port = 0;
    TTakenPort() {
        sockaddr_in Addr{};
        Addr.sin_family = AF_INET;
        Addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t Length = sizeof Addr;
        if (::bind(Socket, reinterpret_cast<sockaddr*>(&Addr), Length) == 0 &&
            ::getsockname(Socket, reinterpret_cast<sockaddr*>(&Addr), &Length) == 0)
            Port = ntohs(Addr.sin_port);
    }
    ~TTakenPort() { ::close(Socket); }
};

}  // namespace

// ---------------------------------------------------------------------------
// Connect and disconnect

TEST(TCPClientConnect, StatusesEventsAndAManagedHandler) {
    TLoopbackPeer Peer;
    Peer.Send("hi\n").ExpectLine();
    Peer.Start();
    TRecordedClient R(Peer);
    R.Client.Connect();
    ASSERT_NE(R.Client.IOHandler(), nullptr);
    EXPECT_TRUE(R.Client.ManagedIOHandler());
    EXPECT_EQ(R.Client.IOHandler()->ClassName(), "TIdIOHandlerStack");
    EXPECT_EQ(R.Client.Socket(), R.Client.IOHandler());
    EXPECT_EQ(R.Client.Socket()->Binding()->PeerPort(), Peer.Port());
    // A numeric address is not resolved.
    EXPECT_EQ(R.Log, (std::vector<std::string>{"Connecting to 127.0.0.1.", "Connected.", "OnConnected"}));
    EXPECT_TRUE(R.Client.Connected());

    EXPECT_EQ(R.Client.IOHandler()->ReadLn(), "hi");
    R.Client.IOHandler()->WriteLn("bye");
    EXPECT_TRUE(Peer.WaitForReceived(5, ReadBoundMS));
    EXPECT_EQ(Peer.Received(), "bye\r\n");

    R.Log.clear();
    R.Client.Disconnect();
    EXPECT_EQ(R.Log, (std::vector<std::string>{"Disconnecting.", "OnDisconnected", "Disconnected."}));
    EXPECT_FALSE(R.Client.Connected());
    // A handler that is not opened fires nothing.
    R.Log.clear();
    R.Client.Disconnect();
    EXPECT_TRUE(R.Log.empty());
}

TEST(TCPClientConnect, NamesAreResolvedForTheirIPVersion) {
    TLoopbackPeer Peer;
    Peer.Start();
    TRecordedClient R("localhost", Peer.Port());
    R.Client.Connect();
    ASSERT_GE(R.Log.size(), 2u);
    EXPECT_EQ(R.Log[0], "Resolving hostname localhost.");
    EXPECT_EQ(R.Log[1], "Connecting to 127.0.0.1.");
}

TEST(TCPClientConnect, IPv6Loopback) {
    TLoopbackPeer Peer(true);
    Peer.Send("six\r\n").ExpectLine();
    Peer.Start();
    TRecordedClient R(Peer);
    R.Client.Connect();
    EXPECT_EQ(R.Client.Socket()->Binding()->IPVersion(), Id_IPv6);
    EXPECT_EQ(R.Client.IOHandler()->ReadLn(), "six");
    R.Client.IOHandler()->WriteLn("ok");
    EXPECT_TRUE(Peer.WaitForReceived(4, ReadBoundMS));
}

TEST(TCPClientConnect, TwiceRaisesAlreadyConnected) {
    TLoopbackPeer Peer;
    Peer.Start();
    TRecordedClient R(Peer);
    R.Client.Connect();
    EXPECT_EQ(MessageOf<EIdAlreadyConnected>([&] { R.Client.Connect(); }), "Already connected.");
    EXPECT_TRUE(R.Client.Connected());
}

TEST(TCPClientConnect, HostAndPortAreRequiredBeforeAnySocket) {
    TIdTCPClient Client;
    EXPECT_EQ(MessageOf<EIdHostRequired>([&] { Client.Connect(); }), "A Host is required");
    Client.SetHost("127.0.0.1");
    EXPECT_EQ(MessageOf<EIdPortRequired>([&] { Client.Connect(); }), "A Port is required");
    EXPECT_EQ(Client.IOHandler(), nullptr);
}

TEST(TCPClientConnect, RefusedConnectRaises10061AndFreesTheManagedHandler) {
    TRefusingPort Refusing;
    TRecordedClient R(Refusing.Host(), Refusing.Port());
    try {
        R.Client.Connect();
        FAIL() << "no exception";
    } catch (const EIdSocketError& E) {
        EXPECT_EQ(E.LastError(), 10061);
        EXPECT_EQ(E.Message(), "Socket Error # 10061\r\nConnection refused.");
    }
    EXPECT_EQ(R.Client.IOHandler(), nullptr);
    EXPECT_FALSE(R.Client.Connected());
}

TEST(TCPClientConnect, ConnectTimeoutClosesAndFreesTheManagedHandler) {
    TUnansweredListener Listener;
    TRecordedClient R(Listener.Host(), Listener.Port());
    R.Client.SetConnectTimeout(1000);
    auto Start = std::chrono::steady_clock::now();
    EXPECT_EQ(MessageOf<EIdConnectTimeout>([&] { R.Client.Connect(); }), "Connect timed out.");
    double Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
    EXPECT_GE(Seconds, 0.8);
    EXPECT_LT(Seconds, 5.0);
    EXPECT_EQ(R.Client.IOHandler(), nullptr);
    EXPECT_FALSE(R.Client.Connected());
}

TEST(TCPClientConnect, AnAssignedHandlerSurvivesAFailedConnect) {
    TRefusingPort Refusing;
    TRecordedClient R(Refusing.Host(), Refusing.Port());
    TIdIOHandlerStack Handler;
    R.Client.SetIOHandler(&Handler);
    EXPECT_EQ(Handler.Port(), Refusing.Port());  // the client's settings reach it
    EXPECT_THROW(R.Client.Connect(), EIdSocketError);
    EXPECT_EQ(R.Client.IOHandler(), &Handler);
    EXPECT_FALSE(Handler.Opened());
}

TEST(TCPClientConnect, ConnectAndGetAll) {
    TLoopbackPeer Peer;
    Peer.Send("all of it").Close();
    Peer.Start();
    TRecordedClient R(Peer);
    EXPECT_EQ(R.Client.ConnectAndGetAll(), "all of it");
    EXPECT_FALSE(R.Client.Connected());
}

TEST(TCPClientConnect, PeerCloseWithUnreadBytesKeepsTheClientConnected) {
    TLoopbackPeer Peer;
    Peer.Send("left\n").Close();
    Peer.Start();
    TRecordedClient R(Peer);
    R.Client.Connect();
    TIdBytes Buffer;
    EXPECT_THROW(R.Client.IOHandler()->ReadBytes(Buffer, 6), EIdConnClosedGracefully);
    EXPECT_TRUE(R.Client.Connected());
    EXPECT_EQ(R.Client.IOHandler()->ReadLn(), "left");
    EXPECT_FALSE(R.Client.Connected());
    EXPECT_THROW(R.Client.CheckForGracefulDisconnect(), EIdConnClosedGracefully);
}

// Both clients are connected at once, and the other client's setting is
// always the newer one: each must still close its own way.
TEST(TCPClientConnect, EachClientClosesWithItsOwnLingerState) {
    struct TCase {
        int LingerState;
        bool PeerSeesReset;
    } const Cases[] = {{0, true}, {-1, false}, {0, true}};
    std::vector<std::unique_ptr<TLoopbackPeer>> Peers;
    std::vector<std::unique_ptr<TRecordedClient>> Clients;
    for (const TCase& Case : Cases) {
        Peers.push_back(std::make_unique<TLoopbackPeer>());
        Peers.back()->ExpectClose();
        Peers.back()->Start();
        Clients.push_back(std::make_unique<TRecordedClient>(*Peers.back()));
        Clients.back()->Client.SetLingerState(Case.LingerState);
        Clients.back()->Client.Connect();
    }
    for (size_t I = 0; I < Clients.size(); ++I) {
        Clients[I]->Client.Disconnect();
        ASSERT_TRUE(Peers[I]->Wait(ReadBoundMS));
        const std::string Error = Peers[I]->Error();
        EXPECT_EQ(Error.find("reset") != std::string::npos, Cases[I].PeerSeesReset) << I << ": " << Error;
    }
}

// ---------------------------------------------------------------------------
// Binding

TEST(TCPClientBinding, PortRangeWithMinAboveMaxRaises) {
    TLoopbackPeer Peer;
    TRecordedClient R(Peer);
    R.Client.SetBoundPortMin(5000);
    R.Client.SetBoundPortMax(4000);
    EXPECT_EQ(MessageOf<EIdInvalidPortRange>([&] { R.Client.Connect(); }), "Invalid Port Range (5000 - 4000)");
    EXPECT_EQ(R.Client.IOHandler(), nullptr);
}

TEST(TCPClientBinding, PortRangeWithoutAFreePortRaises) {
    TLoopbackPeer Peer;
    TTakenPort Taken;
    ASSERT_NE(Taken.Port, 0);
    TRecordedClient R(Peer);
    R.Client.SetBoundIP("127.0.0.1");
    R.Client.SetBoundPortMin(Taken.Port);
    R.Client.SetBoundPortMax(Taken.Port);
    EXPECT_EQ(MessageOf<EIdCanNotBindPortInRange>([&] { R.Client.Connect(); }),
              Format("Can not bind in port range (%d - %d)", Taken.Port, Taken.Port));
}

TEST(TCPClientBinding, BoundAddressAndEventsInOrder) {
    TLoopbackPeer Peer;
    Peer.Start();
    TRecordedClient R(Peer);
    R.Client.SetBoundIP("127.0.0.1");
    R.Client.SetUseNagle(false);
    R.Client.SetOnBeforeBind([&](TObject*) { R.Log.push_back("BeforeBind"); });
    R.Client.SetOnSocketAllocated([&](TObject*) { R.Log.push_back("SocketAllocated"); });
    R.Client.SetOnAfterBind([&](TObject*) { R.Log.push_back("AfterBind"); });
    R.Client.Connect();
    EXPECT_EQ(R.Log, (std::vector<std::string>{"BeforeBind", "SocketAllocated", "AfterBind", "Connecting to 127.0.0.1.",
                                               "Connected.", "OnConnected"}));
    TIdSocketHandle* Binding = R.Client.Socket()->Binding();
    EXPECT_EQ(Binding->IP(), "127.0.0.1");
    EXPECT_NE(Binding->Port(), 0);
    EXPECT_EQ(Binding->GetSockOpt(Id_IPPROTO_TCP, Id_TCP_NODELAY) != 0, true);
    EXPECT_FALSE(R.Client.UseNagle());
}

// ---------------------------------------------------------------------------
// Handler and intercept references

TEST(TCPClientIntercept, ChainSeesConnectTrafficAndDisconnectInOrder) {
    TLoopbackPeer Peer;
    Peer.Send("in\n").ExpectLine();
    Peer.Start();
    TRecordedClient R(Peer);
    std::vector<std::string> Events;
    TIdConnectionIntercept First, Second;
    auto Record = [&](const char* AName, const char* AWhat) {
        return [&Events, AName, AWhat](TIdConnectionIntercept*) { Events.push_back(std::string(AName) + AWhat); };
    };
    auto RecordBlock = [&](const char* AName, const char* AWhat) {
        return [&Events, AName, AWhat](TIdConnectionIntercept*, TIdBytes&) {
            Events.push_back(std::string(AName) + AWhat);
        };
    };
    for (auto [Intercept, Name] : {std::pair{&First, "1"}, std::pair{&Second, "2"}}) {
        Intercept->SetOnConnect(Record(Name, "Connect"));
        Intercept->SetOnDisconnect(Record(Name, "Disconnect"));
        Intercept->SetOnReceive(RecordBlock(Name, "Receive"));
        Intercept->SetOnSend(RecordBlock(Name, "Send"));
    }
    First.SetIntercept(&Second);
    R.Client.SetIntercept(&First);
    R.Client.Connect();
    EXPECT_EQ(R.Client.Intercept(), &First);
    EXPECT_EQ(First.Connection(), &R.Client);
    EXPECT_EQ(R.Client.IOHandler()->ReadLn(), "in");
    R.Client.IOHandler()->WriteLn("out");
    R.Client.Disconnect();
    EXPECT_EQ(Events, (std::vector<std::string>{"1Connect", "2Connect", "2Receive", "1Receive", "1Send", "2Send",
                                                "2Disconnect", "1Disconnect"}));
    EXPECT_EQ(First.Connection(), nullptr);
}

TEST(TCPClientIntercept, AHandlerWithAnotherInterceptIsRefused) {
    TIdTCPClient Client;
    TIdConnectionIntercept Mine, Theirs;
    Client.SetIntercept(&Mine);
    TIdIOHandlerStack Handler;
    Handler.SetIntercept(&Theirs);
    EXPECT_EQ(MessageOf<EIdException>([&] { Client.SetIOHandler(&Handler); }),
              "The IOHandler already has a different Intercept assigned");
    Handler.SetIntercept(nullptr);
    Client.SetIOHandler(&Handler);
    EXPECT_EQ(Handler.Intercept(), &Mine);
    EXPECT_EQ(Handler.WorkTarget(), &Client);
    Client.SetIOHandler(nullptr);
    EXPECT_EQ(Handler.WorkTarget(), nullptr);
}

TEST(TCPClientReferences, FreedHandlerAndInterceptAreForgotten) {
    TIdTCPClient Client;
    auto Handler = std::make_unique<TIdIOHandlerStack>();
    auto Intercept = std::make_unique<TIdConnectionIntercept>();
    Client.SetIOHandler(Handler.get());
    Client.SetIntercept(Intercept.get());
    Intercept.reset();
    EXPECT_EQ(Client.Intercept(), nullptr);
    Handler.reset();
    EXPECT_EQ(Client.IOHandler(), nullptr);
    EXPECT_EQ(Client.Socket(), nullptr);
    EXPECT_FALSE(Client.Connected());
}

TEST(TCPClientReferences, CreateIOHandlerMakesAManagedHandler) {
    TIdTCPClient Client;
    Client.CreateIOHandler();
    ASSERT_NE(Client.Socket(), nullptr);
    EXPECT_TRUE(Client.ManagedIOHandler());
    Client.CreateIOHandler<TIdIOHandlerSocket>();  // replaces (and frees) the first
    EXPECT_NE(dynamic_cast<TIdIOHandlerStack*>(Client.IOHandler()), nullptr);
    EXPECT_EQ(Client.IOHandler()->Owner(), &Client);
}

TEST(TCPClientReferences, WriteHeaderSendsOneBlock) {
    TLoopbackPeer Peer;
    Peer.ExpectUntil("\r\n\r\n");
    Peer.Start();
    TRecordedClient R(Peer);
    R.Client.Connect();
    TStringList Header;
    Header.Add("Host=example.org");
    Header.Add("X-Pair=a=b");
    R.Client.WriteHeader(Header);
    const std::string Expected = "Host: example.org\r\nX-Pair: a=b\r\n\r\n";
    EXPECT_TRUE(Peer.WaitForReceived(Expected.size(), ReadBoundMS));
    EXPECT_EQ(Peer.Received(), Expected);
}
