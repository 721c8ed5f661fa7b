#include "net/kbvIdBuffer.h"

#include <gtest/gtest.h>

#include <functional>
#include <numeric>
#include <utility>

#include "core/Streams.h"
#include "net/kbvIdStack.h"
#include "tests/support/MessageOf.h"

namespace {
TIdBytes Bytes(std::string_view AText) { return TIdBytes(AText.begin(), AText.end()); }

// 0, 1, 2, ... wrapping at 256, so that every position is recognisable.
TIdBytes Counting(int ACount) {
    TIdBytes Result(static_cast<size_t>(ACount));
    for (int I = 0; I < ACount; ++I)
        Result[static_cast<size_t>(I)] = static_cast<uint8_t>(I);
    return Result;
}

}  // namespace

TEST(Buffer, GrowsToExactlyWhatTheFirstWriteNeedsThenAddsSlack) {
    TIdBuffer Buffer;
    Buffer.Write(Counting(10));
    EXPECT_EQ(Buffer.Capacity(), 10);
    Buffer.Write(TIdBytes{10});
    EXPECT_EQ(Buffer.Capacity(), 10 + 1 + 2048);
    EXPECT_EQ(Buffer.Size(), 11);
    TIdBytes Out;
    Buffer.ExtractToBytes(Out);
    EXPECT_EQ(Out, Counting(11));
    EXPECT_EQ(Buffer.Capacity(), 0);  // emptied: storage released
}

TEST(Buffer, CompactsOnlyWhenTheHeadPassesTheGrowthFactor) {
    std::vector<int> Removed;
    TIdBuffer Buffer([&](TObject*, int ACount) { Removed.push_back(ACount); });
    Buffer.Write(Counting(5000));
    Buffer.Remove(2000);  // head at 2000: not past 2048 yet
    EXPECT_EQ(Buffer.Capacity(), 5000);
    Buffer.Remove(1000);  // head at 3000: compacted and shrunk to Size + 2048
    EXPECT_EQ(Buffer.Capacity(), 2000 + 2048);
    EXPECT_EQ(Buffer.Size(), 2000);
    EXPECT_EQ(Buffer.PeekByte(0), static_cast<uint8_t>(3000));
    EXPECT_EQ(Buffer.PeekByte(1999), static_cast<uint8_t>(4999));
    Buffer.Remove(5000);  // more than there is: cleared
    EXPECT_EQ(Buffer.Size(), 0);
    EXPECT_EQ(Buffer.Capacity(), 0);
    EXPECT_EQ(Removed, (std::vector<int>{2000, 1000, 5000}));
}

// Whatever takes the bytes, taking them moves the rest only by the rule
// above; moving them on every small read would make many reads quadratic.
TEST(Buffer, EveryRemovalFromTheHeadCompactsByTheSameRule) {
    TStringStream Stream;
    TIdBuffer Other;
    const std::pair<const char*, std::function<void(TIdBuffer&, int)>> Removals[] = {
        {"Remove", [](TIdBuffer& B, int N) { B.Remove(N); }},
        {"ExtractToBytes", [](TIdBuffer& B, int N) { TIdBytes Out; B.ExtractToBytes(Out, N); }},
        {"ExtractToString", [](TIdBuffer& B, int N) { B.ExtractToString(N); }},
        {"ExtractToStream", [&](TIdBuffer& B, int N) { B.ExtractToStream(Stream, N); }},
        {"ExtractToIdBuffer", [&](TIdBuffer& B, int N) { B.ExtractToIdBuffer(Other, N); }},
    };
    for (const auto& [Name, Take] : Removals) {
        TIdBuffer Buffer;
        Buffer.Write(Counting(5000));
        Take(Buffer, 1000);
        Take(Buffer, 1000);  // head at 2000: nothing moves
        EXPECT_EQ(Buffer.Capacity(), 5000) << Name;
        Take(Buffer, 1000);  // head at 3000: compacted and shrunk to Size + 2048
        EXPECT_EQ(Buffer.Capacity(), 2000 + 2048) << Name;
        EXPECT_EQ(Buffer.PeekByte(0), static_cast<uint8_t>(3000)) << Name;
    }
}

TEST(Buffer, WriteMovesUnreadBytesToTheFrontBeforeGrowing) {
    TIdBuffer Buffer;
    Buffer.Write(Counting(100));
    Buffer.Remove(60);
    Buffer.Write(Counting(50));  // 40 unread + 50 fit in the 100 bytes once compacted
    EXPECT_EQ(Buffer.Capacity(), 100);
    Buffer.Write(Counting(11));  // 101 needed
    EXPECT_EQ(Buffer.Capacity(), 11 + 90 + 2048);
    EXPECT_EQ(Buffer.PeekByte(0), 60);
    EXPECT_EQ(Buffer.PeekByte(40), 0);
    EXPECT_EQ(Buffer.PeekByte(90), 0);
}

TEST(Buffer, WritesSlicesAndInsertsAtAnIndex) {
    TIdBuffer Buffer;
    Buffer.Write(Bytes("xxworldxx"), 5, 2);
    Buffer.Write(Bytes("hello "), -1, 0, 0);
    Buffer.Write(Bytes("!"), -1, 0, 11);
    Buffer.Write(TIdBytes(), -1);
    Buffer.Write(Bytes("abc"), 2, 3);  // nothing after the offset
    EXPECT_EQ(Buffer.AsString(), "hello world!");
    EXPECT_EQ(MessageOf<EIdException>([&] { Buffer.Write(Bytes("?"), -1, 0, 13); }), "Index out of bounds.");
}

TEST(Buffer, ExtractingTooMuchNamesBothCounts) {
    TIdBuffer Buffer;
    Buffer.Write(Bytes("abc"));
    TIdBytes Out;
    EXPECT_EQ(MessageOf<EIdException>([&] { Buffer.ExtractToBytes(Out, 5); }), "Not enough data in buffer. (5/3)");
    EXPECT_THROW(Buffer.ExtractToString(5), EIdNotEnoughDataInBuffer);
    EXPECT_THROW(Buffer.ExtractToUInt32(), EIdNotEnoughDataInBuffer);
    EXPECT_EQ(Buffer.Size(), 3);  // nothing was taken
    EXPECT_EQ(Buffer.ExtractToString(0), "");
    EXPECT_EQ(Buffer.Size(), 3);

    TMemoryStream Huge;
    EXPECT_EQ(MessageOf<EIdException>([&] { Buffer.Write(Huge, int64_t{3} << 30); }), "Too much data in buffer.");
}

TEST(Buffer, ExtractWithIndexCopiesWithoutRemoving) {
    TIdBuffer Buffer;
    Buffer.Write(Bytes("0123456789"));
    TIdBytes Out = Bytes("old");
    Buffer.ExtractToBytes(Out, 3, false, 4);
    EXPECT_EQ(Out, Bytes("456"));
    Buffer.ExtractToBytes(Out, -1, true, 8);
    EXPECT_EQ(Out, Bytes("45689"));
    EXPECT_EQ(Buffer.Size(), 10);
    EXPECT_EQ(MessageOf<EIdException>([&] { Buffer.ExtractToBytes(Out, 3, true, 8); }), "Not enough data in buffer. (3/2)");
    Buffer.ExtractToBytes(Out, 2);
    EXPECT_EQ(Out, Bytes("4568901"));
    EXPECT_EQ(Buffer.AsString(), "23456789");
}

TEST(Buffer, IndexOfEdges) {
    TIdBuffer Buffer;
    EXPECT_EQ(Buffer.IndexOf(TIdBytes(), 99), -1);  // empty: no argument checks
    EXPECT_EQ(Buffer.IndexOf("", -5), -1);

    Buffer.Write(Bytes("xxGET / HTTP/1.1\r\nHost: a\r\n"));
    Buffer.Remove(2);
    EXPECT_EQ(Buffer.IndexOf(Bytes("\r\n")), 14);
    EXPECT_EQ(Buffer.IndexOf("\r\n", 15), 23);
    EXPECT_EQ(Buffer.IndexOf(uint8_t{'\n'}, 24), 24);
    EXPECT_EQ(Buffer.IndexOf("missing"), -1);
    EXPECT_EQ(Buffer.IndexOf(Bytes("a\r\nmore")), -1);  // would run past the end
    EXPECT_EQ(MessageOf<EIdException>([&] { Buffer.IndexOf(Bytes("G"), Buffer.Size()); }), "Buffer start position is invalid.");
    EXPECT_EQ(MessageOf<EIdException>([&] { Buffer.IndexOf(uint8_t{'G'}, -1); }), "Buffer start position is invalid.");
    EXPECT_EQ(MessageOf<EIdException>([&] { Buffer.IndexOf(TIdBytes()); }), "Buffer terminator must be specified.");
    EXPECT_EQ(MessageOf<EIdException>([&] { Buffer.IndexOf(""); }), "Buffer terminator must be specified.");
}

TEST(Buffer, TextUsesTheGivenThenTheBuffersEncoding) {
    TIdBuffer Buffer;
    Buffer.Write("caf\xC3\xA9");  // library default: ASCII
    EXPECT_EQ(Buffer.AsString(), "caf?");
    Buffer.Clear();

    Buffer.SetByteEncoding(IdTextEncoding(encUTF16LE));
    Buffer.Write("ab");
    EXPECT_EQ(Buffer.Size(), 4);
    EXPECT_EQ(Buffer.IndexOf("b"), 2);
    Buffer.Write("\xC3\xA9", IdTextEncoding(encUTF8));
    EXPECT_EQ(Buffer.ExtractToString(4), "ab");
    EXPECT_EQ(Buffer.Extract(-1, IdTextEncoding(encUTF8)), "\xC3\xA9");
}

TEST(Buffer, IntegersTravelInNetworkByteOrder) {
    TIdBuffer Buffer;
    Buffer.WriteUInt16(0x1234);
    Buffer.WriteUInt32(0x89ABCDEF);
    Buffer.WriteUInt64(0x0102030405060708);
    Buffer.WriteUInt8(0xFF, 0);
    Buffer.WriteIPv6({0x2001, 0xDB8, 0, 0, 0, 0, 0, 1});
    TIdBytes Wire;
    Buffer.ExtractToBytes(Wire, 15, true, 0);
    EXPECT_EQ(Wire, (TIdBytes{0xFF, 0x12, 0x34, 0x89, 0xAB, 0xCD, 0xEF, 1, 2, 3, 4, 5, 6, 7, 8}));

    EXPECT_EQ(Buffer.ExtractToUInt8(), 0xFF);
    EXPECT_EQ(Buffer.ExtractToUInt16(0, false), TIdStack::HostToNetwork(uint16_t{0x1234}));
    EXPECT_EQ(Buffer.ExtractToUInt16(), 0x1234);
    EXPECT_EQ(Buffer.ExtractToUInt32(), 0x89ABCDEFu);
    EXPECT_EQ(Buffer.ExtractToUInt64(), 0x0102030405060708u);
    EXPECT_EQ(Buffer.PeekByte(0), 0x20);
    EXPECT_EQ(Buffer.ExtractToIPv6(), (TIdIPv6Address{0x2001, 0xDB8, 0, 0, 0, 0, 0, 1}));
    EXPECT_EQ(Buffer.Size(), 0);
}

TEST(Buffer, StreamsInAndOut) {
    TStringStream Source("0123456789");
    Source.SetPosition(7);
    TIdBuffer Buffer;
    Buffer.Write(Source, -1);  // the rest
    Buffer.Write(Source, 0);   // the whole stream
    Source.SetPosition(2);
    Buffer.Write(Source, 3);
    EXPECT_EQ(Buffer.AsString(), "7890123456789234");

    TStringStream Saved;
    Buffer.SaveToStream(Saved);
    EXPECT_EQ(Saved.DataString(), "7890123456789234");
    EXPECT_EQ(Buffer.Size(), 16);

    TStringStream Taken;
    Buffer.ExtractToStream(Taken, 3, 1);
    Buffer.ExtractToStream(Taken, 4);
    Buffer.ExtractToStream(Taken, 0);
    EXPECT_EQ(Taken.DataString(), "8907890");
    EXPECT_EQ(Buffer.Size(), 12);
    Source.SetPosition(8);
    EXPECT_THROW(Buffer.Write(Source, 5), EStreamError);
    EXPECT_EQ(Buffer.Size(), 12);
}

TEST(Buffer, ExtractToAnotherBuffer) {
    TIdBuffer From, To;
    From.Write(Bytes("headerbody"));
    From.ExtractToIdBuffer(To, 6);
    From.ExtractToIdBuffer(To, 2, 1);
    EXPECT_EQ(To.AsString(), "headerod");
    EXPECT_EQ(From.AsString(), "body");
}

TEST(Buffer, PeekAndCapacityChecks) {
    TIdBuffer Buffer;
    EXPECT_EQ(MessageOf<EIdException>([&] { Buffer.PeekByte(0); }), "No bytes in buffer.");
    Buffer.Write(Bytes("abcdef"));
    EXPECT_EQ(Buffer.PeekByte(5), 'f');
    EXPECT_EQ(MessageOf<EIdException>([&] { Buffer.PeekByte(6); }), "Index out of bounds.");
    EXPECT_EQ(MessageOf<EIdException>([&] { Buffer.PeekByte(-1); }), "Index out of bounds.");

    Buffer.Remove(2);
    EXPECT_EQ(MessageOf<EIdException>([&] { Buffer.SetCapacity(3); }), "Capacity cannot be smaller than Size");
    Buffer.SetCapacity(4);
    EXPECT_EQ(Buffer.Capacity(), 4);
    EXPECT_EQ(Buffer.AsString(), "cdef");
    Buffer.SetCapacity(100);
    EXPECT_EQ(Buffer.Capacity(), 100);
    Buffer.Write(Bytes("g"));
    EXPECT_EQ(Buffer.AsString(), "cdefg");
}

TEST(Buffer, ConstructedFromBytes) {
    TIdBuffer Adopted(Bytes("all of it"));
    EXPECT_EQ(Adopted.Size(), 9);
    TIdBuffer Copied(Bytes("first part"), 5);
    EXPECT_EQ(Copied.AsString(), "first");
    EXPECT_EQ(Copied.Capacity(), 5);
    EXPECT_EQ(Copied.GrowthFactor(), 2048);
}

TEST(Buffer, HoldsAStackUsageForItsLifetime) {
    bool HadStack = GStack() != nullptr;
    {
        TIdBuffer Buffer;
        EXPECT_NE(GStack(), nullptr);
    }
    EXPECT_EQ(GStack() != nullptr, HadStack);
}
