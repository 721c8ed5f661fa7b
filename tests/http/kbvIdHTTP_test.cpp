#include "http/kbvIdHTTP.h"

#include <gtest/gtest.h>

#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "http/kbvIdCookieManager.h"
#include "http/kbvIdZLibCompressor.h"
#include "net/kbvIdSocks.h"
#include "tests/http/HTTPTest.h"
#include "tests/net/support/LoopbackPeer.h"
#include "tests/support/MessageOf.h"

namespace {

// Exposes the target preparation, which needs no connection.
struct TTargetProbe : TIdHTTP {
    std::string HostFor(const std::string& AURL) {
        Request().SetURL(AURL);
        Request().SetMethod("GET");
        PrepareTarget(Request());
        return Request().Host();
    }
};

}  // namespace

// ---------------------------------------------------------------------------
// Request line, Host and target

TEST(HTTPTarget, HostCarriesThePortOnlyWhenItIsNotTheDefault) {
    TTargetProbe Probe;
    EXPECT_EQ(Probe.HostFor("http://example.test/a"), "example.test");
    EXPECT_EQ(Probe.HostFor("http://example.test:8080/a"), "example.test:8080");
    EXPECT_EQ(Probe.HostFor("https://example.test:443/"), "example.test");
    EXPECT_EQ(Probe.HostFor("http://[::1]/x"), "[::1]");
    EXPECT_EQ(Probe.HostFor("http://[::1]:81/x"), "[::1]:81");
    // A relative URL keeps the server of the last target.
    EXPECT_EQ(Probe.HostFor("/other?q=1"), "[::1]:81");
    EXPECT_EQ(Probe.Request().URL(), "/other?q=1");
}

TEST(HTTPTarget, ResolvePathJoinsCollapsesAndClimbs) {
    EXPECT_EQ(TIdCustomHTTP::ResolvePath("/a/b/", "/c/"), "/c/");
    EXPECT_EQ(TIdCustomHTTP::ResolvePath("/a/b/", "c/d"), "/a/b/c/d");
    EXPECT_EQ(TIdCustomHTTP::ResolvePath("/a/b", "../c"), "/a/c");
    EXPECT_EQ(TIdCustomHTTP::ResolvePath("/a//b/", "./c/"), "/a/b/./c/");
    EXPECT_EQ(TIdCustomHTTP::ResolvePath("/a/", ""), "/a/");
    EXPECT_EQ(TIdCustomHTTP::ResolvePath("", "x"), "x");
}

TEST(HTTPTarget, MethodsThatNeedHTTP11RaiseBeforeSending) {
    TIdHTTP HTTP;
    HTTP.SetProtocolVersion(pv1_0);
    TStringStream Body("x");
    EXPECT_EQ(MessageOf([&] { HTTP.Put("http://127.0.0.1:1/", &Body); }), "Request method requires HTTP version 1.1");
    EXPECT_FALSE(HTTP.Connected());
    TIdHTTP Fresh;
    EXPECT_EQ(MessageOf([&] { Fresh.Get("ftp://127.0.0.1/"); }), "Unknown Protocol");
}

TEST_F(THTTPTest, GetSendsRequestLineAndHostWithExplicitPort) {
    Answer(Reply("200 OK", "hello"));
    Peer.Start();
    EXPECT_EQ(HTTP.Get(URL("/p/q?x=1")), "hello");
    const std::string Sent = Peer.Received();
    EXPECT_EQ(Sent.substr(0, Sent.find("\r\n")), "GET /p/q?x=1 HTTP/1.1");
    EXPECT_NE(Sent.find("\r\nHost: 127.0.0.1:" + std::to_string(Peer.Port()) + "\r\n"), std::string::npos);
    EXPECT_EQ(Sent.find("Content-Length"), std::string::npos);
    EXPECT_EQ(HTTP.ResponseCode(), 200);
}

TEST(HTTPExchange, IPv6LiteralGoesInBracketsInHost) {
    TLoopbackPeer Peer(true);
    TIdHTTP HTTP;
    HTTP.SetReadTimeout(ReadBoundMS);
    Peer.ExpectUntil(EndOfHead).Send(Reply("200 OK", "six"));
    Peer.Start();
    EXPECT_EQ(HTTP.Get("http://[::1]:" + std::to_string(Peer.Port()) + "/"), "six");
    EXPECT_NE(Peer.Received().find("\r\nHost: [::1]:" + std::to_string(Peer.Port()) + "\r\n"), std::string::npos);
}

// ---------------------------------------------------------------------------
// Body framing

TEST_F(THTTPTest, ChunkedBodyWithExtensionTrailerAndChunkEvent) {
    Answer("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
           "1a;name=value\r\nabcdefghijklmnopqrstuvwxyz\r\n3\r\n123\r\n0\r\nX-Trailer: t\r\n\r\n");
    Peer.Start();
    int Chunks = 0;
    HTTP.SetOnChunkReceived([&](TObject*, TIdBytes& AChunk) {
        ++Chunks;
        AChunk.push_back('|');
    });
    EXPECT_EQ(HTTP.Get(URL()), "abcdefghijklmnopqrstuvwxyz|123|");
    EXPECT_EQ(Chunks, 2);
    EXPECT_EQ(HTTP.Response().RawHeaders().Values("X-Trailer"), "t");
    EXPECT_TRUE(HTTP.Connected());
}

TEST_F(THTTPTest, GarbageChunkSizeRaisesAndClosesTheConnection) {
    Answer("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\nzz\r\nmore");
    Peer.Start();
    EXPECT_EQ(MessageOf<EIdHTTPBadResponse>([&] { HTTP.Get(URL()); }), "The response has an invalid chunk size");
    EXPECT_FALSE(HTTP.Connected());
}

TEST_F(THTTPTest, OversizedChunkSizeRaises) {
    Answer("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nFFFFFFFFFFFFFFFFFFFF\r\nxx");
    Peer.Start();
    EXPECT_EQ(MessageOf<EIdHTTPBadResponse>([&] { HTTP.Get(URL()); }), "The response has an invalid chunk size");
    EXPECT_FALSE(HTTP.Connected());
}

TEST_F(THTTPTest, EndlessChunkedStreamCutOffRaises) {
    std::string Chunks;
    for (int I = 0; I < 200; ++I)
        Chunks += "10\r\n0123456789abcdef\r\n";
    Answer("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + Chunks);
    Peer.Close();
    Peer.Start();
    EXPECT_EQ(MessageOf<EIdHTTPResponseIncomplete>([&] { HTTP.Get(URL()); }),
              "The connection closed before the end of the chunked response body");
    EXPECT_FALSE(HTTP.Connected());
}

TEST_F(THTTPTest, BodyUntilCloseWithoutLength) {
    Answer("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nall of it");
    Peer.Close();
    Peer.Start();
    EXPECT_EQ(HTTP.Get(URL()), "all of it");
    EXPECT_FALSE(HTTP.Connected());
}

TEST_F(THTTPTest, ContentLengthBodyCutShortRaisesWithTheCounts) {
    Answer("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabcd");
    Peer.Close();
    Peer.Start();
    TMemoryStream Body;
    EXPECT_EQ(MessageOf<EIdHTTPResponseIncomplete>([&] { HTTP.Get(URL(), &Body); }),
              "The connection closed after 4 of 10 bytes of the response body");
    EXPECT_FALSE(HTTP.Connected());
}

TEST_F(THTTPTest, MultipartBodyEndsAfterTheClosingBoundaryLine) {
    Answer("HTTP/1.1 200 OK\r\nContent-Type: multipart/mixed; boundary=xyz\r\n\r\n"
           "--xyz\r\n\r\npart\r\n--xyz--\r\nEXTRA");
    Peer.Start();
    EXPECT_EQ(HTTP.Get(URL()), "--xyz\r\n\r\npart\r\n--xyz--");
    ASSERT_TRUE(HTTP.Connected());
    EXPECT_EQ(HTTP.IOHandler()->InputBufferAsString(), "EXTRA");
}

// ---------------------------------------------------------------------------
// Headers

TEST_F(THTTPTest, HeadersCutShortRaise) {
    Peer.ExpectUntil(EndOfHead).Send("HTTP/1.1 200 OK\r\nContent-Ty").Close();
    Peer.Start();
    EXPECT_EQ(MessageOf<EIdHTTPResponseIncomplete>([&] { HTTP.Get(URL()); }),
              "The connection closed before the end of the response headers");
    EXPECT_FALSE(HTTP.Connected());
}

TEST_F(THTTPTest, MoreHeaderLinesThanTheBoundRaise) {
    std::string Many;
    for (int I = 0; I < 6; ++I)
        Many += "X-H" + std::to_string(I) + ": v\r\n";
    Answer(Reply("200 OK", "", Many));
    Peer.Start();
    HTTP.SetMaxHeaderLines(5);
    EXPECT_EQ(MessageOf<EIdHTTPResponseTooLarge>([&] { HTTP.Get(URL()); }),
              "The response has more than 5 header lines");
    EXPECT_FALSE(HTTP.Connected());
}

TEST_F(THTTPTest, HeaderBoundOfZeroMeansNoBound) {
    std::string Many;
    for (int I = 0; I < 300; ++I)
        Many += "X-H" + std::to_string(I) + ": v\r\n";
    Answer(Reply("200 OK", "ok", Many));
    Peer.Start();
    HTTP.SetMaxHeaderLines(0);
    EXPECT_EQ(HTTP.Get(URL()), "ok");
    EXPECT_EQ(HTTP.Response().RawHeaders().Values("X-H299"), "v");
}

TEST_F(THTTPTest, OversizedHeaderLineRaises) {
    Answer("HTTP/1.1 200 OK\r\nX-Big: " + std::string(40000, 'a') + "\r\n\r\n");
    Peer.Start();
    EXPECT_EQ(MessageOf([&] { HTTP.Get(URL()); }), "Max line length exceeded.");
    EXPECT_FALSE(HTTP.Connected());
}

// ---------------------------------------------------------------------------
// Keep-alive and the POST rule

TEST_F(THTTPTest, KeepAliveReusesOneConnection) {
    Answer(Reply("200 OK", "one")).Answer(Reply("200 OK", "two")).Answer(Reply("200 OK", "three", "Connection: close\r\n"));
    Peer.Start();
    EXPECT_EQ(HTTP.Get(URL("/1")), "one");
    EXPECT_EQ(HTTP.Get(URL("/2")), "two");
    EXPECT_EQ(HTTP.Get(URL("/3")), "three");
    EXPECT_EQ(Peer.Accepted(), 1);
    EXPECT_FALSE(HTTP.Connected());  // the server said close
}

TEST_F(THTTPTest, PostClosesKeptConnectionAndGoesOutAsHTTP10) {
    Answer(Reply("200 OK", "got"));
    Peer.NextConnection().ExpectUntil(EndOfHead).Expect(4).Send(Reply("200 OK", "posted"));
    Peer.Start();
    EXPECT_EQ(HTTP.Get(URL()), "got");
    TStringStream Body("data");
    EXPECT_EQ(HTTP.Post(URL("/form"), &Body), "posted");
    EXPECT_EQ(Peer.Accepted(), 2);
    const std::string Sent = Peer.Received(1);
    EXPECT_EQ(Sent.substr(0, Sent.find("\r\n")), "POST /form HTTP/1.0");
    EXPECT_NE(Sent.find("Content-Length: 4\r\n"), std::string::npos);
    EXPECT_NE(Sent.find("Connection: keep-alive\r\n"), std::string::npos);
    EXPECT_EQ(Sent.substr(Sent.size() - 4), "data");
    EXPECT_EQ(HTTP.ProtocolVersion(), pv1_1);
    // HTTP/1.0 keeps a connection only when the response says keep-alive.
    EXPECT_FALSE(HTTP.Connected());
}

TEST_F(THTTPTest, PostKeepsConnectionAndVersionWithKeepOrigProtocol) {
    Answer(Reply("200 OK", "got"));
    Peer.ExpectUntil(EndOfHead).Send(Reply("200 OK", "posted"));
    Peer.Start();
    HTTP.SetHTTPOptions({hoKeepOrigProtocol});
    EXPECT_EQ(HTTP.Get(URL()), "got");
    EXPECT_EQ(HTTP.Post(URL("/form"), static_cast<TStream*>(nullptr)), "posted");
    EXPECT_EQ(Peer.Accepted(), 1);
    const std::string Sent = Peer.Received();
    EXPECT_NE(Sent.find("POST /form HTTP/1.1\r\n"), std::string::npos);
    EXPECT_NE(Sent.find("Content-Length: 0\r\n"), std::string::npos);
}

TEST_F(THTTPTest, FormPostEncodesNamesAndValues) {
    Peer.ExpectUntil(EndOfHead).Expect(14).Send(Reply("200 OK", ""));
    Peer.Start();
    TStringList Form;
    Form.Add("a=b c");
    Form.Add("x=\xC3\xA9");
    HTTP.Post(URL(), &Form);
    const std::string Sent = Peer.Received();
    EXPECT_NE(Sent.find("Content-Type: application/x-www-form-urlencoded"), std::string::npos);
    EXPECT_EQ(Sent.substr(Sent.size() - 14), "a=b+c&x=%C3%A9");
}

TEST(HTTPForm, EncodeFormValue) {
    EXPECT_EQ(TIdCustomHTTP::EncodeFormValue("a b*-._~?"), "a+b*-._%7E%3F");
    EXPECT_EQ(TIdCustomHTTP::EncodeFormValue("\xF0\x9F\x98\x80"), "%F0%9F%98%80");
    // A character the encoding cannot represent becomes a numeric reference.
    EXPECT_EQ(TIdCustomHTTP::EncodeFormValue("\xC3\xA9", IdTextEncoding(encASCII)), "&#233;");
}

// ---------------------------------------------------------------------------
// Interim and body-less responses

TEST_F(THTTPTest, ContinueThenFinalStatus) {
    Answer("HTTP/1.1 100 Continue\r\n\r\n" + Reply("200 OK", "final"));
    Peer.Start();
    EXPECT_EQ(HTTP.Get(URL()), "final");
    EXPECT_EQ(HTTP.ResponseCode(), 200);
}

TEST_F(THTTPTest, SwitchingProtocolsEndsTheCallWithoutBody) {
    Answer("HTTP/1.1 101 Switching Protocols\r\nUpgrade: x\r\n\r\nraw bytes");
    Peer.Start();
    HTTP.Request().CustomHeaders().SetValues("Upgrade", "x");
    EXPECT_EQ(HTTP.Get(URL()), "");
    EXPECT_EQ(HTTP.ResponseCode(), 101);
    EXPECT_TRUE(HTTP.Connected());
    EXPECT_TRUE(HTTP.Response().KeepAlive());
}

TEST_F(THTTPTest, NoBodyFor204And304AndHead) {
    Answer("HTTP/1.1 204 No Content\r\nContent-Length: 5\r\n\r\n")
        .Answer("HTTP/1.1 304 Not Modified\r\nContent-Length: 5\r\n\r\n")
        .Answer("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n")
        .Answer(Reply("200 OK", "after"));
    Peer.Start();
    EXPECT_EQ(HTTP.Get(URL()), "");
    EXPECT_EQ(HTTP.Get(URL(), {304}), "");
    HTTP.Head(URL());
    EXPECT_EQ(HTTP.Response().ContentLength(), 5);
    EXPECT_EQ(HTTP.Get(URL()), "after");
    EXPECT_EQ(Peer.Accepted(), 1);
}

// ---------------------------------------------------------------------------
// Redirects

TEST_F(THTTPTest, RedirectWithoutHandlingRaises) {
    Answer(Reply("302 Found", "moved", "Location: /b\r\n"));
    Peer.Start();
    try {
        HTTP.Get(URL("/a"));
        FAIL() << "no exception";
    } catch (const EIdHTTPProtocolException& E) {
        EXPECT_EQ(E.ErrorCode(), 302);
        EXPECT_EQ(E.Message(), "HTTP/1.1 302 Found");
        EXPECT_EQ(E.ErrorMessage(), "moved");
    }
}

TEST_F(THTTPTest, RedirectsAreFollowedRelativeAndAbsolute) {
    Answer(Reply("302 Found", "first", "Location: b/c\r\n"));
    Answer(Reply("301 Moved", "second", "Location: " + URL("/final") + "\r\n"));
    Answer(Reply("200 OK", "done"));
    Peer.Start();
    HTTP.SetHandleRedirects(true);
    std::vector<std::string> Seen;
    HTTP.SetOnRedirect([&](TObject*, std::string& ADest, int&, bool& AHandled, std::string&) {
        Seen.push_back(ADest);
        EXPECT_TRUE(AHandled);
    });
    TMemoryStream Body;
    HTTP.Get(URL("/dir/a"), &Body);
    EXPECT_EQ(std::string(static_cast<const char*>(Body.Memory()), Body.Size()), "done");
    EXPECT_EQ(HTTP.RedirectCount(), 2);
    ASSERT_EQ(Seen.size(), 2u);
    const std::string Sent = Peer.Received();
    EXPECT_NE(Sent.find("GET /dir/b/c HTTP/1.1\r\n"), std::string::npos);
    EXPECT_NE(Sent.find("GET /final HTTP/1.1\r\n"), std::string::npos);
}

TEST_F(THTTPTest, SeeOtherAfterPostTurnsIntoGetWithoutBody) {
    Peer.ExpectUntil(EndOfHead).Expect(4).Send(Reply("303 See Other", "", "Location: /result\r\n"));
    Peer.NextConnection().ExpectUntil(EndOfHead).Send(Reply("200 OK", "result"));
    Peer.Start();
    HTTP.SetHandleRedirects(true);
    TStringStream Body("data");
    EXPECT_EQ(HTTP.Post(URL("/submit"), &Body), "result");
    const std::string Second = Peer.Received(1);
    EXPECT_EQ(Second.substr(0, Second.find("\r\n")), "GET /result HTTP/1.0");
    EXPECT_EQ(Second.find("Content-Length"), std::string::npos);
}

TEST_F(THTTPTest, RedirectLimitReturnsTheRedirectWithLocation) {
    Answer(Reply("302 Found", "", "Location: /1\r\n")).Answer(Reply("302 Found", "", "Location: /2\r\n"));
    Peer.Start();
    HTTP.SetHandleRedirects(true);
    HTTP.SetRedirectMaximum(2);
    EXPECT_EQ(HTTP.Get(URL()), "");
    EXPECT_EQ(HTTP.ResponseCode(), 302);
    EXPECT_EQ(HTTP.Response().Location(), "/2");
    EXPECT_EQ(HTTP.RedirectCount(), 2);
}

TEST_F(THTTPTest, StalledRedirectBodyCountsAsNone) {
    Peer.ExpectUntil(EndOfHead).Send("HTTP/1.1 302 Found\r\nLocation: /x\r\nContent-Length: 10\r\n\r\n").Stall(8000);
    Peer.Start();
    HTTP.SetHandleRedirects(true);
    HTTP.SetRedirectMaximum(1);
    const auto Start = std::chrono::steady_clock::now();
    EXPECT_EQ(HTTP.Get(URL()), "");
    const double Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
    EXPECT_GT(Seconds, 4.0);
    EXPECT_LT(Seconds, 7.5);
    EXPECT_EQ(HTTP.Response().Location(), "/x");
    Peer.Stop();
}

// ---------------------------------------------------------------------------
// Error statuses

TEST_F(THTTPTest, ErrorStatusRaisesWithStatusLineCodeAndBody) {
    Answer(Reply("404 Not Found", "no such page", "Content-Type: text/plain; charset=ISO-8859-1\r\n"));
    Peer.Start();
    try {
        HTTP.Get(URL());
        FAIL() << "no exception";
    } catch (const EIdHTTPProtocolException& E) {
        EXPECT_EQ(E.Message(), "HTTP/1.1 404 Not Found");
        EXPECT_EQ(E.ErrorCode(), 404);
        EXPECT_EQ(E.ErrorMessage(), "no such page");
    }
    EXPECT_TRUE(HTTP.Connected());  // the body was read: the connection stays usable
}

TEST_F(THTTPTest, IgnoredErrorDropsOrDeliversTheBody) {
    Answer(Reply("404 Not Found", "dropped")).Answer(Reply("404 Not Found", "kept"));
    Peer.Start();
    EXPECT_EQ(HTTP.Get(URL(), {404}), "");
    HTTP.SetHTTPOptions({hoWantProtocolErrorContent});
    EXPECT_EQ(HTTP.Get(URL(), {404}), "kept");
    EXPECT_EQ(Peer.Accepted(), 1);
}

TEST_F(THTTPTest, JsonWithoutCharsetDecodesAsUTF8) {
    const std::string Json = "{\"t\":\"\xC3\xA9\xE2\x82\xAC\"}";
    Answer(Reply("200 OK", Json, "Content-Type: application/json\r\n"))
        .Answer(Reply("400 Bad Request", Json, "Content-Type: application/problem+json\r\n"));
    Peer.Start();
    EXPECT_EQ(HTTP.Get(URL()), Json);
    EXPECT_EQ(HTTP.Response().CharSet(), "");
    try {
        HTTP.Get(URL());
        FAIL() << "no exception";
    } catch (const EIdHTTPProtocolException& E) {
        EXPECT_EQ(E.ErrorMessage(), Json);
    }
}

TEST_F(THTTPTest, TextWithoutCharsetDecodesByteByByte) {
    Answer(Reply("200 OK", "\xE9", "Content-Type: application/octet-stream\r\n"));
    Peer.Start();
    EXPECT_EQ(HTTP.Get(URL()), "\xC3\xA9");
}

// ---------------------------------------------------------------------------
// Charset inspection

TEST(HTTPCharset, XmlBodyCharsetFromMarkOrDeclaration) {
    auto Of = [](const std::string& ABody) {
        TStringStream S(ABody);
        return TIdCustomHTTP::XmlBodyCharset(S);
    };
    EXPECT_EQ(Of("\xEF\xBB\xBF<?xml version=\"1.0\"?>"), "UTF-8");
    EXPECT_EQ(Of("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a/>"), "ISO-8859-1");
    EXPECT_EQ(Of("<?xml version='1.0' encoding = 'windows-1252' ?>"), "windows-1252");
    EXPECT_EQ(Of("<?xml version=\"1.0\" encoding=latin1?>"), "UTF-8");
    EXPECT_EQ(Of(std::string("\0<\0?\0x\0m\0l\0 \0e\0n\0c\0o\0d\0i\0n\0g\0=\0\"\0X\0\"\0?\0>", 40)), "X");
    EXPECT_EQ(Of("\xFF\xFE<\0"), "UTF-16LE");
}

TEST_F(THTTPTest, HtmlMetaCharsetAndXmlDeclarationSetTheCharset) {
    Answer(Reply("200 OK", "<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=ISO-8859-1\"></head>\xE9</html>", "Content-Type: text/html\r\n"))
        .Answer(Reply("200 OK", "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a>\xE9</a>",
                      "Content-Type: application/atom+xml\r\n"));
    Peer.Start();
    EXPECT_EQ(HTTP.Get(URL()), "<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=ISO-8859-1\"></head>\xC3\xA9</html>");
    EXPECT_EQ(HTTP.Response().CharSet(), "ISO-8859-1");
    EXPECT_NE(HTTP.Get(URL()).find("<a>\xC3\xA9</a>"), std::string::npos);
    EXPECT_EQ(HTTP.Response().CharSet(), "ISO-8859-1");
}

TEST_F(THTTPTest, HeadersAvailableCanStopTheCall) {
    Answer(Reply("200 OK", "unread"));
    Peer.Start();
    HTTP.SetOnHeadersAvailable([](TObject*, TIdHeaderList& AHeaders, bool& VContinue) {
        EXPECT_EQ(AHeaders.Values("Content-Length"), "6");
        VContinue = false;
    });
    EXPECT_EQ(HTTP.Get(URL()), "");
    EXPECT_FALSE(HTTP.Connected());
}

// ---------------------------------------------------------------------------
// Compressed bodies

namespace {

// AText compressed by zlib: AWindowBits 15 zlib format, 31 gzip.
std::string Compressed(const std::string& AText, int AWindowBits) {
    z_stream Z{};
    deflateInit2(&Z, 6, Z_DEFLATED, AWindowBits, 8, Z_DEFAULT_STRATEGY);
    std::string Out(deflateBound(&Z, AText.size()) + 32, '\0');
    Z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(AText.data()));
    Z.avail_in = static_cast<uInt>(AText.size());
    Z.next_out = reinterpret_cast<Bytef*>(Out.data());
    Z.avail_out = static_cast<uInt>(Out.size());
    deflate(&Z, Z_FINISH);
    Out.resize(Z.total_out);
    deflateEnd(&Z);
    return Out;
}

}  // namespace

TEST_F(THTTPTest, GzipAndDeflateBodiesReachTheCallerDecompressed) {
    const std::string Text(5000, 'z');
    Answer(Reply("200 OK", Compressed(Text + "g", 31), "Content-Encoding: GZip\r\n"))
        .Answer(Reply("200 OK", Compressed(Text + "d", 15), "Content-Encoding: deflate\r\n"));
    Peer.Start();
    TIdZLibCompressor Compressor;
    HTTP.SetCompressor(&Compressor);
    EXPECT_EQ(HTTP.Get(URL()), Text + "g");
    EXPECT_EQ(HTTP.Get(URL()), Text + "d");
    EXPECT_NE(Peer.Received().find("\r\nAccept-Encoding: deflate, gzip, identity\r\n"), std::string::npos);
}

TEST_F(THTTPTest, TruncatedGzipBodyRaises) {
    const std::string Gzip = Compressed(std::string(3000, 'q'), 31);
    Answer(Reply("200 OK", Gzip.substr(0, Gzip.size() / 2), "Content-Encoding: gzip\r\n"));
    Peer.Start();
    TIdZLibCompressor Compressor;
    HTTP.SetCompressor(&Compressor);
    EXPECT_NE(MessageOf([&] { HTTP.Get(URL()); }), "(no exception)");
}

TEST(HTTPCompressor, FreedCompressorIsUnlinked) {
    TIdHTTP HTTP;
    auto Compressor = std::make_unique<TIdZLibCompressor>();
    HTTP.SetCompressor(Compressor.get());
    Compressor.reset();
    EXPECT_EQ(HTTP.Compressor(), nullptr);
}

// ---------------------------------------------------------------------------
// Announced sizes are not trusted with memory

TEST_F(THTTPTest, HugeAnnouncedSizesCutShortRaiseWithoutReservingThem) {
    Answer("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nFFFFFFFFFFFF\r\nonly this");
    Peer.Close();
    Peer.NextConnection().ExpectUntil(EndOfHead).Send("HTTP/1.1 200 OK\r\nContent-Length: 999999999999\r\n\r\nab").Close();
    Peer.Start();
    TMemoryStream Body;
    EXPECT_EQ(MessageOf<EIdHTTPResponseIncomplete>([&] { HTTP.Get(URL(), &Body); }),
              "The connection closed before the end of the chunked response body");
    EXPECT_EQ(MessageOf<EIdHTTPResponseIncomplete>([&] { HTTP.Get(URL(), &Body); }),
              "The connection closed after 2 of 999999999999 bytes of the response body");
}

// ---------------------------------------------------------------------------
// More verbs and options

TEST_F(THTTPTest, PutPatchDeleteAndFilePostSendTheirBodies) {
    const std::string File = ::testing::TempDir() + "kbvIdHTTP_post_" + std::to_string(Peer.Port());
    {
        TFileStream Out(File, fmCreate);
        Out.WriteBuffer("file!", 5);
    }
    Peer.ExpectUntil(EndOfHead).Expect(3).Send(Reply("200 OK", "put"));
    Peer.ExpectUntil(EndOfHead).Expect(5).Send(Reply("200 OK", "patch"));
    Peer.ExpectUntil(EndOfHead).Expect(4).Send(Reply("200 OK", "delete"));
    Peer.NextConnection().ExpectUntil(EndOfHead).Expect(5).Send(Reply("200 OK", "post"));
    Peer.Start();
    TStringStream Put("PUT"), Patch("PATCH");
    EXPECT_EQ(HTTP.Put(URL("/r"), &Put), "put");
    EXPECT_EQ(HTTP.Patch(URL("/r"), &Patch), "patch");
    EXPECT_EQ(HTTP.Delete(URL("/r"), std::string("gone")), "delete");
    EXPECT_EQ(HTTP.Post(URL("/f"), File), "post");
    std::remove(File.c_str());
    const std::string Sent = Peer.Received(0);
    EXPECT_NE(Sent.find("PUT /r HTTP/1.1\r\n"), std::string::npos);
    EXPECT_NE(Sent.find("PATCH /r HTTP/1.1\r\n"), std::string::npos);
    EXPECT_NE(Sent.find("DELETE /r HTTP/1.1\r\n"), std::string::npos);
    EXPECT_NE(Sent.find("\r\n\r\nPUT"), std::string::npos);
    EXPECT_EQ(Sent.substr(Sent.size() - 4), "gone");
    EXPECT_EQ(Peer.Received(1).substr(Peer.Received(1).size() - 5), "file!");
}

TEST_F(THTTPTest, NoReadChunkedLeavesTheBodyOnTheOpenConnection) {
    Answer("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n2\r\nhi\r\n0\r\n\r\n");
    Peer.Start();
    HTTP.SetHTTPOptions({hoNoReadChunked});
    EXPECT_EQ(HTTP.Get(URL()), "");
    EXPECT_TRUE(HTTP.Connected());
}

TEST_F(THTTPTest, NoProtocolErrorExceptionReturnsTheErrorResponse) {
    Answer(Reply("500 Server Error", "oops")).Answer(Reply("503 Busy", "later"));
    Peer.Start();
    HTTP.SetHTTPOptions({hoNoProtocolErrorException});
    EXPECT_EQ(HTTP.Get(URL()), "");
    EXPECT_EQ(HTTP.ResponseCode(), 500);
    HTTP.SetHTTPOptions({hoNoProtocolErrorException, hoWantProtocolErrorContent});
    EXPECT_EQ(HTTP.Get(URL()), "later");
    EXPECT_EQ(HTTP.ResponseCode(), 503);
}

// ---------------------------------------------------------------------------
// Proxies and CONNECT tunnels (the loopback peer plays the proxy)

namespace {

constexpr const char* Destination = "http://example.invalid:8080/x";

struct TProxyTest : THTTPTest {
    TProxyTest() {
        HTTP.ProxyParams().SetProxyServer(Peer.Host());
        HTTP.ProxyParams().SetProxyPort(Peer.Port());
        HTTP.SetHTTPOptions({hoNonSSLProxyUseConnectVerb});
    }
    // The request head that opened connection 0.
    std::string FirstHead() const {
        const std::string Sent = Peer.Received(0);
        return Sent.substr(0, Sent.find(EndOfHead) + 4);
    }
};

}  // namespace

TEST_F(TProxyTest, ConnectOpensTheTunnelAndTheRequestFollowsOnIt) {
    Peer.ExpectUntil(EndOfHead).Send("HTTP/1.1 200 Connection established\r\n\r\n");
    Answer(Reply("200 OK", "through")).Answer(Reply("200 OK", "again"));
    Peer.Start();
    EXPECT_EQ(HTTP.Get(Destination), "through");
    EXPECT_EQ(FirstHead(),
              "CONNECT example.invalid:8080 HTTP/1.1\r\n"
              "Pragma: no-cache\r\n"
              "Proxy-Connection: keep-alive\r\n"
              "Host: example.invalid:8080\r\n"
              "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8\r\n"
              "User-Agent: Mozilla/3.0 (compatible; Vesk Library)\r\n\r\n");
    // A kept connection is the open tunnel: no second CONNECT.
    EXPECT_EQ(HTTP.Get(Destination), "again");
    const std::string Sent = Peer.Received();
    const size_t First = Sent.find(EndOfHead) + 4;
    EXPECT_EQ(Sent.substr(First, Sent.find("\r\n", First) - First), "GET http://example.invalid:8080/x HTTP/1.1");
    EXPECT_EQ(Sent.find("CONNECT", First), std::string::npos);
    EXPECT_EQ(Peer.Accepted(), 1);
}

TEST_F(TProxyTest, BareEmptyLineCountsAsTunnelEstablished) {
    Peer.ExpectUntil(EndOfHead).Send("\r\n");
    Answer(Reply("200 OK", "bare"));
    Peer.Start();
    EXPECT_EQ(HTTP.Get(Destination), "bare");
    EXPECT_EQ(HTTP.ResponseCode(), 200);
}

TEST(HTTPProxy, RefusedConnectRaisesWithTheProxyStatus) {
    for (const int Code : {407, 403}) {
        SCOPED_TRACE(Code);
        TLoopbackPeer Peer;
        TIdHTTP HTTP;
        HTTP.SetReadTimeout(ReadBoundMS);
        HTTP.ProxyParams().SetProxyServer(Peer.Host());
        HTTP.ProxyParams().SetProxyPort(Peer.Port());
        HTTP.SetHTTPOptions({hoNonSSLProxyUseConnectVerb});
        Peer.ExpectUntil(EndOfHead)
            .Send(Reply(std::to_string(Code) + " Refused", "no", "Proxy-Authenticate: Basic realm=\"p\"\r\n"));
        Peer.Start();
        try {
            HTTP.Get(Destination);
            FAIL() << "no exception";
        } catch (const EIdHTTPProtocolException& E) {
            EXPECT_EQ(E.ErrorCode(), Code);
            EXPECT_EQ(E.ErrorMessage(), "no");
        }
        HTTP.Disconnect();
        EXPECT_TRUE(Peer.Wait(ReadBoundMS));
        EXPECT_EQ(Peer.Received().rfind("CONNECT ", 0), 0u);
        EXPECT_EQ(Peer.Received().find("GET "), std::string::npos);  // nothing went out beyond the CONNECT
    }
}

TEST_F(TProxyTest, AnIPv6DestinationIsBracketed) {
    Peer.ExpectUntil(EndOfHead).Send("HTTP/1.1 200 Connection established\r\n\r\n");
    Answer(Reply("200 OK", "six"));
    Peer.Start();
    EXPECT_EQ(HTTP.Get("http://[::1]:8080/x"), "six");
    EXPECT_EQ(FirstHead().rfind("CONNECT [::1]:8080 HTTP/1.1\r\n", 0), 0u) << FirstHead();
}

TEST_F(THTTPTest, AProxyThatHangsUpIsNotTakenForTheServer) {
    Peer.Expect(3).Close();
    Peer.Start();
    auto* Handler = new TIdIOHandlerStack(&HTTP);
    auto* Socks = new TIdSocksInfo(&HTTP);
    Socks->SetHost(Peer.Host());
    Socks->SetPort(Peer.Port());
    Socks->SetVersion(svSocks5);
    Handler->SetTransparentProxy(Socks);
    HTTP.SetIOHandler(Handler);
    EXPECT_EQ(MessageOf([&] { HTTP.Get("http://example.invalid/"); }), "Connection Closed Gracefully.");
    EXPECT_FALSE(HTTP.Connected());
}

TEST_F(TProxyTest, WithoutConnectVerbTheProxyGetsTheAbsoluteTarget) {
    HTTP.SetHTTPOptions({});
    Answer(Reply("200 OK", "plain"));
    Peer.Start();
    EXPECT_EQ(HTTP.Get(Destination), "plain");
    EXPECT_EQ(Peer.Received().rfind("GET http://example.invalid:8080/x HTTP/1.1\r\n", 0), 0u);
}

TEST_F(TProxyTest, HttpsThroughAProxyStartsTLSInsideTheTunnel) {
    Peer.ExpectUntil(EndOfHead).Send("HTTP/1.1 200 Connection established\r\n\r\n").Expect(1);
    Peer.NextConnection().ExpectUntil(EndOfHead).Send("HTTP/1.1 200 Connection established\r\n\r\nearly");
    Peer.Start();
    HTTP.SetReadTimeout(300);
    EXPECT_EQ(MessageOf([&] { HTTP.Get("https://example.invalid/"); }), "Read timed out.");
    EXPECT_TRUE(Peer.WaitForReceived(FirstHead().size() + 1, ReadBoundMS));
    // The handshake follows the proxy's answer on the same connection.
    EXPECT_EQ(Peer.Received(0).substr(FirstHead().size(), 1), "\x16");
    EXPECT_EQ(MessageOf([&] { HTTP.Get("https://example.invalid/"); }),
              "The proxy sent data after its answer to CONNECT");

    // A handler that cannot do TLS is refused before anything is sent.
    HTTP.SetIOHandler(new TIdIOHandlerStack(&HTTP));
    EXPECT_EQ(MessageOf([&] { HTTP.Get("https://example.invalid/"); }), "IOHandler value is not valid");
}

// ---------------------------------------------------------------------------
// The cookie manager: made by the client on the first response, replaced by
// a linked one, and forgotten when the linked one goes.

TEST_F(THTTPTest, CookieManagersImplicitAndLinked) {
    Answer(Reply("200 OK", "a", "Set-Cookie: sid=1; Path=/\r\n")).Answer(Reply("200 OK", "b"));
    Peer.Start();
    HTTP.Get(URL("/"));
    ASSERT_NE(HTTP.CookieManager(), nullptr);
    HTTP.Get(URL("/x"));
    EXPECT_NE(Peer.Received().find("\r\nCookie: sid=1\r\n"), std::string::npos);

    auto Linked = std::make_unique<TIdCookieManager>();
    HTTP.SetCookieManager(Linked.get());  // the implicit one is freed (ASan would see it leak)
    EXPECT_EQ(HTTP.CookieManager(), Linked.get());
    Linked.reset();
    EXPECT_EQ(HTTP.CookieManager(), nullptr);
}
