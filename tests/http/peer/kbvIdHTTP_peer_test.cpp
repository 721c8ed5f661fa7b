// The HTTP client against real servers: nginx for framing, connections and
// redirects, httpbin for what a server makes of the requests (echoed as JSON).
#include "http/kbvIdHTTP.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "http/kbvIdZLibCompressor.h"
#include "tests/support/Base64.h"
#include "tests/support/Files.h"
#include "tests/support/Peers.h"

namespace {

using json = nlohmann::json;

// Base URLs of the peers; the tests skip when the program runs without them.
class HTTPPeers : public ::testing::Test {
protected:
    void SetUp() override {
        std::optional<uint16_t> NginxPort = PeerPort("NGINX_HTTP_PORT");
        if (!NginxPort)
            GTEST_SKIP() << "KBV_PEERS_ENV is not set: run through ctest -L peer";
        FNginxPort = std::to_string(*NginxPort);
        FHttpbinPort = std::to_string(*PeerPort("HTTPBIN_PORT"));
        // Every exchange is bounded: a stuck peer fails the test instead of hanging it.
        FHTTP.SetConnectTimeout(10000);
        FHTTP.SetReadTimeout(10000);
    }
    std::string Nginx(const std::string& APath) const { return "http://127.0.0.1:" + FNginxPort + APath; }
    std::string Httpbin(const std::string& APath) const { return "http://127.0.0.1:" + FHttpbinPort + APath; }
    uint16_t LocalPort() { return FHTTP.Socket()->Binding()->Port(); }

    std::string FNginxPort;
    std::string FHttpbinPort;
    TIdZLibCompressor FCompressor;  // declared first: outlives the client that uses it
    TIdHTTP FHTTP;
};

// --- verbs -------------------------------------------------------------------

TEST_F(HTTPPeers, EveryVerbReachesHttpbinWithItsBody) {
    json Got = json::parse(FHTTP.Get(Httpbin("/get?q=1")));
    EXPECT_EQ(Got["args"]["q"], "1");

    using TVerb = std::string (TIdCustomHTTP::*)(const std::string&, TStream*);
    const std::vector<std::pair<std::string, TVerb>> Verbs = {
        {"POST", &TIdCustomHTTP::Post}, {"PUT", &TIdCustomHTTP::Put}, {"PATCH", &TIdCustomHTTP::Patch}};
    for (const auto& [Method, Verb] : Verbs) {
        TStringStream Body("body of " + Method);
        FHTTP.Request().SetContentType("text/plain");
        json Echo = json::parse((FHTTP.*Verb)(Httpbin("/anything"), &Body));
        EXPECT_EQ(Echo["method"], Method);
        EXPECT_EQ(Echo["data"], "body of " + Method);
    }

    json Deleted = json::parse(FHTTP.Delete(Httpbin("/delete")));
    EXPECT_EQ(Deleted["url"], Httpbin("/delete"));
    json DeletedWithBody = json::parse(FHTTP.Delete(Httpbin("/anything"), "gone"));
    EXPECT_EQ(DeletedWithBody["method"], "DELETE");
    EXPECT_EQ(DeletedWithBody["data"], "gone");

    FHTTP.Head(Httpbin("/get"));
    EXPECT_EQ(FHTTP.ResponseCode(), 200);
    EXPECT_GT(FHTTP.Response().ContentLength(), 0);  // announced, yet no body read

    FHTTP.Options(Httpbin("/get"));
    EXPECT_EQ(FHTTP.ResponseCode(), 200);
    EXPECT_NE(FHTTP.Response().RawHeaders().Values("Allow").find("GET"), std::string::npos);
}

TEST_F(HTTPPeers, HeadLeavesTheConnectionReadyForTheNextRequest) {
    FHTTP.Head(Nginx("/files/size-65536.bin"));
    EXPECT_EQ(FHTTP.Response().ContentLength(), 65536);
    TMemoryStream Body;
    FHTTP.Get(Nginx("/files/size-1024.bin"), &Body);
    EXPECT_EQ(Body.Size(), 1024);
}

// --- connections ---------------------------------------------------------------

TEST_F(HTTPPeers, GetsShareOneKeptAliveConnection) {
    TMemoryStream Body;
    FHTTP.Get(Nginx("/files/size-1024.bin"), &Body);
    ASSERT_TRUE(FHTTP.Connected());
    const uint16_t Port = LocalPort();
    for (int I = 0; I < 5; ++I) {
        Body.Clear();
        FHTTP.Get(Nginx(I % 2 ? "/files/size-1.bin" : "/echo/headers"), &Body);
        ASSERT_TRUE(FHTTP.Connected());
        EXPECT_EQ(LocalPort(), Port) << "request " << I;
    }
}

TEST_F(HTTPPeers, PostStartsAFreshHttp10Connection) {
    EXPECT_NE(FHTTP.Get(Nginx("/echo/headers")).find("GET /echo/headers HTTP/1.1\r\n"), std::string::npos);
    ASSERT_TRUE(FHTTP.Connected());
    const uint16_t GetPort = LocalPort();

    TStringStream Body("x=1");
    std::string Head = FHTTP.Post(Nginx("/echo/headers"), &Body);
    EXPECT_EQ(Head.rfind("POST /echo/headers HTTP/1.0\r\n", 0), 0u) << Head;
    EXPECT_EQ(FHTTP.ProtocolVersion(), pv1_1);

    // The next GET is HTTP/1.1 again, on a connection made after the GET's.
    EXPECT_NE(FHTTP.Get(Nginx("/echo/headers")).find("GET /echo/headers HTTP/1.1\r\n"), std::string::npos);
    EXPECT_NE(LocalPort(), GetPort);
}

TEST_F(HTTPPeers, KeepOrigProtocolPostsHttp11OnTheOpenConnection) {
    FHTTP.SetHTTPOptions({hoKeepOrigProtocol});
    FHTTP.Get(Nginx("/echo/headers"));
    const uint16_t Port = LocalPort();
    TStringStream Body("x=1");
    EXPECT_EQ(FHTTP.Post(Nginx("/echo/headers"), &Body).rfind("POST /echo/headers HTTP/1.1\r\n", 0), 0u);
    EXPECT_EQ(LocalPort(), Port);
}

// --- Host ----------------------------------------------------------------------

TEST_F(HTTPPeers, HostCarriesAnExplicitPort) {
    EXPECT_NE(FHTTP.Get(Nginx("/echo/headers")).find("\r\nHost: 127.0.0.1:" + FNginxPort + "\r\n"),
              std::string::npos);
}

TEST_F(HTTPPeers, HostOfAnIPv6LiteralIsBracketed) {
    std::string Head = FHTTP.Get("http://[::1]:" + FNginxPort + "/echo/headers");
    EXPECT_NE(Head.find("\r\nHost: [::1]:" + FNginxPort + "\r\n"), std::string::npos) << Head;
    EXPECT_EQ(FHTTP.Socket()->Binding()->IPVersion(), Id_IPv6);
}

// The default port is left out of Host. No peer listens on port 80, so nginx
// stands in as a proxy: it echoes the absolute target and the Host it was sent.
TEST_F(HTTPPeers, HostLeavesOutTheDefaultPort) {
    FHTTP.ProxyParams().SetProxyServer("127.0.0.1");
    FHTTP.ProxyParams().SetProxyPort(std::stoi(FNginxPort));
    std::string Head = FHTTP.Get("http://localhost/echo/headers");
    EXPECT_EQ(Head.rfind("GET http://localhost/echo/headers HTTP/1.1\r\n", 0), 0u) << Head;
    EXPECT_NE(Head.find("\r\nHost: localhost\r\n"), std::string::npos) << Head;
}

// --- redirects -------------------------------------------------------------------

TEST_F(HTTPPeers, RedirectChainIsFollowedToItsEnd) {
    FHTTP.SetHandleRedirects(true);
    int Events = 0;
    FHTTP.SetOnRedirect([&](TObject*, std::string&, int&, bool& Handled, std::string&) {
        ++Events;
        Handled = true;
    });
    EXPECT_EQ(FHTTP.Get(Nginx("/redir/302")), "final GET\n");
    EXPECT_EQ(FHTTP.RedirectCount(), 5);
    EXPECT_EQ(Events, 5);
    EXPECT_EQ(FHTTP.ResponseCode(), 200);
}

TEST_F(HTTPPeers, RelativeAndCrossServerLocationsAreFollowed) {
    FHTTP.SetHandleRedirects(true);
    EXPECT_EQ(FHTTP.Get(Nginx("/redir/rel")), "final GET\n");
    EXPECT_EQ(FHTTP.Get(Httpbin("/redirect-to?url=") + TIdCustomHTTP::EncodeFormValue(Nginx("/redir/final"))),
              "final GET\n");
    json Back = json::parse(FHTTP.Get(Httpbin("/redirect-to?url=/get%3Fback%3D1")));
    EXPECT_EQ(Back["args"]["back"], "1");
}

TEST_F(HTTPPeers, RedirectsOffRaiseTheRedirectStatus) {
    try {
        FHTTP.Get(Nginx("/redir/302"));
        FAIL() << "no exception";
    } catch (const EIdHTTPProtocolException& E) {
        EXPECT_EQ(E.ErrorCode(), 302);
        EXPECT_EQ(E.Message(), "HTTP/1.1 302 Moved Temporarily");
    }
    FHTTP.Get(Nginx("/redir/302"), nullptr, {302});
    EXPECT_EQ(FHTTP.ResponseCode(), 302);
    EXPECT_EQ(FHTTP.Response().Location(), "http://127.0.0.1:" + FNginxPort + "/redir/303");
}

TEST_F(HTTPPeers, RedirectRefusedByTheEventRaisesTheRedirectStatus) {
    FHTTP.SetHandleRedirects(true);
    FHTTP.SetOnRedirect([](TObject*, std::string&, int&, bool& Handled, std::string&) { Handled = false; });
    try {
        FHTTP.Get(Nginx("/redir/rel"));
        FAIL() << "no exception";
    } catch (const EIdHTTPProtocolException& E) {
        EXPECT_EQ(E.ErrorCode(), 302);
    }
}

TEST_F(HTTPPeers, SeeOtherAfterPostFetchesWithoutBody) {
    FHTTP.SetHandleRedirects(true);
    TStringStream Body("payload");
    json Got = json::parse(FHTTP.Post(Httpbin("/redirect-to?url=/anything&status_code=303"), &Body));
    EXPECT_EQ(Got["method"], "GET");
    EXPECT_EQ(Got["data"], "");
    EXPECT_FALSE(Got["headers"].contains("Content-Length") && Got["headers"]["Content-Length"] != "0");

    // 307 keeps the method and the body.
    TStringStream Again("payload");
    json Kept = json::parse(FHTTP.Post(Httpbin("/redirect-to?url=/anything&status_code=307"), &Again));
    EXPECT_EQ(Kept["method"], "POST");
    EXPECT_EQ(Kept["data"], "payload");
}

TEST_F(HTTPPeers, RedirectLoopStopsAtTheMaximum) {
    FHTTP.SetHandleRedirects(true);
    FHTTP.SetRedirectMaximum(4);
    FHTTP.Get(Nginx("/redir/loop"), nullptr, {302});
    EXPECT_EQ(FHTTP.ResponseCode(), 302);
    EXPECT_EQ(FHTTP.RedirectCount(), 4);
}

// --- error statuses -----------------------------------------------------------------

TEST_F(HTTPPeers, ErrorStatusRaisesWithLineCodeAndBody) {
    try {
        FHTTP.Get(Nginx("/notfound"));
        FAIL() << "no exception";
    } catch (const EIdHTTPProtocolException& E) {
        EXPECT_EQ(E.ErrorCode(), 404);
        EXPECT_EQ(E.Message(), "HTTP/1.1 404 Not Found");
        EXPECT_EQ(E.ErrorMessage(), "not found here\n");
    }
    try {
        FHTTP.Get(Httpbin("/status/418"));
        FAIL() << "no exception";
    } catch (const EIdHTTPProtocolException& E) {
        EXPECT_EQ(E.ErrorCode(), 418);
        EXPECT_EQ(E.Message(), "HTTP/1.1 418 I'M A TEAPOT");
        EXPECT_NE(E.ErrorMessage().find("teapot"), std::string::npos);
    }
}

TEST_F(HTTPPeers, IgnoredStatusKeepsItsBodyOnlyWhenWanted) {
    TStringStream Body;
    FHTTP.Get(Nginx("/notfound"), &Body, {404});
    EXPECT_EQ(FHTTP.ResponseCode(), 404);
    EXPECT_EQ(Body.DataString(), "");
    const uint16_t Port = LocalPort();

    FHTTP.SetHTTPOptions({hoWantProtocolErrorContent});
    FHTTP.Get(Nginx("/notfound"), &Body, {404});
    EXPECT_EQ(Body.DataString(), "not found here\n");
    EXPECT_EQ(FHTTP.Get(Nginx("/notfound"), {404}), "not found here\n");

    // The bodies were read or discarded by their length: the connection goes on.
    EXPECT_EQ(LocalPort(), Port);
    EXPECT_EQ(FHTTP.Get(Nginx("/redir/final")), "final GET\n");
}

// --- bodies ---------------------------------------------------------------------------

TEST_F(HTTPPeers, ChunkedBodyEqualsTheFile) {
    size_t ChunkBytes = 0;
    FHTTP.SetOnChunkReceived([&](TObject*, TIdBytes& Chunk) { ChunkBytes += Chunk.size(); });
    for (const char* Name : {"size-65536.bin", "size-1048576.bin"}) {
        ChunkBytes = 0;
        TStringStream Chunked;
        FHTTP.Get(Nginx(std::string("/chunked/") + Name), &Chunked);
        EXPECT_EQ(FHTTP.Response().TransferEncoding(), "chunked") << Name;
        EXPECT_EQ(ChunkBytes, Chunked.DataString().size()) << Name;
        TStringStream Counted;
        FHTTP.Get(Nginx(std::string("/files/") + Name), &Counted);
        EXPECT_EQ(Chunked.DataString(), Counted.DataString()) << Name;
        EXPECT_EQ(Chunked.DataString(), FileText(PeerFile(Name))) << Name;
    }
}

TEST_F(HTTPPeers, ChunkedBodyOverHttp10EndsWithTheConnection) {
    FHTTP.SetProtocolVersion(pv1_0);
    TStringStream Body;
    FHTTP.Get(Nginx("/chunked/size-65536.bin"), &Body);
    EXPECT_EQ(Body.DataString(), FileText(PeerFile("size-65536.bin")));
    EXPECT_FALSE(FHTTP.Connected());
}

TEST_F(HTTPPeers, GZipAndDeflateBodiesDecodeThroughTheCompressor) {
    FHTTP.SetCompressor(&FCompressor);
    EXPECT_EQ(FHTTP.Get(Nginx("/gzip/lorem.txt")), FileText(PeerFile("lorem.txt")));
    EXPECT_EQ(FHTTP.Response().RawHeaders().Values("Content-Encoding"), "gzip");

    EXPECT_EQ(json::parse(FHTTP.Get(Httpbin("/gzip")))["gzipped"], true);
    EXPECT_EQ(json::parse(FHTTP.Get(Httpbin("/deflate")))["deflated"], true);
}

// --- forms ------------------------------------------------------------------------------

TEST_F(HTTPPeers, FormPostIsEncodedAndEchoedExactly) {
    TStringList Form;
    Form.Add("a=b c");
    Form.Add("x=é");
    EXPECT_EQ(FHTTP.Post(Nginx("/echo/body"), &Form), "a=b+c&x=%C3%A9");

    json Echo = json::parse(FHTTP.Post(Httpbin("/post"), &Form));
    EXPECT_EQ(Echo["form"], (json{{"a", "b c"}, {"x", "é"}}));
    EXPECT_EQ(Echo["headers"]["Content-Type"], "application/x-www-form-urlencoded");
}

TEST_F(HTTPPeers, MultipartUploadIsEchoedByteForByte) {
    std::string Bytes;
    for (int I = 0; I < 4096; ++I)
        Bytes += static_cast<char>(I * 7 % 256);
    TStringStream Binary(Bytes);

    TIdMultiPartFormDataStream Form;
    Form.AddFormField("name", "kbv upload");
    Form.AddFormField("utf8", "héllo ✓", "utf-8")->SetContentTransfer("8bit");
    Form.AddFile("text", PeerFile("lorem.txt"));
    Form.AddFile("noise", PeerFile("size-1024.bin"), "application/octet-stream");
    Form.AddFormField("bytes", "application/octet-stream", "", &Binary, "bytes.bin");

    json Echo = json::parse(FHTTP.Post(Httpbin("/post"), &Form));
    EXPECT_EQ(Echo["form"]["name"], "kbv upload");
    EXPECT_EQ(Echo["form"]["utf8"], "héllo ✓");
    EXPECT_EQ(Echo["files"]["text"], FileText(PeerFile("lorem.txt")));
    // httpbin gives bytes that are not UTF-8 as a base64 data URL.
    const std::string Prefix = "data:application/octet-stream;base64,";
    const std::vector<std::pair<std::string, std::string>> Binaries = {
        {"noise", FileText(PeerFile("size-1024.bin"))}, {"bytes", Bytes}};
    for (const auto& [Field, Expected] : Binaries) {
        const std::string Url = Echo["files"][Field];
        ASSERT_EQ(Url.rfind(Prefix, 0), 0u) << Field;
        EXPECT_EQ(DecodeBase64(Url.substr(Prefix.size())), Expected) << Field;
    }
}

// --- text --------------------------------------------------------------------------------

// httpbin escapes non-ASCII in its JSON; /base64/... sends raw UTF-8 as
// text/html with charset utf-8.
TEST_F(HTTPPeers, NonAsciiTextArrivesAsUtf8) {
    TStringStream Body(R"({"text":"héllo ✓ 日本"})");
    FHTTP.Request().SetContentType("application/json");
    json Echo = json::parse(FHTTP.Post(Httpbin("/anything"), &Body));
    EXPECT_EQ(Echo["json"]["text"], "héllo ✓ 日本");

    EXPECT_EQ(FHTTP.Get(Httpbin("/base64/") + "aMOpbGxvIOKckyDml6XmnKw="), "héllo ✓ 日本");
    EXPECT_EQ(FHTTP.Response().CharSet(), "utf-8");
}

}  // namespace
