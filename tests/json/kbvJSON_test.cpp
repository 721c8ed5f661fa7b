#include "json/kbvJSON.h"

#include <gtest/gtest.h>

#include <clocale>
#include <nlohmann/json.hpp>

#include "core/Exceptions.h"

namespace {

std::string RoundTrip(std::string_view Source) {
    TkbvJSON Doc;
    Doc.Read(Source);
    return Doc.Text();
}

}  // namespace

TEST(kbvJSONRead, TextThatIsNoObjectOrArrayGivesAnEmptyDocument) {
    EXPECT_EQ(RoundTrip(""), "{}");
    EXPECT_EQ(RoundTrip("   "), "{}");
    EXPECT_EQ(RoundTrip("42"), "{}");
    EXPECT_EQ(RoundTrip("\"s\""), "{}");
    EXPECT_EQ(RoundTrip("[1,2]"), "[1,2]");
    EXPECT_EQ(RoundTrip("[]"), "[]");
}

TEST(kbvJSONRead, BlanksBeforeTheTopLevelValueDoNotChangeItsKind) {
    for (const char* Blanks : {" ", "\t", "\r\n", " \n\t\r ", "# a comment\n"}) {
        EXPECT_EQ(RoundTrip(std::string(Blanks) + "[1,2]"), "[1,2]") << Blanks;
        EXPECT_EQ(RoundTrip(std::string(Blanks) + "{\"a\":[]}"), "{\"a\":[]}") << Blanks;
    }
}

TEST(kbvJSONRead, ForgivingSyntaxWritesBackCompact) {
    EXPECT_EQ(RoundTrip("{\"a\":1 \"b\":2,}"), "{\"a\":1,\"b\":2}");
    EXPECT_EQ(RoundTrip("{\"a\":True,\"b\":NULL,\"c\":fALSe}"), "{\"a\":true,\"b\":null,\"c\":false}");
    EXPECT_EQ(RoundTrip("{\n  \"a\" : 1,\n  # a comment, with \"quotes\" {\n  \"b\" : [ 1 , 2 ]\n}"),
              "{\"a\":1,\"b\":[1,2]}");
    EXPECT_EQ(RoundTrip("{\"a\":1}# trailing comment without line feed"), "{\"a\":1}");
    EXPECT_EQ(RoundTrip("{\"a\":1} trailing garbage ]]]"), "{\"a\":1}");
    // Vertical tab is not a blank.
    EXPECT_EQ(RoundTrip("{\v\"a\":1}"), "{}");
}

TEST(kbvJSONRead, ValuesKeepTheirSourceText) {
    EXPECT_EQ(RoundTrip("{\"a\":\"x\\u00e9\\n\"}"), "{\"a\":\"x\\u00e9\\n\"}");
    EXPECT_EQ(RoundTrip("{\"n\":-0.5e+10,\"m\":+007,\"k\":1E3}"), "{\"n\":-0.5e+10,\"m\":+007,\"k\":1E3}");
    EXPECT_EQ(RoundTrip("{\"s\":\"a\\\"b\"}"), "{\"s\":\"a\\\"b\"}");
    EXPECT_EQ(RoundTrip("{\"\":[1],\"o\":{\"\":{}}}"), "{\"\":[1],\"o\":{\"\":{}}}");
}

TEST(kbvJSONRead, MalformedNumbersStopTheReadKeepingEarlierMembers) {
    EXPECT_EQ(RoundTrip("{\"a\":1,\"b\":1.,\"c\":3}"), "{\"a\":1}");
    EXPECT_EQ(RoundTrip("{\"a\":1,\"b\":.5}"), "{\"a\":1}");
    EXPECT_EQ(RoundTrip("{\"a\":1,\"b\":1e}"), "{\"a\":1}");
    EXPECT_EQ(RoundTrip("{\"a\":1,\"b\":-}"), "{\"a\":1}");
}

TEST(kbvJSONRead, AFailedNestedValueLeavesItsPartialNode) {
    EXPECT_EQ(RoundTrip("{\"a\":1,\"b\":{\"c\":2,\"d\":x},\"e\":3}"), "{\"a\":1,\"b\":{\"c\":2}}");
    EXPECT_EQ(RoundTrip("[1,[2,3"), "[1,[2,3]]");
    EXPECT_EQ(RoundTrip("{\"a\":tru}"), "{}");
}

TEST(kbvJSONRead, StringScanningEndsAtTheFirstUnescapedQuote) {
    // An escaped backslash right before the closing quote, then a blank.
    EXPECT_EQ(RoundTrip("{\"s\":\"a\\\\\" }"), "{\"s\":\"a\\\\\"}");
    EXPECT_EQ(RoundTrip("{\"s\":\"a\\\\\"}"), "{\"s\":\"a\\\\\"}");
    EXPECT_EQ(RoundTrip("{\"s\":\"a\\\\\\\\\",\"t\":1}"), "{\"s\":\"a\\\\\\\\\",\"t\":1}");
    // Unterminated strings and a lone trailing backslash fail.
    EXPECT_EQ(RoundTrip("{\"a\":1,\"s\":\"abc"), "{\"a\":1}");
    EXPECT_EQ(RoundTrip("{\"a\":1,\"s\":\"abc\\"), "{\"a\":1}");
    EXPECT_EQ(RoundTrip("{\"a\":1,\"s\":\"\\u12"), "{\"a\":1}");
}

TEST(kbvJSONRead, NestingIsBoundedAndFailsBeyondTheBound) {
    auto Nested = [](int Depth) {
        return std::string(Depth, '[') + "1" + std::string(Depth, ']');
    };
    EXPECT_EQ(RoundTrip(Nested(kbvJSONMaxDepth)), Nested(kbvJSONMaxDepth));
    // One level too deep anywhere: no document, rather than one cut short
    // that passes for the whole text.
    EXPECT_EQ(RoundTrip(Nested(kbvJSONMaxDepth + 1)), "{}");
    EXPECT_EQ(RoundTrip("{\"a\":1,\"b\":" + Nested(kbvJSONMaxDepth) + "}"), "{}");
    // Far beyond: no stack overflow.
    EXPECT_EQ(RoundTrip(std::string(1'000'000, '[')), "{}");
    std::string Objects;
    for (int I = 0; I < 100'000; ++I)
        Objects += "{\"a\":";
    EXPECT_EQ(RoundTrip(Objects), "{}");
}

TEST(kbvJSONRead, UnicodeEscapesTakeExactlyFourHexadecimalDigits) {
    // Well-formed escapes keep their text; anything else after \u fails the string.
    for (const char* Escape : {"\\u00e9", "\\uABCD", "\\uabcd", "\\u0000", "\\ud83d\\ude00"}) {
        std::string Text = std::string("{\"s\":\"") + Escape + "\"}";
        EXPECT_EQ(RoundTrip(Text), Text);
    }
    for (const char* Escape : {"\\u-000", "\\u+123", "\\u 123", "\\u12G4", "\\u12\"", "\\u\"}xy"}) {
        EXPECT_EQ(RoundTrip(std::string("{\"a\":1,\"s\":\"") + Escape + "\",\"t\":2}"), "{\"a\":1}") << Escape;
        // Decoding keeps a bad escape as it stands.
        EXPECT_EQ(UnescapeString(Escape), Escape);
    }
}

TEST(kbvJSONValidate, TellsJSONFromEverythingElse) {
    for (std::string_view Valid : {"{}", "[]", " {\"a\":[1,-0.5e+10,true,false,null,\"x\\u00e9\\n\"]} ", "0", "-0",
                                   "1E-2", "\"s\"", "\"\\ud83d\\ude00\\u0000\"", "[\"\xC3\xA9\xF0\x9F\x98\x80\"]",
                                   "{\"a\":{\"b\":[]},\"c\":\"\",\"a\":2}", "\t\r\n[1]\n"}) {
        auto Verdict = TkbvJSON::Validate(Valid);
        EXPECT_TRUE(Verdict.Ok) << Valid << ": " << Verdict.Reason << " at " << Verdict.Offset;
    }
    struct Case {
        std::string_view Text;
        size_t Offset;
        std::string_view Reason;
    };
    const Case Invalid[] = {
        {"", 0, "unexpected end of text"},
        {"   ", 3, "unexpected end of text"},
        {"<html><body>Bad Gateway</body></html>", 0, "unexpected character '<'"},
        {"\xEF\xBB\xBF{}", 0, "unexpected byte 0xEF"},
        {"#c\n{}", 0, "unexpected character '#'"},
        {"[\v1]", 1, "unexpected byte 0x0B"},
        {"{\"a\":1,}", 7, "unexpected character '}'"},
        {"{\"a\":1 \"b\":2}", 7, "unexpected character '\"'"},
        {"{\"a\"}", 4, "unexpected character '}'"},
        {"{1:2}", 1, "unexpected character '1'"},
        {"[1,2", 4, "unexpected end of text"},
        {"{\"a\":1}x", 7, "text after the value"},
        {"{\"a\":1} {}", 8, "text after the value"},
        {"{\"s\":\"abc", 5, "unterminated string"},
        {"[\"abc\\", 1, "unterminated string"},
        {"[\"a\x01\"]", 3, "control character in string"},
        {"[\"\\q\"]", 2, "bad escape"},
        {"[\"\\u-000\"]", 2, "bad \\u escape"},
        {"[\"\\u12\"]", 2, "bad \\u escape"},
        {"[\"\\ud800\"]", 2, "bad \\u escape"},
        {"[\"\\ud800\\u0041\"]", 2, "bad \\u escape"},
        {"[\"\\udc00\"]", 2, "bad \\u escape"},
        {"[\"\xC3\x28\"]", 2, "invalid UTF-8"},
        {"[\"\xED\xA0\x80\"]", 2, "invalid UTF-8"},
        {"[\"\xC0\xAF\"]", 2, "invalid UTF-8"},
        {"[\"\xF4\x90\x80\x80\"]", 2, "invalid UTF-8"},
        {"[01]", 2, "unexpected character '1'"},
        {"[1.]", 1, "bad number"},
        {"[-]", 1, "bad number"},
        {"[1e+]", 1, "bad number"},
        {"[+1]", 1, "unexpected character '+'"},
        {"[True]", 1, "unexpected character 'T'"},
        {"[tru]", 4, "unexpected character ']'"},
        {"[nul", 4, "unexpected end of text"},
    };
    for (const auto& [Text, Offset, Reason] : Invalid) {
        auto Verdict = TkbvJSON::Validate(Text);
        EXPECT_FALSE(Verdict.Ok) << Text;
        EXPECT_EQ(Verdict.Offset, Offset) << Text;
        EXPECT_EQ(Verdict.Reason, Reason) << Text;
    }
}

TEST(kbvJSONValidate, NestingIsBoundedWithoutRecursion) {
    std::string Deepest = std::string(kbvJSONMaxDepth, '[') + std::string(kbvJSONMaxDepth, ']');
    EXPECT_TRUE(TkbvJSON::Validate(Deepest).Ok);
    for (size_t Levels : {size_t(kbvJSONMaxDepth) + 1, size_t(1'000'000)}) {
        std::string Mixed;
        for (size_t I = 0; I < Levels; ++I)
            Mixed += I % 2 ? "[" : "{\"k\":";
        auto Verdict = TkbvJSON::Validate(std::string(Levels, '['));
        EXPECT_FALSE(Verdict.Ok);
        EXPECT_EQ(Verdict.Offset, size_t(kbvJSONMaxDepth));
        EXPECT_EQ(Verdict.Reason, "nesting deeper than 512 levels");
        EXPECT_EQ(TkbvJSON::Validate(Mixed).Reason, "nesting deeper than 512 levels");
    }
}

TEST(kbvJSONNodes, DuplicateNamesAreKeptAndTheFirstIsFoundByName) {
    TkbvJSON Doc;
    Doc.Read("{\"a\":1,\"a\":2}");
    ASSERT_EQ(Doc.Count(), 2);
    EXPECT_EQ(Doc.GetNode("a")->Value(), "1");
    EXPECT_EQ(Doc.GetItem(1)->Value(), "2");
    Doc.AddPair("a", 5);
    EXPECT_EQ(Doc.Text(), "{\"a\":5,\"a\":2}");
    // Whole names, case-sensitive, no path syntax.
    Doc.Read("{\"self-harm\":true,\"hate/threatening\":false,\"A\":1,\"b\":{\"c\":1}}");
    EXPECT_EQ(Doc.GetNode("self-harm")->Value(), "true");
    EXPECT_EQ(Doc.GetNode("hate/threatening")->Value(), "false");
    EXPECT_EQ(Doc.GetNode("a"), nullptr);
    EXPECT_EQ(Doc.GetNode("b.c"), nullptr);
}

TEST(kbvJSONNodes, ObjectAndListValuesAreTheirChildText) {
    TkbvJSON Doc;
    Doc.Read("{\"a\":[1,{\"b\":2}],\"c\":{}}");
    auto A = Doc.GetNode("a");
    auto C = Doc.GetNode("c");
    EXPECT_EQ(A->JSONType(), kbvJSONList);
    EXPECT_EQ(A->Value(), "[1,{\"b\":2}]");
    EXPECT_EQ(A->Count(), 2);
    EXPECT_EQ(A->GetItem(1)->GetNode("b")->Value(), "2");
    EXPECT_EQ(C->JSONType(), kbvJSONObject);
    EXPECT_EQ(C->Value(), "{}");
    EXPECT_EQ(Doc.GetItem(2), nullptr);
    EXPECT_THROW(Doc.GetItem(-1), EListError);
}

TEST(kbvJSONNodes, HandlesStayValidAfterTheDocumentDropsThem) {
    IkbvObjectJSONPtr Held;
    {
        TkbvJSON Doc;
        Doc.Read("{\"a\":{\"b\":[1,2,3]}}");
        Held = Doc.GetNode("a");
        Doc.Clear();
        EXPECT_EQ(Doc.Count(), 0);
    }
    EXPECT_EQ(Held->Value(), "{\"b\":[1,2,3]}");
    EXPECT_EQ(Held->GetNode("b")->Count(), 3);
}

TEST(kbvJSONNodes, HandlesAreReferencesIntoTheDocument) {
    TkbvJSON Doc;
    auto Node = Doc.AddPair("a", std::string("x"));
    Node->SetValue("y");
    EXPECT_EQ(Doc.Text(), "{\"a\":\"y\"}");
}

TEST(kbvJSONNodes, SetNodeAndSetItemReplaceInPlace) {
    TkbvJSON Doc;
    Doc.Read("{\"a\":1,\"b\":2,\"c\":3}");
    auto OldB = Doc.GetNode("b");
    auto Replacement = TkbvObjectJSON::Create("z", kbvJSONString, "new");
    Doc.SetNode("b", Replacement);
    EXPECT_EQ(Doc.Text(), "{\"a\":1,\"z\":\"new\",\"c\":3}");
    EXPECT_EQ(OldB->Value(), "2");
    Doc.SetNode("missing", Replacement);
    Doc.SetItem(2, TkbvObjectJSON::Create("d", kbvJSONBoolean, "true"));
    Doc.SetItem(9, Replacement);
    EXPECT_EQ(Doc.Text(), "{\"a\":1,\"z\":\"new\",\"d\":true}");
    EXPECT_THROW(Doc.SetItem(-1, Replacement), EListError);
}

TEST(kbvJSONNodes, AccessingTheChildDocumentMakesAScalarAnObject) {
    TkbvJSON Doc;
    auto Node = Doc.AddPair("a", 1);
    EXPECT_EQ(Node->Count(), 0);
    EXPECT_EQ(Node->JSONType(), kbvJSONNumber);
    Node->JSONObject()->AddPair("b", true);
    EXPECT_EQ(Node->JSONType(), kbvJSONObject);
    EXPECT_EQ(Doc.Text(), "{\"a\":{\"b\":true}}");
    Node->Clear();
    EXPECT_EQ(Doc.Text(), "{\"a\":{}}");
}

TEST(kbvJSONAdd, ScalarsAreWrittenByKind) {
    TkbvJSON Doc;
    Doc.AddPair("s", "text");
    Doc.AddPair("i", 42);
    Doc.AddPair("l", int64_t{-9007199254740993});
    Doc.AddPair("d", 0.7);
    Doc.AddPair("w", 1.0);
    Doc.AddPair("p", 0.01);
    Doc.AddPair("t", true);
    Doc.AddPair("n");
    EXPECT_EQ(Doc.Text(),
              "{\"s\":\"text\",\"i\":42,\"l\":-9007199254740993,\"d\":0.7,\"w\":1,\"p\":0.01,\"t\":true,\"n\":null}");
}

TEST(kbvJSONAdd, DoublesIgnoreTheLocaleAndStayValidJSON) {
    const char* Previous = std::setlocale(LC_ALL, nullptr);
    std::string Saved = Previous ? Previous : "C";
    bool HaveCommaLocale = std::setlocale(LC_ALL, "de_DE.UTF-8") || std::setlocale(LC_ALL, "fr_FR.UTF-8");
    TkbvJSON Doc;
    Doc.AddPair("a", 0.7);
    Doc.AddPair("b", 1234567.25);
    Doc.AddPair("c", 1e300);
    Doc.AddPair("d", -2.5e-12);
    Doc.AddPair("e", std::nan(""));
    Doc.AddPair("f", -std::numeric_limits<double>::infinity());
    std::string Text = Doc.Text();
    std::setlocale(LC_ALL, Saved.c_str());
    EXPECT_EQ(Text, "{\"a\":0.7,\"b\":1234567.25,\"c\":1E+300,\"d\":-2.5E-12,\"e\":null,\"f\":null}")
        << (HaveCommaLocale ? "with" : "without") << " a comma locale";
    EXPECT_TRUE(nlohmann::json::accept(Text));
}

TEST(kbvJSONAdd, AddingAnExistingNameReplacesOnlyTheValue) {
    TkbvJSON Doc;
    Doc.AddPair("a", 1);
    Doc.AddPair("b", "x");
    auto Replaced = Doc.AddPair("a", "now text");
    EXPECT_EQ(Replaced->JSONType(), kbvJSONNumber);
    EXPECT_EQ(Doc.Count(), 2);
    Doc.AddPair("b", false);
    EXPECT_EQ(Doc.Text(), "{\"a\":now text,\"b\":\"false\"}");
}

TEST(kbvJSONAdd, StringsBeginningWithABracketAreRawJSON) {
    TkbvJSON Doc;
    Doc.AddPair("x", "[1,2]");
    Doc.AddPair("o", "{\"123\":-100}");
    Doc.AddPair("q", "say \"hi\"");
    EXPECT_EQ(Doc.Text(), "{\"x\":[1,2],\"o\":{\"123\":-100},\"q\":\"say \"hi\"\"}");
    Doc.GetNode("x")->SetQuoted(true);
    EXPECT_EQ(Doc.GetNode("x")->Quoted(), true);
    EXPECT_EQ(Doc.Text().substr(0, 13), "{\"x\":\"[1,2]\",");
}

TEST(kbvJSONAdd, ArraysAndObjectsAreBuiltFromText) {
    TkbvJSON Doc;
    auto Stop = Doc.AddArray("stop", "");
    Stop->JSONObject()->AddPair("a", "a");
    Stop->JSONObject()->AddPair("b", "b");
    Doc.AddObject("o", "{\"k\":[true]}");
    auto Nulls = Doc.AddArray("nulls", "");
    static_cast<TkbvJSON&>(*Nulls->JSONObject()).AddPair("x");
    EXPECT_EQ(Doc.Text(), "{\"stop\":[\"a\",\"b\"],\"o\":{\"k\":[true]},\"nulls\":[null]}");
}

TEST(kbvJSONAdd, EscapeStringsEscapesNamesAndValuesAlsoOnReplace) {
    TkbvJSON Doc;
    Doc.SetEscapeStrings(true);
    Doc.AddPair("na\"me", "line\nbreak");
    Doc.AddPair("na\"me", "tab\there");
    Doc.AddPair("path", "C:\\dir/file");
    EXPECT_EQ(Doc.Count(), 2);
    std::string Text = Doc.Text();
    EXPECT_EQ(Text, "{\"na\\\"me\":\"tab\\there\",\"path\":\"C:\\\\dir\\/file\"}");
    auto Parsed = nlohmann::json::parse(Text);
    EXPECT_EQ(Parsed["na\"me"], "tab\there");
    EXPECT_EQ(Parsed["path"], "C:\\dir/file");
}

TEST(kbvJSONEscape, EscapeAndUnescapeAreInversesForAnyUTF8Text) {
    const std::string Samples[] = {
        "",
        "plain",
        "quote \" backslash \\ slash /",
        "\b\t\n\f\r",
        std::string("nul \0 one \x01 unit \x1f del \x7f", 24),
        "é ü ß 日本語",
        "emoji 😀 and 𝄞",
        "\xEF\xBF\xBD replacement",
    };
    for (const auto& Sample : Samples) {
        std::string Escaped = EscapeString(Sample);
        for (unsigned char C : Escaped)
            EXPECT_TRUE(C >= 0x20 && C < 0x80) << "escaped text must be printable ASCII: " << Sample;
        EXPECT_EQ(UnescapeString(Escaped), Sample);
        EXPECT_EQ(nlohmann::json::parse("\"" + Escaped + "\"").get<std::string>(), Sample);
    }
    EXPECT_EQ(EscapeString("é😀\x01"), "\\u00E9\\uD83D\\uDE00\\u0001");
}

TEST(kbvJSONEscape, IllFormedInputBecomesReplacementCharacters) {
    // Overlong, surrogate, truncated and stray continuation bytes.
    EXPECT_EQ(EscapeString("\xC0\xAF"), "\\uFFFD\\uFFFD");
    EXPECT_EQ(EscapeString("\xED\xA0\x80"), "\\uFFFD\\uFFFD\\uFFFD");
    EXPECT_EQ(EscapeString("a\xE6\x97"), "a\\uFFFD\\uFFFD");
    EXPECT_EQ(EscapeString("\x80z"), "\\uFFFDz");
    // Lone surrogates, bad hex, unknown escapes and a trailing backslash.
    EXPECT_EQ(UnescapeString("\\uD83D"), "\xEF\xBF\xBD");
    EXPECT_EQ(UnescapeString("\\uDE00x"), "\xEF\xBF\xBDx");
    EXPECT_EQ(UnescapeString("\\uD83Dx\\uDE00"), "\xEF\xBF\xBDx\xEF\xBF\xBD");
    EXPECT_EQ(UnescapeString("\\u12G4"), "\\u12G4");
    EXPECT_EQ(UnescapeString("\\q"), "\\q");
    EXPECT_EQ(UnescapeString("end\\"), "end\\");
    EXPECT_EQ(UnescapeString("\\u00e9\\u00E9"), "éé");
}

TEST(kbvJSONRoundTrip, ValidDocumentsMeanTheSameAfterReadAndWrite) {
    const char* Documents[] = {
        R"({"id":"chatcmpl-1","object":"chat.completion","created":1677652288,"choices":[{"index":0,"message":{"role":"assistant","content":"Hello there, \"friend\".\nHow are you? \u00e9\ud83d\ude00"},"finish_reason":"stop"}],"usage":{"prompt_tokens":9,"completion_tokens":12,"total_tokens":21}})",
        R"([{"a":[[],[{}],{"b":null}]},-1.5e-3,0,true,"\/\\\b"])",
        R"({"empty":"","nested":{"deeper":{"deepest":[1,2,{"x":"y"}]}}})",
    };
    for (const char* Source : Documents) {
        std::string Written = RoundTrip(Source);
        EXPECT_EQ(nlohmann::json::parse(Written), nlohmann::json::parse(Source)) << Source;
        EXPECT_EQ(RoundTrip(Written), Written);
    }
}

TEST(kbvJSONNodes, NodesAndDocumentsMovedBetweenDocumentsStayValid) {
    IkbvJSONPtr ChildHandle;
    auto Free = TkbvObjectJSON::Create("free", kbvJSONNumber, "1");
    {
        auto Source = std::make_shared<TkbvJSON>();
        Source->Read("{\"a\":{\"x\":1},\"b\":[2]}");
        TkbvJSON Target;
        Target.Read("{\"p\":0,\"q\":0,\"r\":0}");
        Target.SetNode("p", Source->GetNode("a"));
        Target.SetItem(1, Free);
        // A node given a document of its own store must not keep that store alive forever.
        auto B = Source->GetNode("b");
        B->SetJSONObject(Source->GetNode("a")->JSONObject());
        ChildHandle = Target.GetNode("a")->JSONObject();
        Source.reset();
        EXPECT_EQ(Target.Text(), "{\"a\":{\"x\":1},\"free\":1,\"r\":0}");
        EXPECT_EQ(Target.GetItem(1), Free);
        EXPECT_EQ(B->Count(), 1);
    }
    ChildHandle->AddPair("y", 2);
    EXPECT_EQ(ChildHandle->Text(), "{\"x\":1,\"y\":2}");
    EXPECT_EQ(Free->JSONObject()->Text(), "{}");
}

TEST(kbvJSONNodes, ArrayElementsBehaveAsNodesWhenAskedFor) {
    TkbvJSON Doc;
    Doc.Read("[1,\"two\",true,null,{\"k\":3},[4]]");
    auto Second = Doc.GetItem(1);
    EXPECT_EQ(Second, Doc.GetItem(1)) << "the same element gives the same handle";
    EXPECT_EQ(Second->JSONType(), kbvJSONString);
    Second->SetValue("deux");
    Doc.GetItem(0)->SetValue("-1.5");
    Doc.SetItem(2, TkbvObjectJSON::Create("", kbvJSONBoolean, "false"));
    EXPECT_EQ(Doc.Text(), "[-1.5,\"deux\",false,null,{\"k\":3},[4]]");
    // Adding by the empty name reaches the first element.
    Doc.AddPair("", 7);
    EXPECT_EQ(Doc.Text().substr(0, 3), "[7,");
    // An array document written as an object names every element.
    TkbvJSON Nested;
    Nested.Read("{\"a\":[1,TRUE]}");
    auto A = Nested.GetNode("a")->JSONObject();
    A->SetIsArray(false);
    EXPECT_EQ(A->Text(), "{\"\":1,\"\":true}");
}
