#include "http/kbvIdCookie.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>

#include "http/kbvIdCookieManager.h"
#include "http/kbvIdHeaderList.h"
#include "http/kbvIdURI.h"

namespace {

constexpr double OneSecond = 1.0 / 86400;
std::atomic<TDateTime> GFakeNow{0};
TDateTime FakeNow() { return GFakeNow.load(); }

// 2024-05-01 12:00:00 UTC, as local time: the expected texts below hold in any zone.
TDateTime StartTime() { return UTCToLocal(EncodeDateTime(2024, 5, 1, 12, 0, 0, 0)); }

std::unique_ptr<TIdCookie> Parse(const std::string& AText,
                                 const std::string& AURL = "http://www.example.com/dir/page") {
    auto Cookie = std::make_unique<TIdCookie>();
    TIdURI URI(AURL);
    if (!Cookie->ParseServerCookie(AText, URI))
        return nullptr;
    return Cookie;
}

// Every test runs on a clock that only moves when told to.
class CookieTest : public ::testing::Test {
protected:
    void SetUp() override {
        GFakeNow = StartTime();
        SetCookieClock(FakeNow);
    }
    void TearDown() override { SetCookieClock(nullptr); }

    static void Advance(double ASeconds) { GFakeNow = GFakeNow + ASeconds * OneSecond; }

    void Set(const std::string& AURL, const std::string& ASetCookie) {
        TIdURI URI(AURL);
        Manager.AddServerCookie(ASetCookie, URI);
    }
    // The Cookie line for AURL; "" when none was added.
    std::string Sent(const std::string& AURL) {
        TIdURI URI(AURL);
        TIdHeaderList Headers(QuoteHTTP);
        Manager.GenerateClientCookies(URI, TextIsSame(URI.Protocol(), "https"), Headers);
        EXPECT_LE(Headers.Count(), 1);
        return Headers.Values("Cookie");
    }
    int Stored() { return Manager.CookieCollection().Count(); }

    TIdCookieManager Manager;
};

}  // namespace

// ---- parsing a Set-Cookie value ----

TEST_F(CookieTest, ParsingNameValueAndAttributes) {
    struct Case {
        const char* Text;
        const char* Name;  // nullptr: rejected
        const char* Value;
        const char* Path;
        bool Secure, HttpOnly;
    };
    const Case Cases[] = {
        {"novalue", nullptr, "", "", false, false},
        {"novalue; a=b", nullptr, "", "", false, false},
        {" = v", nullptr, "", "", false, false},
        {" a = b ", "a", "b", "/dir", false, false},
        {"a=b=c", "a", "b=c", "/dir", false, false},
        {"a=", "a", "", "/dir", false, false},
        {"a=\"q v\"", "a", "\"q v\"", "/dir", false, false},  // the value as received
        {"a=1; PATH=/x; pAtH=/y", "a", "1", "/y", false, false},
        {"a=1; Path=\"/q;", "a", "1", "/q", false, false},  // cut at the ";" first, then unquoted
        {"a=1; Path=\"/q\" ", "a", "1", "/q", false, false},
        {"a=1; Path=rel", "a", "1", "/dir", false, false},
        {"a=1; Path=", "a", "1", "/dir", false, false},
        {"a=1; sEcUrE; HTTPONLY; Unknown=3; ;", "a", "1", "/dir", true, true},
        {"a=1; Secure=no", "a", "1", "/dir", true, false},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Text);
        auto Cookie = Parse(C.Text);
        ASSERT_EQ(Cookie != nullptr, C.Name != nullptr);
        if (!Cookie)
            continue;
        EXPECT_EQ(Cookie->CookieName(), C.Name);
        EXPECT_EQ(Cookie->Value(), C.Value);
        EXPECT_EQ(Cookie->Path(), C.Path);
        EXPECT_EQ(Cookie->Secure(), C.Secure);
        EXPECT_EQ(Cookie->HttpOnly(), C.HttpOnly);
        EXPECT_EQ(Cookie->SameSite(), "Lax");
        EXPECT_EQ(Cookie->CreatedAt(), StartTime());
        EXPECT_EQ(Cookie->LastAccessed(), StartTime());
    }
}

TEST_F(CookieTest, RejectsBytesThatWouldBreakTheRequestLine) {
    for (const std::string& Text : {std::string("a=b\rc"), std::string("a\n=b"), std::string("a=b\0c", 5),
                                   std::string("a=b; Path=/\r\nX: y")}) {
        EXPECT_EQ(Parse(Text), nullptr);
        TIdCookie Client;
        EXPECT_FALSE(Client.ParseClientCookie(Text));
    }
    // Nor does a cookie made by hand get into the store.
    TIdCookie Cookie;
    Cookie.SetCookieName("a");
    Cookie.SetValue("1\r\nInjected: yes");
    Cookie.SetDomain("www.example.com");
    EXPECT_FALSE(Manager.CopyCookie(Cookie));
    EXPECT_EQ(Stored(), 0);
}

// ---- Domain ----

TEST_F(CookieTest, DomainAttributeRules) {
    struct Case {
        const char* URL;
        const char* Text;
        const char* Domain;  // nullptr: rejected
        bool HostOnly;
    };
    const Case Cases[] = {
        {"http://www.example.com/", "a=1", "www.example.com", true},
        {"http://www.example.com/", "a=1; Domain=", "www.example.com", true},
        {"http://www.example.com/", "a=1; Domain=other.com", nullptr, false},
        {"http://www.example.com/", "a=1; Domain=ample.com", nullptr, false},
        {"http://www.example.com/", "a=1; Domain=sub.www.example.com", nullptr, false},
        {"http://www.example.com/", "a=1; Domain=.Example.COM", "example.com", false},
        {"http://www.example.com/", "a=1; Domain=example.com:8080", "example.com", false},
        {"http://www.example.com/", "a=1; Domain=www.example.com", "www.example.com", false},
        // Public suffixes name many sites at once.
        {"http://www.example.com/", "a=1; Domain=com", nullptr, false},
        {"http://www.example.com/", "a=1; Domain=.com", nullptr, false},
        {"http://www.example.co.uk/", "a=1; Domain=co.uk", nullptr, false},
        {"http://www.example.co.uk/", "a=1; Domain=example.co.uk", "example.co.uk", false},
        {"http://me.github.io/", "a=1; Domain=github.io", nullptr, false},
        {"http://github.io/", "a=1; Domain=github.io", "github.io", true},  // a suffix may name only itself
        // An address has no parent domains.
        {"http://127.0.0.1/", "a=1", "127.0.0.1", true},
        {"http://127.0.0.1/", "a=1; Domain=127.0.0.1", nullptr, false},
        {"http://127.0.0.1/", "a=1; Domain=0.0.1", nullptr, false},
        {"http://[::1]/", "a=1", "::1", true},
        {"http://[::1]/", "a=1; Domain=[::1]", nullptr, false},
        {"http://[::1]/", "a=1; Domain=localhost", nullptr, false},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(std::string(C.URL) + " " + C.Text);
        auto Cookie = Parse(C.Text, C.URL);
        ASSERT_EQ(Cookie != nullptr, C.Domain != nullptr);
        if (Cookie) {
            EXPECT_EQ(Cookie->Domain(), C.Domain);
            EXPECT_EQ(Cookie->HostOnly(), C.HostOnly);
        }
    }
    EXPECT_TRUE(IsIPAddressLiteral("[fe80::1%eth0]"));
    EXPECT_TRUE(IsIPAddressLiteral("127.1"));
    EXPECT_FALSE(IsIPAddressLiteral("1.example"));
}

TEST_F(CookieTest, DomainCookiesReachSubDomainsHostOnlyCookiesDoNot) {
    Set("http://www.example.com/", "d=1; Domain=.example.com");
    Set("http://www.example.com/", "h=2");
    EXPECT_EQ(Sent("http://www.example.com/"), "d=1; h=2");
    EXPECT_EQ(Sent("http://a.b.EXAMPLE.com/"), "d=1");
    EXPECT_EQ(Sent("http://example.com/"), "d=1");
    EXPECT_EQ(Sent("http://sub.www.example.com/"), "d=1");
    EXPECT_EQ(Sent("http://notexample.com/"), "");
    EXPECT_EQ(Sent("http://example.com.evil/"), "");
    Set("http://[::1]/", "v6=1");
    EXPECT_EQ(Sent("http://[::1]:8080/x"), "v6=1");
    EXPECT_EQ(Sent("http://[::2]/"), "");
}

// ---- Path ----

TEST_F(CookieTest, DefaultPathAndPathMatch) {
    const std::pair<const char*, const char*> Defaults[] = {
        {"http://h.example/", "/"},         {"http://h.example/a", "/"},     {"http://h.example/a/b", "/a"},
        {"http://h.example/a/b/", "/a/b"}, {"http://h.example/a/b/c.html?q=/x", "/a/b"},
    };
    for (auto [URL, Path] : Defaults)
        EXPECT_EQ(Parse("a=1", URL)->Path(), Path) << URL;

    struct Match {
        const char* URIPath;
        const char* CookiePath;
        bool Matches;
    };
    const Match Matches[] = {
        {"/a/", "/a", true},  {"/a/b/", "/a", true},  {"/ab/", "/a", false}, {"/a/", "/a/", true},
        {"/", "/a", false},   {"/A/B/", "/a", true},  {"/a/b/", "/", true},  {"/a", "/a/", false},
    };
    for (const Match& M : Matches)
        EXPECT_EQ(IsPathMatch(M.URIPath, M.CookiePath), M.Matches) << M.URIPath << " vs " << M.CookiePath;
}

TEST_F(CookieTest, LongerPathFirstThenEarlierCreation) {
    Set("http://h.example/", "root=1; Path=/");
    Advance(1);
    Set("http://h.example/", "deep=2; Path=/a/");
    Advance(1);
    Set("http://h.example/", "root2=3; Path=/");
    Set("http://h.example/", "other=4; Path=/ab");
    EXPECT_EQ(Sent("http://h.example/a/x"), "deep=2; root=1; root2=3");
    EXPECT_EQ(Sent("http://h.example/ab/x"), "other=4; root=1; root2=3");
    EXPECT_EQ(Sent("http://h.example/"), "root=1; root2=3");

    // Replacing keeps the place in the order.
    Advance(1);
    Set("http://h.example/", "root=9; Path=/");
    EXPECT_EQ(Sent("http://h.example/"), "root=9; root2=3");
}

TEST_F(CookieTest, CookieLineIsAddedNotReplaced) {
    Set("http://h.example/", "a=1");
    TIdURI URI("http://h.example/");
    TIdHeaderList Headers(QuoteHTTP);
    Headers.AddValue("Cookie", "mine=0");
    Manager.GenerateClientCookies(URI, false, Headers);
    TStringList Lines;
    Headers.Extract("Cookie", Lines);
    ASSERT_EQ(Lines.Count(), 2);
    EXPECT_EQ(Lines.Strings(1), "a=1");
}

// ---- expiry ----

TEST_F(CookieTest, MaxAgeWinsOverExpires) {
    for (const char* Text : {"a=1; Max-Age=60; Expires=Wed, 09 Jun 2001 10:18:14 GMT",
                             "a=1; Expires=Wed, 09 Jun 2001 10:18:14 GMT; Max-Age=60"}) {
        auto Cookie = Parse(Text);
        ASSERT_NE(Cookie, nullptr) << Text;
        EXPECT_TRUE(Cookie->Persistent());
        EXPECT_NEAR(Cookie->Expires(), StartTime() + 60 * OneSecond, OneSecond / 10) << Text;
        EXPECT_EQ(Cookie->MaxAge(), 60);
    }
    auto Session = Parse("a=1; Max-Age=soon; Expires=never");
    EXPECT_FALSE(Session->Persistent());
    EXPECT_EQ(Session->Expires(), CookieNeverExpires());
    // A whole number in Expires counts seconds.
    EXPECT_NEAR(Parse("a=1; Expires=120")->Expires(), StartTime() + 120 * OneSecond, OneSecond / 10);
    // The last readable Expires counts.
    EXPECT_NEAR(Parse("a=1; Expires=Thu, 01 Jan 2099 00:00:00 GMT; Expires=bad")->Expires(),
                UTCToLocal(EncodeDate(2099, 1, 1)), OneSecond / 10);
}

TEST_F(CookieTest, ExpiredCookiesDeleteAndAreDropped) {
    Set("http://h.example/", "a=1");
    Set("http://h.example/", "b=1");
    Set("http://h.example/", "c=1");
    Set("http://h.example/", "keep=1");
    Set("http://h.example/", "a=2; Max-Age=0");
    Set("http://h.example/", "B=2; Max-Age=-5");  // names compare without case
    Set("http://h.example/", "c=2; Expires=Thu, 01 Jan 1970 00:00:00 GMT");
    Set("http://h.example/", "keep=2; Max-Age=0; Path=/elsewhere");  // another path: another cookie
    EXPECT_EQ(Sent("http://h.example/"), "keep=1");

    Set("http://h.example/", "short=1; Max-Age=60");
    Advance(59);
    EXPECT_EQ(Sent("http://h.example/"), "keep=1; short=1");
    Advance(2);
    EXPECT_EQ(Sent("http://h.example/"), "keep=1");
    EXPECT_EQ(Stored(), 1);
}

// ---- Secure and HttpOnly ----

TEST_F(CookieTest, SecureOnlyOverHttpsHttpOnlyOnlyForHttp) {
    Set("https://h.example/", "s=1; Secure");
    Set("http://h.example/", "h=2; HttpOnly");
    Set("http://h.example/", "p=3");
    EXPECT_EQ(Sent("http://h.example/"), "h=2; p=3");
    EXPECT_EQ(Sent("https://h.example/"), "s=1; h=2; p=3");
    EXPECT_EQ(Sent("ftp://h.example/"), "p=3");

    // A non-http protocol neither sets an HttpOnly cookie nor overwrites one.
    Set("ftp://h.example/", "x=1; HttpOnly");
    TIdURI FTP("ftp://h.example/");
    EXPECT_FALSE(Manager.CookieCollection().AddServerCookie("h=evil", FTP));
    EXPECT_EQ(Sent("http://h.example/"), "h=2; p=3");
}

// ---- the cookie date ----

TEST(CookieDate, Rfc6265DateRule) {
    struct Case {
        const char* Text;
        int Year, Month, Day, Hour, Min, Sec;  // Year 0: invalid
    };
    const Case Cases[] = {
        {"Sun, 06 Nov 1994 08:49:37 GMT", 1994, 11, 6, 8, 49, 37},
        {"Sunday, 06-Nov-94 08:49:37 GMT", 1994, 11, 6, 8, 49, 37},
        {"Sun Nov  6 08:49:37 1994", 1994, 11, 6, 8, 49, 37},
        {"Wed, 09-Jun-98 10:18:14 GMT", 1998, 6, 9, 10, 18, 14},
        {"Wed, 09-Jun-69 10:18:14 GMT", 2069, 6, 9, 10, 18, 14},
        {"Wed, 09-Jun-70 10:18:14 GMT", 1970, 6, 9, 10, 18, 14},
        {"6 november 2021 8:9:7", 2021, 11, 6, 8, 9, 7},
        {"Sun, 06 Nov 1601 08:49:37 GMT", 1601, 11, 6, 8, 49, 37},
        {"06/11/2021 08:49:37", 2021, 11, 6, 8, 49, 37},  // a numeric month
        {"Sun, 06 Nov 1994 08:49:37GMT", 1994, 11, 6, 8, 49, 37},
        {"garbage", 0, 0, 0, 0, 0, 0},
        {"", 0, 0, 0, 0, 0, 0},
        {"06 Nov 1994", 0, 0, 0, 0, 0, 0},
        {"Sun, 06 Nov 1994 24:00:00 GMT", 0, 0, 0, 0, 0, 0},
        {"Sun, 06 Nov 1994 08:60:00 GMT", 0, 0, 0, 0, 0, 0},
        {"Sun, 06 Nov 1994 08:49:371 GMT", 0, 0, 0, 0, 0, 0},
        {"Sun, 06 Nov 1994 08:49:007 GMT", 0, 0, 0, 0, 0, 0},
        {"Sun, 32 Nov 1994 08:49:37 GMT", 0, 0, 0, 0, 0, 0},
        {"Sun, 31 Nov 1994 08:49:37 GMT", 0, 0, 0, 0, 0, 0},
        {"Sun, 06 Nov 1600 08:49:37 GMT", 0, 0, 0, 0, 0, 0},
        {"Sun, 06 Xyz 1994 08:49:37 GMT", 0, 0, 0, 0, 0, 0},
        {"Sun, 06 Nov 1 08:49:37 GMT", 0, 0, 0, 0, 0, 0},
    };
    for (const Case& C : Cases) {
        TDateTime Expected = C.Year ? UTCToLocal(EncodeDateTime(C.Year, C.Month, C.Day, C.Hour, C.Min, C.Sec, 0)) : 0;
        EXPECT_DOUBLE_EQ(CookieStrToLocalDateTime(C.Text), Expected) << C.Text;
    }
    // An unreadable Expires leaves a session cookie.
    TIdURI URI("http://h.example/");
    TIdCookie Cookie;
    ASSERT_TRUE(Cookie.ParseServerCookie("a=1; Expires=Sun, 06 Nov 1994 08:49:371 GMT", URI));
    EXPECT_FALSE(Cookie.Persistent());
}

// ---- bounds ----

TEST_F(CookieTest, LongCookiesAndLinesAreRejected) {
    EXPECT_NE(Parse("a=" + std::string(4095, 'x')), nullptr);
    EXPECT_EQ(Parse("a=" + std::string(4096, 'x')), nullptr);
    EXPECT_EQ(Parse("a=" + std::string(4000, 'x') + "; Path=/" + std::string(100, 'p')), nullptr);
    EXPECT_EQ(Parse("a=1;" + std::string(9000, ' ')), nullptr);

    TIdCookies& Collection = Manager.CookieCollection();
    Collection.AddClientCookies("a=1; " + std::string(9000, ' '));
    EXPECT_EQ(Stored(), 0);
    Collection.AddClientCookies("a=1; b=\"two\"; =x; c; d=" + std::string(4095, 'y'));
    ASSERT_EQ(Stored(), 2);
    EXPECT_EQ(Collection.GetCookieByNameAndDomain("B", "")->Value(), "two");
    EXPECT_EQ(Collection.GetCookieIndex("d"), -1);
}

TEST_F(CookieTest, FiftyFirstCookieOfADomainEvictsTheLeastRecentlyUsed) {
    Set("http://other.example/", "x=1");  // the least recently used of all, but of another domain
    Advance(1);
    Set("http://h.example/", "c0=v; Path=/used");
    for (int I = 1; I < 50; ++I) {
        Advance(1);
        Set("http://h.example/", "c" + std::to_string(I) + "=v; Path=/idle");
    }
    Advance(1);
    EXPECT_EQ(Sent("http://h.example/used/"), "c0=v");  // c0 is now the most recently used
    Advance(1);
    Set("http://h.example/", "c50=v; Path=/idle");
    TIdCookies& Collection = Manager.CookieCollection();
    EXPECT_EQ(Stored(), 51);
    EXPECT_NE(Collection.GetCookieIndex("c0"), -1);
    EXPECT_EQ(Collection.GetCookieIndex("c1"), -1);
    EXPECT_NE(Collection.GetCookieIndex("c2"), -1);
    EXPECT_NE(Collection.GetCookieIndex("x"), -1);

    // An expired cookie goes before any live one.
    Set("http://h.example/", "c2=v; Path=/idle; Max-Age=5");
    Advance(6);
    Set("http://h.example/", "c51=v; Path=/idle");
    EXPECT_EQ(Collection.GetCookieIndex("c2"), -1);
    EXPECT_NE(Collection.GetCookieIndex("c3"), -1);
    EXPECT_EQ(Stored(), 51);
}

TEST_F(CookieTest, CookieAfterTheTotalEvictsTheLeastRecentlyUsedOfAll) {
    TIdCookies& Collection = Manager.CookieCollection();
    auto Make = [](const std::string& ADomain, int AIndex, TDateTime ACreated) {
        auto Cookie = std::make_unique<TIdCookie>();
        Cookie->SetCookieName("c" + std::to_string(AIndex));
        Cookie->SetDomain(ADomain);
        Cookie->SetPath("/");
        Cookie->SetCreatedAt(ACreated);
        Cookie->SetLastAccessed(StartTime());  // a tie: the creation time decides
        return Cookie;
    };
    for (int D = 0; D < IdCookieMaxTotal / IdCookieMaxPerDomain; ++D)
        for (int I = 0; I < IdCookieMaxPerDomain; ++I) {
            // The first domain's first cookie is not the oldest: d1's is.
            TDateTime Created = StartTime() - (D == 1 && I == 0 ? 2 : 1);
            ASSERT_TRUE(Collection.AddCookie(Make("d" + std::to_string(D) + ".example", I, Created)));
        }
    ASSERT_EQ(Stored(), IdCookieMaxTotal);
    ASSERT_TRUE(Collection.AddCookie(Make("new.example", 0, StartTime())));
    EXPECT_EQ(Stored(), IdCookieMaxTotal);
    EXPECT_EQ(Collection.GetCookieByNameAndDomain("c0", "d1.example"), nullptr);
    EXPECT_NE(Collection.GetCookieByNameAndDomain("c0", "d0.example"), nullptr);
    EXPECT_NE(Collection.GetCookieByNameAndDomain("c0", "new.example"), nullptr);
}

// ---- the Set-Cookie form and copies ----

TEST_F(CookieTest, ServerFormReadsBack) {
    Set("https://www.example.com/", "a=1; Path=/p; Domain=example.com; Secure; HttpOnly; Max-Age=3600");
    TIdCookie& Cookie = Manager.CookieCollection().Cookies(0);
    const std::string Text = Cookie.CookieText();
    EXPECT_EQ(Text,
              "a=1; Path=/p; Domain=example.com; Secure; HttpOnly; Max-Age=3600; "
              "Expires=Wed, 01-May-2024 13:00:00 GMT; SameSite=Lax");

    auto Again = Parse(Text, "https://www.example.com/");
    ASSERT_NE(Again, nullptr);
    EXPECT_EQ(Again->ServerCookie(), Text);
    EXPECT_EQ(Again->HostOnly(), false);

    TIdCookie Plain;
    Plain.SetCookieName("n");
    EXPECT_EQ(Plain.ServerCookie(), "n=; SameSite=Lax");
    EXPECT_EQ(Plain.MaxAge(), -1);
}

TEST_F(CookieTest, ManagerEventsAndCopies) {
    std::vector<std::string> Offered;
    Manager.SetOnNewCookie([&](TObject* ASender, TIdCookie& ACookie, bool& VAccept) {
        EXPECT_EQ(ASender, &Manager);
        EXPECT_TRUE(VAccept);
        Offered.push_back(ACookie.CookieName());
        VAccept = ACookie.CookieName() != "tracker";
    });
    Set("http://h.example/", "tracker=1");
    Set("http://h.example/", "a=1");
    Set("http://h.example/", "bad");  // rejected by parsing: not offered
    EXPECT_EQ(Offered, (std::vector<std::string>{"tracker", "a"}));
    EXPECT_EQ(Sent("http://h.example/"), "a=1");

    int Destroyed = 0;
    {
        TIdCookieManager Other;
        Other.SetOnDestroy([&](TObject*, TIdCookies& ACookies) { Destroyed = ACookies.Count(); });
        TIdURI URI("http://h.example/");
        Other.AddServerCookie("b=2", URI);
        Other.AddServerCookie("gone=1; Max-Age=1", URI);
        TIdCookie NoDomain;
        NoDomain.SetCookieName("n");
        EXPECT_FALSE(Other.CopyCookie(NoDomain));
        Manager.AddCookies(Other);
        Other.AddCookies(Other);  // its own cookies replace themselves
        EXPECT_EQ(Other.CookieCollection().Count(), 2);
        Advance(2);
    }
    EXPECT_EQ(Destroyed, 1);  // the expired cookie went first
    EXPECT_EQ(Offered.size(), 4u);
    EXPECT_EQ(Sent("http://h.example/"), "a=1; b=2");
}

// ---- threads (meant for the sanitizer build) ----

TEST_F(CookieTest, ConcurrentAddingAndSending) {
    std::atomic<int> Failures{0};
    auto Work = [&](int AThread) {
        const TIdURI Setter("http://h.example/a/");
        const TIdURI Sender("http://h.example/a/b");
        for (int I = 0; I < 1000; ++I) {
            Manager.AddServerCookie("t" + std::to_string(AThread) + "c" + std::to_string(I % 40) + "=" +
                                        std::to_string(I),
                                    Setter);
            TIdHeaderList Headers(QuoteHTTP);
            Manager.GenerateClientCookies(Sender, false, Headers);
            if (Headers.Count() != 1)
                ++Failures;
        }
    };
    std::thread First(Work, 1);
    std::thread Second(Work, 2);
    First.join();
    Second.join();
    EXPECT_EQ(Failures, 0);
    EXPECT_EQ(Stored(), IdCookieMaxPerDomain);
}
