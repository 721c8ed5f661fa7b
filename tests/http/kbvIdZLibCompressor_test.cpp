#include "http/kbvIdZLibCompressor.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>

#include "net/kbvIdTCPClient.h"
#include "tests/net/support/LoopbackPeer.h"

namespace {

// Compressible text of about 60 bytes a line.
std::string Lorem(int ALines) {
    std::string Text;
    for (int Line = 1; Line <= ALines; ++Line)
        Text += std::to_string(Line) + " Lorem ipsum dolor sit amet, consectetur adipiscing elit.\n";
    return Text;
}

std::string Noise(size_t ASize, uint32_t ASeed = 1) {
    std::string Bytes(ASize, '\0');
    for (char& Byte : Bytes) {
        ASeed = ASeed * 1664525u + 1013904223u;
        Byte = static_cast<char>(ASeed >> 24);
    }
    return Bytes;
}

std::string Compressed(const std::string& AText, int AWindowBits, int ALevel = 6) {
    TStringStream In(AText), Out;
    TIdZLibCompressor().CompressStream(In, Out, ALevel, AWindowBits, 8, Z_DEFAULT_STRATEGY);
    return Out.DataString();
}

using TDecompress = void (TIdZLibCompressorBase::*)(TStream&, TStream&);

std::string Decoded(TDecompress ADecompress, const std::string& AInput) {
    TStringStream In(AInput), Out;
    TIdZLibCompressor Compressor;
    (Compressor.*ADecompress)(In, Out);
    return Out.DataString();
}

template <class E = Exception, class F>
std::string MessageOf(F&& ACall) {
    try {
        ACall();
    } catch (const E& Error) {
        return Error.Message();
    }
    return "(no exception)";
}

void PutLE(std::string& ABytes, uint32_t AValue, int ASize) {
    for (int I = 0; I < ASize; ++I)
        ABytes += static_cast<char>(AValue >> (8 * I));
}

uint32_t Crc32(const std::string& ABytes) {
    return static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(ABytes.data()), static_cast<uInt>(ABytes.size())));
}

// A gzip member built field by field around raw deflate data.
struct TGZipFields {
    std::string Extra = {}, Name = {}, Comment = {};
    bool HeaderCRC = false;
};

std::string GZipMember(const std::string& AText, const TGZipFields& AFields) {
    uint8_t Flags = (AFields.Extra.empty() ? 0 : 0x04) | (AFields.Name.empty() ? 0 : 0x08) |
                    (AFields.Comment.empty() ? 0 : 0x10) | (AFields.HeaderCRC ? 0x02 : 0);
    std::string Member = {'\x1F', '\x8B', 8, static_cast<char>(Flags)};
    PutLE(Member, 0x12345678, 4);  // MTIME
    Member += {0, 3};              // XFL, OS (Unix)
    if (!AFields.Extra.empty()) {
        PutLE(Member, static_cast<uint32_t>(AFields.Extra.size()), 2);
        Member += AFields.Extra;
    }
    if (!AFields.Name.empty())
        Member += AFields.Name + '\0';
    if (!AFields.Comment.empty())
        Member += AFields.Comment + '\0';
    if (AFields.HeaderCRC)
        PutLE(Member, Crc32(Member) & 0xFFFF, 2);
    Member += Compressed(AText, -15);
    PutLE(Member, Crc32(AText), 4);
    PutLE(Member, static_cast<uint32_t>(AText.size()), 4);
    return Member;
}

// --- gzip members --------------------------------------------------------

TEST(ZLibCompressorGZip, OptionalHeaderFieldsAreSkipped) {
    std::string Text = Lorem(50);
    EXPECT_EQ(Decoded(&TIdZLibCompressorBase::DecompressGZipStream,
                      GZipMember(Text, {.Name = "lorem.txt", .HeaderCRC = true})),
              Text);
    EXPECT_EQ(Decoded(&TIdZLibCompressorBase::DecompressGZipStream,
                      GZipMember(Text, {.Extra = std::string("ab\0cd", 5), .Comment = "a comment"})),
              Text);
    EXPECT_EQ(Decoded(&TIdZLibCompressorBase::DecompressGZipStream,
                      GZipMember(Text, {.Extra = "x", .Name = "n", .Comment = "c", .HeaderCRC = true})),
              Text);
}

TEST(ZLibCompressorGZip, TrailersAreCheckedAndMembersFollowEachOther) {
    const std::string One = Lorem(20), Two = Lorem(3);
    const std::string Member = Compressed(One, 31);
    EXPECT_EQ(Decoded(&TIdZLibCompressorBase::DecompressGZipStream, Member + Compressed(Two, 31)), One + Two);
    EXPECT_EQ(Decoded(&TIdZLibCompressorBase::DecompressGZipStream, Member + "not gzip"), One);
    for (size_t Spoilt : {Member.size() - 8, Member.size() - 1}) {  // CRC-32, then the length
        std::string Bad = Member;
        Bad[Spoilt] = static_cast<char>(Bad[Spoilt] ^ 1);
        EXPECT_NE(MessageOf<EIdZLibError>([&] { Decoded(&TIdZLibCompressorBase::DecompressGZipStream, Bad); }),
                  "(no exception)") << Spoilt;
    }
}

TEST(ZLibCompressorGZip, MemberIsReadFromTheStreamPosition) {
    std::string Text = Lorem(5);
    TStringStream In("prefix" + Compressed(Text, 31)), Out;
    In.SetPosition(6);
    TIdZLibCompressor().DecompressGZipStream(In, Out);
    EXPECT_EQ(Out.DataString(), Text);
}

TEST(ZLibCompressorGZip, EmptyContent) {
    EXPECT_EQ(Decoded(&TIdZLibCompressorBase::DecompressGZipStream, Compressed("", 31)), "");
}

TEST(ZLibCompressorGZip, EveryTruncationRaises) {
    std::string Member = GZipMember(Lorem(10), {.Name = "f", .HeaderCRC = true});
    for (size_t Length = 0; Length < Member.size(); ++Length)
        EXPECT_THROW(Decoded(&TIdZLibCompressorBase::DecompressGZipStream, Member.substr(0, Length)), Exception)
            << Length << " of " << Member.size() << " bytes";
}

// --- zlib streams and deflate bodies ----------------------------------------

TEST(ZLibCompressorDeflate, HTTPDeflateChecksTheHeaderAndKeepsThePosition) {
    std::string Text = Lorem(30);
    std::string Stream = Compressed(Text, 15);
    ASSERT_EQ(Stream.substr(0, 2), "\x78\x9C");
    TStringStream In(Stream), Out;
    TIdZLibCompressor Compressor;
    Compressor.DecompressHTTPDeflate(In, Out);
    EXPECT_EQ(Out.DataString(), Text);
    EXPECT_EQ(In.Position(), 0);

    Stream[1] = '\x9D';
    TStringStream Bad(Stream), None;
    EXPECT_EQ(MessageOf<EIdException>([&] { Compressor.DecompressHTTPDeflate(Bad, None); }), "Error - invalid header");
    EXPECT_EQ(None.Size(), 0);
    EXPECT_EQ(MessageOf<EIdException>([&] { Decoded(&TIdZLibCompressorBase::DecompressHTTPDeflate, "x"); }),
              "Error - invalid header");
}

TEST(ZLibCompressorDeflate, DeflateBodyDecodesInEveryShapeServersSend) {
    std::string Text = Lorem(40);
    for (int WindowBits : {15, 9, -15, 31})  // zlib format, small window, raw deflate, gzip under the wrong label
        EXPECT_EQ(Decoded(&TIdZLibCompressorBase::DecompressDeflateStream, Compressed(Text, WindowBits)), Text)
            << WindowBits;
    EXPECT_EQ(Decoded(&TIdZLibCompressorBase::DecompressDeflateStream, Compressed("", -15)), "");
}

// A body fed to a decoder in pieces of APiece bytes, by the zlib decoder or
// (AGathering) by the base's gathering one.
std::string DecodedBody(const std::string& ACoding, const std::string& ABody, size_t APiece, bool AGathering) {
    TIdZLibCompressor Compressor;
    TStringStream Out;
    std::unique_ptr<TIdBodyDecoder> Decoder = AGathering ? Compressor.TIdZLibCompressorBase::MakeBodyDecoder(ACoding, Out)
                                                         : Compressor.MakeBodyDecoder(ACoding, Out);
    for (size_t At = 0; At < ABody.size(); At += APiece)
        Decoder->WriteBuffer(ABody.data() + At, static_cast<int64_t>(std::min(APiece, ABody.size() - At)));
    Decoder->Finish();
    return Out.DataString();
}

TEST(ZLibCompressorBodyDecoder, DecodesEveryShapeInAnyPiecesAndRaisesOnBadData) {
    const std::string Text = Lorem(300), Two = Lorem(2);
    const std::string ZLib = Compressed(Text, 15), GZip = Compressed(Text, 31);
    const struct { const char* Coding; std::string Body, Expected; } Cases[] = {
        {"gzip", GZip, Text},
        {"gzip", GZip + Compressed(Two, 31), Text + Two},
        {"gzip", GZip + "\0\0 trailing", Text},
        {"deflate", ZLib, Text},
        {"deflate", ZLib.substr(0, ZLib.size() - 4), Text},  // the Adler-32 trailer left out
        {"deflate", Compressed(Text, -15), Text},
        {"deflate", GZip, Text},
        {"gzip", "", ""},
    };
    for (bool Gathering : {false, true})
        for (const auto& Case : Cases)
            for (size_t Piece : {size_t(1), size_t(7), size_t(1) << 20})
                EXPECT_EQ(DecodedBody(Case.Coding, Case.Body, Piece, Gathering), Case.Expected)
                    << Case.Coding << " " << Case.Body.size() << " by " << Piece << (Gathering ? " gathered" : "");

    std::string BadCRC = GZip;
    BadCRC[GZip.size() - 6] ^= 1;
    std::string BadAdler = ZLib;
    BadAdler.back() ^= 1;
    for (bool Gathering : {false, true})
        for (const auto& [Coding, Body] : std::initializer_list<std::pair<const char*, std::string>>{
                 {"gzip", GZip.substr(0, GZip.size() - 1)}, {"gzip", BadCRC}, {"gzip", "x"},
                 {"deflate", ZLib.substr(0, ZLib.size() / 2)}, {"deflate", BadAdler}, {"deflate", "\xff\xff\xff"}})
            EXPECT_NE(MessageOf([&] { DecodedBody(Coding, Body, 5, Gathering); }), "(no exception)")
                << Coding << " " << Body.size() << (Gathering ? " gathered" : "");
}

TEST(ZLibCompressorDeflate, InflateDoesWithoutTheTrailerButChecksOneThatIsThere) {
    std::string Text = Lorem(10);
    std::string Stream = Compressed(Text, 15);
    TDecompress Inflate = &TIdZLibCompressorBase::InflateStream;
    EXPECT_EQ(Decoded(Inflate, Stream), Text);
    EXPECT_EQ(Decoded(Inflate, Stream.substr(0, Stream.size() - 4)), Text);
    EXPECT_EQ(MessageOf([&] { Decoded(Inflate, Stream.substr(0, Stream.size() - 2)); }),
              "zlib: unexpected end of compressed data");
    Stream.back() ^= 1;
    EXPECT_EQ(MessageOf([&] { Decoded(Inflate, Stream); }), "zlib: incorrect data check");
    EXPECT_EQ(MessageOf([&] { Decoded(Inflate, "\x78\x9D" + Stream.substr(2)); }), "zlib: incorrect header check");
}

TEST(ZLibCompressorDeflate, DecompressionEndsWithTheDataAndLeavesWhatFollows) {
    std::string First = Lorem(3), Second = Noise(70000);
    TStringStream In(Compressed(First, 15) + Compressed(Second, 31)), Out1, Out2;
    TIdZLibCompressor Compressor;
    Compressor.DecompressStream(In, Out1, 15);
    Compressor.DecompressStream(In, Out2, 31);
    EXPECT_EQ(Out1.DataString(), First);
    EXPECT_EQ(Out2.DataString(), Second);
    EXPECT_EQ(In.Position(), In.Size());
}

TEST(ZLibCompressorDeflate, RoundTrips) {
    TIdZLibCompressor Compressor;
    for (const std::string& Text : {std::string(), std::string("a"), Noise(100000), Lorem(5000)})
        for (int Level : {0, 1, 6, 9}) {
            TStringStream In(Text), Packed, Out;
            Compressor.CompressHTTPDeflate(In, Packed, Level);
            Packed.SetPosition(0);
            Compressor.DecompressHTTPDeflate(Packed, Out);
            EXPECT_EQ(Out.DataString(), Text) << Text.size() << " bytes, level " << Level;
        }
    std::string Text = Lorem(100);
    for (int WindowBits : {15, 31, -15}) {
        TStringStream In(Text), Packed, Out;
        Compressor.CompressFTPDeflate(In, Packed, 9, WindowBits, 9, Z_FILTERED);
        Packed.SetPosition(0);
        // A positive window accepts the zlib and the gzip format alike.
        Compressor.DecompressFTPDeflate(Packed, Out, WindowBits > 0 ? 15 : WindowBits);
        EXPECT_EQ(Out.DataString(), Text) << WindowBits;
    }
}

TEST(ZLibCompressorDeflate, CorruptInputRaises) {
    std::string Stream = Compressed(Lorem(200), 15);
    for (size_t At : {size_t(2), size_t(3), Stream.size() / 2, Stream.size() - 5, Stream.size() - 1}) {
        std::string Corrupt = Stream;
        Corrupt[At] = static_cast<char>(Corrupt[At] ^ 0x55);
        EXPECT_THROW(Decoded(&TIdZLibCompressorBase::DecompressHTTPDeflate, Corrupt), EIdZLibError) << At;
    }
    EXPECT_THROW(Decoded(&TIdZLibCompressorBase::DecompressDeflateStream, Stream.substr(0, Stream.size() / 2)),
                 EIdZLibError);
    // Noise is rarely a valid stream; what matters is a clean exception or a clean result.
    for (uint32_t Seed = 1; Seed <= 20; ++Seed)
        for (TDecompress Decompress : {&TIdZLibCompressorBase::DecompressDeflateStream,
                                       &TIdZLibCompressorBase::DecompressGZipStream}) {
            try {
                Decoded(Decompress, Noise(300, Seed));
            } catch (const Exception&) {
            }
        }
}

TEST(ZLibCompressorDeflate, RejectedParametersRaise) {
    TStringStream In("x"), Out;
    EXPECT_THROW(TIdZLibCompressor().CompressStream(In, Out, 6, 99, 8, Z_DEFAULT_STRATEGY), EIdZLibError);
    EXPECT_THROW(TIdZLibCompressor().DecompressStream(In, Out, 99), EIdZLibError);
    EXPECT_TRUE(TIdZLibCompressor().IsReady());
}

// --- straight to and from a connection ----------------------------------------

constexpr int BoundMS = 5000;

struct TConnectedClient {
    TIdTCPClient Client;
    explicit TConnectedClient(const TLoopbackPeer& APeer) {
        Client.SetHost(APeer.Host());
        Client.SetPort(APeer.Port());
        Client.SetConnectTimeout(BoundMS);
        Client.SetReadTimeout(BoundMS);
        Client.Connect();
    }
    TIdIOHandler& IO() { return *Client.IOHandler(); }
};

TEST(ZLibCompressorIO, CompressesStraightToTheConnection) {
    std::string Text = Lorem(3000);
    std::string Expected = Compressed(Text, -15, 6);
    TLoopbackPeer Peer;
    Peer.Expect(Expected.size());
    Peer.Start();
    TConnectedClient Connection(Peer);
    TStringStream In(Text);
    TIdZLibCompressor().CompressFTPToIO(In, Connection.IO(), 6, -15, 8, Z_DEFAULT_STRATEGY);
    ASSERT_TRUE(Peer.WaitForReceived(Expected.size(), BoundMS));
    EXPECT_EQ(Peer.Received(), Expected);
}

TEST(ZLibCompressorIO, DecompressesFromTheConnectionAndLeavesWhatFollows) {
    std::string Text = Lorem(3000);
    TLoopbackPeer Peer;
    Peer.SendInPieces(Compressed(Text, 15) + "NEXT\r\n", 1000, 1);
    Peer.Start();
    TConnectedClient Connection(Peer);
    TStringStream Out;
    TIdZLibCompressor().DecompressFTPFromIO(Connection.IO(), Out, 15);
    EXPECT_EQ(Out.DataString(), Text);
    EXPECT_EQ(Connection.IO().ReadLn(), "NEXT");
}

TEST(ZLibCompressorIO, APeerThatClosesMidStreamRaises) {
    std::string Stream = Compressed(Noise(50000), 15);
    TLoopbackPeer Peer;
    Peer.Send(Stream.substr(0, Stream.size() / 2)).Close();
    Peer.Start();
    TConnectedClient Connection(Peer);
    TStringStream Out;
    EXPECT_THROW(TIdZLibCompressor().DecompressFTPFromIO(Connection.IO(), Out, 15), EIdException);
}

}  // namespace
