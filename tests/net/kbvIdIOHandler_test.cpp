#include "net/kbvIdIOHandler.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/Streams.h"
#include "core/StringList.h"
#include "net/kbvIdIOHandlerSocket.h"
#include "tests/net/support/LoopbackPeer.h"

namespace {

// Every read of a test is bounded by this, so no test can hang.
constexpr int ReadBoundMS = 5000;

std::string Text(const TIdBytes& ABytes) { return std::string(ABytes.begin(), ABytes.end()); }

std::string Pattern(size_t ALength) {
    std::string Result(ALength, '\0');
    for (size_t I = 0; I < ALength; ++I)
        Result[I] = static_cast<char>(TLoopbackPeer::StreamByte(I));
    return Result;
}

// A socket handler connected to the (started) peer.
std::unique_ptr<TIdIOHandlerStack> Connect(TLoopbackPeer& APeer) {
    auto Handler = std::make_unique<TIdIOHandlerStack>();
    Handler->SetHost(APeer.Host());
    Handler->SetPort(APeer.Port());
    Handler->SetIPVersion(APeer.IPv6() ? Id_IPv6 : Id_IPv4);
    Handler->SetReadTimeout(ReadBoundMS);
    Handler->Open();
    return Handler;
}

template <class F>
double SecondsOf(F&& ACall) {
    auto Start = std::chrono::steady_clock::now();
    ACall();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
}

}  // namespace

// ---------------------------------------------------------------------------
// Lines

TEST(IOHandlerReadLn, FindsATerminatorSplitAcrossTwoReceives) {
    TLoopbackPeer Peer;
    Peer.Send("HTTP/1.1 200 OK\r").Stall(150).Send("\nabc\r").Stall(150).Send("\ndef\r\n").Close();
    Peer.Start();
    auto Handler = Connect(Peer);
    EXPECT_EQ(Handler->ReadLn(), "HTTP/1.1 200 OK");
    // A two-byte terminator whose first byte ends a receive: the search
    // resumes one byte before the end of what was scanned.
    EXPECT_EQ(Handler->ReadLn("\r\n", nullptr), "abc");
    EXPECT_EQ(Handler->ReadLn("\r\n", nullptr), "def");
}

TEST(IOHandlerReadLn, LineEndings) {
    TLoopbackPeer Peer;
    Peer.Send("crlf\r\nlf\ncr-cr-lf\r\r\n\nab\rXcd").Close();
    Peer.Start();
    auto Handler = Connect(Peer);
    EXPECT_EQ(Handler->ReadLn(), "crlf");
    EXPECT_EQ(Handler->ReadLn(), "lf");
    EXPECT_EQ(Handler->ReadLn(), "cr-cr-lf\r");
    EXPECT_EQ(Handler->ReadLn(), "");
    // With another terminator a CR before it stays in the line.
    EXPECT_EQ(Handler->ReadLn("X", nullptr), "ab\r");
    // The rest has no terminator: the peer's close ends the read.
    EXPECT_THROW(Handler->ReadLn(), EIdConnClosedGracefully);
    EXPECT_EQ(Handler->InputBuffer()->Size(), 2);
}

TEST(IOHandlerReadLn, TerminatorInTheGivenEncoding) {
    TLoopbackPeer Peer;
    Peer.Send(std::string("h\0i\0\n\0", 6)).Close();
    Peer.Start();
    auto Handler = Connect(Peer);
    EXPECT_EQ(Handler->ReadLn(IdTextEncoding(encUTF16LE)), "hi");
}

TEST(IOHandlerReadLn, MaxLineLengthRaises) {
    TLoopbackPeer Peer;
    Peer.Send(std::string(16385, 'x')).Hold();
    Peer.Start();
    auto Handler = Connect(Peer);
    try {
        Handler->ReadLn();
        FAIL() << "no exception";
    } catch (const EIdReadLnMaxLineLengthExceeded& E) {
        EXPECT_EQ(E.Message(), "Max line length exceeded.");
    }
    Peer.Stop();
}

TEST(IOHandlerReadLn, MaxLineLengthSplitsOrReturnsAWholeLine) {
    TLoopbackPeer Peer;
    Peer.Send(std::string(16384, 'a') + "\n" + std::string(16385, 'b') + "\n").Close();
    Peer.Start();
    auto Handler = Connect(Peer);
    EXPECT_EQ(Handler->ReadLn(), std::string(16384, 'a'));
    EXPECT_FALSE(Handler->ReadLnSplit());

    bool WasSplit = false;
    EXPECT_EQ(Handler->ReadLnSplit(WasSplit), std::string(16384, 'b'));
    EXPECT_TRUE(WasSplit);
    EXPECT_EQ(Handler->MaxLineAction(), maException);  // restored
    EXPECT_EQ(Handler->ReadLn(), "b");
}

TEST(IOHandlerReadLn, TimeOutReturnsEmptyTextWithoutException) {
    TLoopbackPeer Peer;
    Peer.Send("partial").Hold();
    Peer.Start();
    auto Handler = Connect(Peer);
    std::string Line = "unset";
    double Seconds = SecondsOf([&] { Line = Handler->ReadLn("\n", 100); });
    EXPECT_EQ(Line, "");
    EXPECT_TRUE(Handler->ReadLnTimedout());
    EXPECT_GE(Seconds, 0.05);
    EXPECT_LT(Seconds, 5.0);
    // The partial line stays for a later read.
    EXPECT_EQ(Handler->InputBuffer()->Size(), 7);
    Peer.Stop();
}

TEST(IOHandlerReadLn, WaitCaptureAndWaitFor) {
    TLoopbackPeer Peer;
    Peer.Send("  \r\n  250 ok  \r\nfirst\r\n..dotted\r\n.\r\nbefore<END>after\n").Close();
    Peer.Start();
    auto Handler = Connect(Peer);
    EXPECT_EQ(Handler->ReadLnWait(), "250 ok");
    TStringList Lines;
    int Count = 0;
    Handler->Capture(&Lines, Count);
    EXPECT_EQ(Count, 2);
    EXPECT_EQ(Lines.Text(), "first\r\n.dotted\r\n");
    EXPECT_EQ(Handler->WaitFor("<END>", true, true), "before<END>");
    EXPECT_EQ(Handler->ReadLn(), "after");

    TIdConnectionIntercept NeitherListNorStream;
    EXPECT_THROW(Handler->Capture(&NeitherListNorStream), EIdObjectTypeNotSupported);
}

TEST(IOHandlerReadLn, InputLnEditsAndEchoes) {
    TLoopbackPeer Peer;
    Peer.Send("ab\bc\td\x1B\r\n").ExpectUntil("\r\n");
    Peer.Start();
    auto Handler = Connect(Peer);
    EXPECT_EQ(Handler->InputLn(), "ac      d");
    const std::string Echo = "ab\b \bc      d\r\n";
    EXPECT_TRUE(Peer.WaitForReceived(Echo.size(), ReadBoundMS));
    EXPECT_EQ(Peer.Received(), Echo);
}

// ---------------------------------------------------------------------------
// Time-outs, closes and resets

TEST(IOHandlerRead, ReadTimeoutRaisesAfterAboutThatTime) {
    TLoopbackPeer Peer;
    Peer.Send("abc").Hold();
    Peer.Start();
    auto Handler = Connect(Peer);
    Handler->SetReadTimeout(300);
    TIdBytes Buffer;
    double Seconds = SecondsOf([&] {
        try {
            Handler->ReadBytes(Buffer, 10);
            ADD_FAILURE() << "no exception";
        } catch (const EIdReadTimeout& E) {
            EXPECT_EQ(E.Message(), "Read timed out.");
        }
    });
    EXPECT_GE(Seconds, 0.25);
    EXPECT_LT(Seconds, 5.0);
    Peer.Stop();
}

TEST(IOHandlerRead, BytesReceivedBeforeACloseStayReadable) {
    TLoopbackPeer Peer;
    Peer.Send("abcdef").Close();
    Peer.Start();
    auto Handler = Connect(Peer);
    TIdBytes Buffer;
    try {
        Handler->ReadBytes(Buffer, 10);
        FAIL() << "no exception";
    } catch (const EIdConnClosedGracefully& E) {
        EXPECT_EQ(E.Message(), "Connection Closed Gracefully.");
    }
    EXPECT_TRUE(Handler->ClosedGracefully());
    EXPECT_EQ(Handler->InputBuffer()->Size(), 6);
    EXPECT_TRUE(Handler->Connected());
    Handler->ReadBytes(Buffer, 6);
    EXPECT_EQ(Text(Buffer), "abcdef");
    EXPECT_FALSE(Handler->Connected());
    EXPECT_THROW(Handler->ReadByte(), EIdConnClosedGracefully);
}

TEST(IOHandlerRead, ResetRaisesSocketError10054) {
    TLoopbackPeer Peer;
    Peer.Stall(50).Reset();
    Peer.Start();
    auto Handler = Connect(Peer);
    try {
        Handler->ReadLn();
        FAIL() << "no exception";
    } catch (const EIdSocketError& E) {
        EXPECT_EQ(E.LastError(), 10054);
        EXPECT_EQ(E.Message(), "Socket Error # 10054\r\nConnection reset by peer.");
    }
}

TEST(IOHandlerRead, ValuesInNetworkOrder) {
    TLoopbackPeer Peer;
    Peer.Send(std::string("\x01\x02\xFF\xFE\x00\x00\x00\x00\x00\x00\x01\x00\x03\x04", 14)).Send("\xC3\xA9!").Close();
    Peer.Start();
    auto Handler = Connect(Peer);
    EXPECT_EQ(Handler->ReadUInt16(), 0x0102);
    EXPECT_EQ(Handler->ReadInt16(), -2);
    EXPECT_EQ(Handler->ReadUInt64(), 256u);
    EXPECT_EQ(Handler->ReadUInt16(false), 0x0403);  // host order: this platform is little-endian
    EXPECT_EQ(Handler->ReadChar(IdTextEncoding(encUTF8)), "\xC3\xA9");
    EXPECT_EQ(Handler->AllData(), "!");
}

// Only the peer's close ends AllData normally: a failure must not pass for
// the end of the data.
TEST(IOHandlerRead, AllDataEndsOnlyAtAGracefulClose) {
    struct TCase {
        std::function<void(TLoopbackPeer&)> Script;
        bool FailingIntercept;
        const char* Expected;  // the text, or the message of the exception
    } const Cases[] = {
        {[](TLoopbackPeer& P) { P.Send("abc").Stall(100).Send("def").Close(); }, false, "abcdef"},
        {[](TLoopbackPeer& P) { P.Send("abc").Stall(100).Reset(); }, false,
         "Socket Error # 10054\r\nConnection reset by peer."},
        {[](TLoopbackPeer& P) { P.Send("abc").Close(); }, true, "intercept failed"},
    };
    for (const TCase& Case : Cases) {
        TLoopbackPeer Peer;
        Case.Script(Peer);
        Peer.Start();
        auto Handler = Connect(Peer);
        TIdConnectionIntercept Intercept;
        if (Case.FailingIntercept) {
            Intercept.SetOnReceive([](TIdConnectionIntercept*, TIdBytes&) { throw EIdException("intercept failed"); });
            Handler->SetIntercept(&Intercept);
        }
        std::string Outcome;
        try {
            Outcome = Handler->AllData();
        } catch (const EIdException& E) {
            Outcome = E.Message();
        }
        EXPECT_EQ(Outcome, Case.Expected);
    }
}

TEST(IOHandlerRead, DiscardAndDiscardAll) {
    TLoopbackPeer Peer;
    Peer.Send("0123456789").Stall(50).Send(Pattern(70000)).Close();
    Peer.Start();
    auto Handler = Connect(Peer);
    Handler->Discard(4);
    EXPECT_EQ(Handler->ReadString(3), "456");
    Handler->DiscardAll();
    EXPECT_TRUE(Handler->InputBufferIsEmpty());
}

// ---------------------------------------------------------------------------
// Streams

TEST(IOHandlerReadStream, UntilDisconnectTakesEverythingWithoutException) {
    TLoopbackPeer Peer;
    Peer.Send("head\n").SendStream(300000).Close();
    Peer.Start();
    auto Handler = Connect(Peer);
    EXPECT_EQ(Handler->ReadLn(), "head");
    TMemoryStream Stream;
    Handler->ReadStream(&Stream, -1, true);
    ASSERT_EQ(Stream.Size(), 300000);
    std::string Data(static_cast<const char*>(Stream.Memory()), 300000);
    EXPECT_EQ(Data, Pattern(300000));
}

TEST(IOHandlerReadStream, CountedReadCutShortByACloseKeepsWhatCame) {
    TLoopbackPeer Peer;
    Peer.Send(std::string(40, 'z')).Close();
    Peer.Start();
    auto Handler = Connect(Peer);
    TMemoryStream Stream;
    Stream.WriteBuffer("pre", 3);
    EXPECT_THROW(Handler->ReadStream(&Stream, 100), EIdConnClosedGracefully);
    EXPECT_EQ(Stream.Size(), 43);  // what was there and what came
}

TEST(IOHandlerReadStream, SizePrefixOfFourOrEightBytes) {
    TLoopbackPeer Peer;
    Peer.Send(std::string("\0\0\0\x05hello", 9)).Send(std::string("\0\0\0\0\0\0\0\x03" "abcrest", 15)).Close();
    Peer.Start();
    auto Handler = Connect(Peer);
    TStringStream Small;
    Handler->ReadStream(&Small);
    EXPECT_EQ(Small.DataString(), "hello");
    Handler->SetLargeStream(true);
    TStringStream Large;
    Handler->ReadStream(&Large);
    EXPECT_EQ(Large.DataString(), "abc");
    Handler->ReadStream(nullptr, 2);  // dropped
    EXPECT_EQ(Handler->ReadString(2), "st");
}

namespace {
// A memory stream that refuses to grow past 1 MiB, as memory would run out
// for a stream sized to what a hostile peer announces.
class TCappedStream : public TStringStream {
public:
    void SetSize(int64_t NewSize) override {
        if (NewSize > (1 << 20))
            throw EStreamError("Out of memory while expanding memory stream");
        TStringStream::SetSize(NewSize);
    }
};
}  // namespace

// A peer that announces far more than it sends must not make the client
// reserve what it announced.
TEST(IOHandlerReadStream, AnnouncedSizeIsNotReservedInAdvance) {
    struct TCase {
        bool LargeStream;
        std::string Prefix;
    } const Cases[] = {
        {false, std::string("\x7F\xFF\xFF\xFF", 4)},      // 2 GiB - 1
        {true, std::string("\x40\0\0\0\0\0\0\0", 8)},  // 2^62
    };
    for (const TCase& Case : Cases) {
        TLoopbackPeer Peer;
        Peer.Send(Case.Prefix + "hello").Close();
        Peer.Start();
        auto Handler = Connect(Peer);
        Handler->SetLargeStream(Case.LargeStream);
        TCappedStream Stream;
        Stream.WriteString("pre");
        EXPECT_THROW(Handler->ReadStream(&Stream), EIdConnClosedGracefully) << Case.LargeStream;
        EXPECT_EQ(Stream.DataString(), "prehello");
    }
}

// Counts past 4 GiB go through the reads whole: a count cut to 32 bits would
// end the read after the few bytes the peer sent, without an exception.
TEST(IOHandlerReadStream, SixtyFourBitCountsAreNotCut) {
    const int64_t Count = (int64_t{1} << 32) + 5;
    const std::function<void(TIdIOHandler&)> Reads[] = {
        [&](TIdIOHandler& H) { TStringStream S; H.ReadStream(&S, Count); },
        [&](TIdIOHandler& H) { H.ReadStream(nullptr, Count); },
        [&](TIdIOHandler& H) { H.Discard(Count); },
    };
    for (const auto& Read : Reads) {
        TLoopbackPeer Peer;
        Peer.Send("hello").Close();
        Peer.Start();
        auto Handler = Connect(Peer);
        EXPECT_THROW(Read(*Handler), EIdConnClosedGracefully);
    }
}

// ---------------------------------------------------------------------------
// Writing and intercepts

namespace {
// Records the size of every block that reaches the transport.
struct TBlockRecorder {
    TIdConnectionIntercept Intercept;
    std::vector<size_t> Blocks;
    TBlockRecorder() {
        Intercept.SetOnSend([this](TIdConnectionIntercept*, TIdBytes& ABuffer) { Blocks.push_back(ABuffer.size()); });
    }
};
}  // namespace

TEST(IOHandlerWrite, BufferingSendsWholeThresholdBlocksAndHoldsTheRest) {
    TLoopbackPeer Peer;
    Peer.Expect(3000);
    Peer.Start();
    auto Handler = Connect(Peer);
    TBlockRecorder Recorder;
    Handler->SetIntercept(&Recorder.Intercept);
    Handler->WriteBufferOpen(1024);
    Handler->Write(TIdBytes(3000, 7));
    EXPECT_EQ(Recorder.Blocks, (std::vector<size_t>{1024, 1024}));
    EXPECT_TRUE(Peer.WaitForReceived(2048, ReadBoundMS));
    Handler->WriteBufferClose();
    EXPECT_EQ(Recorder.Blocks, (std::vector<size_t>{1024, 1024, 952}));
    EXPECT_FALSE(Handler->WriteBufferingActive());
    EXPECT_TRUE(Peer.WaitForReceived(3000, ReadBoundMS));
    Handler->SetIntercept(nullptr);
}

TEST(IOHandlerWrite, TextListsStreamsAndValues) {
    TLoopbackPeer Peer;
    Peer.Start();
    auto Handler = Connect(Peer);
    TBlockRecorder Recorder;
    Handler->SetIntercept(&Recorder.Intercept);
    TStringList Lines;
    Lines.Add("one");
    Lines.Add(".two");
    Handler->Write(Lines, true);  // one block, count first
    EXPECT_EQ(Recorder.Blocks, (std::vector<size_t>{4 + 5 + 6}));
    Handler->WriteRFCStrings(Lines);
    Handler->WriteUInt32(0x01020304);
    Handler->Write("\xC3\xA9", IdTextEncoding(encUTF8));
    Handler->Write("\xC3\xA9");  // ASCII by default: not representable
    TStringStream Stream("payload");
    Stream.SetPosition(3);
    Handler->Write(Stream, -1, true);  // from the position, with its size
    const std::string Expected = std::string("\0\0\0\x02one\r\n.two\r\n", 15) + "one\r\n..two\r\n.\r\n" +
                                 "\x01\x02\x03\x04" "\xC3\xA9?" + std::string("\0\0\0\x04load", 8);
    EXPECT_TRUE(Peer.WaitForReceived(Expected.size(), ReadBoundMS));
    EXPECT_EQ(Peer.Received(), Expected);
    Handler->SetIntercept(nullptr);
}

TEST(IOHandlerWrite, WriteFileSendsTheFileOrReportsItMissing) {
    TLoopbackPeer Peer;
    Peer.Start();
    auto Handler = Connect(Peer);
    const std::string Name = ::testing::TempDir() + "kbvIdIOHandler_writefile.txt";
    {
        TFileStream File(Name, fmCreate);
        File.WriteBuffer("file body", 9);
    }
    EXPECT_EQ(Handler->WriteFile(Name), 9);
    EXPECT_TRUE(Peer.WaitForReceived(9, ReadBoundMS));
    EXPECT_EQ(Peer.Received(), "file body");
    EXPECT_EQ(Handler->WriteFile(Name + ".missing"), 0);  // a socket handler answers 0
    std::remove(Name.c_str());
}

TEST(IOHandlerIntercept, ChainMayReplaceBlocksBothWays) {
    TLoopbackPeer Peer;
    Peer.Send("hello\n").ExpectLine();
    Peer.Start();
    auto Handler = Connect(Peer);
    TIdConnectionIntercept Upper, Marker;
    Upper.SetOnReceive([](TIdConnectionIntercept*, TIdBytes& ABuffer) {
        for (auto& B : ABuffer)
            B = static_cast<uint8_t>(std::toupper(B));
    });
    // Receive runs the next link first: its mark comes before the upper-casing.
    Marker.SetOnReceive([](TIdConnectionIntercept*, TIdBytes& ABuffer) { ABuffer.insert(ABuffer.begin(), '<'); });
    Marker.SetOnSend([](TIdConnectionIntercept*, TIdBytes& ABuffer) { ABuffer.insert(ABuffer.begin(), '>'); });
    Upper.SetOnSend([](TIdConnectionIntercept*, TIdBytes& ABuffer) { ABuffer.push_back('!'); });
    Upper.SetIntercept(&Marker);
    Handler->SetIntercept(&Upper);
    EXPECT_EQ(Handler->ReadLn(), "<HELLO");
    Handler->Write("x\n");
    EXPECT_TRUE(Peer.WaitForReceived(4, ReadBoundMS));
    EXPECT_EQ(Peer.Received(), ">x\n!");
    Handler->SetIntercept(nullptr);
}

TEST(IOHandlerIntercept, CircularLinksAreRefusedAndFreedLinksCleared) {
    TIdConnectionIntercept A;
    auto B = std::make_unique<TIdConnectionIntercept>();
    TIdConnectionIntercept C;
    try {
        A.SetIntercept(&A);
        FAIL() << "no exception";
    } catch (const EIdInterceptCircularLink& E) {
        EXPECT_EQ(E.Message(), "TIdConnectionIntercept: Circular links are not allowed");
    }
    A.SetIntercept(B.get());
    B->SetIntercept(&C);
    EXPECT_THROW(C.SetIntercept(&A), EIdInterceptCircularLink);
    EXPECT_EQ(C.Intercept(), nullptr);
    B.reset();
    EXPECT_EQ(A.Intercept(), nullptr);
}

// ---------------------------------------------------------------------------
// Properties and the class registry

TEST(IOHandlerProperties, DestinationSplitsAtTheLastColon) {
    TIdIOHandlerStack Handler;
    Handler.SetDefaultPort(80);
    Handler.SetDestination("example.org: 8080 ");
    EXPECT_EQ(Handler.Host(), "example.org");
    EXPECT_EQ(Handler.Port(), 8080);
    EXPECT_EQ(Handler.Destination(), "example.org:8080");
    Handler.SetDestination("other.org");  // no colon: nothing changes
    EXPECT_EQ(Handler.Host(), "example.org");
    Handler.SetDestination("::1:x");  // the default port stands in for a bad number
    EXPECT_EQ(Handler.Host(), "::1");
    EXPECT_EQ(Handler.Port(), 80);
    EXPECT_EQ(Handler.Destination(), "::1");
}

TEST(IOHandlerProperties, DefaultsAndDefaultEncoding) {
    TIdIOHandlerStack Handler;
    EXPECT_EQ(Handler.MaxLineLength(), 16384);
    EXPECT_EQ(Handler.ReadTimeout(), -1);
    EXPECT_EQ(Handler.RecvBufferSize(), 32768);
    EXPECT_EQ(Handler.DefStringEncoding(), IdTextEncoding(encASCII));
    Handler.SetDefStringEncoding(nullptr);
    EXPECT_EQ(Handler.DefStringEncoding(), IdTextEncoding(encDefault));
    EXPECT_FALSE(Handler.Connected());
}

namespace {
class TTestHandlerA : public TIdIOHandlerStack {
public:
    using TIdIOHandlerStack::TIdIOHandlerStack;
};
class TTestHandlerB : public TIdIOHandlerStack {
public:
    using TIdIOHandlerStack::TIdIOHandlerStack;
};
class TNeverRegistered : public TIdIOHandlerStack {
public:
    using TIdIOHandlerStack::TIdIOHandlerStack;
};
}  // namespace

TEST(IOHandlerRegistry, NewestMatchingClassIsMadeAndDefaultIsTheStack) {
    TIdIOHandler::RegisterIOHandler<TTestHandlerA>();
    TIdIOHandler::RegisterIOHandler<TTestHandlerB>();
    TIdIOHandler::RegisterIOHandler<TTestHandlerA>();  // once only: B stays newest

    std::unique_ptr<TIdIOHandlerSocket> Newest(TIdIOHandler::TryMakeIOHandler<TIdIOHandlerSocket>());
    EXPECT_NE(dynamic_cast<TTestHandlerB*>(Newest.get()), nullptr);
    std::unique_ptr<TTestHandlerA> A(TIdIOHandler::MakeIOHandler<TTestHandlerA>());
    EXPECT_NE(A, nullptr);
    EXPECT_EQ(TIdIOHandler::TryMakeIOHandler<TNeverRegistered>(), nullptr);
    try {
        TIdIOHandler::MakeIOHandler<TNeverRegistered>();
        FAIL() << "no exception";
    } catch (const EIdException& E) {
        EXPECT_EQ(E.Message(), "No IOHandler of type TNeverRegistered is installed.");
    }
    TComponent Owner(nullptr);
    TIdIOHandler* Default = TIdIOHandler::MakeDefaultIOHandler(&Owner);
    EXPECT_EQ(Default->ClassName(), "TIdIOHandlerStack");
    EXPECT_EQ(Default->Owner(), &Owner);
}
