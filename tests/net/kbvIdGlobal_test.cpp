#include "net/kbvIdGlobal.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <latch>
#include <thread>

#include "core/Streams.h"
#include "net/kbvIdBuffer.h"
#include "net/kbvIdCharsets.h"
#include "tests/support/MessageOf.h"

namespace {
const std::string Replacement = "\xEF\xBF\xBD";  // U+FFFD
const std::string Smiley = "\xF0\x9F\x98\x80";   // U+1F600, a surrogate pair in UTF-16

TIdBytes Bytes(std::string_view AText) { return TIdBytes(AText.begin(), AText.end()); }

}  // namespace

// ---------------------------------------------------------------------------
// The fixed encodings

TEST(Encodings, ASCIIReplacesWhatItCannotRepresent) {
    IIdTextEncodingPtr ASCII = IdTextEncoding(encASCII);
    EXPECT_EQ(ASCII->GetBytes("\xC3\xA9"), TIdBytes{63});  // U+00E9
    EXPECT_EQ(ASCII->GetString({0xE9}), Replacement);
    EXPECT_EQ(ASCII->GetBytes("a" + Smiley), Bytes("a??"));  // each UTF-16 unit counts
    EXPECT_EQ(ASCII->GetString(Bytes("plain")), "plain");
    EXPECT_TRUE(ASCII->GetIsSingleByte());
    EXPECT_EQ(ASCII->GetMaxByteCount(7), 7);
}

TEST(Encodings, EightBitMapsBytesToTheFirst256Characters) {
    IIdTextEncodingPtr Latin = IdTextEncoding(enc8Bit);
    EXPECT_EQ(Latin->GetString({0xE9}), "\xC3\xA9");
    EXPECT_EQ(Latin->GetString({0x80, 0x00}), std::string("\xC2\x80\x00", 3));
    EXPECT_EQ(Latin->GetBytes("\xC3\xA9\xE2\x82\xAC"), (TIdBytes{0xE9, '?'}));  // U+20AC does not fit
    TIdBytes All(256);
    for (int I = 0; I < 256; ++I)
        All[I] = static_cast<uint8_t>(I);
    EXPECT_EQ(Latin->GetBytes(Latin->GetString(All)), All);
}

TEST(Encodings, UTF16ByteOrderPreambleAndCounts) {
    IIdTextEncodingPtr BE = IdTextEncoding(encUTF16BE), LE = IdTextEncoding(encUTF16LE);
    EXPECT_EQ(BE->GetBytes("A"), (TIdBytes{0x00, 0x41}));
    EXPECT_EQ(BE->GetPreamble(), (TIdBytes{0xFE, 0xFF}));
    EXPECT_EQ(LE->GetBytes("A"), (TIdBytes{0x41, 0x00}));
    EXPECT_EQ(LE->GetPreamble(), (TIdBytes{0xFF, 0xFE}));
    EXPECT_EQ(BE->GetBytes(Smiley), (TIdBytes{0xD8, 0x3D, 0xDE, 0x00}));
    EXPECT_EQ(BE->GetString({0xD8, 0x3D, 0xDE, 0x00, 0x00}), Smiley);  // odd last byte ignored
    EXPECT_EQ(LE->GetCharCount({1, 2, 3, 4, 5}), 2);
    EXPECT_EQ(LE->GetString({0x3D, 0xD8}), Replacement);  // unpaired surrogate
    EXPECT_EQ(LE->GetMaxByteCount(10), 22);
    EXPECT_EQ(LE->GetMaxCharCount(5), 4);
    EXPECT_FALSE(LE->GetIsSingleByte());
}

TEST(Encodings, UTF8CountsAndInvalidSequences) {
    IIdTextEncodingPtr UTF8 = IdTextEncoding(encUTF8);
    EXPECT_EQ(UTF8->GetMaxByteCount(10), 33);
    EXPECT_EQ(UTF8->GetMaxCharCount(10), 11);
    EXPECT_EQ(UTF8->GetPreamble(), (TIdBytes{0xEF, 0xBB, 0xBF}));
    EXPECT_EQ(UTF8->GetCharCount(Bytes("a" + Smiley)), 3);
    EXPECT_EQ(UTF8->GetByteCount("a" + Smiley), 5);
    // One U+FFFD per maximal ill-formed subsequence.
    EXPECT_EQ(UTF8->GetString(Bytes("\xE2\x82" "A")), Replacement + "A");
    EXPECT_EQ(UTF8->GetString(Bytes("\xC0\xAF")), Replacement + Replacement);
    EXPECT_EQ(UTF8->GetString(Bytes("\xED\xA0\x80")), Replacement + Replacement + Replacement);
    EXPECT_EQ(UTF8->GetString(Bytes("\xF4\x90\x80\x80")), Replacement + Replacement + Replacement + Replacement);
    EXPECT_EQ(UTF8->GetString(Bytes("ok\xC3")), "ok" + Replacement);
    // Text going out is cleaned the same way.
    EXPECT_EQ(UTF8->GetBytes("x\xFF"), Bytes("x" + Replacement));
}

TEST(Encodings, UTF7RoundTripsAndKnownForms) {
    IIdTextEncodingPtr UTF7 = IdTextEncoding(encUTF7);
    EXPECT_EQ(UTF7->GetMaxByteCount(10), 32);
    EXPECT_EQ(UTF7->GetMaxCharCount(10), 10);
    EXPECT_EQ(UTF7->GetBytes("A\xE2\x89\xA2\xCE\x91."), Bytes("A+ImIDkQ."));
    EXPECT_EQ(UTF7->GetString(Bytes("Hi Mom -+Jjo--!")), "Hi Mom -\xE2\x98\xBA-!");
    for (std::string Text : {std::string("1 + 1 = 2"), std::string("\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E"),
                             "caf\xC3\xA9 " + Smiley + " end", std::string("trailing \xC3\xA9")})
        EXPECT_EQ(UTF7->GetString(UTF7->GetBytes(Text)), Text) << Text;
}

// ---------------------------------------------------------------------------
// Code pages

TEST(CodePages, ConvertThroughTheSystemConverters) {
    IIdTextEncodingPtr Windows = IdTextEncodingForCodePage(1252);
    EXPECT_EQ(Windows->GetString({0x80}), "\xE2\x82\xAC");
    EXPECT_EQ(Windows->GetBytes("\xE2\x82\xAC\xC3\xA9"), (TIdBytes{0x80, 0xE9}));
    EXPECT_EQ(Windows->GetBytes("a\xE6\x97\xA5z"), Bytes("a?z"));  // not in the code page
    EXPECT_TRUE(Windows->GetIsSingleByte());

    IIdTextEncodingPtr SJIS = CharsetToEncoding("Shift_JIS");
    const std::string Test = "\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88";  // katakana "tesuto"
    EXPECT_EQ(SJIS->GetBytes(Test), (TIdBytes{0x83, 0x65, 0x83, 0x58, 0x83, 0x67}));
    EXPECT_EQ(SJIS->GetString({0x83, 0x65, 0x83, 0x58, 0x83, 0x67}), Test);
    EXPECT_EQ(SJIS->GetCharCount({0x83, 0x65, 'a'}), 2);
    EXPECT_EQ(SJIS->GetString({'a', 0x83}), "a" + Replacement);  // cut-off double-byte character
    EXPECT_FALSE(SJIS->GetIsSingleByte());
    EXPECT_EQ(SJIS->GetMaxByteCount(10), 22);

    EXPECT_EQ(IdTextEncodingForCodePage(20866)->GetString({0xC1}), "\xD0\xB0");  // KOI8-R "a"
}

TEST(CodePages, StatefulCodePageEndsInItsInitialState) {
    TIdMBCSEncoding JIS(50220);
    TIdBytes Encoded = JIS.GetBytes("\xE6\x97\xA5" "a");  // a kanji, then ASCII
    const TIdBytes Expected{0x1B, '$', 'B', 0x46, 0x7C, 0x1B, '(', 'B', 'a'};
    EXPECT_EQ(Encoded, Expected);
    EXPECT_EQ(JIS.GetBytes("\xE6\x97\xA5").back(), 'B');  // shifted back at the end
    EXPECT_EQ(JIS.GetString(Encoded), "\xE6\x97\xA5" "a");
}

TEST(CodePages, UnknownCodePageAndDefaults) {
    EXPECT_EQ(MessageOf<EIdException>([] { IdTextEncodingForCodePage(12345); }), "Invalid codepage (12345)");
    EXPECT_EQ(MessageOf<EIdException>([] { TIdMBCSEncoding Unknown(12345); }), "Invalid codepage (12345)");
    EXPECT_EQ(TIdMBCSEncoding().CodePage(), 65001);  // the system's ANSI code page
    EXPECT_EQ(TIdMBCSEncoding(20127).CodePage(), 20127);
    EXPECT_EQ(TIdMBCSEncoding(1201).GetPreamble(), (TIdBytes{0xFE, 0xFF}));
    EXPECT_EQ(TIdMBCSEncoding(12001).GetPreamble(), (TIdBytes{0x00, 0x00, 0xFE, 0xFF}));
    EXPECT_EQ(TIdMBCSEncoding(12000).GetBytes("A"), (TIdBytes{0x41, 0, 0, 0}));
    EXPECT_TRUE(TIdMBCSEncoding(28591).GetPreamble().empty());
}

TEST(CodePages, EveryListedCodePageHasAConverter) {
    int Count = 0;
    for (int CodePage = 4; CodePage <= 65535; ++CodePage) {
        if (!CodePageInfo(CodePage))
            continue;
        ++Count;
        EXPECT_NO_THROW(TIdMBCSEncoding{CodePage}) << CodePage;
    }
    EXPECT_GT(Count, 100);
}

TEST(Charsets, NamesResolveToCodePages) {
    EXPECT_EQ(CharsetToCodePage("US-ASCII"), 20127);
    EXPECT_EQ(CharsetToCodePage("iso-8859-1"), 28591);
    EXPECT_EQ(CharsetToCodePage("latin1"), 28591);
    EXPECT_EQ(CharsetToCodePage("UTF-16"), 1200);
    EXPECT_EQ(CharsetToCodePage("koi8-r"), 20866);
    EXPECT_EQ(CharsetToCodePage("Shift_JIS"), 932);
    EXPECT_EQ(CharsetToCodePage("Windows-1252"), 1252);
    EXPECT_EQ(CharsetToCodePage("csUTF8"), 65001);
    // Not rows: the dashless spellings come from the alias list.
    EXPECT_EQ(CharsetToCodePage("utf8"), 65001);
    EXPECT_EQ(CharsetToCodePage("UTF7"), 65000);
    EXPECT_EQ(CharsetToCodePage("utf16"), 1200);
    EXPECT_EQ(CharsetToCodePage("UTF16BE"), 1201);
    EXPECT_EQ(CharsetToCodePage("utf32"), 12000);
    EXPECT_EQ(CharsetToCodePage("UTF32BE"), 12001);
    // A row without a Windows code page is a match all the same.
    EXPECT_EQ(CharsetToCodePage("ISO-8859-10"), 0);
    EXPECT_EQ(CharsetToCodePage("utf-8 "), 0);
    EXPECT_EQ(CharsetToCodePage(""), 0);
    EXPECT_EQ(CharsetToEncoding("x-unknown"), nullptr);
    EXPECT_EQ(CharsetToEncoding("UTF8"), IdTextEncoding(encUTF8));
}

// ---------------------------------------------------------------------------
// Shared instances

TEST(SharedEncodings, OneInstancePerKind) {
    EXPECT_EQ(IdTextEncoding(encUTF8), IdTextEncoding(encUTF8));
    EXPECT_EQ(IdTextEncodingForCodePage(65001), IdTextEncoding(encUTF8));
    EXPECT_EQ(IdTextEncodingForCodePage(65000), IdTextEncoding(encUTF7));
    EXPECT_EQ(IdTextEncodingForCodePage(1200), IdTextEncoding(encUTF16LE));
    EXPECT_EQ(IdTextEncodingForCodePage(1201), IdTextEncoding(encUTF16BE));
    EXPECT_EQ(IdTextEncodingForCodePage(20127), IdTextEncoding(encASCII));
    EXPECT_NE(IdTextEncodingForCodePage(1252), IdTextEncodingForCodePage(1252));
    EXPECT_NE(IdTextEncoding(encOSDefault), IdTextEncoding(encUTF8));  // same code page, own instance
}

TEST(SharedEncodings, DefaultKindFollowsTheSetting) {
    EXPECT_EQ(IdTextEncoding(), IdTextEncoding(encASCII));
    SetDefaultTextEncodingType(encUTF8);
    EXPECT_EQ(IdTextEncoding(), IdTextEncoding(encUTF8));
    IIdTextEncodingPtr Filled;
    EnsureEncoding(Filled);
    EXPECT_EQ(Filled, IdTextEncoding(encUTF8));
    SetDefaultTextEncodingType(encDefault);
    EXPECT_EQ(IdTextEncoding(), IdTextEncoding(encASCII));
    EnsureEncoding(Filled, enc8Bit);  // already set: kept
    EXPECT_EQ(Filled, IdTextEncoding(encUTF8));
}

TEST(SharedEncodings, ConcurrentFirstUseYieldsOneSurvivor) {
    constexpr int ThreadCount = 8;
    std::latch Start(ThreadCount);
    IIdTextEncodingPtr Seen[ThreadCount];
    std::vector<std::thread> Threads;
    for (int I = 0; I < ThreadCount; ++I)
        Threads.emplace_back([&, I] {
            Start.arrive_and_wait();
            Seen[I] = IdTextEncoding(encOSDefault);
        });
    for (std::thread& T : Threads)
        T.join();
    for (const IIdTextEncodingPtr& Encoding : Seen)
        EXPECT_EQ(Encoding, IdTextEncoding(encOSDefault));
}

// ---------------------------------------------------------------------------
// Overload argument checks

TEST(EncodingArguments, SlicesAreChecked) {
    IIdTextEncodingPtr UTF8 = IdTextEncoding(encUTF8);
    const TIdWideChars Chars = u"abc";
    EXPECT_EQ(MessageOf<EIdException>([&] { UTF8->GetBytes(Chars, 4, 0); }), "Character index out of bounds (4)");
    EXPECT_EQ(MessageOf<EIdException>([&] { UTF8->GetBytes(Chars, 1, 3); }), "Invalid count (3)");
    EXPECT_EQ(MessageOf<EIdException>([&] { UTF8->GetByteCount(Chars, 0, -1); }), "Invalid count (-1)");
    EXPECT_EQ(MessageOf<EIdException>([&] { UTF8->GetCharCount(TIdBytes(), 0, 2); }), "Invalid source array");
    EXPECT_EQ(MessageOf<EIdException>([&] { UTF8->GetByteCount("abc", 0, 1); }), "Character index out of bounds (0)");
    EXPECT_TRUE(UTF8->GetBytes(Chars, 3, 0).empty());

    // Text slices count UTF-16 units from 1: 'e'-acute, then both halves of the pair.
    EXPECT_EQ(UTF8->GetByteCount("a\xC3\xA9" + Smiley, 2, 3), 6);
    // A cut pair leaves an unpaired surrogate.
    EXPECT_EQ(UTF8->GetBytes(UTF8ToUTF16("a" + Smiley), 0, 2), Bytes("a" + Replacement));
}

TEST(EncodingArguments, DestinationsMustHoldTheResult) {
    IIdTextEncodingPtr UTF8 = IdTextEncoding(encUTF8);
    TIdBytes Dest(4, 0);
    EXPECT_EQ(UTF8->GetBytes(u"\u00e9", 0, 1, Dest, 2), 2);
    EXPECT_EQ(Dest, (TIdBytes{0, 0, 0xC3, 0xA9}));
    EXPECT_EQ(UTF8->GetBytes("xy", 1, 2, Dest, 0), 2);
    EXPECT_EQ(Dest[1], 'y');
    EXPECT_EQ(MessageOf<EIdException>([&] { UTF8->GetBytes(u"\u00e9", 0, 1, Dest, 3); }), "Invalid destination array");
    EXPECT_EQ(MessageOf<EIdException>([&] { UTF8->GetBytes(u"a", 0, 1, Dest, 7); }), "Invalid destination index (7)");
    TIdBytes Empty;
    EXPECT_EQ(MessageOf<EIdException>([&] { UTF8->GetBytes(u"a", 0, 1, Empty, 0); }), "Invalid destination array");
    EXPECT_EQ(UTF8->GetBytes(u"a", 0, 0, Empty, 5), 0);  // nothing to write: no checks

    TIdWideChars Chars(3, u'-');
    EXPECT_EQ(UTF8->GetChars(Bytes("ab"), 0, 2, Chars, 1), 2);
    EXPECT_EQ(Chars, u"-ab");
    EXPECT_EQ(MessageOf<EIdException>([&] { UTF8->GetChars(Bytes("ab"), 0, 2, Chars, 2); }), "Invalid destination array");
}

// ---------------------------------------------------------------------------
// Text, byte and small routines

TEST(Conversions, ToBytesAndBytesToStringTakeSlices) {
    IIdTextEncodingPtr UTF8 = IdTextEncoding(encUTF8);
    EXPECT_EQ(ToBytes("h\xC3\xA9llo", 3, 2, UTF8), Bytes("\xC3\xA9ll"));
    EXPECT_EQ(ToBytes("abc", -1, 2), Bytes("bc"));
    EXPECT_TRUE(ToBytes("abc", 5, 4).empty());
    EXPECT_TRUE(ToBytes("").empty());
    EXPECT_EQ(ToBytes("\xC3\xA9"), TIdBytes{'?'});  // the library default is ASCII
    EXPECT_EQ(MessageOf<EIdException>([] { ToBytes("abc", 1, 0); }), "Character index out of bounds (0)");

    const TIdBytes Data = Bytes("hello world");
    EXPECT_EQ(BytesToString(Data, 6), "world");
    EXPECT_EQ(BytesToString(Data, 0, 5), "hello");
    EXPECT_EQ(BytesToString(Data, 6, 100), "world");
    EXPECT_EQ(BytesToString(Data, 20), "");
    EXPECT_EQ(BytesToString(Bytes("\xC3\xA9"), UTF8), "\xC3\xA9");
}

TEST(Conversions, ByteArrayRoutines) {
    EXPECT_EQ(IdLength(TIdBytes(10), -1, 3), 7);
    EXPECT_EQ(IdLength(TIdBytes(10), 20, 3), 7);
    EXPECT_EQ(IdLength(TIdBytes(10), 5, 12), 0);
    EXPECT_EQ(IdLength(TIdBytes(10), 2, 3), 2);

    TIdBytes Dest(5, 0);
    CopyTIdBytes(Bytes("abcdef"), 2, Dest, 1, 3);
    EXPECT_EQ(Dest, (TIdBytes{0, 'c', 'd', 'e', 0}));
    EXPECT_THROW(CopyTIdBytes(Bytes("ab"), 1, Dest, 0, 2), EIdException);
    EXPECT_THROW(CopyTIdBytes(Bytes("ab"), 0, Dest, 4, 2), EIdException);

    TIdBytes Joined = Bytes("ab");
    AppendBytes(Joined, Bytes("xyz"), 1);
    AppendByte(Joined, '!');
    EXPECT_EQ(Joined, Bytes("abyz!"));
    RemoveBytes(Joined, 2, 1);
    EXPECT_EQ(Joined, Bytes("az!"));
    RemoveBytes(Joined, 10, 2);
    EXPECT_EQ(Joined, Bytes("az"));

    EXPECT_EQ(BytesToUInt16(ToBytes(uint16_t{0xBEEF})), 0xBEEF);
    EXPECT_EQ(BytesToUInt32(ToBytes(uint32_t{0xDEADBEEF})), 0xDEADBEEFu);
    EXPECT_EQ(BytesToUInt64(ToBytes(uint64_t{0x0123456789ABCDEF})), 0x0123456789ABCDEFu);
    TIdIPv6Address Address{1, 2, 3, 4, 5, 6, 7, 0xFFFF};
    EXPECT_EQ(BytesToIPv6(ToBytes(Address)), Address);
    EXPECT_EQ(ToBytes(Address).size(), 16u);
    EXPECT_EQ(MessageOf<EIdException>([] { BytesToUInt32(TIdBytes(5), 2); }), "Index out of bounds.");
}

// A body of 2 GiB and more: the whole-array forms count in 64 bits, the int
// forms stop at the largest int instead of wrapping. It needs 4 GiB of memory
// and, where first touching memory is slow, some tens of seconds: it runs
// only when KBV_LARGE_TESTS is set, and never under the address sanitizer.
TEST(Conversions, ArraysOfTwoGiBAndMoreAreNeitherCutNorWrapped) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "too large under the address sanitizer";
#endif
    if (!std::getenv("KBV_LARGE_TESTS"))
        GTEST_SKIP() << "set KBV_LARGE_TESTS=1 to run it";
    const size_t Size = (size_t{1} << 31) + 3;
    TIdBytes Huge(Size, 'a');
    Huge.back() = 'z';
    EXPECT_EQ(IdLength64(Huge), static_cast<int64_t>(Size));
    EXPECT_EQ(IdLength(Huge), INT_MAX);
    EXPECT_EQ(IdLength(Huge, -1, INT_MAX - 1), 5);
    {
        const std::string Text = BytesToString(Huge, IdTextEncoding(enc8Bit));
        ASSERT_EQ(Text.size(), Size);
        EXPECT_EQ(Text.back(), 'z');
    }
    EXPECT_EQ(BytesToString(Huge, INT_MAX - 1), "aaaaz");
    TIdBytes Tail;
    AppendBytes(Tail, Huge, INT_MAX - 1);
    EXPECT_EQ(Tail, Bytes("aaaaz"));

    // A buffer holds at most INT_MAX bytes: more is refused, not wrapped.
    TIdBuffer Buffer;
    EXPECT_THROW(Buffer.Write(Huge), EIdTooMuchDataInBuffer);
    EXPECT_EQ(Buffer.Size(), 0);
    EXPECT_THROW(TIdBuffer(Huge, -1), EIdTooMuchDataInBuffer);
    EXPECT_THROW(TIdBuffer{std::move(Huge)}, EIdTooMuchDataInBuffer);
}

TEST(Conversions, TextRoutines) {
    EXPECT_TRUE(TextIsSame("Content-Type", "content-TYPE"));
    EXPECT_FALSE(TextIsSame("abc", "abcd"));
    EXPECT_TRUE(TextStartsWith("HTTP/1.1 200", "http/"));
    EXPECT_FALSE(TextStartsWith("HT", "http/"));
    EXPECT_TRUE(TextEndsWith("file.TXT", ".txt"));
    EXPECT_FALSE(TextEndsWith("txt", ".txt"));
    EXPECT_TRUE(CharIsInSet("a;b", 2, ";,"));
    EXPECT_FALSE(CharIsInSet("a;b", 4, ";,"));
    EXPECT_EQ(PosInStrArray("POST", {"GET", "POST"}), 1);
    EXPECT_EQ(PosInStrArray("post", {"GET", "POST"}), -1);
    EXPECT_EQ(PosInStrArray("post", {"GET", "POST"}, false), 1);
    EXPECT_EQ(PosInStrArray("x", std::vector<std::string>{"a", "X"}, false), 1);
    EXPECT_EQ(PosInSmallIntArray(302, {301, 302, 303}), 1);
    EXPECT_EQ(PosInSmallIntArray(200, {301, 302}), -1);
    EXPECT_TRUE(IsNumeric("0123"));
    EXPECT_FALSE(IsNumeric(""));
    EXPECT_FALSE(IsNumeric("12a"));
    EXPECT_FALSE(IsNumeric("-1"));
    EXPECT_TRUE(CheckWindowsVersion(6, 0));
    EXPECT_TRUE(InMainThread());
    bool OtherThread = true;
    std::thread([&] { OtherThread = InMainThread(); }).join();
    EXPECT_FALSE(OtherThread);
}

TEST(Conversions, IPv6Texts) {
    EXPECT_EQ(IPv6AddressToStr({0x2001, 0xDB8, 0, 0, 0, 0, 0, 1}), "2001:db8::1");
    EXPECT_EQ(IPv6AddressToStr({0, 0, 0, 0, 0, 0, 0, 0}), "::");
    EXPECT_EQ(IPv6AddressToStr({0, 0, 0, 0, 0, 0, 0, 1}), "::1");
    EXPECT_EQ(IPv6AddressToStr({1, 0, 0, 1, 0, 0, 0, 1}), "1:0:0:1::1");
    EXPECT_EQ(IPv6AddressToStr({1, 0, 2, 3, 4, 5, 6, 0}), "1:0:2:3:4:5:6:0");

    EXPECT_EQ(MakeCanonicalIPv6Address("::1"), "0000:0000:0000:0000:0000:0000:0000:0001");
    EXPECT_EQ(MakeCanonicalIPv6Address("fe80::a:b"), "FE80:0000:0000:0000:0000:0000:000A:000B");
    EXPECT_EQ(MakeCanonicalIPv6Address("::ffff:1.2.3.4"), "0000:0000:0000:0000:0000:FFFF:0102:0304");
    EXPECT_EQ(MakeCanonicalIPv6Address("1:2:3:4:5:6:7::"), "0001:0002:0003:0004:0005:0006:0007:0000");
    for (const char* Invalid : {"", ":", "1::2::3", "12345::", "1:2:3:4:5:6:7:8:9", "1:2:3:4:5:6:7", "::1.2.3.256",
                                ":1::", "g::", "1.2.3.4", "::1.2.3", "1:2:3:4:5:6:7::8"})
        EXPECT_EQ(MakeCanonicalIPv6Address(Invalid), "") << Invalid;
}

TEST(Conversions, ReadLnFromStreamEndsLinesAtAnyLineBreak) {
    TStringStream Stream("one\r\ntwo\nthree\rfour\r\n\nlast");
    std::string Line;
    std::vector<std::string> Lines;
    while (ReadLnFromStream(Stream, Line))
        Lines.push_back(Line);
    EXPECT_EQ(Lines, (std::vector<std::string>{"one", "two", "three", "four", "", "last"}));

    TStringStream Long("abcdef\nx");
    EXPECT_TRUE(ReadLnFromStream(Long, Line, 4));
    EXPECT_EQ(Line, "abcd");
    EXPECT_TRUE(ReadLnFromStream(Long, Line, 4));
    EXPECT_EQ(Line, "ef");
    EXPECT_EQ(Long.Position(), 7);

    // A CR LF split by the reader's chunks.
    TStringStream Split(std::string(511, 'x') + "\r\nnext");
    EXPECT_TRUE(ReadLnFromStream(Split, Line));
    EXPECT_EQ(Line.size(), 511u);
    EXPECT_TRUE(ReadLnFromStream(Split, Line));
    EXPECT_EQ(Line, "next");

    TStringStream Accented("h\xC3\xA9\r\n");
    EXPECT_TRUE(ReadLnFromStream(Accented, Line, -1, IdTextEncoding(encUTF8)));
    EXPECT_EQ(Line, "h\xC3\xA9");
    EXPECT_FALSE(ReadLnFromStream(Accented, Line));
}
