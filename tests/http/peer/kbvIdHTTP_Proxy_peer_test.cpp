// The HTTP client through every kind of proxy the test peers run, to nginx
// over http and https: squid as a forward proxy and for CONNECT (with and
// without its Basic login), tinyproxy, dante (SOCKS 4 and 5), microsocks
// (SOCKS 5 login), a SOCKS 4A server, and chains of two.
#include "http/kbvIdHTTP.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <typeinfo>
#include <utility>
#include <vector>

#include "net/kbvIdConnectThroughHttpProxy.h"
#include "net/kbvIdIOHandlerSocket.h"
#include "net/kbvIdSSLOpenSSL.h"
#include "net/kbvIdSocks.h"
#include "net/kbvIdStack.h"
#include "tests/support/Files.h"
#include "tests/support/Noise.h"
#include "tests/support/Peers.h"

namespace {

bool Contains(const std::string& AText, const std::string& APart) { return AText.find(APart) != std::string::npos; }

std::string Http(const std::string& APath) { return "http://localhost:" + PeerPortText("NGINX_HTTP_PORT") + APath; }

std::string Https(const std::string& APath, const std::string& AHost = "localhost") {
    return "https://" + AHost + ":" + PeerPortText("NGINX_HTTPS_PORT") + APath;
}


// A client whose TLS handler (plain for http URLs) verifies nginx against the
// test CA; it counts the TCP connections its socket makes and the ones the
// client asked for, which differ when a proxy had the connection made again.
struct TClient {
    TIdHTTP HTTP;
    TIdSSLIOHandlerSocketOpenSSL* TLS = nullptr;  // null with a plain handler
    TIdIOHandlerSocket* Handler = nullptr;
    int SocketConnects = 0;
    int ClientConnects = 0;

    explicit TClient(bool APlain = false) {
        if (APlain) {
            Handler = new TIdIOHandlerStack(&HTTP);
        } else {
            Handler = TLS = new TIdSSLIOHandlerSocketOpenSSL(&HTTP);
            TLS->SSLOptions().SetMethod(sslvSSLv23);
            TLS->SSLOptions().SetVerifyMode({sslvrfPeer});
            TLS->SSLOptions().SetRootCertFile(*PeerSetting("NGINX_CA_FILE"));
        }
        Handler->SetOnStatus([this](TObject*, TIdStatus AStatus, const std::string&) {
            SocketConnects += AStatus == hsConnecting;
        });
        HTTP.SetIOHandler(Handler);
        HTTP.SetOnConnected([this](TObject*) { ++ClientConnects; });
        HTTP.SetConnectTimeout(10000);
        HTTP.SetReadTimeout(10000);
    }
    TIdSocksInfo* Socks(const char* APortName, TSocksVersion AVersion, const std::string& AUser = "",
                        const std::string& APassword = "") {
        auto* Proxy = new TIdSocksInfo(&HTTP);
        Proxy->SetHost("127.0.0.1");
        Proxy->SetPort(*PeerPort(APortName));
        Proxy->SetVersion(AVersion);
        if (!AUser.empty()) {
            Proxy->SetUsername(AUser);
            Proxy->SetPassword(APassword);
            Proxy->SetAuthentication(saUsernamePassword);
        }
        return Proxy;
    }
    TIdConnectThroughHttpProxy* Connect(const char* APortName, const std::string& AUser = "",
                                        const std::string& APassword = "") {
        auto* Proxy = new TIdConnectThroughHttpProxy(&HTTP);
        Proxy->SetHost("127.0.0.1");
        Proxy->SetPort(*PeerPort(APortName));
        Proxy->SetEnabled(true);
        Proxy->SetUsername(AUser);
        Proxy->SetPassword(APassword);
        return Proxy;
    }
    // The first proxy of a chain goes on the handler; each opens the way to the next.
    void Through(std::vector<TIdCustomTransparentProxy*> AChain) {
        for (size_t I = 0; I + 1 < AChain.size(); ++I)
            AChain[I]->SetChainedProxy(AChain[I + 1]);
        Handler->SetTransparentProxy(AChain.front());
    }
    void ForwardProxy(const char* APortName) { ForwardProxy(*PeerPort(APortName)); }
    void ForwardProxy(uint16_t APort) {
        HTTP.ProxyParams().SetProxyServer("127.0.0.1");
        HTTP.ProxyParams().SetProxyPort(APort);
    }
    uint16_t RemotePort() { return HTTP.Socket()->Binding()->PeerPort(); }
    uint16_t LocalPort() { return HTTP.Socket()->Binding()->Port(); }
};

// What went wrong, as "<class>: <message>"; empty when nothing was thrown.
std::string Failure(const std::function<void()>& AAction) {
    try {
        AAction();
    } catch (const Exception& E) {
        return std::string(typeid(E).name()) + ": " + E.Message();
    }
    return "";
}

template <typename E>
std::string Expected(const std::string& AMessage) {
    return std::string(typeid(E).name()) + ": " + AMessage;
}

class HTTPProxyPeers : public ::testing::Test {
protected:
    void SetUp() override {
        if (!PeerPort("NGINX_HTTPS_PORT"))
            GTEST_SKIP() << "KBV_PEERS_ENV is not set: run through ctest -L peer";
    }
};

// --- one proxy -------------------------------------------------------------------

struct TRoute {
    const char* Name;
    std::function<void(TClient&)> Use;
    const char* FirstHop;          // the port name of the proxy the socket connects to
    int SocketsPerConnection = 1;  // 2: a 407 to CONNECT, then again with the login
    std::string Via = "";          // what a forwarding proxy adds to the request
    std::string Log = "";          // a peer's log (under PEER_DIR) that names the target...
    std::string LogLine = "";      // ...as this
};

TEST_F(HTTPProxyPeers, EveryProxyKindCarriesGetAndPostOverHttpAndHttps) {
    const std::string Target = "localhost:" + PeerPortText("NGINX_HTTPS_PORT");
    const TRoute Routes[] = {
        {"squid, forward proxy", [](TClient& C) { C.ForwardProxy("SQUID_PORT"); }, "SQUID_PORT", 1,
         "\r\nVia: 1.1 localhost (squid/", "squid/logs/access.log", " GET " + Http("/echo/headers") + " "},
        {"tinyproxy, forward proxy", [](TClient& C) { C.ForwardProxy("TINYPROXY_PORT"); }, "TINYPROXY_PORT", 1,
         "\r\nVia: 1.1 tinyproxy (tinyproxy/"},
        {"squid, CONNECT", [](TClient& C) { C.Through({C.Connect("SQUID_PORT")}); }, "SQUID_PORT", 1, "",
         "squid/logs/access.log", " CONNECT " + Target + " "},
        {"squid, CONNECT with Basic login",
         [](TClient& C) {
             C.Through({C.Connect("SQUID_AUTH_PORT", *PeerSetting("SQUID_AUTH_USER"),
                                  *PeerSetting("SQUID_AUTH_PASS"))});
         },
         "SQUID_AUTH_PORT", 2, "", "squid-auth/logs/access.log", " CONNECT " + Target + " pu "},
        {"tinyproxy, CONNECT", [](TClient& C) { C.Through({C.Connect("TINYPROXY_PORT")}); }, "TINYPROXY_PORT"},
        {"dante, SOCKS 4", [](TClient& C) { C.Through({C.Socks("DANTE_PORT", svSocks4)}); }, "DANTE_PORT"},
        {"dante, SOCKS 5", [](TClient& C) { C.Through({C.Socks("DANTE_PORT", svSocks5)}); }, "DANTE_PORT"},
        {"microsocks, SOCKS 5 with login",
         [](TClient& C) {
             C.Through({C.Socks("MICROSOCKS_PORT", svSocks5, *PeerSetting("MICROSOCKS_USER"),
                                *PeerSetting("MICROSOCKS_PASS"))});
         },
         "MICROSOCKS_PORT"},
        {"socks4a.py, SOCKS 4", [](TClient& C) { C.Through({C.Socks("SOCKS4A_PORT", svSocks4)}); }, "SOCKS4A_PORT",
         1, "", "socks4a/socks4a.log", "v4 user='' 127.0.0.1:" + PeerPortText("NGINX_HTTPS_PORT") + " connected"},
        // The proxy, not the client, finds out what "localhost" is.
        {"socks4a.py, SOCKS 4A", [](TClient& C) { C.Through({C.Socks("SOCKS4A_PORT", svSocks4A)}); },
         "SOCKS4A_PORT", 1, "", "socks4a/socks4a.log", "v4a user='' " + Target + " connected"},
    };
    const std::string Sent = Noise(65536);
    const std::string File = FileText(PeerFile("size-1048576.bin"));
    for (const TRoute& Route : Routes) {
        SCOPED_TRACE(Route.Name);
        std::optional<TPeerLogTail> Log;
        if (!Route.Log.empty())
            Log.emplace(Route.Log);
        TClient C;
        Route.Use(C);
        auto Echo = [&](const std::string& AURL) {
            TStringStream Source(Sent), Got;
            C.HTTP.Post(AURL, &Source, &Got);
            return Got.DataString();
        };

        const std::string Head = C.HTTP.Get(Http("/echo/headers"));
        EXPECT_EQ(Head.rfind("GET /echo/headers HTTP/1.1\r\n", 0), 0u) << Head;
        EXPECT_EQ(C.RemotePort(), *PeerPort(Route.FirstHop));
        EXPECT_EQ(Contains(Head, "\r\nVia:"), !Route.Via.empty()) << Head;
        EXPECT_TRUE(Contains(Head, Route.Via)) << Head;
        EXPECT_TRUE(Echo(Http("/echo/body")) == Sent) << "the echo differs";

        const std::string Tls = C.HTTP.Get(Https("/tls"));
        EXPECT_TRUE(Contains(Tls, "protocol=TLSv1.")) << Tls;
        EXPECT_TRUE(Contains(Tls, "sni=localhost\n")) << Tls;
        EXPECT_FALSE(C.TLS->SSLVersion().empty());
        EXPECT_EQ(C.RemotePort(), *PeerPort(Route.FirstHop));
        TStringStream Got;
        C.HTTP.Get(Https("/files/size-1048576.bin"), &Got);
        EXPECT_TRUE(Got.DataString() == File) << "the file differs from the one on disk";
        EXPECT_TRUE(Echo(Https("/echo/body")) == Sent) << "the echo differs";
        C.HTTP.SetHandleRedirects(true);
        EXPECT_EQ(C.HTTP.Get(Http("/redir/to-https")), "final GET\n");
        EXPECT_EQ(C.RemotePort(), *PeerPort(Route.FirstHop));

        EXPECT_GE(C.ClientConnects, 3);
        EXPECT_EQ(C.SocketConnects, Route.SocketsPerConnection * C.ClientConnects);
        C.HTTP.Disconnect();
        if (Log) {
            EXPECT_TRUE(Log->Has(Route.LogLine)) << Route.LogLine;
        }
    }
}

TEST_F(HTTPProxyPeers, RefusingProxiesRaiseTheirReason) {
    struct TCase {
        const char* Name;
        std::function<void(TClient&)> Use;
        std::string Failure;
        std::string URL = Https("/tls");
    };
    const std::string Status407 = "HTTP/1.1 407 Proxy Authentication Required";
    const TCase Cases[] = {
        {"squid CONNECT, wrong password",
         [](TClient& C) { C.Through({C.Connect("SQUID_AUTH_PORT", "pu", "wrong")}); },
         Expected<EIdHttpProxyError>(Status407)},
        {"squid CONNECT, no login", [](TClient& C) { C.Through({C.Connect("SQUID_AUTH_PORT")}); },
         Expected<EIdHttpProxyError>(Status407)},
        {"squid CONNECT, wrong password, plain http",
         [](TClient& C) { C.Through({C.Connect("SQUID_AUTH_PORT", "pu", "wrong")}); },
         Expected<EIdHttpProxyError>(Status407), Http("/echo/headers")},
        {"microsocks, wrong password",
         [](TClient& C) { C.Through({C.Socks("MICROSOCKS_PORT", svSocks5, "mu", "wrong")}); },
         Expected<EIdSocksAuthError>("Authentication error to socks server.")},
        {"microsocks, no login offered",
         [](TClient& C) { C.Through({C.Socks("MICROSOCKS_PORT", svSocks5)}); },
         Expected<EIdSocksAuthMethodError>("Invalid socks authentication method.")},
        // dante takes 0.0.0.1 for the target and drops the name.
        {"dante, SOCKS 4A", [](TClient& C) { C.Through({C.Socks("DANTE_PORT", svSocks4A)}); },
         Expected<EIdSocksRequestFailed>("Request rejected or failed.")},
        {"dante, SOCKS 5 to a name nobody knows",
         [](TClient& C) { C.Through({C.Socks("DANTE_PORT", svSocks5)}); },
         Expected<EIdSocksServerHostUnreachableError>("Host unreachable."),
         "https://no-such-host.invalid:" + PeerPortText("NGINX_HTTPS_PORT") + "/tls"},
        {"socks4a.py, SOCKS 4A to a name nobody knows",
         [](TClient& C) { C.Through({C.Socks("SOCKS4A_PORT", svSocks4A)}); },
         Expected<EIdSocksRequestFailed>("Request rejected or failed."),
         "https://no-such-host.invalid:" + PeerPortText("NGINX_HTTPS_PORT") + "/tls"},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        TClient C;
        Case.Use(C);
        EXPECT_EQ(Failure([&] { C.HTTP.Get(Case.URL); }), Case.Failure);
        EXPECT_FALSE(C.HTTP.Connected());
    }
}

// The same client, refused for a wrong password, gets through once it is right.
TEST_F(HTTPProxyPeers, CorrectedLoginGetsThroughOnTheSameClient) {
    TClient C;
    TIdSocksInfo* Socks = C.Socks("MICROSOCKS_PORT", svSocks5, "mu", "wrong");
    TIdConnectThroughHttpProxy* Connect = C.Connect("SQUID_AUTH_PORT", "pu", "wrong");
    C.Through({Socks});
    EXPECT_EQ(Failure([&] { C.HTTP.Get(Https("/tls")); }),
              Expected<EIdSocksAuthError>("Authentication error to socks server."));
    Socks->SetPassword("mp");
    EXPECT_TRUE(Contains(C.HTTP.Get(Https("/tls")), "sni=localhost\n"));

    C.HTTP.Disconnect();
    C.Through({Connect});
    EXPECT_EQ(Failure([&] { C.HTTP.Get(Https("/tls")); }),
              Expected<EIdHttpProxyError>("HTTP/1.1 407 Proxy Authentication Required"));
    Connect->SetPassword("pp");
    EXPECT_TRUE(Contains(C.HTTP.Get(Https("/tls")), "sni=localhost\n"));
    EXPECT_EQ(C.RemotePort(), *PeerPort("SQUID_AUTH_PORT"));
}

// --- chains ----------------------------------------------------------------------

// The socket connects to the first proxy; TLS runs end to end with the target
// and checks its certificate for "localhost", the name in the URL.
TEST_F(HTTPProxyPeers, ChainsOfTwoReachTheTargetThroughBoth) {
    const std::string Target = "localhost:" + PeerPortText("NGINX_HTTPS_PORT");
    const TRoute Chains[] = {
        {"SOCKS 5 into CONNECT",
         [](TClient& C) { C.Through({C.Socks("DANTE_PORT", svSocks5), C.Connect("SQUID_PORT")}); }, "DANTE_PORT",
         1, "", "squid/logs/access.log", " CONNECT " + Target + " "},
        {"CONNECT into SOCKS 5",
         [](TClient& C) { C.Through({C.Connect("SQUID_PORT"), C.Socks("DANTE_PORT", svSocks5)}); }, "SQUID_PORT", 1,
         "", "squid/logs/access.log", " CONNECT 127.0.0.1:" + PeerPortText("DANTE_PORT") + " "},
        // The 407 closes the connection: it is made again through the whole chain.
        {"SOCKS 5 with login into CONNECT with login",
         [](TClient& C) {
             C.Through({C.Socks("MICROSOCKS_PORT", svSocks5, "mu", "mp"), C.Connect("SQUID_AUTH_PORT", "pu", "pp")});
         },
         "MICROSOCKS_PORT", 2, "", "squid-auth/logs/access.log", " CONNECT " + Target + " pu "},
        // The client's own proxy is reached through the tunnel, and asked for one in turn.
        {"SOCKS 5 into squid as the client's proxy",
         [](TClient& C) {
             C.Through({C.Socks("DANTE_PORT", svSocks5)});
             C.ForwardProxy("SQUID_PORT");
         },
         "DANTE_PORT", 1, "", "squid/logs/access.log", " CONNECT " + Target + " "},
        {"SOCKS 4A into CONNECT with login",
         [](TClient& C) { C.Through({C.Socks("SOCKS4A_PORT", svSocks4A), C.Connect("SQUID_AUTH_PORT", "pu", "pp")}); },
         "SOCKS4A_PORT", 2, "", "socks4a/socks4a.log", "v4a user='' 127.0.0.1:" + PeerPortText("SQUID_AUTH_PORT")},
    };
    const std::string File = FileText(PeerFile("size-65536.bin"));
    for (const TRoute& Chain : Chains) {
        SCOPED_TRACE(Chain.Name);
        const TPeerLogTail Log(Chain.Log);
        TClient C;
        Chain.Use(C);
        const std::string Tls = C.HTTP.Get(Https("/tls"));
        EXPECT_TRUE(Contains(Tls, "sni=localhost\n")) << Tls;
        EXPECT_EQ(C.TLS->URIToCheck(), Https("/tls"));
        EXPECT_EQ(C.RemotePort(), *PeerPort(Chain.FirstHop));
        TStringStream Got;
        C.HTTP.Get(Https("/files/size-65536.bin"), &Got);
        EXPECT_TRUE(Got.DataString() == File) << "the file differs from the one on disk";
        EXPECT_EQ(C.ClientConnects, 1);
        EXPECT_EQ(C.SocketConnects, Chain.SocketsPerConnection);
        C.HTTP.Disconnect();
        EXPECT_TRUE(Log.Has(Chain.LogLine)) << Chain.LogLine;
    }
}

// --- connections -----------------------------------------------------------------

TEST_F(HTTPProxyPeers, TunnelStaysOpenAcrossRequests) {
    struct TCase {
        const char* Name;
        bool Secure;
        bool Plain;  // a handler without TLS
        std::function<void(TClient&)> Use;
        int SocketConnects;
    };
    const TCase Cases[] = {
        {"SOCKS 5, https", true, false, [](TClient& C) { C.Through({C.Socks("DANTE_PORT", svSocks5)}); }, 1},
        {"SOCKS 5, http, plain handler", false, true,
         [](TClient& C) { C.Through({C.Socks("DANTE_PORT", svSocks5)}); }, 1},
        // The connection made again after the 407 is the one that stays.
        {"CONNECT with login, http, plain handler", false, true,
         [](TClient& C) { C.Through({C.Connect("SQUID_AUTH_PORT", "pu", "pp")}); }, 2},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        TClient C(Case.Plain);
        Case.Use(C);
        auto URL = [&](const std::string& APath) { return Case.Secure ? Https(APath) : Http(APath); };
        C.HTTP.Get(URL("/files/size-1.bin"));
        const uint16_t Port = C.LocalPort();
        for (const char* Name : {"size-0.bin", "size-1024.bin", "size-65536.bin", "size-1.bin"}) {
            TStringStream Got;
            C.HTTP.Get(URL(std::string("/files/") + Name), &Got);
            EXPECT_TRUE(Got.DataString() == FileText(PeerFile(Name))) << Name;
            EXPECT_EQ(C.LocalPort(), Port) << Name;
        }
        EXPECT_EQ(C.ClientConnects, 1);
        EXPECT_EQ(C.SocketConnects, Case.SocketConnects);
    }
}

// A proxy that takes the connection and never answers: the client's read
// time-out ends the wait, whatever the kind.
TEST_F(HTTPProxyPeers, SilentProxyEndsInReadTimeout) {
    // The kernel completes the handshakes; nobody reads or answers.
    struct TSilentListener {
        int Fd = ::socket(AF_INET, SOCK_STREAM, 0);
        ~TSilentListener() { ::close(Fd); }
        uint16_t Listen() {
            sockaddr_in Address{};
            Address.sin_family = AF_INET;
            Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            socklen_t Length = sizeof(Address);
            if (::bind(Fd, reinterpret_cast<sockaddr*>(&Address), Length) != 0 || ::listen(Fd, 8) != 0 ||
                ::getsockname(Fd, reinterpret_cast<sockaddr*>(&Address), &Length) != 0)
                return 0;
            return ntohs(Address.sin_port);
        }
    } Listener;
    const uint16_t Port = Listener.Listen();
    ASSERT_NE(Port, 0);

    const std::vector<std::pair<const char*, std::function<TIdCustomTransparentProxy*(TClient&)>>> Kinds = {
        {"SOCKS 4", [](TClient& C) { return C.Socks("DANTE_PORT", svSocks4); }},
        {"SOCKS 5", [](TClient& C) { return C.Socks("DANTE_PORT", svSocks5); }},
        {"CONNECT", [](TClient& C) { return C.Connect("SQUID_PORT"); }},
    };
    for (const auto& [Name, Make] : Kinds) {
        SCOPED_TRACE(Name);
        TClient C;
        C.HTTP.SetReadTimeout(500);
        TIdCustomTransparentProxy* Proxy = Make(C);
        Proxy->SetPort(Port);
        C.Through({Proxy});
        EXPECT_EQ(Failure([&] { C.HTTP.Get(Https("/tls")); }), Expected<EIdReadTimeout>("Read timed out."));
    }
    {
        SCOPED_TRACE("the client's own proxy");
        TClient C;
        C.HTTP.SetReadTimeout(500);
        C.ForwardProxy(Port);
        EXPECT_EQ(Failure([&] { C.HTTP.Get(Https("/tls")); }), Expected<EIdReadTimeout>("Read timed out."));
    }
}

// The socket takes the address family of the proxy it connects to, not the
// target's: dante (on 127.0.0.1 and ::1) and squid reach nginx on both.
TEST_F(HTTPProxyPeers, ProxyAndTargetMayDifferInAddressFamily) {
    struct TCase {
        const char* Name;
        const char* ProxyPort;
        TSocksVersion Version;  // svNoSocks: squid's CONNECT
        const char* ProxyHost;
        std::string Host;          // of the target
        std::string Failure = "";  // empty: the page comes
    };
    const TCase Cases[] = {
        {"SOCKS 5, IPv6 to IPv6", "DANTE_PORT", svSocks5, "::1", "[::1]"},
        {"SOCKS 5, IPv4 to IPv6", "DANTE_PORT", svSocks5, "127.0.0.1", "[::1]"},
        {"SOCKS 5, IPv6 to IPv4", "DANTE_PORT", svSocks5, "::1", "localhost"},
        {"CONNECT, IPv4 to IPv6", "SQUID_PORT", svNoSocks, "127.0.0.1", "[::1]"},
        {"SOCKS 4, IPv4 to IPv6", "DANTE_PORT", svSocks4, "127.0.0.1", "[::1]",
         Expected<EIdSocksError>("SOCKS 4 reaches IPv4 addresses only, not \"::1\"")},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        TClient C;
        TIdCustomTransparentProxy* Proxy =
            Case.Version == svNoSocks ? static_cast<TIdCustomTransparentProxy*>(C.Connect(Case.ProxyPort))
                                      : C.Socks(Case.ProxyPort, Case.Version);
        Proxy->SetHost(Case.ProxyHost);
        Proxy->SetIPVersion(TIdStack::IsValidIPv6(Case.ProxyHost) ? Id_IPv6 : Id_IPv4);
        C.Through({Proxy});
        std::string Tls;
        const std::string Got = Failure([&] { Tls = C.HTTP.Get(Https("/tls", Case.Host)); });
        EXPECT_EQ(Got, Case.Failure);
        if (!Got.empty() || !Case.Failure.empty())
            continue;
        EXPECT_TRUE(Contains(Tls, Case.Host == "localhost" ? "sni=localhost\n" : "sni=\n")) << Tls;
        EXPECT_EQ(C.HTTP.Socket()->Binding()->PeerIP(),
                  Case.ProxyHost == std::string("::1") ? "0:0:0:0:0:0:0:1" : Case.ProxyHost);
        EXPECT_EQ(C.RemotePort(), *PeerPort(Case.ProxyPort));
    }
}

}  // namespace
