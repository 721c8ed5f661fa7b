#include "http/kbvIdMultipartFormData.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <set>

#include "core/Format.h"
#include "http/kbvIdCoderMIME.h"
#include "http/kbvIdGlobalProtocols_MIME.h"

namespace {

std::string ReadAll(TStream& AStream, int64_t ABufferSize) {
    std::string Result;
    std::string Buffer(static_cast<size_t>(ABufferSize), '\0');
    while (int64_t Got = AStream.Read(Buffer.data(), ABufferSize))
        Result.append(Buffer.data(), static_cast<size_t>(Got));
    return Result;
}

std::string RandomBytes(size_t ACount, unsigned ASeed) {
    std::mt19937 Random(ASeed);
    std::string Result(ACount, '\0');
    for (char& C : Result)
        C = static_cast<char>(Random() & 0xFF);
    return Result;
}

// Sets an environment variable for one scope and puts the old value back.
class ScopedEnv {
public:
    ScopedEnv(const char* AName, const char* AValue) : FName(AName) {
        if (const char* Old = std::getenv(AName))
            FOld = Old;
        AValue ? setenv(AName, AValue, 1) : unsetenv(AName);
    }
    ~ScopedEnv() { FOld ? setenv(FName, FOld->c_str(), 1) : unsetenv(FName); }

private:
    const char* FName;
    std::optional<std::string> FOld;
};

// A language with no row of its own: UTF-8 names in B encoding.
struct NeutralLocale {
    ScopedEnv All{"LC_ALL", "en_US.UTF-8"};
};

class TempFile {
public:
    TempFile(const std::string& ASuffix, const std::string& AContent) {
        std::string Pattern = "/tmp/kbv_multipart_XXXXXX" + ASuffix;
        int Fd = mkstemps(Pattern.data(), static_cast<int>(ASuffix.size()));
        if (Fd < 0)
            throw std::runtime_error("mkstemps failed");
        close(Fd);
        FName = Pattern;
        std::ofstream(FName, std::ios::binary) << AContent;
    }
    ~TempFile() { std::remove(FName.c_str()); }
    const std::string& Name() const { return FName; }

private:
    std::string FName;
};

template <typename E>
void ExpectMessage(const std::function<void()>& AAction, const std::string& AMessage) {
    try {
        AAction();
        ADD_FAILURE() << "no exception, expected: " << AMessage;
    } catch (const E& Error) {
        EXPECT_EQ(Error.Message(), AMessage);
    }
}

const char* const InvalidObjectText =
    "Unsupported object type. You can assign only one of the following types or their descendants: "
    "TStrings, TStream.";

}  // namespace

// ---------------------------------------------------------------------------
// Encoders

TEST(CoderMIME, Base64KnownValuesAndLines) {
    TIdEncoderMIME Encoder;
    EXPECT_EQ(Encoder.EncodeString(""), "");
    EXPECT_EQ(Encoder.EncodeString("f"), "Zg==");
    EXPECT_EQ(Encoder.EncodeString("fo"), "Zm8=");
    EXPECT_EQ(Encoder.EncodeString("foobar"), "Zm9vYmFy");
    // 57 bytes fill one line exactly; one more starts a second line.
    std::string Out = Encoder.EncodeString(std::string(58, 'a'));
    ASSERT_EQ(Out.find("\r\n"), 76u);
    EXPECT_EQ(Out.substr(78), "YQ==");
    EXPECT_EQ(Encoder.EncodeString(std::string(57, 'a')).size(), 76u);
}

TEST(CoderMIME, QuotedPrintableRules) {
    TIdEncoderQuotedPrintable Encoder;
    EXPECT_EQ(Encoder.EncodeString(""), "\r\n");
    EXPECT_EQ(Encoder.EncodeString("a=b"), "a=3Db\r\n");
    EXPECT_EQ(Encoder.EncodeString("end \r\nnext\t"), "end=20\r\nnext=09\r\n");
    EXPECT_EQ(Encoder.EncodeString("a\r\n"), "a\r\n\r\n");
    EXPECT_EQ(Encoder.EncodeString("lone\rcr\nlf\r"), "lone=0Dcr=0Alf=0D\r\n");
    EXPECT_EQ(Encoder.EncodeString("a b"), "a b\r\n");
    EXPECT_EQ(Encoder.EncodeString("\xC3\xA9"), "=C3=A9\r\n");
    // Soft breaks keep every line within 76 characters and never split an escape.
    std::string Out = Encoder.EncodeString(std::string(200, '\xFF'));
    for (size_t Start = 0; Start < Out.size();) {
        size_t End = Out.find("\r\n", Start);
        ASSERT_NE(End, std::string::npos);
        EXPECT_LE(End - Start, 76u);
        std::string Line = Out.substr(Start, End - Start);
        EXPECT_TRUE(Line.size() % 3 == 0 || Line.back() == '=') << Line;
        Start = End + 2;
    }
}

TEST(CoderMIME, AnySplitOfTheInputGivesTheSameOutput) {
    std::string Data = RandomBytes(5000, 1) + " \r\n\r\r\n  \t";
    using MakeEncoder = std::function<std::unique_ptr<TIdEncoder>()>;
    for (const MakeEncoder& Make : {MakeEncoder([] { return std::make_unique<TIdEncoderMIME>(); }),
                                    MakeEncoder([] { return std::make_unique<TIdEncoderQuotedPrintable>(); })}) {
        std::unique_ptr<TIdEncoder> Encoder = Make();
        std::string Whole = Encoder->EncodeString(Data);
        std::string Split;
        Encoder->Reset();
        for (char C : Data)
            Encoder->Update(reinterpret_cast<const uint8_t*>(&C), 1, Split);
        Encoder->Finish(Split);
        EXPECT_EQ(Split, Whole);
        TStringStream Source(Data);
        EXPECT_EQ(Encoder->EncodedSize(Source), static_cast<int64_t>(Whole.size()));
        EXPECT_EQ(Source.Position(), 0);
        TIdEncodedReadStream Reader(Source, Make());
        EXPECT_EQ(ReadAll(Reader, 7), Whole);
    }
}

// ---------------------------------------------------------------------------
// MIME table

TEST(MimeTable, BuiltInListAndUploadTypes) {
    EXPECT_EQ(BuiltInMimeTypes().size(), 380u);
    TIdMimeTable Table;
    EXPECT_EQ(Table.Count(), 372);
    const std::pair<const char*, const char*> Rows[] = {
        {"a.mp3", "audio/x-mpg"},   {"a.mp2", "audio/x-mpg"},     {"a.m4a", "audio/x-mpg"},
        {"a.mpga", "audio/x-mpg"},  {"a.mp4", "video/mpeg"},      {"a.mpeg", "video/x-mpeg2a"},
        {"a.wav", "audio/x-wav"},   {"a.webm", "video/webm"},     {"a.png", "image/x-png"},
        {"a.JPG", "image/jpeg"},    {"a.jpe", "image/jpeg"},      {"a.gif", "image/gif"},
        {"a.txt", "text/plain"},    {"a.xml", "text/xml"},        {"a.pdf", "application/pdf"},
        {"a.zip", "application/x-zip-compressed"}, {"/x/y.html", "text/html"},
        {"a.m3u", "audio/mpegurl"}, {"a.xbm", "image/xbm"},       {"a.asx", "video/x-ms-asf"},
        {"a.asf", "video/x-ms-asf"}, {"a.cpt", "image/x-corelphotopaint"}, {"a.rm", "audio/x-pn-realaudio"},
        {"a.json", "application/octet-stream"}, {"a.jsonl", "application/octet-stream"},
        {"noext", "application/octet-stream"}, {"dir.png/file", "application/octet-stream"},
    };
    for (auto [File, Type] : Rows)
        EXPECT_EQ(Table.GetFileMIMEType(File), Type) << File;
    EXPECT_EQ(GetMIMETypeFromFile("song.mp3"), "audio/x-mpg");
    EXPECT_EQ(GetMIMEDefaultFileExt("IMAGE/JPEG"), ".jpg");
    EXPECT_EQ(GetMIMEDefaultFileExt("video/mpeg"), ".mp4");  // mp2/mp3 rows for it were ignored
    EXPECT_EQ(GetMIMEDefaultFileExt("application/x-nothing"), "");
}

TEST(MimeTable, AddingAndLoading) {
    TIdMimeTable Table(false);
    EXPECT_EQ(Table.Count(), 0);
    Table.AddMimeType("JSON", "Application/JSON");
    EXPECT_EQ(Table.GetFileMIMEType("x.json"), "application/json");
    ExpectMessage<EIdException>([&] { Table.AddMimeType("", "a/b"); }, "Extension is empty");
    ExpectMessage<EIdException>([&] { Table.AddMimeType(".x", ""); }, "Mimetype is empty");
    ExpectMessage<EIdException>([&] { Table.AddMimeType(".json", "a/b"); }, "Extension already exits");
    Table.AddMimeType(".json", "a/b", false);
    EXPECT_EQ(Table.GetFileMIMEType("x.json"), "application/json");

    // A miss fills the table through the event instead of the built-in list.
    int Calls = 0;
    Table.SetOnBuildCache([&](TObject*) { ++Calls; });
    EXPECT_EQ(Table.GetFileMIMEType("x.png"), "application/octet-stream");
    EXPECT_EQ(Calls, 1);

    TStringList Lines;
    Lines.Add(".Md=text/markdown=x");
    Lines.Add("no separator");
    Lines.Add("json=other/type");
    Table.LoadFromStrings(Lines);
    TStringList Saved;
    Table.SaveToStrings(Saved, ':');
    ASSERT_EQ(Saved.Count(), 2);
    EXPECT_EQ(Saved.Strings(0), ".json:application/json");
    EXPECT_EQ(Saved.Strings(1), ".md:text/markdown=x");
}

// ---------------------------------------------------------------------------
// Fields

TEST(FormDataField, SetterErrors) {
    TIdMultiPartFormDataStream Stream;
    TIdFormDataField* Field = Stream.AddFormField("f", "v");
    ExpectMessage<EIdUnsupportedTransfer>(
        [&] { Field->SetContentTransfer("uuencode"); },
        "Unsupported transfer type. You can assign only an empty string or one of the following values: "
        "7bit, 8bit, binary, quoted-printable, base64.");
    Field->SetContentTransfer("BASE64");
    Field->SetContentTransfer("");
    ExpectMessage<EIdUnsupportedEncoding>(
        [&] { Field->SetHeaderEncoding('X'); },
        "Unsupported encoding. You can assign only one of the following values: Q, B, 8.");
    ExpectMessage<EIdInvalidObjectType>([&] { Field->FieldStream(); }, InvalidObjectText);
    ExpectMessage<EIdInvalidObjectType>([&] { Field->SetFieldStream(static_cast<TStream*>(nullptr)); },
                                        InvalidObjectText);
    TStringStream Data("x");
    Field->SetFieldStream(&Data);
    ExpectMessage<EIdInvalidObjectType>([&] { Field->FieldValue(); }, InvalidObjectText);
    Field->SetFieldValue("back");
    EXPECT_EQ(Field->FieldValue(), "back");

    ExpectMessage<EIdUnsupportedOperation>([&] { Stream.Write("x", 1); }, "Unsupported operation.");
    ExpectMessage<EIdUnsupportedOperation>([&] { Stream.SetSize(0); }, "Unsupported operation.");
    ExpectMessage<EIdInvalidObjectType>([&] { Stream.AddFormField("s", "", "", static_cast<TStream*>(nullptr)); },
                                        InvalidObjectText);
    TStringList NotAStream;
    ExpectMessage<EIdInvalidObjectType>([&] { Stream.AddObject("o", "", "", &NotAStream); }, InvalidObjectText);
    EXPECT_THROW(Stream.AddFile("f", "/nonexistent/dir/file.bin"), EFOpenError);
    EXPECT_EQ(Stream.Fields().Count(), 1);
}

TEST(FormDataField, ContentTypeRuleAndNames) {
    TIdMultiPartFormDataStream Stream;
    TIdFormDataField* Field = Stream.AddFormField("f", "v");
    EXPECT_EQ(Field->ContentType(), "text/plain");
    EXPECT_EQ(Field->Charset(), "us-ascii");
    EXPECT_EQ(Field->ContentTransfer(), "quoted-printable");

    Field = Stream.AddFormField("f", "v", "", "text/html; charset=\"UTF-8\"");
    EXPECT_EQ(Field->ContentType(), "text/html");
    EXPECT_EQ(Field->Charset(), "UTF-8");
    Field = Stream.AddFormField("f", "v", "koi8-r", "text/html; charset=UTF-8");
    EXPECT_EQ(Field->Charset(), "koi8-r");  // the argument wins over the parameter

    TStringStream Data("x");
    Field = Stream.AddFormField("s", "", "", &Data, "/some/dir/photo.PNG");
    EXPECT_EQ(Field->FileName(), "photo.PNG");
    EXPECT_EQ(Field->ContentType(), "image/x-png");
    EXPECT_EQ(Field->Charset(), "");
    EXPECT_EQ(Field->ContentTransfer(), "binary");
    EXPECT_FALSE(Field->CanFreeFieldStream());
    Field = Stream.AddObject("o", "", "", &Data);
    EXPECT_EQ(Field->ContentType(), "application/octet-stream");
}

TEST(FormDataField, HeaderCharsetFollowsTheSystemLanguage) {
    ScopedEnv CType("LC_CTYPE", nullptr);
    ScopedEnv Lang("LANG", "ru_RU.UTF-8");
    const std::pair<const char*, const char*> Cases[] = {
        {"zh_CN.UTF-8", "GB2312"}, {"zh_TW.UTF-8", "Big5"},      {"ja_JP.UTF-8", "ISO-2022-JP"},
        {"ko_KR.EUC-KR", "csEUCKR"}, {"ru_RU", "KOI8-R"},        {"uk_UA.UTF-8", "windows-1251"},
        {"de_DE@euro", "UTF-8"},   {"C", "UTF-8"},               {"", "KOI8-R"},  // LANG when LC_ALL is empty
    };
    for (auto [Locale, CharSet] : Cases) {
        ScopedEnv All("LC_ALL", Locale);
        TIdFormDataField Field(nullptr);
        EXPECT_EQ(Field.HeaderCharSet(), CharSet) << Locale;
        EXPECT_EQ(Field.HeaderEncoding(), 'B');
    }
}

TEST(FormDataField, EncodedNamesInTheHeader) {
    NeutralLocale Locale;
    TIdMultiPartFormDataStream Stream;
    TIdFormDataField* Field = Stream.AddFormField("Grüße an alle", "");
    std::string Body = ReadAll(Stream, 4096);
    EXPECT_NE(Body.find("name=\"=?UTF-8?B?R3LDvMOfZQ==?= an alle\""), std::string::npos) << Body;

    Field->SetFieldName("a été b");
    Field->SetHeaderEncoding('Q');
    Stream.Seek(0, soBeginning);
    EXPECT_NE(ReadAll(Stream, 4096).find("name=\"a =?UTF-8?Q?=C3=A9t=C3=A9?= b\""), std::string::npos);

    // Adjacent words are one run, so the blank between them survives decoding.
    Field->SetFieldName("été été");
    Stream.Seek(0, soBeginning);
    EXPECT_NE(ReadAll(Stream, 4096).find("name=\"=?UTF-8?Q?=C3=A9t=C3=A9_=C3=A9t=C3=A9?=\""), std::string::npos);

    Field->SetHeaderEncoding('8');
    Stream.Seek(0, soBeginning);
    EXPECT_NE(ReadAll(Stream, 4096).find("name=\"été été\""), std::string::npos);

    // Long names become several encoded words of at most 75 characters.
    Field->SetHeaderEncoding('B');
    std::string Long;
    for (int I = 0; I < 60; ++I)
        Long += "ü";
    Field->SetFieldName(Long);
    Stream.Seek(0, soBeginning);
    std::string Header = ReadAll(Stream, 4096);
    size_t Start = Header.find("name=\"") + 6;
    std::string Words = Header.substr(Start, Header.find('"', Start) - Start);
    int Count = 0;
    for (size_t Pos = 0; Pos < Words.size(); ++Count) {
        size_t End = Words.find(' ', Pos);
        if (End == std::string::npos)
            End = Words.size();
        EXPECT_LE(End - Pos, 75u);
        EXPECT_EQ(Words.substr(Pos, 10), "=?UTF-8?B?");
        Pos = End + 1;
    }
    EXPECT_GT(Count, 1);
}

// A double quote, CR or LF in a name would end its parameter or the part
// header; every other byte goes out as it was.
TEST(FormDataField, QuotesAndLineBreaksInNamesAreEscaped) {
    NeutralLocale Locale;
    struct TCase {
        char HeaderEncoding;
        const char* FieldName;
        const char* FileName;
        const char* Disposition;
    } const Cases[] = {
        {'B', "say \"hi\"", "a\"b.txt", "name=\"say %22hi%22\"; filename=\"a%22b.txt\""},
        {'8', "x\r\nContent-Type: evil", "q\".txt", "name=\"x%0D%0AContent-Type: evil\"; filename=\"q%22.txt\""},
        {'8', "lf\nonly", "", "name=\"lf%0Aonly\""},
        {'Q', "50%\" é", "", "name=\"50%%22 =?UTF-8?Q?=C3=A9?=\""},
        {'B', "plain%22name;x", "p%0A.txt", "name=\"plain%22name;x\"; filename=\"p%0A.txt\""},
    };
    for (const TCase& Case : Cases) {
        TIdMultiPartFormDataStream Stream;
        TStringStream Data("data");
        TIdFormDataField* Field = Stream.AddFormField(Case.FieldName, "application/octet-stream", "", &Data,
                                                      Case.FileName);
        Field->SetHeaderEncoding(Case.HeaderEncoding);
        std::string Body = ReadAll(Stream, 4096);
        std::string Line = "\r\nContent-Disposition: form-data; " + std::string(Case.Disposition) + "\r\n";
        EXPECT_NE(Body.find(Line), std::string::npos) << Body;
        EXPECT_EQ(static_cast<int64_t>(Body.size()), Stream.Size());
    }
}

// ---------------------------------------------------------------------------
// The body

// Streams made within the same millisecond must not share a boundary, and
// a boundary must not be guessable from the time.
TEST(MultiPartFormDataStream, BoundaryIsFreshRandomDigitsForEveryStream) {
    std::set<std::string> Seen;
    for (int I = 0; I < 50; ++I) {
        TIdMultiPartFormDataStream Stream;
        const std::string& Boundary = Stream.Boundary();
        ASSERT_EQ(Boundary.size(), 23u);
        EXPECT_EQ(Boundary.substr(0, 8), "--------");
        EXPECT_EQ(Boundary.find_first_not_of("0123456789", 8), std::string::npos) << Boundary;
        Seen.insert(Boundary);
    }
    EXPECT_EQ(Seen.size(), 50u);
}

TEST(MultiPartFormDataStream, SingleTextFieldExactly) {
    NeutralLocale Locale;
    TIdMultiPartFormDataStream Stream;
    EXPECT_EQ(Stream.Boundary().size(), 23u);
    EXPECT_EQ(Stream.Boundary().substr(0, 8), "--------");
    EXPECT_EQ(Stream.RequestContentType(), "multipart/form-data; boundary=" + Stream.Boundary());
    EXPECT_EQ(Stream.Size(), 0);
    char Byte;
    EXPECT_EQ(Stream.Read(&Byte, 1), 0);  // no fields, no bytes

    Stream.AddFormField("model", "a=b");
    const std::string& B = Stream.Boundary();
    std::string Expected = "--" + B + "\r\n" +
                           "Content-Disposition: form-data; name=\"model\"\r\n"
                           "Content-Type: text/plain; charset=\"us-ascii\"\r\n"
                           "Content-Transfer-Encoding: quoted-printable\r\n"
                           "\r\n"
                           "a=3Db\r\n" +
                           "--" + B + "--\r\n";
    EXPECT_EQ(Stream.Size(), static_cast<int64_t>(Expected.size()));
    EXPECT_EQ(ReadAll(Stream, 4096), Expected);
}

TEST(MultiPartFormDataStream, FileFieldBytesUnchanged) {
    std::string Data = RandomBytes(100000, 2);
    TempFile File(".mp3", Data);
    TIdMultiPartFormDataStream Stream;
    TIdFormDataField* Field = Stream.AddFile("file", File.Name());
    EXPECT_TRUE(Field->CanFreeFieldStream());
    std::string Name = File.Name().substr(5);  // without "/tmp/"
    std::string Head = "--" + Stream.Boundary() + "\r\n" +
                       "Content-Disposition: form-data; name=\"file\"; filename=\"" + Name + "\"\r\n" +
                       "Content-Type: audio/x-mpg\r\n"
                       "Content-Transfer-Encoding: binary\r\n\r\n";
    EXPECT_EQ(ReadAll(Stream, 65536), Head + Data + "\r\n--" + Stream.Boundary() + "--\r\n");
}

TEST(MultiPartFormDataStream, OneByteReadsMatchWholeReadsAndSize) {
    NeutralLocale Locale;
    std::string Binary = RandomBytes(3000, 3) + "tail  \r\n";
    TempFile File(".bin", Binary);
    TStringStream Caller(Binary);
    TIdMultiPartFormDataStream Stream;
    for (const char* Transfer : {"", "7bit", "8bit", "binary", "quoted-printable", "base64"}) {
        Stream.AddFormField("text", "Größe = 10 € \r\nline two " + std::string(100, 'x'), "utf-8")
            ->SetContentTransfer(Transfer);
        Stream.AddFormField("empty", "")->SetContentTransfer(Transfer);
        Stream.AddFormField("stream", "application/octet-stream", "", &Caller, "c.bin")
            ->SetContentTransfer(Transfer);
    }
    Stream.AddFile("file", File.Name());
    Stream.AddFile("file64", File.Name())->SetContentTransfer("base64");
    Stream.AddFile("fileqp", File.Name())->SetContentTransfer("quoted-printable");

    int64_t Size = Stream.Size();
    std::string Whole = ReadAll(Stream, 1 << 20);
    EXPECT_EQ(static_cast<int64_t>(Whole.size()), Size);
    EXPECT_EQ(Stream.Position(), Size);
    Stream.Seek(0, soBeginning);
    EXPECT_EQ(ReadAll(Stream, 1), Whole);
    Stream.Seek(0, soBeginning);
    EXPECT_EQ(ReadAll(Stream, 1000), Whole);
    EXPECT_EQ(Caller.Position(), 0);  // the caller's stream is rewound after its field
}

TEST(MultiPartFormDataStream, SeekRules) {
    TIdMultiPartFormDataStream Stream;
    TStringStream Caller(std::string(1000, 'z'));
    Stream.AddFormField("a", "1");
    Stream.AddFormField("b", "", "", &Caller);
    std::string Whole = ReadAll(Stream, 1 << 16);
    Stream.Seek(0, soBeginning);

    std::string Part(300, '\0');
    ASSERT_EQ(Stream.Read(Part.data(), 300), 300);
    EXPECT_EQ(Stream.Seek(0, soEnd), static_cast<int64_t>(Whole.size()));
    EXPECT_EQ(Stream.Seek(0, soCurrent), 300);
    EXPECT_EQ(Stream.Seek(5, soBeginning), 300);  // not served: nothing moves
    EXPECT_EQ(Stream.Seek(-1, soEnd), 300);
    EXPECT_EQ(Part + ReadAll(Stream, 7), Whole);

    // Rewinding mid-field restarts the body and the caller's stream.
    Stream.Seek(0, soBeginning);
    std::string Into(Whole.size() - 500, '\0');
    ASSERT_EQ(Stream.Read(Into.data(), static_cast<int64_t>(Into.size())), static_cast<int64_t>(Into.size()));
    EXPECT_GT(Caller.Position(), 0);
    EXPECT_EQ(Stream.Seek(0, soBeginning), 0);
    EXPECT_EQ(Caller.Position(), 0);
    EXPECT_EQ(ReadAll(Stream, 64), Whole);

    Stream.Clear();
    EXPECT_EQ(Stream.Fields().Count(), 0);
    EXPECT_EQ(Stream.Size(), 0);
    EXPECT_EQ(Stream.Position(), 0);
    EXPECT_EQ(ReadAll(Stream, 64), "");
}

// An independent parser reads the body back: Python's email package.
TEST(MultiPartFormDataStream, ParsedBackByAnotherParser) {
    if (access("/usr/bin/python3", X_OK) != 0)
        GTEST_SKIP() << "/usr/bin/python3 is missing";
    NeutralLocale Locale;
    std::string Binary = RandomBytes(70000, 4);
    TempFile File(".png", Binary);
    std::string Text = "Naïve text = 42, " + std::string(120, 'y') + " end";
    TIdMultiPartFormDataStream Stream;
    Stream.AddFormField("prompt", Text, "utf-8");
    TStringStream FileData(Binary);
    Stream.AddFormField("bild", "", "", &FileData, "/x/Bäckerei Straße.png");
    Stream.AddFile("raw", File.Name(), "application/octet-stream");
    std::string Body = ReadAll(Stream, 4096);
    TempFile BodyFile(".body", "Content-Type: " + Stream.RequestContentType() + "\r\n\r\n" + Body);

    const char* Script = R"PY(
import sys, email.parser, email.policy
# parsebytes: parse() reads through a text wrapper that turns a lone CR into LF
msg = email.parser.BytesParser(policy=email.policy.HTTP).parsebytes(open(sys.argv[1], 'rb').read())
for part in msg.iter_parts():
    cd = part['content-disposition']
    print(cd.params.get('name', ''))
    print(cd.params.get('filename', ''))
    print(part.get_content_type())
    print(part.get_payload(decode=True).hex())
)PY";
    TempFile ScriptFile(".py", Script);
    FILE* Pipe = popen(("timeout 60 /usr/bin/python3 " + ScriptFile.Name() + " " + BodyFile.Name()).c_str(), "r");
    ASSERT_NE(Pipe, nullptr);
    std::string Output;
    char Chunk[4096];
    while (size_t Got = fread(Chunk, 1, sizeof Chunk, Pipe))
        Output.append(Chunk, Got);
    ASSERT_EQ(pclose(Pipe), 0) << Output;

    auto Hex = [](const std::string& ABytes) {
        std::string Result;
        for (unsigned char C : ABytes)
            Result += Format("%02x", C);
        return Result;
    };
    std::string RawName = File.Name().substr(5);
    const std::vector<std::string> Expected = {
        "prompt", "", "text/plain", Hex(Text),
        "bild", "Bäckerei Straße.png", "image/x-png", Hex(Binary),
        "raw", RawName, "application/octet-stream", Hex(Binary),
    };
    std::vector<std::string> Lines;
    for (size_t Start = 0, End; (End = Output.find('\n', Start)) != std::string::npos; Start = End + 1)
        Lines.push_back(Output.substr(Start, End - Start));
    ASSERT_EQ(Lines.size(), Expected.size());
    for (size_t I = 0; I < Lines.size(); ++I)  // payloads compared without printing them
        EXPECT_TRUE(Lines[I] == Expected[I]) << "line " << I << ": " << Lines[I].substr(0, 80);
}
