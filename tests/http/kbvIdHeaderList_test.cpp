#include "http/kbvIdHeaderList.h"

#include <gtest/gtest.h>

#include <climits>
#include <random>

namespace {
TIdHeaderList Lines(TIdHeaderQuotingType AQuoteType, const std::string& AText) {
    TIdHeaderList List(AQuoteType);
    List.SetText(AText);
    return List;
}
}  // namespace

TEST(HeaderParams, FirstItemAndMediaTypeTests) {
    EXPECT_EQ(ExtractHeaderItem("  text/html ; charset=utf-8"), "text/html");
    EXPECT_EQ(ExtractHeaderItem("no-params "), "no-params");
    EXPECT_TRUE(IsHeaderMediaType("Text/HTML; charset=x", "text"));
    EXPECT_TRUE(IsHeaderMediaType("Text/HTML; charset=x", "text/html"));
    EXPECT_FALSE(IsHeaderMediaType("text/html", "text/htm"));
    EXPECT_FALSE(IsHeaderMediaType("textual/plain", "text"));
    EXPECT_EQ(ExtractHeaderMediaType("image/svg+xml"), "image");
    EXPECT_EQ(ExtractHeaderMediaSubType("image/svg+xml; q=1"), "svg+xml");
    EXPECT_EQ(ExtractHeaderMediaSubType("garbage"), "");
}

TEST(HeaderParams, ReadingQuotedAndUnquotedValues) {
    const std::string Line = "form-data; NAME=\"a \\\"b\\\\ c\" dropped; filename = x.txt ; empty=; q=\"\"";
    EXPECT_EQ(ExtractHeaderSubItem(Line, "name", QuoteMIME), "a \"b\\ c");
    EXPECT_EQ(ExtractHeaderSubItem(Line, "FileName", QuoteMIME), "x.txt");
    EXPECT_EQ(ExtractHeaderSubItem(Line, "dropped", QuoteMIME), "");
    EXPECT_EQ(ExtractHeaderSubItem(Line, "missing", QuoteMIME), "");
    // An unquoted value ends at the first special of the quoting type.
    EXPECT_EQ(ExtractHeaderSubItem("a; v=1.5/x", "v", QuoteRFC822), "1");
    EXPECT_EQ(ExtractHeaderSubItem("a; v=1.5/x", "v", QuoteMIME), "1.5");
    EXPECT_EQ(ExtractHeaderSubItem("a; v=x{y}", "v", QuoteHTTP), "x");
    EXPECT_EQ(ExtractHeaderSubItem("a; v=x{y}", "v", QuotePlain), "x{y}");
    // An unterminated quote runs to the end.
    EXPECT_EQ(ExtractHeaderSubItem("a; v=\"open; w=1", "v", QuoteHTTP), "open; w=1");
}

TEST(HeaderParams, ReplacingAddingAndRemoving) {
    EXPECT_EQ(ReplaceHeaderSubItem("form-data", "name", "field 1", QuoteMIME), "form-data; name=\"field 1\"");
    EXPECT_EQ(ReplaceHeaderSubItem("text/html;charset=a;x=1", "CHARSET", "b", QuoteHTTP),
              "text/html; charset=b; x=1");
    EXPECT_EQ(ReplaceHeaderSubItem("text/html; charset=a; x=1", "charset", "", QuoteHTTP), "text/html; x=1");
    // Removing what is not there leaves the text exactly as it was.
    EXPECT_EQ(ReplaceHeaderSubItem("text/html ;x=1", "charset", "", QuoteHTTP), "text/html ;x=1");
    // A value quoted before stays quoted; escapes are written back.
    EXPECT_EQ(ReplaceHeaderSubItem("a; n=\"v\"", "n", "w", QuoteHTTP), "a; n=\"w\"");
    EXPECT_EQ(ReplaceHeaderSubItem("a", "n", "say \"hi\\\"", QuoteHTTP), "a; n=\"say \\\"hi\\\\\\\"\"");
    // CR is escaped for mail headers only.
    EXPECT_EQ(ReplaceHeaderSubItem("a", "n", "x\ry", QuoteMIME), "a; n=\"x\\\ry\"");
    EXPECT_EQ(ReplaceHeaderSubItem("a", "n", "x\ry", QuoteHTTP), "a; n=\"x\ry\"");
    // Without a first item nothing is written.
    EXPECT_EQ(ReplaceHeaderSubItem("", "n", "v", QuoteHTTP), "");
    // Duplicates collapse into the one replaced value.
    EXPECT_EQ(ReplaceHeaderSubItem("a; n=1; m=2; N=3", "n", "4", QuoteHTTP), "a; n=4; m=2");
}

TEST(HeaderParams, WrittenValuesReadBackUnchanged) {
    const std::string Values[] = {"plain", "with space", "semi;colon", "q\"uote", "back\\slash", "a=b", "tab\tx",
                                  "(paren)", "dot.ted", "x{y}", "\xC3\xA9t\xC3\xA9"};
    for (auto Type : {QuotePlain, QuoteRFC822, QuoteMIME, QuoteHTTP})
        for (const std::string& Value : Values) {
            std::string Line = ReplaceHeaderSubItem("item; before=1", "p", Value, Type);
            EXPECT_EQ(ExtractHeaderSubItem(Line, "p", Type), Value) << Line << " type " << Type;
            EXPECT_EQ(ExtractHeaderSubItem(Line, "before", Type), "1") << Line;
        }
}

TEST(HeaderList, DefaultsDependOnQuotingType) {
    TIdHeaderList Mime(QuoteMIME), Http(QuoteHTTP);
    EXPECT_EQ(Mime.NameValueSeparator(), ": ");
    EXPECT_EQ(Mime.FoldLength(), 78);
    EXPECT_EQ(Http.FoldLength(), INT_MAX);
    EXPECT_TRUE(Http.FoldLines());
    EXPECT_TRUE(Http.UnfoldLines());
}

TEST(HeaderList, LookupIsCaseInsensitiveAndNamesAreUntrimmed) {
    TIdHeaderList List = Lines(QuoteHTTP, "Content-Type:text/plain\r\nX-Odd :  v  \r\nno separator\r\n");
    EXPECT_EQ(List.Values("content-type"), "text/plain");
    EXPECT_EQ(List.Names(1), "X-Odd ");
    EXPECT_EQ(List.Values("X-Odd"), "");
    EXPECT_EQ(List.Values("X-Odd "), "v");
    EXPECT_EQ(List.Names(2), "");
    EXPECT_EQ(List.IndexOfName(""), -1);
    EXPECT_EQ(List.Values("absent"), "");
}

TEST(HeaderList, UnfoldsContinuationLinesWithOneSpace) {
    TIdHeaderList List = Lines(QuoteHTTP, "Subject: first  \r\n\t second\r\n   third \r\nNext: n\r\n");
    EXPECT_EQ(List.Values("Subject"), "first second third");
    List.SetUnfoldLines(false);
    EXPECT_EQ(List.Values("Subject"), "first");
}

TEST(HeaderList, RepeatedHeadersExtractInOrderButValueTakesFirst) {
    TIdHeaderList List =
        Lines(QuoteHTTP, "Set-Cookie: a=1\r\nServer: s\r\nset-cookie: b=2;\r\n path=/\r\n");
    TStringList Cookies;
    List.Extract("SET-COOKIE", Cookies);
    ASSERT_EQ(Cookies.Count(), 2);
    EXPECT_EQ(Cookies.Strings(0), "a=1");
    EXPECT_EQ(Cookies.Strings(1), "b=2; path=/");
    EXPECT_EQ(List.Values("Set-Cookie"), "a=1");
}

TEST(HeaderList, SetValueReplacesInPlaceAndDeletesWithContinuations) {
    TIdHeaderList List = Lines(QuoteHTTP, "A: 1\r\nB: 2\r\n 2b\r\nC: 3\r\n");
    List.SetValues("b", "new");
    EXPECT_EQ(List.Text(), "A: 1\r\nb: new\r\nC: 3\r\n");
    List.SetValues("D", "4");
    EXPECT_EQ(List.Strings(3), "D: 4");
    List.SetValues("a", "");
    EXPECT_EQ(List.Text(), "b: new\r\nC: 3\r\nD: 4\r\n");
    List.SetValues("absent", "");
    EXPECT_EQ(List.Count(), 3);
    List.AddValue("E", "");
    List.AddValue("", "x");
    EXPECT_EQ(List.Count(), 3);
}

TEST(HeaderList, FoldsLongValuesAndReadsThemBack) {
    TIdHeaderList List(QuoteMIME);
    List.SetFoldLength(20);
    const std::string Value = "alpha beta, gamma delta epsilon zeta eta theta";
    List.AddValue("Subject", Value);
    ASSERT_GT(List.Count(), 1);
    for (int I = 0; I < List.Count(); ++I) {
        EXPECT_LE(List.Strings(I).size(), 20u) << List.Strings(I);
        if (I > 0) {
            EXPECT_EQ(List.Strings(I)[0], ' ');
        }
    }
    EXPECT_EQ(List.Values("Subject"), Value);
    // Replacing a folded header removes all its pieces.
    List.SetValues("Subject", "short");
    EXPECT_EQ(List.Text(), "Subject: short\r\n");
}

TEST(HeaderList, UnbreakableWordStaysWhole) {
    TStringList Out;
    FoldHeaderLine("X: " + std::string(50, 'w') + " tail", 10, Out);
    ASSERT_EQ(Out.Count(), 3);
    EXPECT_EQ(Out.Strings(0), "X:");
    EXPECT_EQ(Out.Strings(1), " " + std::string(50, 'w'));
    EXPECT_EQ(Out.Strings(2), " tail");
}

TEST(HeaderList, ParamsSwitchQuotingByHeader) {
    TIdHeaderList Mail(QuoteRFC822);
    Mail.SetValues("Content-Type", "text/plain; name=a.b");
    Mail.SetValues("X-Other", "v; name=a.b");
    // Content-Type reads with MIME rules (dots allowed), others with RFC 822.
    EXPECT_EQ(Mail.GetParam("Content-Type", "name"), "a.b");
    EXPECT_EQ(Mail.GetParam("X-Other", "name"), "a");
    Mail.SetParam("X-Other", "name", "c.d");
    EXPECT_EQ(Mail.Values("X-Other"), "v; name=\"c.d\"");

    TIdHeaderList Http(QuoteHTTP);
    Http.SetValues("Content-Type", "text/html; charset=utf-8; level=1");
    Http.SetParam("Content-Type", "charset", "");
    EXPECT_EQ(Http.Values("Content-Type"), "text/html; level=1");
    Http.SetParam("Absent", "p", "v");
    EXPECT_EQ(Http.IndexOfName("Absent"), -1);
}

TEST(HeaderList, AllParamsKeepTheFirstItem) {
    TIdHeaderList List(QuoteHTTP);
    List.SetValues("Content-Type", "text/html ;  a=1; b=2 ");
    EXPECT_EQ(List.GetAllParams("Content-Type"), "a=1; b=2");
    List.SetAllParams("Content-Type", "c=3");
    EXPECT_EQ(List.Values("Content-Type"), "text/html; c=3");
    List.SetAllParams("Content-Type", "");
    EXPECT_EQ(List.Values("Content-Type"), "text/html");
    EXPECT_EQ(List.GetAllParams("Content-Type"), "");
}

TEST(HeaderList, ConvertsToAndFromNameValueLists) {
    TIdHeaderList List = Lines(QuoteHTTP, "A: 1\r\nB: two\r\n parts\r\n");
    TStringList Std;
    List.ConvertToStdValues(Std);
    EXPECT_EQ(Std.Text(), "A=1\r\nB=two parts\r\n");

    TIdHeaderList Back(QuoteHTTP);
    Std.Add("Empty=");
    Back.AddStrings(Std);  // a plain list is read as name=value lines
    EXPECT_EQ(Back.Text(), "A: 1\r\nB: two parts\r\n");
    Back.AddStrings(List);  // a header list is copied line by line
    EXPECT_EQ(Back.Count(), 5);
    EXPECT_EQ(Back.Strings(4), " parts");
}

// Random bytes and truncated header blocks: lookups, parameters, folding and
// unfolding must neither crash nor read out of bounds.
TEST(HeaderList, MalformedInputNeverCrashes) {
    std::mt19937 Random(20240607);
    const std::string Alphabet = "abcXYZ:;= \t\r\n\"\\,/.-{}()<>@[]?\x01\x7f\xc3";
    const std::string Sample =
        "Content-Type: text/html; charset=\"utf-8\"\r\n\tmore\r\nSet-Cookie: a=1; path=/\r\nX: \"\\";
    for (int Round = 0; Round < 3000; ++Round) {
        std::string Text;
        if (Round % 2) {
            Text = Sample.substr(0, Random() % (Sample.size() + 1));
        } else {
            for (size_t N = Random() % 120; N > 0; --N)
                Text += Alphabet[Random() % Alphabet.size()];
        }
        auto Type = static_cast<TIdHeaderQuotingType>(Round % 4);
        TIdHeaderList List = Lines(Type, Text);
        List.SetFoldLength(static_cast<int>(Random() % 12));
        TStringList Sink;
        List.Extract("Content-Type", Sink);
        List.ConvertToStdValues(Sink);
        (void)List.GetAllParams("x");
        (void)ExtractHeaderSubItem(Text, "charset", Type);
        std::string Replaced = ReplaceHeaderSubItem(Text, "a", "v w", Type);
        if (!ExtractHeaderItem(Text).empty()) {
            EXPECT_EQ(ExtractHeaderSubItem(Replaced, "a", Type), "v w") << Text;
        }
        List.SetParam("Content-Type", "charset", "x");
        List.SetValues("Set-Cookie", Text);
        List.SetValues("X", "");
    }
}
