// The exchange against a hostile or broken server: no failure leaves a
// connection to be reused, no caller text becomes protocol, credentials stay
// with their origin, framing is strict and memory bounded.
#include <gtest/gtest.h>

#include <zlib.h>

#include <chrono>
#include <stdexcept>
#include <string>

#include "http/kbvIdHTTP.h"
#include "http/kbvIdZLibCompressor.h"
#include "tests/http/HTTPTest.h"
#include "tests/support/MessageOf.h"

namespace {

const std::string Second = Reply("200 OK", "second");

// A stream that refuses every write, as a full disk would.
struct TFailingStream : TMemoryStream {
    int64_t Write(const void*, int64_t) override { throw std::runtime_error("disk full"); }
};

std::string GZipped(const std::string& AText) {
    TStringStream In(AText), Out;
    TIdZLibCompressor().CompressStream(In, Out, 6, 31, 8, Z_DEFAULT_STRATEGY);
    return Out.DataString();
}

std::string Chunked(const std::string& ABody) { return "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + ABody; }

std::string Repeated(const std::string& AText, int ACount) {
    std::string Result;
    for (int I = 0; I < ACount; ++I)
        Result += AText;
    return Result;
}

// Exposes the exchange with any method.
struct TRawHTTP : TIdHTTP {
    using TIdHTTP::RunRequest;
};

}  // namespace

// ---------------------------------------------------------------------------
// A connection that failed is never reused

TEST(HTTPHostile, EveryFailureClosesTheConnectionSoTheNextRequestGetsItsOwnAnswer) {
    TIdZLibCompressor Compressor;
    std::string BadCRC = GZipped("zipped text");
    BadCRC[BadCRC.size() - 6] ^= 1;
    const struct {
        const char* What;
        std::string Response;
        bool ThrowingStream = false, ThrowingChunkEvent = false;
    } Cases[] = {
        {"header line too long", "HTTP/1.1 200 OK\r\nX: " + std::string(20000, 'a') + "\r\n\r\n"},
        {"too many header lines", "HTTP/1.1 200 OK\r\n" + Repeated("X-A: v\r\n", 300) + "\r\n"},
        {"body read times out", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc"},
        {"status line times out", "HTTP/1.1 200"},
        {"caller's stream raises", Reply("200 OK", "first") + Reply("200 OK", "rest"), true},
        {"chunk event raises", Chunked("5\r\nfirst\r\n0\r\n\r\n") + Reply("200 OK", "rest"), false, true},
        {"gzip CRC wrong", Reply("200 OK", BadCRC, "Content-Encoding: gzip\r\n")},
        {"endless interim responses", Repeated("HTTP/1.1 100 Continue\r\n\r\n", 20)},
        {"chunk size line times out", Chunked("5\r\nfirst\r\n")},
        {"chunk data without its line end", Chunked("5\r\nfirstXX\r\n0\r\n\r\n")},
    };
    for (const auto& Case : Cases) {
        TLoopbackPeer Peer;
        TIdHTTP HTTP;
        HTTP.SetReadTimeout(300);
        HTTP.SetCompressor(&Compressor);
        Peer.ExpectUntil(EndOfHead).Send(Case.Response).NextConnection().ExpectUntil(EndOfHead).Send(Second);
        Peer.Start();
        const std::string URL = "http://127.0.0.1:" + std::to_string(Peer.Port()) + "/";
        TFailingStream Failing;
        TMemoryStream Body;
        if (Case.ThrowingChunkEvent)
            HTTP.SetOnChunkReceived([](TObject*, TIdBytes&) { throw std::runtime_error("handler failed"); });
        EXPECT_ANY_THROW(HTTP.Get(URL, Case.ThrowingStream ? &Failing : &Body)) << Case.What;
        EXPECT_FALSE(HTTP.Connected()) << Case.What;
        HTTP.SetOnChunkReceived(nullptr);
        EXPECT_EQ(HTTP.Get(URL), "second") << Case.What;
        EXPECT_EQ(Peer.Accepted(), 2) << Case.What;
    }
}

// The server closes an idle kept-alive connection just as the next request
// goes out on it.
TEST_F(THTTPTest, StaleConnectionIsRetriedOnceForIdempotentRequestsOnly) {
    Answer(Reply("200 OK", "first")).Peer.ExpectUntil(EndOfHead).Close().NextConnection();
    Answer(Second).Peer.ExpectUntil(EndOfHead).Close().NextConnection();
    Answer(Reply("200 OK", "third")).Peer.ExpectUntil(EndOfHead).Close();
    Peer.Start();
    EXPECT_EQ(HTTP.Get(URL()), "first");
    EXPECT_EQ(HTTP.Get(URL()), "second");  // sent twice: the first connection was gone
    EXPECT_EQ(Peer.Accepted(), 2);
    EXPECT_EQ(HTTP.Get(URL()), "third");
    TStringStream Patch("p");
    EXPECT_EQ(MessageOf<EIdHTTPResponseIncomplete>([&] { HTTP.Patch(URL(), &Patch); }),
              "The server closed the connection without sending a response");
    EXPECT_EQ(Peer.Accepted(), 3);
}

// ---------------------------------------------------------------------------
// Caller text never becomes protocol

TEST_F(THTTPTest, LineBreaksInURLMethodOrHeadersAreRefusedBeforeAnythingIsSent) {
    const struct { const char* What; std::function<void(TRawHTTP&)> Call; } Cases[] = {
        {"URL", [&](TRawHTTP& H) { H.Get(URL("/a\r\nX-Injected: 1")); }},
        {"URL with NUL", [&](TRawHTTP& H) { H.Get(URL(std::string("/a\0b", 4))); }},
        {"URL with bare LF", [&](TRawHTTP& H) { H.Get(URL("/a\nGET /b HTTP/1.1")); }},
        {"method", [&](TRawHTTP& H) { H.RunRequest("GET / HTTP/1.1\r\nX:", URL(), nullptr, nullptr, {}); }},
        {"custom header value", [&](TRawHTTP& H) {
             H.Request().CustomHeaders().SetValues("X-Id", "1\r\n\r\nGET /evil HTTP/1.1");
             H.Get(URL());
         }},
        {"custom header name", [&](TRawHTTP& H) {
             H.Request().CustomHeaders().Add("X-Bad Name: 1");
             H.Get(URL());
         }},
        {"standard header", [&](TRawHTTP& H) {
             H.Request().SetUserAgent("agent\rX-Injected: 1");
             H.Get(URL());
         }},
    };
    Peer.Start();
    for (const auto& Case : Cases) {
        TRawHTTP Raw;
        EXPECT_NE(MessageOf<EIdHTTPInvalidRequest>([&] { Case.Call(Raw); }), "(no exception)") << Case.What;
    }
    EXPECT_EQ(Peer.Received(), "");
}

TEST_F(THTTPTest, SpaceInTheTargetIsEncodedAndBareCRInALocationIsRefused) {
    Answer(Reply("200 OK", "ok")).Answer("HTTP/1.1 302 Found\r\nLocation: /a\rb\r\nContent-Length: 0\r\n\r\n");
    Peer.Start();
    EXPECT_EQ(HTTP.Get(URL("/a b?c d")), "ok");
    EXPECT_EQ(Peer.Received().substr(0, Peer.Received().find("\r\n")), "GET /a%20b?c%20d HTTP/1.1");
    HTTP.SetHandleRedirects(true);
    EXPECT_EQ(MessageOf<EIdHTTPBadResponse>([&] { HTTP.Get(URL()); }),
              "A header line of the response holds a NUL or CR character");
}

// ---------------------------------------------------------------------------
// Redirects

TEST_F(THTTPTest, CredentialsGoOnlyToTheOriginTheCallStartedWith) {
    TLoopbackPeer Other;
    const std::string OtherURL = "http://127.0.0.1:" + std::to_string(Other.Port()) + "/landing";
    Answer("HTTP/1.1 302 Found\r\nLocation: /same\r\nContent-Length: 0\r\n\r\n")
        .Answer("HTTP/1.1 302 Found\r\nLocation: " + OtherURL + "\r\nContent-Length: 0\r\n\r\n");
    Other.ExpectUntil(EndOfHead).Send(Reply("200 OK", "landed"));
    Peer.Start();
    Other.Start();
    HTTP.SetHandleRedirects(true);
    HTTP.Request().CustomHeaders().SetValues("Authorization", "Bearer secret");
    HTTP.Request().CustomHeaders().SetValues("Cookie", "session=1");
    EXPECT_EQ(HTTP.Get(URL()), "landed");
    EXPECT_EQ(Peer.Accepted(), 1);
    const std::string Origin = Peer.Received();
    EXPECT_NE(Origin.find("GET /same HTTP/1.1"), std::string::npos);
    EXPECT_EQ(Origin.find("Authorization: Bearer secret", Origin.find("GET /same")), Origin.rfind("Authorization"))
        << "kept on the same origin";
    EXPECT_EQ(Other.Received().find("secret"), std::string::npos);
    EXPECT_EQ(Other.Received().find("Cookie"), std::string::npos);
    EXPECT_EQ(HTTP.Request().CustomHeaders().Values("Authorization"), "Bearer secret") << "for the next call";
}

TEST_F(THTTPTest, RedirectsLeadOnlyToHttpOrHttps) {
    for (const char* Location : {"file:///etc/passwd", "ftp://127.0.0.1:21/x", "gopher://127.0.0.1:70/"})
        Answer("HTTP/1.1 302 Found\r\nLocation: " + std::string(Location) + "\r\nContent-Length: 0\r\n\r\n")
            .Peer.NextConnection();
    Peer.Start();
    HTTP.SetHandleRedirects(true);
    for (int I = 0; I < 3; ++I) {
        EXPECT_EQ(MessageOf<EIdUnknownProtocol>([&] { HTTP.Get(URL()); }), "Unknown Protocol");
        EXPECT_EQ(Peer.Received(I).find("GET", 1), std::string::npos) << "one request, to the first server only";
    }
}

// ---------------------------------------------------------------------------
// Framing

TEST_F(THTTPTest, AmbiguousOrInvalidFramingRaisesOrIsReadTheSafeWay) {
    const struct { const char* Head; const char* Body; const char* Expected; bool KeptOpen = false; } Cases[] = {
        {"Content-Length: 3\r\nTransfer-Encoding: chunked", "2\r\nok\r\n0\r\n\r\n", "ok", false},
        {"Content-Length: 2, 2\r\nContent-Length: 2", "ok", "ok", true},
        {"Transfer-Encoding: chunked, gzip", "raw", "raw", false},  // not chunked last: until close
        {"Transfer-Encoding: xchunked", "raw", "raw", false},
        {"Transfer-Encoding: gzip\r\nTransfer-Encoding: chunked", "2\r\nok\r\n0\r\n\r\n", "ok", true},
        {"Content-Length: 2\r\nContent-Length: 3", "ok", "The response has several different Content-Length values"},
        {"Content-Length: -1", "", "The response has an invalid Content-Length"},
        {"Content-Length: +2", "ok", "The response has an invalid Content-Length"},
        {"Content-Length: 0x2", "ok", "The response has an invalid Content-Length"},
        {"X-Bad: a\0b", "", "A header line of the response holds a NUL or CR character"},
    };
    for (const auto& Case : Cases) {
        TLoopbackPeer Peer;
        TIdHTTP HTTP;
        HTTP.SetReadTimeout(ReadBoundMS);
        std::string Head = Case.Head;
        if (Head.find("X-Bad") == 0)
            Head = std::string("X-Bad: a\0b", 10);
        Peer.ExpectUntil(EndOfHead).Send("HTTP/1.1 200 OK\r\n" + Head + "\r\n\r\n" + Case.Body);
        if (!Case.KeptOpen)
            Peer.Close();
        Peer.Start();
        std::string Result;
        try {
            Result = HTTP.Get("http://127.0.0.1:" + std::to_string(Peer.Port()) + "/");
        } catch (const EIdHTTPBadResponse& Error) {
            Result = Error.Message();
        }
        EXPECT_EQ(Result, Case.Expected) << Case.Head;
        EXPECT_EQ(HTTP.Connected(), Case.KeptOpen) << Case.Head;
    }
}

TEST_F(THTTPTest, SwitchingProtocolsUnaskedIsAnError) {
    Answer("HTTP/1.1 101 Switching Protocols\r\nUpgrade: x\r\n\r\n");
    Peer.Start();
    EXPECT_EQ(MessageOf<EIdHTTPBadResponse>([&] { HTTP.Get(URL()); }),
              "The server switched protocols (101) though no upgrade was asked for");
    EXPECT_FALSE(HTTP.Connected());
}

// ---------------------------------------------------------------------------
// Memory stays bounded

TEST_F(THTTPTest, AnEndlessErrorBodyKeepsOnlyAPrefixAndClosesTheConnection) {
    Peer.ExpectUntil(EndOfHead).Send("HTTP/1.1 500 Oops\r\n\r\n").SendStream(uint64_t(1) << 32);
    Peer.Start();
    try {
        HTTP.Get(URL());
        ADD_FAILURE() << "no exception";
    } catch (const EIdHTTPProtocolException& Error) {
        EXPECT_EQ(Error.ErrorCode(), 500);
        // 64 KiB of bytes, decoded byte by byte (those above 127 take two in UTF-8)
        EXPECT_GE(Error.ErrorMessage().size(), size_t(64 * 1024));
        EXPECT_LT(Error.ErrorMessage().size(), size_t(128 * 1024));
    }
    EXPECT_FALSE(HTTP.Connected());
}

TEST_F(THTTPTest, BodySizeBoundCountsDecodedBytes) {
    TIdZLibCompressor Compressor;
    HTTP.SetCompressor(&Compressor);
    HTTP.SetMaxBodySize(1 << 20);
    const std::string Bomb = GZipped(std::string(64 << 20, '\0'));  // 64 MiB from about 64 KiB
    Answer(Reply("200 OK", std::string(1 << 20, 'x'))).Answer(Reply("200 OK", Bomb, "Content-Encoding: gzip\r\n"));
    Peer.Start();
    TMemoryStream Body;
    HTTP.Get(URL(), &Body);
    EXPECT_EQ(Body.Size(), 1 << 20) << "exactly the bound is fine";
    EXPECT_EQ(MessageOf<EIdHTTPResponseTooLarge>([&] { HTTP.Get(URL(), &Body); }),
              "The response body is larger than the bound of 1048576 bytes");
    EXPECT_FALSE(HTTP.Connected());
}

// ---------------------------------------------------------------------------
// Smaller faults

TEST_F(THTTPTest, CallerStreamsAreNotKeptAfterTheCallAndProgressCountsEachByteOnce) {
    Answer(Reply("200 OK", std::string(1000, 'b')));
    Peer.Start();
    int64_t LastCount = 0;
    HTTP.SetOnWork([&](TObject*, TWorkMode AMode, int64_t ACount) {
        if (AMode == wmRead)
            LastCount = ACount;
    });
    TStringStream Source("s");
    EXPECT_EQ(HTTP.Put(URL(), &Source).size(), 1000u);
    EXPECT_EQ(LastCount, 1000);
    EXPECT_EQ(HTTP.Request().Source(), nullptr);
    EXPECT_EQ(HTTP.Response().ContentStream(), nullptr);
}

TEST(HTTPHostile, PortsOutsideTheRangeAreRefused) {
    TIdHTTP HTTP;
    for (const char* URL : {"http://127.0.0.1:70000/", "http://127.0.0.1:abc/", "http://127.0.0.1:0/"})
        EXPECT_EQ(MessageOf<EIdHTTPInvalidRequest>([&] { HTTP.Get(URL); }).substr(0, 9), "The port ") << URL;
}

TEST_F(THTTPTest, ARedirectBodyIsNotAwaitedLongerThanAReadMayTake) {
    Answer("HTTP/1.1 302 Found\r\nLocation: /x\r\n\r\n");
    Peer.Start();
    HTTP.SetReadTimeout(200);
    const auto Start = std::chrono::steady_clock::now();
    EXPECT_EQ(MessageOf<EIdHTTPProtocolException>([&] { HTTP.Get(URL()); }), "HTTP/1.1 302 Found");
    EXPECT_LT(std::chrono::steady_clock::now() - Start, std::chrono::milliseconds(4000));
}
