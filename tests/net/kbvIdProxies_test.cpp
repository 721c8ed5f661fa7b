// Transparent proxies against a scripted peer: the exact bytes of each
// negotiation, every refusal with its message, stalls and closes in the
// middle, chains, and who owns the proxy object.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>

#include "net/kbvIdConnectThroughHttpProxy.h"
#include "net/kbvIdSocks.h"
#include "net/kbvIdTCPClient.h"
#include "tests/net/support/LoopbackPeer.h"
#include "tests/support/MessageOf.h"

namespace {

std::string Bytes(std::initializer_list<int> AValues) {
    std::string Result;
    for (int Value : AValues)
        Result += static_cast<char>(Value);
    return Result;
}

const std::string Socks5Granted = Bytes({5, 0, 0, 1, 127, 0, 0, 1, 0x1F, 0x90});

// A client that reaches ATarget:APort through a proxy on the scripted peer.
struct TProxiedClient {
    TIdTCPClient Client;
    TIdIOHandlerStack* IO = new TIdIOHandlerStack(&Client);

    TProxiedClient(TIdCustomTransparentProxy* AProxy, const TLoopbackPeer& APeer, const std::string& ATarget,
                   uint16_t APort, int AReadTimeout = 2000) {
        AProxy->SetHost(APeer.Host());
        AProxy->SetPort(APeer.Port());
        IO->SetTransparentProxy(AProxy);
        Client.SetIOHandler(IO);
        Client.SetHost(ATarget);
        Client.SetPort(APort);
        Client.SetReadTimeout(AReadTimeout);
    }
};

TIdSocksInfo* Socks(TComponent* AOwner, TSocksVersion AVersion, const std::string& AUser = "",
                    const std::string& APassword = "") {
    auto* Result = new TIdSocksInfo(AOwner);
    Result->SetVersion(AVersion);
    Result->SetUsername(AUser);
    Result->SetPassword(APassword);
    Result->SetAuthentication(AVersion == svSocks5 && !AUser.empty() ? saUsernamePassword : saNoAuthentication);
    return Result;
}

TIdConnectThroughHttpProxy* HttpProxy(TComponent* AOwner, const std::string& AUser = "",
                                      const std::string& APassword = "") {
    auto* Result = new TIdConnectThroughHttpProxy(AOwner);
    Result->SetEnabled(true);
    Result->SetUsername(AUser);
    Result->SetPassword(APassword);
    return Result;
}

}  // namespace

TEST(SocksNegotiation, RequestsAreByteExact) {
    struct TCase {
        const char* Name;
        TSocksVersion Version;
        std::string User, Password, Target;
        uint16_t Port;
        std::function<void(TLoopbackPeer&)> Script;
        std::string Sent;
    };
    const std::string Socks4Granted = Bytes({0, 90, 0, 0, 0, 0, 0, 0});
    const TCase Cases[] = {
        {"4A to a name", svSocks4A, "u", "", "example", 443,
         [&](TLoopbackPeer& P) { P.Expect(18).Send(Socks4Granted); },
         Bytes({4, 1, 1, 0xBB, 0, 0, 0, 1, 'u', 0}) + "example" + Bytes({0})},
        {"4 to an address", svSocks4, "u", "", "10.0.0.1", 80,
         [&](TLoopbackPeer& P) { P.Expect(10).Send(Socks4Granted); },
         Bytes({4, 1, 0, 80, 10, 0, 0, 1, 'u', 0})},
        {"5 to an IPv4 address", svSocks5, "", "", "10.0.0.1", 80,
         [&](TLoopbackPeer& P) { P.Expect(3).Send(Bytes({5, 0})).Expect(10).Send(Socks5Granted); },
         Bytes({5, 1, 0, 5, 1, 0, 1, 10, 0, 0, 1, 0, 80})},
        {"5 to an IPv6 address, bound to a name", svSocks5, "", "", "::1", 443,
         [&](TLoopbackPeer& P) { P.Expect(3).Send(Bytes({5, 0})).Expect(22).Send(Bytes({5, 0, 0, 3, 2, 'h', 'i', 0, 1})); },
         Bytes({5, 1, 0, 5, 1, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 0xBB})},
        {"5 to a name with a login", svSocks5, "mu", "mp", "localhost", 8080,
         [&](TLoopbackPeer& P) {
             P.Expect(3).Send(Bytes({5, 2})).Expect(7).Send(Bytes({1, 0})).Expect(16).Send(Socks5Granted);
         },
         Bytes({5, 1, 2, 1, 2, 'm', 'u', 2, 'm', 'p', 5, 1, 0, 3, 9}) + "localhost" + Bytes({0x1F, 0x90})},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        TLoopbackPeer Peer;
        Case.Script(Peer);
        Peer.Start();
        TIdTCPClient Owner;
        TProxiedClient Client(Socks(&Owner, Case.Version, Case.User, Case.Password), Peer, Case.Target, Case.Port);
        EXPECT_EQ(MessageOf([&] { Client.Client.Connect(); }), "(no exception)");
        EXPECT_TRUE(Client.Client.Connected());
        Client.Client.Disconnect();
        EXPECT_TRUE(Peer.Wait(5000));
        EXPECT_EQ(Peer.Received(), Case.Sent);
    }
}

TEST(SocksNegotiation, RefusalsRaiseTheirMessages) {
    struct TCase {
        TSocksVersion Version;
        std::string User;
        std::function<void(TLoopbackPeer&)> Script;
        std::string Expected;
    };
    auto Socks4Reply = [](int ACode) {
        return [ACode](TLoopbackPeer& P) { P.Expect(9).Send(Bytes({0, ACode, 0, 0, 0, 0, 0, 0})); };
    };
    auto Socks5Reply = [](int ACode) {
        return [ACode](TLoopbackPeer& P) {
            P.Expect(3).Send(Bytes({5, 0})).Expect(10).Send(Bytes({5, ACode, 0, 1, 0, 0, 0, 0, 0, 0}));
        };
    };
    const TCase Cases[] = {
        {svSocks4, "", Socks4Reply(91), "Request rejected or failed."},
        {svSocks4, "", Socks4Reply(92), "Request rejected because SOCKS server cannot connect."},
        {svSocks4, "", Socks4Reply(93),
         "Request rejected because the client program and identd report different user-ids."},
        {svSocks4, "", Socks4Reply(0), "Unknown socks error."},
        {svSocks5, "", [](TLoopbackPeer& P) { P.Expect(3).Send(Bytes({5, 0xFF})); },
         "Invalid socks authentication method."},
        {svSocks5, "", [](TLoopbackPeer& P) { P.Expect(3).Send(Bytes({5, 2})); },
         "Invalid socks authentication method."},
        {svSocks5, "mu", [](TLoopbackPeer& P) { P.Expect(3).Send(Bytes({5, 2})).Expect(6).Send(Bytes({1, 1})); },
         "Authentication error to socks server."},
        {svSocks5, "", Socks5Reply(1), "General SOCKS server failure."},
        {svSocks5, "", Socks5Reply(2), "Connection not allowed by ruleset."},
        {svSocks5, "", Socks5Reply(3), "Network unreachable."},
        {svSocks5, "", Socks5Reply(4), "Host unreachable."},
        {svSocks5, "", Socks5Reply(5), "Connection refused."},
        {svSocks5, "", Socks5Reply(6), "TTL expired."},
        {svSocks5, "", Socks5Reply(7), "Command not supported."},
        {svSocks5, "", Socks5Reply(8), "Address type not supported."},
        {svSocks5, "", Socks5Reply(9), "Unknown socks error."},
        {svSocks5, "", [](TLoopbackPeer& P) { P.Expect(3).Send(Bytes({5, 0})).Expect(10).Send(Bytes({5, 0, 0, 7, 0})); },
         "Address type not supported."},
        // In the middle of a negotiation: a stall, a close.
        {svSocks5, "", [](TLoopbackPeer& P) { P.Expect(3).Send(Bytes({5})).Hold(); }, "Read timed out."},
        {svSocks5, "", [](TLoopbackPeer& P) { P.Expect(3).Send(Bytes({5, 0})).Expect(10).Send(Bytes({5, 0, 0})).Close(); },
         "Connection Closed Gracefully."},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Expected);
        TLoopbackPeer Peer;
        Case.Script(Peer);
        Peer.Start();
        TIdTCPClient Owner;
        TProxiedClient Client(Socks(&Owner, Case.Version, Case.User, "p"), Peer, "10.0.0.1", 80, 300);
        const auto Start = std::chrono::steady_clock::now();
        EXPECT_EQ(MessageOf([&] { Client.Client.Connect(); }), Case.Expected);
        EXPECT_LT(std::chrono::steady_clock::now() - Start, std::chrono::milliseconds(1500));
        EXPECT_FALSE(Client.Client.Connected());
        Peer.Stop();
    }
}

// What cannot be written as asked stops before the request goes out:
// a cut name or password would reach something else.
TEST(SocksNegotiation, WhatDoesNotFitIsRefusedNotCut) {
    const std::string Long(256, 'a');
    struct TCase {
        TSocksVersion Version;
        std::string User, Password, Target;
        std::string Expected;
    };
    const TCase Cases[] = {
        {svSocks5, "", "", Long, "The SOCKS host name is longer than 255 bytes"},
        {svSocks5, Long, "p", "localhost", "The SOCKS user name is longer than 255 bytes"},
        {svSocks5, "u", Long, "localhost", "The SOCKS password is longer than 255 bytes"},
        {svSocks4A, "", "", std::string("evil\0.example", 13), "The SOCKS host name holds a NUL character"},
        {svSocks4, "", "", "::1", "SOCKS 4 reaches IPv4 addresses only, not \"::1\""},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Expected);
        TLoopbackPeer Peer;
        Peer.Start();
        TIdTCPClient Owner;
        TProxiedClient Client(Socks(&Owner, Case.Version, Case.User, Case.Password), Peer, Case.Target, 80);
        EXPECT_EQ(MessageOf([&] { Client.Client.Connect(); }), Case.Expected);
        Peer.Stop();
        EXPECT_EQ(Peer.Received(), "");
    }
    // The longest name that fits makes the longest request: 262 bytes.
    TLoopbackPeer Peer;
    Peer.Expect(3).Send(Bytes({5, 0})).Expect(262).Send(Socks5Granted);
    Peer.Start();
    TIdTCPClient Owner;
    TProxiedClient Client(Socks(&Owner, svSocks5), Peer, std::string(255, 'n'), 80);
    Client.Client.Connect();
    EXPECT_TRUE(Peer.WaitForReceived(3 + 262, 2000));
}

TEST(HttpConnectProxy, RequestsAnswersAndLogin) {
    const std::string Established = "HTTP/1.1 200 Connection established\r\n\r\n";
    struct TCase {
        const char* Name;
        std::string Target, User;
        std::function<void(TLoopbackPeer&)> Script;
        std::string Expected;  // the message, or "" when the tunnel opens
        std::string Sent;
    };
    const std::string Connect = "CONNECT example.invalid:443 HTTP/1.0\r\n";
    const std::string Login = "Proxy-Authorization: Basic dTpw\r\n";  // u:p
    const TCase Cases[] = {
        {"opens", "example.invalid", "",
         [&](TLoopbackPeer& P) { P.ExpectUntil("\r\n\r\n").Send(Established); }, "", Connect + "\r\n"},
        {"an IPv6 target in brackets", "::1", "",
         [&](TLoopbackPeer& P) { P.ExpectUntil("\r\n\r\n").Send(Established); }, "",
         "CONNECT [::1]:443 HTTP/1.0\r\n\r\n"},
        {"403", "example.invalid", "",
         [](TLoopbackPeer& P) { P.ExpectUntil("\r\n\r\n").Send("HTTP/1.1 403 Forbidden by rule\r\nContent-Length: 2\r\n\r\nno"); },
         "HTTP/1.1 403 Forbidden by rule", Connect + "\r\n"},
        {"407 on a kept connection", "example.invalid", "u",
         [&](TLoopbackPeer& P) {
             P.ExpectUntil("\r\n\r\n").Send("HTTP/1.1 407 Login\r\nContent-Length: 3\r\n\r\nwho");
             P.ExpectUntil("\r\n\r\n").Send(Established);
         },
         "", Connect + "\r\n" + Connect + Login + "\r\n"},
        {"407 and a close: a new connection", "example.invalid", "u",
         [&](TLoopbackPeer& P) {
             P.ExpectUntil("\r\n\r\n").Send("HTTP/1.0 407 Login\r\nProxy-Connection: close\r\n\r\n").Close();
             P.NextConnection().ExpectUntil("\r\n\r\n").Send(Established);
         },
         "", Connect + "\r\n" + Connect + Login + "\r\n"},
        {"407 without credentials", "example.invalid", "",
         [](TLoopbackPeer& P) { P.ExpectUntil("\r\n\r\n").Send("HTTP/1.1 407 Login\r\n\r\n"); },
         "HTTP/1.1 407 Login", Connect + "\r\n"},
        {"no status line", "example.invalid", "",
         [](TLoopbackPeer& P) { P.ExpectUntil("\r\n\r\n").Send("SSH-2.0-OpenSSH\r\n\r\n"); }, "SSH-2.0-OpenSSH",
         Connect + "\r\n"},
        {"an empty line", "example.invalid", "", [](TLoopbackPeer& P) { P.ExpectUntil("\r\n\r\n").Send("\r\n"); },
         "The proxy answered CONNECT with an empty line", Connect + "\r\n"},
        {"a stall", "example.invalid", "", [](TLoopbackPeer& P) { P.ExpectUntil("\r\n\r\n").Send("HTTP/1.1 200").Hold(); },
         "Read timed out.", Connect + "\r\n"},
        {"a CR in the target", "evil\r\nX: y", "", [](TLoopbackPeer&) {},
         "The host \"evil\r\nX: y\" cannot go into a CONNECT line", ""},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        TLoopbackPeer Peer;
        Case.Script(Peer);
        Peer.Start();
        TIdTCPClient Owner;
        TProxiedClient Client(HttpProxy(&Owner, Case.User, Case.User.empty() ? "" : "p"), Peer, Case.Target, 443, 300);
        const std::string Message = MessageOf([&] { Client.Client.Connect(); });
        EXPECT_EQ(Message, Case.Expected.empty() ? "(no exception)" : Case.Expected);
        EXPECT_EQ(Client.Client.Connected(), Case.Expected.empty());
        Client.Client.Disconnect();
        Peer.Stop();
        EXPECT_EQ(Peer.Received(), Case.Sent);
    }
}

TEST(HttpConnectProxy, WhatFollowsA200BelongsToTheTarget) {
    TLoopbackPeer Peer;
    Peer.ExpectUntil("\r\n\r\n").Send("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello from the target\n");
    Peer.Start();
    TIdTCPClient Owner;
    TProxiedClient Client(HttpProxy(&Owner), Peer, "example.invalid", 80);
    Client.Client.Connect();
    EXPECT_EQ(Client.IO->ReadLn(), "hello from the target");
}

// A chain: the proxy the socket reaches opens the way to the next proxy,
// which opens the way to the target; here one peer plays both.
TEST(ProxyChain, EachProxyOpensTheWayToTheNext) {
    TLoopbackPeer Peer;
    Peer.Expect(3).Send(Bytes({5, 0})).Expect(10).Send(Socks5Granted);
    Peer.ExpectUntil("\r\n\r\n").Send("HTTP/1.1 200 Connection established\r\n\r\n");
    Peer.Start();
    TIdTCPClient Owner;
    TIdConnectThroughHttpProxy* Second = HttpProxy(&Owner);
    Second->SetHost("10.0.0.2");
    Second->SetPort(3128);
    TIdSocksInfo* First = Socks(&Owner, svSocks5);
    First->SetChainedProxy(Second);
    TProxiedClient Client(First, Peer, "example.invalid", 443);
    Client.Client.Connect();
    Peer.Stop();
    EXPECT_EQ(Peer.Received(), Bytes({5, 1, 0, 5, 1, 0, 1, 10, 0, 0, 2, 0x0C, 0x38}) +
                                   "CONNECT example.invalid:443 HTTP/1.0\r\n\r\n");

    // A chain may not come back to itself.
    EXPECT_EQ(MessageOf([&] { Second->SetChainedProxy(First); }), "TIdConnectThroughHttpProxy: Circular links are not allowed");
    EXPECT_EQ(MessageOf([&] { First->SetChainedProxy(First); }), "TIdSocksInfo: Circular links are not allowed");
    // A freed link leaves the chain.
    delete Second;
    EXPECT_EQ(First->ChainedProxy(), nullptr);
}

TEST(ProxyOwnership, TheHandlerOwnsWhatItMadeOrCopied) {
    TIdIOHandlerStack Handler;
    TIdCustomTransparentProxy* Made = Handler.TransparentProxy();
    ASSERT_NE(dynamic_cast<TIdSocksInfo*>(Made), nullptr);
    EXPECT_FALSE(Made->Enabled());
    EXPECT_EQ(Made->Port(), 1080);

    // A proxy without owner is copied: the caller's may go away.
    {
        TIdConnectThroughHttpProxy Unowned(nullptr);
        Unowned.SetHost("proxy.example");
        Unowned.SetEnabled(true);
        Handler.SetTransparentProxy(&Unowned);
    }
    auto* Copy = dynamic_cast<TIdConnectThroughHttpProxy*>(Handler.TransparentProxy());
    ASSERT_NE(Copy, nullptr);
    EXPECT_EQ(Copy->Host(), "proxy.example");
    EXPECT_TRUE(Copy->Enabled());

    // One with an owner is referenced, and forgotten when it is freed.
    TIdTCPClient Owner;
    auto* Referenced = new TIdSocksInfo(&Owner);
    Handler.SetTransparentProxy(Referenced);
    EXPECT_EQ(Handler.TransparentProxy(), Referenced);
    delete Referenced;
    EXPECT_NE(Handler.TransparentProxy(), nullptr);  // a new owned, disabled one
    EXPECT_FALSE(Handler.TransparentProxy()->Enabled());
}
