#include "core/Streams.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include "core/Exceptions.h"
#include "tests/support/MessageOf.h"

namespace {
std::string ReadAll(TStream& AStream) {
    std::string Result(static_cast<size_t>(AStream.Size()), '\0');
    AStream.SetPosition(0);
    AStream.ReadBuffer(Result.data(), AStream.Size());
    return Result;
}

// Moves at most three bytes per call and has no Size of its own, like a
// stream fed from a socket.
struct TTrickleStream : TStream {
    TStringStream FInner;
    int64_t Read(void* Buffer, int64_t Count) override { return FInner.Read(Buffer, std::min<int64_t>(Count, 3)); }
    int64_t Write(const void* Buffer, int64_t Count) override { return FInner.Write(Buffer, std::min<int64_t>(Count, 3)); }
    int64_t Seek(int64_t Offset, TSeekOrigin Origin) override { return FInner.Seek(Offset, Origin); }
};

class FileStream : public ::testing::Test {
protected:
    void SetUp() override {
        std::string Template = (std::filesystem::temp_directory_path() / "kbv-streams-XXXXXX").string();
        ASSERT_NE(mkdtemp(Template.data()), nullptr);
        FDir = Template;
    }
    void TearDown() override { std::filesystem::remove_all(FDir); }
    std::string Path(const char* AName) const { return (FDir / AName).string(); }

    std::filesystem::path FDir;
};
}  // namespace

TEST(Stream, SeekReadWriteAndSizeAtTheEdges) {
    TStringStream S;
    S.SetPosition(4);
    S.WriteString("xy");  // past the end: the gap becomes zeros
    EXPECT_EQ(S.DataString(), std::string("\0\0\0\0xy", 6));
    EXPECT_EQ(S.Seek(-2, soEnd), 4);
    EXPECT_EQ(S.Seek(-1, soCurrent), 3);
    EXPECT_EQ(MessageOf<EStreamError>([&] { S.Seek(-4, soCurrent); }), "Stream seek error");
    EXPECT_EQ(S.Position(), 3);
    S.SetPosition(4);
    char Buffer[3];
    EXPECT_EQ(MessageOf<EStreamError>([&] { S.ReadBuffer(Buffer, 3); }), "Stream read error");
    S.SetSize(3);  // shrinking pulls the position back, growing keeps it
    S.SetSize(5);
    EXPECT_EQ(S.Position(), 3);
}

TEST(Stream, CopyFromAndWholeTransfersOverPartialOnes) {
    TStringStream Source("0123456789");
    TStringStream Dest("head:");
    Dest.Seek(0, soEnd);
    Source.SetPosition(7);
    EXPECT_EQ(Dest.CopyFrom(Source, 0), 10);  // 0: all of Source, from its start
    EXPECT_EQ(Dest.DataString(), "head:0123456789");
    Source.SetPosition(3);
    EXPECT_EQ(Dest.CopyFrom(Source, 4), 4);  // otherwise from Source's position
    EXPECT_EQ(Dest.DataString(), "head:01234567893456");
    EXPECT_EQ(MessageOf<EStreamError>([&] { Dest.CopyFrom(Source, 4); }), "Stream read error");

    TTrickleStream Trickle;
    Trickle.FInner.WriteString(std::string(70000, 'x') + "z");
    Trickle.SetPosition(5);
    EXPECT_EQ(Trickle.Size(), 70001);  // found by seeking; the position is kept
    EXPECT_EQ(Trickle.Position(), 5);
    TMemoryStream Copy;
    Copy.CopyFrom(Trickle, 0);
    EXPECT_EQ(ReadAll(Copy), Trickle.FInner.DataString());
    Trickle.SetPosition(0);
    Trickle.WriteBuffer("abcdefg", 7);
    EXPECT_EQ(ReadAll(Trickle).substr(0, 8), "abcdefgx");
}

TEST_F(FileStream, OpenModesAndMemoryStreamFiles) {
    TMemoryStream Memory;
    Memory.WriteBuffer("0123\0\r\n89", 9);
    Memory.SaveToFile(Path("a.bin"));
    {
        TFileStream F(Path("a.bin"), fmOpenReadWrite | fmShareDenyWrite);
        F.SetSize(4);
        EXPECT_EQ(F.Position(), 0);
        F.Seek(0, soEnd);
        F.WriteBuffer("xy", 2);
    }
    TFileStream(Path("a.bin"), fmOpenWrite).WriteBuffer("A", 1);
    Memory.LoadFromFile(Path("a.bin"));
    EXPECT_EQ(Memory.Position(), 0);
    EXPECT_EQ(ReadAll(Memory), "A123xy");
    EXPECT_EQ(TFileStream(Path("a.bin"), fmCreate | fmShareExclusive).Size(), 0);  // truncates

    // Append: made when missing, never cut, every write at the end.
    TFileStream(Path("log"), fmAppend).WriteBuffer("one", 3);
    {
        TFileStream Log(Path("log"), fmAppend);
        Log.Seek(0, soBeginning);
        Log.WriteBuffer("two", 3);
    }
    Memory.LoadFromFile(Path("log"));
    EXPECT_EQ(ReadAll(Memory), "onetwo");
}

TEST_F(FileStream, FailuresCarryTheSystemText) {
    std::string Missing = Path("missing.txt");
    EXPECT_EQ(MessageOf<EFOpenError>([&] { TFileStream F(Missing, fmOpenRead); }),
              "Cannot open file \"" + Missing + "\". No such file or directory");
    std::string NoDir = Path("no/such/dir.txt");
    EXPECT_EQ(MessageOf<EFCreateError>([&] { TFileStream F(NoDir, fmCreate); }),
              "Cannot create file \"" + NoDir + "\". No such file or directory");
    EXPECT_EQ(MessageOf<EFOpenError>([&] { TFileStream F(FDir.string(), fmOpenRead); }),
              "Cannot open file \"" + FDir.string() + "\". Is a directory");
    TFileStream Created(Path("r.txt"), fmCreate);
    EXPECT_EQ(MessageOf<EStreamError>([&] { TFileStream(Path("r.txt"), fmOpenRead).WriteBuffer("x", 1); }),
              "Stream write error. Bad file descriptor");
}

TEST_F(FileStream, OffsetsBeyondFourGiB) {
    constexpr int64_t Far = (int64_t{5} << 30) + 7;  // in a sparse file
    TFileStream(Path("big.bin"), fmCreate).SetSize(Far);
    TFileStream F(Path("big.bin"), fmOpenReadWrite);
    EXPECT_EQ(F.Seek(0, soEnd), Far);
    F.WriteBuffer("end", 3);
    EXPECT_EQ(F.Size(), Far + 3);
    EXPECT_EQ(F.Seek(-3, soCurrent), Far);
    char Buffer[4] = {};
    F.ReadBuffer(Buffer, 3);
    EXPECT_STREQ(Buffer, "end");
    F.SetSize(int64_t{4} << 30);
    EXPECT_EQ(F.Position(), int64_t{4} << 30);
}
