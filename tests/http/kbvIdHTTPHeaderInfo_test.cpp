#include "http/kbvIdHTTPHeaderInfo.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "core/Exceptions.h"
#include "http/kbvIdGlobalProtocols_Dates.h"

namespace {
constexpr double OneSecond = 1.0 / 86400;

class TTestAuthentication : public TIdAuthentication {
public:
    std::string Authentication() override { return {}; }
    int Steps() const override { return 1; }

protected:
    TIdAuthWhatsNext DoNext() override { return wnFail; }
};

void Parse(TIdEntityHeaderInfo& ARecord, const std::string& AHeaders) {
    ARecord.RawHeaders().SetText(AHeaders);
    ARecord.ParseRawHeaders();
}

std::string MetaScan(TIdMetaHTTPEquiv& AMeta, const std::string& AHtml) {
    TStringStream Stream(AHtml);
    Stream.SetPosition(3);
    AMeta.ProcessMetaHTTPEquiv(Stream);
    EXPECT_EQ(Stream.Position(), 3);
    return AMeta.RawHeaders().Text();
}
}  // namespace

TEST(ContentTypeRule, CharsetComesFromParameterOrMediaType) {
    TIdResponseHeaderInfo Response(nullptr);
    Response.SetContentType("text/plain; charset=\"UTF-8\"; format=flowed");
    EXPECT_EQ(Response.ContentType(), "text/plain; format=flowed");
    EXPECT_EQ(Response.CharSet(), "UTF-8");

    struct Case {
        const char* ContentType;
        const char* CharSet;
    };
    for (Case C : {Case{"text/html", "ISO-8859-1"}, Case{"application/json", ""}, Case{"text/xml", "us-ascii"},
                   Case{"TEXT/XML-External-Parsed-Entity", "us-ascii"}, Case{"text/vnd.x+XML", "us-ascii"},
                   Case{"image/svg+xml", ""}, Case{"text", ""}}) {
        Response.Clear();
        Response.SetContentType(C.ContentType);
        EXPECT_EQ(Response.ContentType(), C.ContentType);
        EXPECT_EQ(Response.CharSet(), C.CharSet) << C.ContentType;
    }
    // A charset set before is kept when the new type names none; an empty type clears both.
    Response.SetCharSet("koi8-r");
    Response.SetContentType("text/html");
    EXPECT_EQ(Response.CharSet(), "koi8-r");
    Response.SetContentType("");
    EXPECT_EQ(Response.ContentType(), "");
    EXPECT_EQ(Response.CharSet(), "");
}

TEST(ResponseParse, ReadsTheWellKnownHeaders) {
    TIdResponseHeaderInfo Response(nullptr);
    Parse(Response,
          "Content-Type: text/html; charset=utf-8\r\n"
          "Content-Length: 1234\r\n"
          "Content-Range: bytes 0-499/1234\r\n"
          "Location: /next\r\n"
          "WWW-Authenticate: Basic realm=\"a\"\r\n"
          "Server: test\r\n"
          "www-authenticate: Digest realm=\"b\",\r\n nonce=\"n\"\r\n"
          "Proxy-Authenticate: NTLM\r\n"
          "Last-Modified: Sun, 06 Nov 1994 08:49:37 GMT\r\n"
          "Transfer-Encoding: chunked\r\n");
    EXPECT_EQ(Response.ContentType(), "text/html");
    EXPECT_EQ(Response.CharSet(), "utf-8");
    EXPECT_EQ(Response.ContentLength(), 1234);
    EXPECT_TRUE(Response.HasContentLength());
    EXPECT_EQ(Response.ContentRangeUnits(), "bytes");
    EXPECT_EQ(Response.ContentRangeStart(), 0);
    EXPECT_EQ(Response.ContentRangeEnd(), 499);
    EXPECT_EQ(Response.ContentRangeInstanceLength(), 1234);
    EXPECT_EQ(Response.Location(), "/next");
    EXPECT_EQ(Response.Server(), "test");
    EXPECT_EQ(Response.TransferEncoding(), "chunked");
    ASSERT_EQ(Response.WWWAuthenticate().Count(), 2);
    EXPECT_EQ(Response.WWWAuthenticate().Strings(1), "Digest realm=\"b\", nonce=\"n\"");
    EXPECT_EQ(Response.ProxyAuthenticate().Text(), "NTLM\r\n");
    EXPECT_EQ(Response.LastModified(), HttpDateToLocal("Sun, 06 Nov 1994 08:49:37 GMT"));
    EXPECT_GT(Response.LastModified(), 0);
    // No Date header: the current time.
    EXPECT_NEAR(Response.Date(), Now(), 5 * OneSecond);

    // A second response replaces the challenge lists rather than adding to them.
    Parse(Response, "Content-Range: bytes */77\r\nContent-Length: 12x\r\n");
    EXPECT_EQ(Response.WWWAuthenticate().Count(), 0);
    EXPECT_EQ(Response.ContentLength(), -1);
    EXPECT_FALSE(Response.HasContentLength());
    EXPECT_FALSE(Response.HasContentRange());
    EXPECT_EQ(Response.ContentRangeStart(), -1);
    EXPECT_EQ(Response.ContentRangeInstanceLength(), 77);
    EXPECT_EQ(Response.LastModified(), 0);
}

TEST(ResponseParse, ExpiresIsSecondsOrDate) {
    TIdResponseHeaderInfo Response(nullptr);
    Parse(Response, "Expires: -1\r\n");
    EXPECT_EQ(Response.Expires(), 0);
    Parse(Response, "Expires: 60\r\n");
    EXPECT_NEAR(Response.Expires(), Now() + 60 * OneSecond, 5 * OneSecond);
    Parse(Response, "Expires: not a date\r\n");
    EXPECT_EQ(Response.Expires(), 0);
    Parse(Response, "Expires: Sun, 06 Nov 1994 08:49:37 GMT\r\n");
    EXPECT_EQ(Response.Expires(), HttpDateToLocal("Sun, 06 Nov 1994 08:49:37 GMT"));
}

TEST(RequestSetHeaders, RecordFieldsOverwriteCustomLinesOfTheSameName) {
    TIdRequestHeaderInfo Request(nullptr);
    Request.CustomHeaders().SetText("Authorization: Bearer sk-1\r\nuser-agent: custom\r\nX-A: 1\r\nX-A: 2\r\n");
    Request.SetHost("example.test");
    Request.SetContentType("application/json; charset=utf-8");
    Request.SetContentLength(0);
    Request.SetHeaders();
    const TIdHeaderList& Raw = Request.RawHeaders();
    EXPECT_EQ(Raw.Values("Authorization"), "Bearer sk-1");
    EXPECT_EQ(Raw.Values("User-Agent"), "Mozilla/3.0 (compatible; Vesk Library)");
    EXPECT_EQ(Raw.IndexOfName("User-Agent"), Raw.IndexOfName("Authorization") + 1);  // in place
    TStringList Repeated;
    Raw.Extract("X-A", Repeated);
    EXPECT_EQ(Repeated.Count(), 2);
    EXPECT_EQ(Raw.Values("Content-Type"), "application/json; charset=utf-8");
    EXPECT_EQ(Raw.Values("Content-Length"), "0");
    EXPECT_EQ(Raw.Values("Host"), "example.test");
    EXPECT_EQ(Raw.IndexOfName("Range"), -1);
    EXPECT_EQ(Raw.IndexOfName("Date"), -1);

    Request.SetContentLength(-1);
    Request.SetCharSet("");
    Request.SetHeaders();
    EXPECT_EQ(Raw.IndexOfName("Content-Length"), -1);
    EXPECT_EQ(Raw.Values("Content-Type"), "application/json");
}

TEST(RequestSetHeaders, DatesAndRangesAreFormatted) {
    TIdRequestHeaderInfo Request(nullptr);
    TDateTime Local = EncodeDateTime(2023, 4, 7, 9, 30, 15, 0);
    Request.SetDate(Local);
    Request.SetLastModified(Local);
    Request.SetRange("bytes=0-499");
    Request.SetMethodOverride("PATCH");
    Request.SetHeaders();
    const TIdHeaderList& Raw = Request.RawHeaders();
    EXPECT_EQ(Raw.Values("Date"), LocalDateTimeToHttpStr(Local));
    EXPECT_EQ(Raw.Values("If-Modified-Since"), LocalDateTimeToHttpStr(Local));
    EXPECT_EQ(Raw.Values("Date").substr(0, 5), "Fri, ");
    EXPECT_EQ(Raw.Values("Range"), "bytes=0-499");
    EXPECT_EQ(Raw.Values("X-HTTP-Method-Override"), "PATCH");
}

TEST(ResponseSetHeaders, ContentRangeAndLastModified) {
    TIdResponseHeaderInfo Response(nullptr);
    Response.SetContentRangeStart(0);
    Response.SetContentRangeEnd(9);
    Response.SetContentRangeInstanceLength(100);
    TDateTime Stamp = EncodeDateTime(1994, 11, 6, 8, 49, 37, 0);
    Response.SetLastModified(Stamp);
    Response.SetHeaders();
    EXPECT_EQ(Response.RawHeaders().Values("Content-Range"), "bytes 0-9/100");
    // Written as given, without zone conversion.
    EXPECT_EQ(Response.RawHeaders().Values("Last-Modified"), "Sun, 06 Nov 1994 08:49:37 GMT");

    Response.SetContentRangeEnd(-1);
    Response.SetContentRangeUnits("items");
    Response.SetHeaders();
    EXPECT_EQ(Response.RawHeaders().Values("Content-Range"), "items */100");
    Response.SetContentRangeInstanceLength(-1);
    Response.SetHeaders();
    EXPECT_EQ(Response.RawHeaders().IndexOfName("Content-Range"), -1);
}

TEST(Ranges, TextRoundTripsAndSkipsJunk) {
    TIdEntityRanges Ranges;
    Ranges.SetText(" bytes=0-499, -500 ");
    ASSERT_EQ(Ranges.Count(), 2);
    EXPECT_EQ(Ranges.Ranges(0).StartPos(), 0);
    EXPECT_EQ(Ranges.Ranges(0).EndPos(), 499);
    EXPECT_EQ(Ranges.Ranges(1).StartPos(), -1);
    EXPECT_EQ(Ranges.Ranges(1).SuffixLength(), 500);
    EXPECT_EQ(Ranges.Text(), "bytes=0-499,-500");

    Ranges.SetText("=9500-,,x-y");
    EXPECT_EQ(Ranges.Units(), "bytes");
    ASSERT_EQ(Ranges.Count(), 2);
    EXPECT_EQ(Ranges.Ranges(1).Text(), "");
    EXPECT_EQ(Ranges.Text(), "bytes=9500-");
    Ranges.SetText("");
    EXPECT_EQ(Ranges.Text(), "");
    EXPECT_THROW(Ranges.Ranges(0), EListError);
}

TEST(Records, ClearRestoresDefaultsAndKeepsWhatTheCallerSet) {
    TIdRequestHeaderInfo Request(nullptr);
    Request.SetAccept("x/y");
    Request.SetUserAgent("ua");
    Request.SetAcceptEncoding("gzip");
    Request.SetUsername("u");
    Request.SetPragma("no-cache");
    Request.SetBasicAuthentication(true);
    Request.SetContentLength(5);
    Request.CustomHeaders().Add("X: 1");
    Request.SetRange("bytes=1-2");
    Request.Clear();
    EXPECT_EQ(Request.Accept(), "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8");
    EXPECT_EQ(Request.UserAgent(), "Mozilla/3.0 (compatible; Vesk Library)");
    EXPECT_EQ(Request.ContentLength(), -1);
    EXPECT_FALSE(Request.HasContentLength());
    EXPECT_FALSE(Request.BasicAuthentication());
    EXPECT_EQ(Request.Range(), "");
    EXPECT_EQ(Request.AcceptEncoding(), "gzip");
    EXPECT_EQ(Request.Username(), "u");
    EXPECT_EQ(Request.Pragma(), "no-cache");
    EXPECT_EQ(Request.CustomHeaders().Count(), 1);
}

TEST(Records, AssignCopiesContentsBetweenRecordsOfOneKind) {
    TIdRequestHeaderInfo Source(nullptr), Dest(nullptr);
    Source.SetHost("h");
    Source.SetContentType("text/plain; charset=utf-8");
    Source.SetRange("bytes=1-2");
    Source.CustomHeaders().Add("X: 1");
    Source.SetAuthentication(std::make_unique<TTestAuthentication>());
    Dest.Assign(Source);
    EXPECT_EQ(Dest.Host(), "h");
    EXPECT_EQ(Dest.CharSet(), "utf-8");
    EXPECT_EQ(Dest.Range(), "bytes=1-2");
    Source.SetRange("");
    EXPECT_EQ(Dest.Range(), "bytes=1-2");  // copied, not shared
    EXPECT_EQ(Dest.CustomHeaders().Text(), "X: 1\r\n");
    EXPECT_EQ(Dest.Authentication(), nullptr);

    TIdResponseHeaderInfo Response(nullptr);
    TIdProxyConnectionInfo Proxy;
    EXPECT_THROW(Proxy.Assign(Source), EConvertError);
    EXPECT_THROW(Source.Assign(Proxy), EConvertError);
    Response.Assign(Source);  // the entity part of any record
    EXPECT_EQ(Response.CharSet(), "utf-8");
}

TEST(Records, ProxyDropsAuthenticationOnlyForAnotherProxy) {
    TIdProxyConnectionInfo Proxy;
    Proxy.SetProxyServer("Proxy.Test");
    Proxy.SetProxyPort(8080);
    Proxy.SetAuthentication(std::make_unique<TTestAuthentication>());
    Proxy.SetProxyServer("proxy.test");
    Proxy.SetProxyPort(8080);
    EXPECT_NE(Proxy.Authentication(), nullptr);
    Proxy.SetProxyPort(3128);
    EXPECT_EQ(Proxy.Authentication(), nullptr);
    Proxy.SetAuthentication(std::make_unique<TTestAuthentication>());
    Proxy.SetProxyServer("other.test");
    EXPECT_EQ(Proxy.Authentication(), nullptr);

    Proxy.SetProxyUsername("u");
    Proxy.SetBasicAuthentication(true);
    TIdProxyConnectionInfo Copy;
    Copy.Assign(Proxy);
    EXPECT_EQ(Copy.ProxyServer(), "other.test");
    EXPECT_EQ(Copy.ProxyPort(), 3128);
    EXPECT_TRUE(Copy.BasicAuthentication());
    Proxy.Clear();
    EXPECT_EQ(Proxy.ProxyServer(), "");
    EXPECT_EQ(Proxy.ProxyUsername(), "");
    EXPECT_EQ(Proxy.ProxyPort(), 0);
}

TEST(Records, OwnerComponentWalksTheOwnerChain) {
    TComponent Client(nullptr);
    TIdResponseHeaderInfo Response(&Client);
    TIdMetaHTTPEquiv Meta(&Response);
    EXPECT_EQ(Meta.OwnerComponent(), &Client);
    EXPECT_EQ(TIdEntityHeaderInfo(nullptr).OwnerComponent(), nullptr);
}

TEST(MetaHTTPEquiv, ReadsHeadMetaElementsOnly) {
    TIdMetaHTTPEquiv Meta(nullptr);
    std::string Lines = MetaScan(Meta,
                                 "<!DOCTYPE html><?xml x?><!-- <head><meta http-equiv=A content=1> -->\n"
                                 "<HTML><Head><title>a <meta http-equiv='B' content='2'></title>\n"
                                 "<script>if (a<b) s = '<meta http-equiv=C content=3>';</script>\n"
                                 "<link rel=stylesheet href=x.css>\n"
                                 "<META HTTP-EQUIV=\"Content-Type\" CONTENT=\"text/html; charset=windows-1252\">\n"
                                 "<meta http-equiv=Refresh content=5/>\n"
                                 "</head><body><meta http-equiv=D content=4></body></HTML>");
    EXPECT_EQ(Lines, "Content-Type: text/html; charset=windows-1252\r\nRefresh: 5/\r\n");
    EXPECT_EQ(Meta.ContentType(), "text/html");
    EXPECT_EQ(Meta.CharSet(), "windows-1252");

    // A charset attribute overrides the one from the headers.
    MetaScan(Meta, "<html><head><meta http-equiv=content-type content='text/html; charset=a'>"
                   "<meta charset=\"utf-8\"></head>");
    EXPECT_EQ(Meta.CharSet(), "utf-8");
    // Nothing found: nothing set, and an earlier scan is forgotten.
    EXPECT_EQ(MetaScan(Meta, "<html><body><meta http-equiv=X content=1>"), "");
    EXPECT_EQ(Meta.CharSet(), "");
}

// Random and truncated header blocks and HTML must parse without crashing or
// tripping the sanitizers, whatever the fields end up holding.
TEST(Records, MalformedInputNeverCrashes) {
    std::mt19937 Random(1994);
    const std::string Block =
        "Content-Type: text/html; charset=\"utf-8\"\r\nContent-Length: 12\r\nContent-Range: bytes 1-2/3\r\n"
        "Date: Sun, 06 Nov 1994 08:49:37 GMT\r\nExpires: 60\r\nRange: bytes=0-1,-5\r\n"
        "WWW-Authenticate: Basic\r\n\tcontinued\r\nLast-Modified: Mon, 32 Foo 99999 99:99:99 XYZ\r\n";
    const std::string Html = "<html><head><!-- x --><title>t</title><meta http-equiv=\"Content-Type\" "
                             "content='text/plain; charset=x'><meta charset=y><script>s</script></head>";
    const std::string Alphabet = "Content-TypeRangDxpis:;=,-/*0123456789 \t\r\n\"'<>!?\\\x80\xff";
    TIdRequestHeaderInfo Request(nullptr);
    TIdResponseHeaderInfo Response(nullptr);
    TIdMetaHTTPEquiv Meta(nullptr);
    for (int Round = 0; Round < 3000; ++Round) {
        std::string Text;
        switch (Round % 3) {
        case 0: Text = Block.substr(0, Random() % (Block.size() + 1)); break;
        case 1: Text = Html.substr(0, Random() % (Html.size() + 1)); break;
        default:
            for (size_t N = Random() % 160; N > 0; --N)
                Text += Alphabet[Random() % Alphabet.size()];
        }
        Parse(Request, Text);
        Parse(Response, Text);
        EXPECT_EQ(Response.HasContentLength(), Response.ContentLength() >= 0);
        EXPECT_FALSE(std::isnan(Response.Date()));
        (void)Request.Range();
        MetaScan(Meta, Text);
    }
}
