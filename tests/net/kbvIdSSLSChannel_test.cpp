// The SChannel-style TLS handler against in-process peers: its option
// rules, the token loop under bytes that arrive one at a time or many
// records at once, renegotiation, and every way a handshake or a stream can
// break, each ending in a clear exception within the handler's time-outs.
#include "net/kbvIdSSLSChannel.h"

#include "core/Format.h"

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
#include "tests/net/support/TLSRelayServer.h"
#include "tests/support/MessageOf.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace kbvSSPI;

// Opens the receive of the handler to the test.
class TProbeHandler : public TkbvIdSSLIOHandlerSocketSChannel {
public:
    using TkbvIdSSLIOHandlerSocketSChannel::TkbvIdSSLIOHandlerSocketSChannel;
    int Receive(TIdBytes& VBuffer) { return ReadDataFromSource(VBuffer); }
};

// A TCP client whose handler starts TLS at connect, without verification.
struct TSChannelClient {
    TIdTCPClient Client;
    TProbeHandler* TLS = new TProbeHandler(&Client);

    TSChannelClient(uint16_t APort, int AReadTimeout, int AConnectTimeout = 0,
                    TwsTLSVersions AVersion = tlsUndefined) {
        Client.SetHost("127.0.0.1");
        Client.SetPort(APort);
        TLS->SetTLSVersion(AVersion);
        TLS->SetPassThrough(false);
        Client.SetIOHandler(TLS);
        Client.SetReadTimeout(AReadTimeout);
        Client.SetConnectTimeout(AConnectTimeout);
    }
};

std::string Body(size_t ASize) {
    std::string Result;
    for (size_t I = 0; I < ASize; ++I)
        Result.push_back(static_cast<char>('a' + I % 26));
    return Result;
}

}  // namespace

TEST(SChannelOptions, CertificateAndCloneCarryTheSettings) {
    TkbvIdSSLIOHandlerSocketSChannel Handler;
    EXPECT_EQ(Handler.TLSVersion(), tls1_0);
    EXPECT_FALSE(Handler.Certificate().VerifyCertificate());
    TkbvSChannelCertificate Certificate;
    Certificate.SetCertHash(std::string(40, 'a'));
    Certificate.SetCertFile("c.p12");
    Certificate.SetPassword("pw");
    Certificate.SetCertStoreName(scsnRoot);
    Certificate.SetCertStorePath(scspStoreLocalMachine);
    Certificate.SetVerifyCertificate(true);
    Handler.SetCertificate(Certificate);
    Handler.SetTLSVersion(tls1_3);
    Handler.SetCipherList("AES_256:SHA_384");
    Handler.ALPNProtocols().Add("h2");
    Handler.SetReadTimeout(1234);

    const auto Clone = Handler.Clone();
    auto* Copy = dynamic_cast<TkbvIdSSLIOHandlerSocketSChannel*>(Clone.get());
    ASSERT_NE(Copy, nullptr);
    EXPECT_EQ(Copy->Owner(), nullptr);
    EXPECT_EQ(Copy->TLSVersion(), tls1_3);
    EXPECT_EQ(Copy->CipherList(), "AES_256:SHA_384");
    EXPECT_EQ(Copy->ALPNProtocols().Text(), Handler.ALPNProtocols().Text());
    EXPECT_EQ(Copy->ReadTimeout(), 1234);
    const TkbvSChannelCertificate& Got = Copy->Certificate();
    EXPECT_EQ(Got.CertHash(), Certificate.CertHash());
    EXPECT_EQ(Got.CertFile(), "c.p12");
    EXPECT_EQ(Got.Password(), "pw");
    EXPECT_EQ(Got.CertStoreName(), scsnRoot);
    EXPECT_EQ(Got.CertStorePath(), scspStoreLocalMachine);
    EXPECT_TRUE(Got.VerifyCertificate());
    EXPECT_EQ(MessageOf<EConvertError>([&] { Certificate.Assign(TPersistent()); }),
              "Cannot assign a TPersistent to a TkbvSChannelCertificate");
    EXPECT_EQ(Copy->Info().ProtocolName, "");
    EXPECT_EQ(Copy->ALPNProtocol(), "");
}

TEST(SChannelOptions, CipherNamesAndCertificateNames) {
    const std::pair<const char*, uint32_t> Ciphers[] = {
        {"CALG_AES_128", CALG_AES_128}, {"aes_256", CALG_AES_256}, {" AES ", CALG_AES},
        {"CALG_SHA_384", CALG_SHA_384}, {"ECDH_EPHEM", CALG_ECDH_EPHEM}, {"RC4", 0}, {"", 0}};
    for (const auto& [Name, Id] : Ciphers)
        EXPECT_EQ(SChannelAlgorithmOfName(Name), Id) << Name;

    struct TCase {
        const char *Pattern, *Host;
        bool Matches;
    };
    const TCase Names[] = {
        {"localhost", "LocalHost", true},        {"example.com.", "example.com", true},
        {"*.example.com", "a.example.com", true}, {"*.example.com", "A.Example.Com.", true},
        {"*.example.com", "b.a.example.com", false}, {"*.example.com", "example.com", false},
        {"*.example.com", ".example.com", false},  {"f*.example.com", "foo.example.com", false},
        {"*oo.example.com", "foo.example.com", false}, {"a.*.example.com", "a.b.example.com", false},
        {"*.com", "example.com", false},          {"*", "localhost", false},
        {"other.example", "localhost", false},
    };
    for (const TCase& Case : Names)
        EXPECT_EQ(CertificateNameMatches(Case.Pattern, Case.Host), Case.Matches) << Case.Pattern << " " << Case.Host;
}

// The handshake and the records, delivered one byte per read of the client
// or all pending records in one send, over TLS 1.2 and 1.3: the body comes
// through whole and the close notification ends it.
TEST(SChannelTokenLoop, BytesOneAtATimeOrRecordsTogether) {
    const std::string Expected = Body(40000);
    for (const auto Delivery : {TTLSRelay::OneByte, TTLSRelay::Coalesced}) {
        for (const int Version : {0x0303, 0x0304}) {
            SCOPED_TRACE((Delivery == TTLSRelay::OneByte ? "one byte, " : "coalesced, ") + std::to_string(Version));
            TTLSRelayServer Server(
                Delivery,
                [&](TTLSRelay& R) {
                    R.Handshake();
                    R.ReadRequestHead();
                    // Small records, then large ones, then the end, all at once.
                    R.Write(Expected.substr(0, 300), 7);
                    R.Write(Expected.substr(300, Delivery == TTLSRelay::OneByte ? 2000 : std::string::npos), 5000);
                    R.CloseNotify();
                },
                Version);
            TSChannelClient Client(Server.Port(), 5000);
            Client.Client.Connect();
            EXPECT_EQ(Client.TLS->Info().ProtocolName, Version == 0x0304 ? "TLSv1.3" : "TLSv1.2");
            Client.TLS->Write("GET / HTTP/1.0\r\n\r\n");
            const std::string Got = Client.TLS->AllData();
            EXPECT_TRUE(Got == (Delivery == TTLSRelay::OneByte ? Expected.substr(0, 2300) : Expected)) << Got.size();
            EXPECT_FALSE(Client.Client.Connected());
            EXPECT_TRUE(Server.Wait(10000));
            EXPECT_EQ(Server.Error(), "");
        }
    }
}

// The server asks for a new handshake in the middle of a body (TLS 1.2):
// the handler runs the token loop again and reads on.
TEST(SChannelTokenLoop, RenegotiationInTheMiddleOfABody) {
    const std::string Expected = Body(20000);
    TTLSRelayServer Server(
        TTLSRelay::Coalesced,
        [&](TTLSRelay& R) {
            R.Handshake();
            R.ReadRequestHead();
            R.Write(Expected.substr(0, 10000));
            R.Renegotiate();
            R.FinishRenegotiation();
            if (R.Renegotiations() != 1)
                throw std::runtime_error("no renegotiation");
            R.Write(Expected.substr(10000));
            R.CloseNotify();
        },
        0x0303);
    TSChannelClient Client(Server.Port(), 5000);
    Client.Client.Connect();
    Client.TLS->Write("GET / HTTP/1.0\r\n\r\n");
    EXPECT_TRUE(Client.TLS->AllData() == Expected);
    EXPECT_TRUE(Server.Wait(10000));
    EXPECT_EQ(Server.Error(), "");
}

// A close notification while reading: the receive gives -1 and the
// connection is closed, gracefully for its reader.
TEST(SChannelStream, ACloseNotificationEndsTheConnection) {
    TTLSRelayServer Server(TTLSRelay::Coalesced, [](TTLSRelay& R) {
        R.Handshake();
        R.ReadRequestHead();
        R.Write("part");
        R.Flush();
        R.CloseNotify();
    });
    TSChannelClient Client(Server.Port(), 5000);
    Client.Client.Connect();
    Client.TLS->Write("GET / HTTP/1.0\r\n\r\n");
    TIdBytes Buffer(100);
    ASSERT_TRUE(Client.TLS->Readable(5000));
    EXPECT_EQ(Client.TLS->Receive(Buffer), 4);
    EXPECT_EQ(std::string(Buffer.begin(), Buffer.begin() + 4), "part");
    ASSERT_TRUE(Client.TLS->Readable(5000));
    EXPECT_EQ(Client.TLS->Receive(Buffer), -1);
    // Through the IO handler: a read that needs more raises the graceful close.
    EXPECT_EQ(MessageOf<EIdConnClosedGracefully>([&] { Client.TLS->ReadByte(); }), "Connection Closed Gracefully.");
    EXPECT_FALSE(Client.Client.Connected());
    EXPECT_TRUE(Server.Wait(5000));
}

// After the start, a peer that breaks the stream: each way ends in its
// exception, within the read time-out, with the connection closed.
TEST(SChannelStream, BrokenStreamsRaise) {
    struct TCase {
        const char* Name;
        std::function<void(TTLSRelay&)> Ending;
        std::string Expected;
    };
    const TCase Cases[] = {
        {"no close notification", [](TTLSRelay&) {}, "The peer closed the connection without a close notification"},
        {"a record that does not decrypt",
         [](TTLSRelay& R) { R.SendRaw(std::string("\x17\x03\x03\x00\x20", 5) + std::string(32, 'x')); },
         "DecryptMessage returns SEC_E_DECRYPT_FAILURE"},
        {"a record of no TLS type", [](TTLSRelay& R) { R.SendRaw("HTTP/1.1 200 OK\r\n"); },
         "DecryptMessage returns 80090326"},
        {"a record longer than TLS allows", [](TTLSRelay& R) { R.SendRaw(std::string("\x17\x03\x03\x48\x01", 5)); },
         "DecryptMessage returns 80090326"},
        {"a stall", [](TTLSRelay&) { std::this_thread::sleep_for(std::chrono::milliseconds(1500)); },
         "Read timed out."},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        TTLSRelayServer Server(TTLSRelay::Coalesced, [&](TTLSRelay& R) {
            R.Handshake();
            R.ReadRequestHead();
            R.Write("HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\n0123456789");
            R.Flush();
            Case.Ending(R);
        });
        TSChannelClient Client(Server.Port(), 300);
        Client.Client.Connect();
        Client.TLS->Write("GET / HTTP/1.0\r\n\r\n");
        EXPECT_EQ(Client.TLS->ReadLn(), "HTTP/1.0 200 OK");
        EXPECT_EQ(Client.TLS->ReadLn(), "Content-Length: 100");
        EXPECT_EQ(Client.TLS->ReadLn(), "");
        const auto Start = Clock::now();
        TIdBytes Rest;
        EXPECT_EQ(MessageOf([&] { Client.TLS->ReadBytes(Rest, 100); }), Case.Expected);
        EXPECT_LT(Clock::now() - Start, std::chrono::milliseconds(1000));
        EXPECT_TRUE(Server.Wait(5000));
    }
}

// A peer that is not a working TLS server: each way ends in its exception,
// well within the time-outs, and leaves the client disconnected.
TEST(SChannelHandshake, BrokenPeersEndInAClearException) {
    struct TCase {
        const char* Name;
        std::function<void(TLoopbackPeer&)> Script;
        int ReadTimeout, ConnectTimeout;
        std::string Expected;
    };
    const std::string Failed = "SChannel initialization error: ";
    const TCase Cases[] = {
        {"stalls after the ClientHello", [](TLoopbackPeer& P) { P.Expect(1).Hold(); }, 300, 0, "Read timed out."},
        {"stalls, connect time-out only", [](TLoopbackPeer& P) { P.Expect(1).Hold(); }, 0, 300, "Connect timed out."},
        {"stalls inside its ServerHello",
         [](TLoopbackPeer& P) { P.Expect(1).Send(std::string("\x16\x03\x03\x00\x50\x02", 6)).Hold(); }, 300, 0,
         "Read timed out."},
        {"closes mid-handshake", [](TLoopbackPeer& P) { P.Expect(1).Close(); }, 2000, 0, Failed + "recv returns 0"},
        {"resets mid-handshake", [](TLoopbackPeer& P) { P.Expect(1).Reset(); }, 2000, 0, Failed + "recv returns 10054"},
        {"answers in plain HTTP", [](TLoopbackPeer& P) { P.Expect(1).Send("HTTP/1.1 400 Bad Request\r\n\r\n").Hold(); },
         2000, 0, Failed + "InitializeSecurityContext returns 80090326"},
        {"sends an alert",
         [](TLoopbackPeer& P) { P.Expect(1).Send(std::string("\x15\x03\x03\x00\x02\x02\x28", 7)).Hold(); }, 2000, 0,
         Failed + "InitializeSecurityContext returns 80090326"},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        TLoopbackPeer Peer;
        Case.Script(Peer);
        Peer.Start();
        TSChannelClient Client(Peer.Port(), Case.ReadTimeout, Case.ConnectTimeout);
        const auto Start = Clock::now();
        EXPECT_EQ(MessageOf([&] { Client.Client.Connect(); }), Case.Expected);
        EXPECT_LT(Clock::now() - Start, std::chrono::milliseconds(1500));
        EXPECT_FALSE(Client.Client.Connected());
        Peer.Stop();
    }
}

// TLSVersion offers exactly its version (tls1_3 too), the cipher list
// narrows the suites, and Info reports what was agreed.
TEST(SChannelHandshake, VersionsAndCiphersAsTheServerSeesThem) {
    struct TCase {
        TwsTLSVersions Version;
        const char* CipherList;
        const char* Protocol;
        uint32_t Cipher;
    };
    const TCase Cases[] = {
        {tlsUndefined, "", "TLSv1.3", CALG_AES_256}, {tls1_3, "", "TLSv1.3", CALG_AES_256},
        {tls1_2, "", "TLSv1.2", CALG_AES_256},       {tls1_2, "CALG_AES_128:unknown", "TLSv1.2", CALG_AES_128},
        {tls1_3, "AES_128", "TLSv1.3", CALG_AES_128},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(std::to_string(Case.Version) + " " + Case.CipherList);
        TTLSLoopbackServer Server([](SSL*, int) {}, true);
        TSChannelClient Client(Server.Port(), 2000, 0, Case.Version);
        Client.TLS->SetCipherList(Case.CipherList);
        Client.Client.Connect();
        const TkbvSChannelConnectionInfo Info = Client.TLS->Info();
        EXPECT_EQ(Info.ProtocolName, Case.Protocol);
        EXPECT_EQ(Info.Cipher, Case.Cipher) << Info.Description;
        EXPECT_EQ(Info.Exchange, CALG_ECDH_EPHEM) << Info.Description;
        EXPECT_GE(Info.HashStrength, 256u) << Info.Description;
        Client.Client.Disconnect();
        ASSERT_TRUE(Server.Wait(5000));
        EXPECT_EQ(Server.Protocol(), Case.Protocol);
    }
}

// A self-signed server fails verification as an untrusted root, unless a
// registered trust checker accepts its chain; the host name is checked all
// the same.
TEST(SChannelHandshake, TrustCheckersDecideAnUntrustedRoot) {
    auto Connect = [](const std::string& AURIToCheck) {
        TTLSLoopbackServer Server([](SSL*, int) {});
        TSChannelClient Client(Server.Port(), 2000);
        Client.TLS->Certificate().SetVerifyCertificate(true);
        Client.TLS->SetURIToCheck(AURIToCheck);
        try {
            Client.Client.Connect();
        } catch (const SChannelError& E) {
            return Format("%.8X ", E.CertStatus()) + E.Message();
        }
        return std::string("connected");
    };
    const std::string Failed = "SChannel initialization error: CertVerifyCertificateChainPolicy.vStatus = ";
    EXPECT_EQ(Connect(""), "800B0109 " + Failed + "800B0109\r\nThe chain ends in a root certificate that is not trusted");
    std::vector<std::string> Seen;
    const int Key = RegisterSChannelTrustChecker([&](const std::vector<TIdBytes>& AChain, const std::string& AHost) {
        Seen.push_back(std::to_string(AChain.size()) + " " + AHost);
        return true;
    });
    EXPECT_EQ(Connect(""), "connected");
    EXPECT_EQ(Connect("https://localhost/"), "connected");
    EXPECT_EQ(Connect("https://other.example/"),
              "800B010F " + Failed + "800B010F\r\nThe server's certificate is not valid for \"other.example\"");
    UnregisterSChannelTrustChecker(Key);
    EXPECT_EQ(Seen, (std::vector<std::string>{"1 127.0.0.1", "1 localhost", "1 other.example"}));
    EXPECT_NE(Connect("").find("800B0109"), std::string::npos);
}
