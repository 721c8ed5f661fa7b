// TLS over OpenSSL against in-process peers: the option rules, and every
// way a handshake or a TLS stream can go wrong, each ending in a clear
// exception within the handler's time-outs.
#include "net/kbvIdSSLOpenSSL.h"

#include <gtest/gtest.h>

#include <openssl/ssl.h>
#include <sys/socket.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "net/kbvIdTCPClient.h"
#include "tests/net/support/LoopbackPeer.h"
#include "tests/net/support/TLSLoopbackServer.h"
#include "tests/support/MessageOf.h"

namespace {

using Clock = std::chrono::steady_clock;

// A TCP client whose handler starts TLS at connect.
struct TTLSClient {
    TIdTCPClient Client;
    TIdSSLIOHandlerSocketOpenSSL* TLS = new TIdSSLIOHandlerSocketOpenSSL(&Client);

    TTLSClient(uint16_t APort, int AReadTimeout, int AConnectTimeout = 0) {
        Client.SetHost("127.0.0.1");
        Client.SetPort(APort);
        TLS->SSLOptions().SetMethod(sslvSSLv23);
        TLS->SetPassThrough(false);
        Client.SetIOHandler(TLS);
        Client.SetReadTimeout(AReadTimeout);
        Client.SetConnectTimeout(AConnectTimeout);
    }
    // Verifies the server against the certificate of an in-process server.
    void Trust(const std::string& ACertFile) {
        TLS->SSLOptions().SetVerifyMode({sslvrfPeer});
        TLS->SSLOptions().SetRootCertFile(ACertFile);
    }
};

const std::string Response = "HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\n0123456789";

}  // namespace

TEST(SSLOptions, MethodAndVersionsFollowEachOther) {
    TIdSSLOptions Options;
    EXPECT_EQ(Options.Method(), sslvTLSv1);
    EXPECT_EQ(Options.SSLVersions(), TIdSSLVersions{sslvTLSv1});

    Options.SetMethod(sslvSSLv23);
    EXPECT_EQ(Options.SSLVersions().Bits(), 125u);
    Options.SetMethod(sslvTLSv1_2);
    EXPECT_EQ(Options.SSLVersions(), TIdSSLVersions{sslvTLSv1_2});

    Options.SetSSLVersions({sslvTLSv1_3});
    EXPECT_EQ(Options.Method(), sslvTLSv1_3);
    Options.SetSSLVersions({sslvSSLv23, sslvTLSv1_2, sslvTLSv1_3});
    EXPECT_EQ(Options.Method(), sslvSSLv23);
    EXPECT_EQ(Options.SSLVersions(), (TIdSSLVersions{sslvTLSv1_2, sslvTLSv1_3}));
    Options.SetSSLVersions({sslvSSLv23});
    EXPECT_EQ(Options.SSLVersions().Bits(), 125u);

    Options.SetCertFile("c.pem");
    Options.SetVerifyMode({sslvrfPeer, sslvrfClientOnce});
    Options.SetVerifyDepth(3);
    TIdSSLOptions Copy;
    Copy.Assign(Options);
    EXPECT_EQ(Copy.CertFile(), "c.pem");
    EXPECT_EQ(Copy.VerifyMode(), Options.VerifyMode());
    EXPECT_EQ(Copy.VerifyDepth(), 3);
    EXPECT_EQ(Copy.SSLVersions(), Options.SSLVersions());
    EXPECT_EQ(MessageOf<EConvertError>([&] { Copy.Assign(TPersistent()); }),
              "Cannot assign a TPersistent to a TIdSSLOptions");
}

TEST(SSLOptions, HostOfURI) {
    const std::pair<const char*, const char*> Cases[] = {
        {"https://example.com/x", "example.com"},      {"https://user:pw@example.com:8443/x?y", "example.com"},
        {"https://[::1]:8443/path", "::1"},            {"http://127.0.0.1", "127.0.0.1"},
        {"example.com:443", "example.com"},            {"https://host#frag", "host"},
    };
    for (const auto& [URI, Host] : Cases)
        EXPECT_EQ(HostOfURI(URI), Host) << URI;
}

TEST(OpenSSLLoader, AnOlderGenerationFailsWithTheFilesItNeeds) {
    if (IdSSLOpenSSLLoaded())
        GTEST_SKIP() << "the library is loaded already in this process";
    IdOpenSSLSetLibPath("/opt/ssl");
    IdOpenSSLSetAPIGeneration(osgAPI_1_1);
    TLoopbackPeer Peer;
    Peer.Start();
    TTLSClient Client(Peer.Port(), 2000);
    const std::string Message = MessageOf<EIdOSSLCouldNotLoadSSLLibrary>([&] { Client.Client.Connect(); });
    IdOpenSSLSetAPIGeneration(osgAPI_3_0);
    IdOpenSSLSetLibPath("");
    EXPECT_EQ(Message, "Could not load SSL library.\r\n***PATH*** /opt/ssl/\r\n***VERSION*** " +
                           std::string(OpenSSL_version(OPENSSL_VERSION)) +
                           "\r\n***METHODS*** Failed to load /opt/ssl/libcrypto.so.1.1.");
    EXPECT_FALSE(Client.Client.Connected());
}

// A peer that is not a working TLS server: each way ends in its exception,
// well within the time-outs, and leaves the client disconnected.
TEST(TLSHandshake, BrokenPeersEndInAClearException) {
    struct TCase {
        const char* Name;
        std::function<void(TLoopbackPeer&)> Script;
        int ReadTimeout, ConnectTimeout;
        std::string Expected;  // the message
    };
    const TCase Cases[] = {
        {"stalls after the ClientHello", [](TLoopbackPeer& P) { P.Expect(1).Hold(); }, 300, 0, "Read timed out."},
        {"stalls, connect time-out only", [](TLoopbackPeer& P) { P.Expect(1).Hold(); }, 0, 300,
         "Connect timed out."},
        {"stalls inside its ServerHello",
         [](TLoopbackPeer& P) { P.Expect(1).Send(std::string("\x16\x03\x03\x00\x50\x02", 6)).Hold(); }, 300, 0,
         "Read timed out."},
        {"closes mid-handshake", [](TLoopbackPeer& P) { P.Expect(1).Close(); }, 2000, 0,
         "Error connecting with SSL.\r\nEOF was observed that violates the protocol"},
        {"answers in plain HTTP", [](TLoopbackPeer& P) { P.Expect(1).Send("HTTP/1.1 400 Bad Request\r\n\r\n").Hold(); },
         2000, 0, "Error connecting with SSL.\r\nerror:0A00010B:SSL routines::wrong version number"},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        TLoopbackPeer Peer;
        Case.Script(Peer);
        Peer.Start();
        TTLSClient Client(Peer.Port(), Case.ReadTimeout, Case.ConnectTimeout);
        const auto Start = Clock::now();
        EXPECT_EQ(MessageOf([&] { Client.Client.Connect(); }), Case.Expected);
        EXPECT_LT(Clock::now() - Start, std::chrono::milliseconds(1500));
        EXPECT_FALSE(Client.Client.Connected());
        Peer.Stop();
    }
}

TEST(TLSHandshake, AResetMidHandshakeIsASocketError) {
    TLoopbackPeer Peer;
    Peer.Expect(1).Reset();
    Peer.Start();
    TTLSClient Client(Peer.Port(), 2000);
    try {
        Client.Client.Connect();
        FAIL() << "no exception";
    } catch (const EIdSocketError& E) {
        EXPECT_EQ(E.LastError(), Id_WSAECONNRESET);
    }
}

// What each method choice puts on the wire under OpenSSL 3's default
// security level, against a server that would take any version.
TEST(TLSHandshake, EachMethodAsTheServerSeesIt) {
    struct TCase {
        TIdSSLVersion Method;
        const char* Protocol;  // agreed, or "" when the client refuses
        const char* Refusal;
    };
    const TCase Cases[] = {
        {sslvSSLv23, "TLSv1.3", ""},
        {sslvTLSv1_3, "TLSv1.3", ""},
        {sslvTLSv1_2, "TLSv1.2", ""},
        // The server's ServerKeyExchange is signed with SHA-1 (MD5+SHA-1 for
        // 1.0), which the client's security level refuses.
        {sslvTLSv1_1, "", "legacy sigalg disallowed or unsupported"},
        {sslvTLSv1, "", "legacy sigalg disallowed or unsupported"},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Method);
        TTLSLoopbackServer Server([](SSL*, int) {}, true);
        TTLSClient Client(Server.Port(), 2000);
        Client.TLS->SSLOptions().SetMethod(Case.Method);
        const std::string Message = MessageOf([&] { Client.Client.Connect(); });
        if (*Case.Protocol) {
            EXPECT_EQ(Message, "(no exception)");
            EXPECT_EQ(Client.TLS->SSLVersion(), Case.Protocol);
            Client.Client.Disconnect();
            ASSERT_TRUE(Server.Wait(5000));
            EXPECT_EQ(Server.Protocol(), Case.Protocol);
        } else {
            EXPECT_NE(Message.find(Case.Refusal), std::string::npos) << Message;
        }
    }
    // SSL 2 and 3 are not in the library: no ClientHello, only a
    // protocol_version alert.
    for (TIdSSLVersion Method : {sslvSSLv2, sslvSSLv3}) {
        TLoopbackPeer Peer;
        Peer.Start();
        TTLSClient Client(Peer.Port(), 2000);
        Client.TLS->SSLOptions().SetMethod(Method);
        EXPECT_EQ(MessageOf([&] { Client.Client.Connect(); }),
                  "Error connecting with SSL.\r\nerror:0A0000BF:SSL routines::no protocols available");
        Peer.WaitForReceived(7, 2000);
        Peer.Stop();
        EXPECT_EQ(Peer.Received(), std::string("\x15\x03\x03\x00\x02\x02\x46", 7));
    }
}

// After the head, the body: a server that vanishes without closing TLS, or
// stalls, must not look like the normal end of a body.
TEST(TLSStream, CutOrStalledBodiesRaise) {
    struct TCase {
        const char* Name;
        std::function<void(SSL*, int)> Ending;
        std::function<void(TIdIOHandler*)> Read;
        std::string Expected;
    };
    auto ReadCounted = [](TIdIOHandler* AIO) {
        TIdBytes Body;
        AIO->ReadBytes(Body, 100);
    };
    auto ReadToClose = [](TIdIOHandler* AIO) { AIO->AllData(); };
    auto Vanish = [](SSL*, int ASocket) { ::shutdown(ASocket, SHUT_RDWR); };
    auto Stall = [](SSL*, int) { std::this_thread::sleep_for(std::chrono::milliseconds(1500)); };
    const TCase Cases[] = {
        {"counted body, no close_notify", Vanish, ReadCounted, "EOF was observed that violates the protocol"},
        {"body to the close, no close_notify", Vanish, ReadToClose, "EOF was observed that violates the protocol"},
        {"counted body, stalled", Stall, ReadCounted, "Read timed out."},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        TTLSLoopbackServer Server([&](SSL* ASession, int ASocket) {
            TTLSLoopbackServer::ReadRequestHead(ASession);
            SSL_write(ASession, Response.data(), static_cast<int>(Response.size()));
            Case.Ending(ASession, ASocket);
        });
        TTLSClient Client(Server.Port(), 300);
        Client.Trust(Server.CertFile());
        Client.Client.Connect();
        Client.TLS->Write("GET / HTTP/1.0\r\n\r\n");
        EXPECT_EQ(Client.TLS->ReadLn(), "HTTP/1.0 200 OK");
        EXPECT_EQ(Client.TLS->ReadLn(), "Content-Length: 100");
        EXPECT_EQ(Client.TLS->ReadLn(), "");
        const auto Start = Clock::now();
        EXPECT_EQ(MessageOf([&] { Case.Read(Client.TLS); }), Case.Expected);
        EXPECT_LT(Clock::now() - Start, std::chrono::milliseconds(1000));
        EXPECT_TRUE(Server.Wait(5000));
    }
}

TEST(TLSStream, ACloseNotifyEndsABodyNormally) {
    TTLSLoopbackServer Server([](SSL* ASession, int) {
        TTLSLoopbackServer::ReadRequestHead(ASession);
        SSL_write(ASession, "the whole body", 14);
        SSL_shutdown(ASession);
    });
    TTLSClient Client(Server.Port(), 2000);
    Client.Trust(Server.CertFile());
    Client.Client.Connect();
    Client.TLS->Write("GET / HTTP/1.0\r\n\r\n");
    EXPECT_EQ(Client.TLS->AllData(), "the whole body");
    EXPECT_FALSE(Client.Client.Connected());
}
