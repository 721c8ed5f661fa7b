// The HTTP client over https against nginx (and squid as a CONNECT proxy):
// keep-alive, bodies of every framing, redirects across schemes, tunnels and
// the TLS version the server ends up seeing.
#include "http/kbvIdHTTP.h"

#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "http/kbvIdMultipartFormData.h"
#include "http/kbvIdZLibCompressor.h"
#include "net/kbvIdCertStore.h"
#include "net/kbvIdSSLOpenSSL.h"
#include "net/kbvIdSSLSChannel.h"
#include "tests/support/Files.h"
#include "tests/support/Noise.h"
#include "tests/support/Peers.h"

namespace {

bool Contains(const std::string& AText, const std::string& APart) { return AText.find(APart) != std::string::npos; }

// A sink that checks what is written against a file as it arrives, so a
// large body is compared without being held in memory.
class TFileComparingStream : public TStream {
public:
    explicit TFileComparingStream(const std::string& APath) : FFile(APath, std::ios::binary) {}

    int64_t Read(void*, int64_t) override { return 0; }
    int64_t Write(const void* ABuffer, int64_t ACount) override {
        FExpected.resize(static_cast<size_t>(ACount));
        FFile.read(FExpected.data(), ACount);
        if (FMismatchAt < 0 && (FFile.gcount() != ACount || std::memcmp(FExpected.data(), ABuffer, ACount) != 0))
            FMismatchAt = FPosition;
        FPosition += ACount;
        return ACount;
    }
    int64_t Seek(int64_t AOffset, TSeekOrigin AOrigin) override {
        if (AOrigin == soBeginning || (AOrigin == soCurrent && AOffset != 0)) {
            FPosition = AOrigin == soBeginning ? AOffset : FPosition + AOffset;
            FFile.clear();
            FFile.seekg(FPosition);
        }
        return FPosition;
    }
    int64_t Size() override { return FPosition; }
    void SetSize(int64_t) override {}

    // Offset of the first chunk that differed from the file, -1 for none.
    int64_t MismatchAt() const { return FMismatchAt; }

private:
    std::ifstream FFile;
    std::vector<char> FExpected;
    int64_t FPosition = 0;
    int64_t FMismatchAt = -1;
};

// Every request is bounded: a stuck peer fails the test instead of hanging it.
void Bound(TIdHTTP& AHTTP) {
    AHTTP.SetConnectTimeout(10000);
    AHTTP.SetReadTimeout(10000);
}

// A TLS handler owned by AHTTP that verifies the peers' certificates and
// offers http/1.1.
TIdSSLIOHandlerSocketOpenSSL* SetTLS(TIdHTTP& AHTTP, TIdSSLVersion AMethod = sslvSSLv23) {
    auto* TLS = new TIdSSLIOHandlerSocketOpenSSL(&AHTTP);
    TLS->SSLOptions().SetMethod(AMethod);
    TLS->SSLOptions().SetVerifyMode({sslvrfPeer});
    TLS->SSLOptions().SetRootCertFile(*PeerSetting("NGINX_CA_FILE"));
    TLS->ALPNProtocols().Add("http/1.1");
    AHTTP.SetIOHandler(TLS);
    Bound(AHTTP);
    return TLS;
}

class HTTPTLSPeers : public ::testing::Test {
protected:
    void SetUp() override {
        if (!PeerPort("NGINX_HTTPS_PORT"))
            GTEST_SKIP() << "KBV_PEERS_ENV is not set: run through ctest -L peer";
        FTLS = SetTLS(FHTTP);
    }
    static std::string Https(const std::string& APath, const char* APortName = "NGINX_HTTPS_PORT") {
        return "https://localhost:" + PeerPortText(APortName) + APath;
    }
    static std::string Http(const std::string& APath) {
        return "http://localhost:" + PeerPortText("NGINX_HTTP_PORT") + APath;
    }
    uint16_t LocalPort() { return FHTTP.Socket()->Binding()->Port(); }

    TIdZLibCompressor FCompressor;  // declared first: outlives the client that uses it
    TIdHTTP FHTTP;
    TIdSSLIOHandlerSocketOpenSSL* FTLS = nullptr;  // owned by FHTTP
};

// --- connections -----------------------------------------------------------------

TEST_F(HTTPTLSPeers, GetsShareOneKeptAliveTLSConnection) {
    const std::string Tls = FHTTP.Get(Https("/tls"));
    EXPECT_TRUE(Contains(Tls, "sni=localhost\n")) << Tls;
    EXPECT_TRUE(Contains(Tls, "alpn=http/1.1\n")) << Tls;
    EXPECT_EQ(FTLS->ALPNProtocol(), "http/1.1");
    ASSERT_TRUE(FHTTP.Connected());
    const uint16_t Port = LocalPort();
    const TIdSSLSocket* Session = FTLS->SSLSocket();
    ASSERT_NE(Session, nullptr);

    for (const char* Name : {"size-0.bin", "size-1.bin", "size-1024.bin", "size-65536.bin", "size-1048576.bin"}) {
        TStringStream Body;
        FHTTP.Get(Https(std::string("/files/") + Name), &Body);
        EXPECT_EQ(Body.DataString(), FileText(PeerFile(Name))) << Name;
        ASSERT_TRUE(FHTTP.Connected()) << Name;
        EXPECT_EQ(LocalPort(), Port) << Name;
        EXPECT_EQ(FTLS->SSLSocket(), Session) << Name;
    }
}

// A POST goes out as HTTP/1.0 on a connection of its own; the handshake of
// that connection resumes the session of the one before.
TEST_F(HTTPTLSPeers, PostAndMultipartUploadArriveIntact) {
    FHTTP.Get(Https("/redir/final"));
    TStringStream Source(FileText(PeerFile("size-65536.bin")));
    TStringStream Echo;
    FHTTP.Post(Https("/echo/body"), &Source, &Echo);
    EXPECT_EQ(Echo.DataString(), Source.DataString());
    TStringStream Small("x");
    const std::string Tls = FHTTP.Post(Https("/tls"), &Small);
    EXPECT_TRUE(Contains(Tls, "session_reused=r\n")) << Tls;

    const std::string Blob = Noise(3 * 1024 * 1024);
    TStringStream BlobStream(Blob);
    TIdMultiPartFormDataStream Form;
    Form.AddFormField("name", "kbv upload");
    Form.AddFile("file", PeerFile("size-1048576.bin"), "application/octet-stream");
    Form.AddFormField("blob", "application/octet-stream", "", &BlobStream, "blob.bin");
    TStringStream Body;
    FHTTP.Post(Https("/echo/body"), &Form, &Body);
    const std::string& Got = Body.DataString();
    EXPECT_EQ(static_cast<int64_t>(Got.size()), Form.Size());
    EXPECT_TRUE(Contains(Got, "\r\n\r\nkbv upload\r\n--" + Form.Boundary()));
    EXPECT_TRUE(Contains(Got, FileText(PeerFile("size-1048576.bin"))));
    EXPECT_TRUE(Contains(Got, Blob));
    EXPECT_EQ(Got.substr(Got.size() - Form.Boundary().size() - 6), "--" + Form.Boundary() + "--\r\n");

    EXPECT_EQ(FHTTP.Post(Https("/upload"), &Form), "ok\n");
}

// --- redirects -------------------------------------------------------------------

TEST_F(HTTPTLSPeers, RedirectsCrossBetweenHttpAndHttps) {
    FHTTP.SetHandleRedirects(true);

    EXPECT_EQ(FHTTP.Get(Http("/redir/to-https")), "final GET\n");
    EXPECT_EQ(FHTTP.URL().Protocol(), "https");
    EXPECT_EQ(FHTTP.URL().Port(), PeerPortText("NGINX_HTTPS_PORT"));
    EXPECT_FALSE(FTLS->SSLVersion().empty());

    EXPECT_EQ(FHTTP.Get(Https("/redir/to-http")), "final GET\n");
    EXPECT_EQ(FHTTP.URL().Protocol(), "http");
    EXPECT_EQ(FTLS->SSLVersion(), "") << "the plain hop still runs TLS";

    EXPECT_EQ(FHTTP.Get(Https("/redir/302")), "final GET\n");
    EXPECT_EQ(FHTTP.RedirectCount(), 5);
    EXPECT_EQ(FHTTP.URL().Protocol(), "https");
}

// --- bodies ----------------------------------------------------------------------

TEST_F(HTTPTLSPeers, ChunkedAndGZipBodiesDecodeOverTLS) {
    FHTTP.SetCompressor(&FCompressor);
    TStringStream Chunked;
    FHTTP.Get(Https("/chunked/size-1048576.bin"), &Chunked);
    EXPECT_EQ(FHTTP.Response().TransferEncoding(), "chunked");
    EXPECT_EQ(Chunked.DataString(), FileText(PeerFile("size-1048576.bin")));
    const uint16_t Port = LocalPort();

    EXPECT_EQ(FHTTP.Get(Https("/gzip/lorem.txt")), FileText(PeerFile("lorem.txt")));
    EXPECT_EQ(FHTTP.Response().RawHeaders().Values("Content-Encoding"), "gzip");
    // Both bodies ended at their framing: the connection carried on.
    EXPECT_EQ(LocalPort(), Port);
}

// --- bulk, over either TLS handler ---------------------------------------------------

enum class TTLSKind { OpenSSL, SChannel };

// The SChannel-style handler trusts the test CA through a "Root" store
// folder of a scratch $XDG_DATA_HOME.
class HTTPTLSBulk : public ::testing::TestWithParam<TTLSKind> {
protected:
    void SetUp() override {
        if (!PeerPort("NGINX_TLS13_PORT"))
            GTEST_SKIP() << "KBV_PEERS_ENV is not set: run through ctest -L peer";
        if (GetParam() == TTLSKind::OpenSSL) {
            SetTLS(FHTTP, sslvTLSv1_3);
            return;
        }
        FData = std::filesystem::temp_directory_path() / ("kbv-bulk-" + std::to_string(::getpid()));
        ::setenv("XDG_DATA_HOME", FData.c_str(), 1);
        const std::filesystem::path Root = CertStoreFolder(scspStoreCurrentUser, scsnRoot);
        std::filesystem::create_directories(Root);
        std::filesystem::copy_file(*PeerSetting("NGINX_CA_FILE"), Root / "ca.crt");
        auto* TLS = new TkbvIdSSLIOHandlerSocketSChannel(&FHTTP);
        TLS->SetTLSVersion(tls1_3);
        TLS->Certificate().SetVerifyCertificate(true);
        TLS->ALPNProtocols().Add("http/1.1");
        TLS->SetPassThrough(false);
        FHTTP.SetIOHandler(TLS);
        Bound(FHTTP);
    }
    void TearDown() override {
        if (!FData.empty())
            std::filesystem::remove_all(FData);
        ::unsetenv("XDG_DATA_HOME");
    }

    TIdHTTP FHTTP;
    std::filesystem::path FData;
};

TEST_P(HTTPTLSBulk, HundredMebibytesDownAndOneMebibyteUpByteExact) {
    const std::string Base = "https://localhost:" + PeerPortText("NGINX_HTTPS_PORT");
    const std::string Name = "size-104857600.bin";
    TFileComparingStream Body(PeerFile(Name));
    FHTTP.Get(Base + "/files/" + Name, &Body);
    EXPECT_EQ(Body.Size(), 104857600);
    EXPECT_EQ(Body.MismatchAt(), -1);
    EXPECT_TRUE(FHTTP.Connected());

    TStringStream Source(Noise(1024 * 1024));
    TStringStream Echo;
    FHTTP.Post(Base + "/echo/body", &Source, &Echo);
    EXPECT_TRUE(Echo.DataString() == Source.DataString()) << Echo.DataString().size();
}

INSTANTIATE_TEST_SUITE_P(BothHandlers, HTTPTLSBulk, ::testing::Values(TTLSKind::OpenSSL, TTLSKind::SChannel),
                         [](const auto& AInfo) { return AInfo.param == TTLSKind::OpenSSL ? "OpenSSL" : "SChannel"; });

// --- proxy -----------------------------------------------------------------------

// squid writes a line per request, a tunnel's once it has closed.
bool SquidLogged(const std::string& ALine) {
    const std::string Log = *PeerSetting("PEER_DIR") + "/squid/logs/access.log";
    for (int I = 0; I < 50; ++I) {
        if (Contains(FileText(Log), ALine))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

TEST_F(HTTPTLSPeers, SquidTunnelsHttpsAndForwardsHttp) {
    FHTTP.ProxyParams().SetProxyServer("127.0.0.1");
    FHTTP.ProxyParams().SetProxyPort(*PeerPort("SQUID_PORT"));

    const std::string Tls = FHTTP.Get(Https("/tls"));
    EXPECT_TRUE(Contains(Tls, "protocol=TLSv1.")) << Tls;
    EXPECT_TRUE(Contains(Tls, "sni=localhost\n")) << Tls;
    const uint16_t Port = LocalPort();
    EXPECT_EQ(FHTTP.Socket()->Binding()->PeerPort(), *PeerPort("SQUID_PORT"));
    TStringStream Body;
    FHTTP.Get(Https("/files/size-65536.bin"), &Body);
    EXPECT_EQ(Body.DataString(), FileText(PeerFile("size-65536.bin")));
    EXPECT_EQ(LocalPort(), Port) << "the tunnel was not reused";

    const std::string Head = FHTTP.Get(Http("/echo/headers"));
    EXPECT_EQ(Head.rfind("GET /echo/headers HTTP/1.1\r\n", 0), 0u) << Head;
    EXPECT_TRUE(Contains(Head, "\r\nVia: 1.1 localhost (squid/")) << Head;
    EXPECT_EQ(FTLS->SSLVersion(), "");
    EXPECT_TRUE(SquidLogged(" CONNECT localhost:" + PeerPortText("NGINX_HTTPS_PORT") + " "));
}

// A saved session is offered again only to the server it came from. Through
// a tunnel the handler's own host and port are the proxy's, which must not
// make every server behind the proxy look like that one.
TEST_F(HTTPTLSPeers, TunnelOffersASessionOnlyToItsOwnServer) {
    FHTTP.ProxyParams().SetProxyServer("127.0.0.1");
    FHTTP.ProxyParams().SetProxyPort(*PeerPort("SQUID_PORT"));
    int Offered = -1;  // whether the connection's first handshake offered a session
    FTLS->SetOnStatusInfoEx([&](TObject*, SSL* ASSL, int AWhere, int, const std::string&, const std::string&) {
        if ((AWhere & SSL_CB_HANDSHAKE_START) && Offered < 0) {
            SSL_SESSION* Session = SSL_get_session(ASSL);
            Offered = Session && SSL_SESSION_is_resumable(Session);
        }
    });
    auto TlsAfterReconnect = [&](const char* APortName) {
        FHTTP.Disconnect();
        Offered = -1;
        return FHTTP.Get(Https("/tls", APortName));
    };

    TlsAfterReconnect("NGINX_HTTPS_PORT");
    EXPECT_EQ(Offered, 0);
    EXPECT_TRUE(Contains(TlsAfterReconnect("NGINX_HTTPS_PORT"), "session_reused=r\n"));
    EXPECT_EQ(Offered, 1);

    TlsAfterReconnect("NGINX_TLS13_PORT");
    EXPECT_EQ(Offered, 0) << "a session of localhost:" << PeerPortText("NGINX_HTTPS_PORT") << " went to localhost:"
                          << PeerPortText("NGINX_TLS13_PORT");
}

// --- versions --------------------------------------------------------------------

TEST_F(HTTPTLSPeers, MethodDecidesTheVersionTheServerSees) {
    struct TCase {
        TIdSSLVersion Method;
        const char* PortName;
        const char* Protocol;  // null: the handshake fails
    };
    const TCase Cases[] = {
        {sslvTLSv1_2, "NGINX_HTTPS_PORT", "TLSv1.2"}, {sslvTLSv1_3, "NGINX_HTTPS_PORT", "TLSv1.3"},
        {sslvSSLv23, "NGINX_HTTPS_PORT", "TLSv1.3"},  {sslvTLSv1_3, "NGINX_TLS12_PORT", nullptr},
        {sslvTLSv1_2, "NGINX_TLS13_PORT", nullptr},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(std::string(Case.PortName) + " method " + std::to_string(Case.Method));
        TIdHTTP HTTP;
        TIdSSLIOHandlerSocketOpenSSL* TLS = SetTLS(HTTP, Case.Method);
        if (Case.Protocol) {
            EXPECT_TRUE(Contains(HTTP.Get(Https("/tls", Case.PortName)), std::string("protocol=") + Case.Protocol));
            EXPECT_EQ(TLS->SSLVersion(), Case.Protocol);
            continue;
        }
        try {
            HTTP.Get(Https("/tls", Case.PortName));
            ADD_FAILURE() << "no exception";
        } catch (const Exception& E) {
            EXPECT_TRUE(Contains(E.Message(), "Error connecting with SSL.")) << E.Message();
        }
        EXPECT_FALSE(HTTP.Connected());
    }
}

// Without a handler the client makes the registered TLS one, with its
// default options: TLS 1.0 alone, which nginx refuses.
TEST_F(HTTPTLSPeers, HttpsWithoutHandlerReachesTheDefaultTLSHandler) {
    TIdHTTP HTTP;
    Bound(HTTP);
    try {
        HTTP.Get(Https("/tls"));
        ADD_FAILURE() << "no exception";
    } catch (const Exception& E) {
        EXPECT_TRUE(Contains(E.Message(), "Error connecting with SSL.")) << E.Message();
        EXPECT_TRUE(Contains(E.Message(), "protocol version")) << E.Message();
    }
}

}  // namespace
