#include "http/kbvIdMultipartFormData.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/Format.h"
#include "http/kbvIdCoderMIME.h"
#include "http/kbvIdGlobalProtocols_MIME.h"
#include "http/kbvIdHeaderList.h"
#include "net/kbvIdCharsets.h"

namespace {
const char* const InvalidObjectTypeText =
    "Unsupported object type. You can assign only one of the following types or their descendants: "
    "TStrings, TStream.";

// Positions select the encoding rules; the empty text is allowed as well.
enum TransferKind { tk7Bit, tk8Bit, tkBinary, tkQuotedPrintable, tkBase64, tkNone = -1 };

TransferKind TransferKindOf(const std::string& AContentTransfer) {
    return static_cast<TransferKind>(
        PosInStrArray(AContentTransfer, {"7bit", "8bit", "binary", "quoted-printable", "base64"}, false));
}

std::unique_ptr<TIdEncoder> EncoderFor(TransferKind AKind) {
    if (AKind == tkQuotedPrintable)
        return std::make_unique<TIdEncoderQuotedPrintable>();
    if (AKind == tkBase64)
        return std::make_unique<TIdEncoderMIME>();
    return nullptr;
}

std::string AsString(const TIdBytes& ABytes) {
    return {ABytes.begin(), ABytes.end()};
}

// Header text goes out as 8-bit characters.
std::string To8Bit(const std::string& AText) {
    return AsString(IdTextEncoding(enc8Bit)->GetBytes(AText));
}

// The encoding of a charset name; 8-bit when it is empty or not known here.
IIdTextEncodingPtr EncodingOfCharset(const std::string& ACharset) {
    IIdTextEncodingPtr Result;
    if (!ACharset.empty()) {
        try {
            Result = CharsetToEncoding(ACharset);
        } catch (const EIdException&) {  // a code page without a converter here
        }
    }
    return Result ? Result : IdTextEncoding(enc8Bit);
}

// The header charset and encoding for the language of LC_ALL, else
// LC_CTYPE, else LANG ("zh_TW.UTF-8": language zh, region TW).
void DefaultHeaderCharSet(std::string& VCharSet, char& VEncoding) {
    std::string Locale;
    for (const char* Name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* Value = std::getenv(Name);
        if (Value && *Value) {
            Locale = Value;
            break;
        }
    }
    Locale = Locale.substr(0, Locale.find_first_of(".@"));
    size_t Underscore = Locale.find('_');
    std::string Language = Locale.substr(0, Underscore);
    std::string Region = Underscore == std::string::npos ? "" : Locale.substr(Underscore + 1);
    VEncoding = 'B';
    if (Language == "zh")
        VCharSet = Region.empty() || Region == "CN" || Region == "SG" ? "GB2312" : "Big5";
    else if (Language == "ja")
        VCharSet = "ISO-2022-JP";
    else if (Language == "ko")
        VCharSet = "csEUCKR";
    else if (Language == "ru")
        VCharSet = "KOI8-R";
    else if (Language == "uk")
        VCharSet = "windows-1251";
    else
        VCharSet = "UTF-8";
}

bool NeedsEncodedWord(const TIdBytes& ABytes) {
    for (uint8_t Byte : ABytes)
        if (Byte < 32 || Byte > 126)
            return true;
    return false;
}

// RFC 2047 "Q": only letters, digits and a few safe marks stay as they are,
// so the text also survives inside a quoted parameter.
std::string QEncode(const TIdBytes& ABytes) {
    static constexpr char Hex[] = "0123456789ABCDEF";
    std::string Result;
    for (uint8_t Byte : ABytes) {
        if (Byte == ' ')
            Result += '_';
        else if ((Byte >= '0' && Byte <= '9') || (Byte >= 'A' && Byte <= 'Z') || (Byte >= 'a' && Byte <= 'z') ||
                 std::strchr("!*+-/", Byte))
            Result += static_cast<char>(Byte);
        else
            Result += {'=', Hex[Byte >> 4], Hex[Byte & 15]};
    }
    return Result;
}

std::string EncodedWord(const TIdBytes& ABytes, const std::string& ACharSet, char AEncoding) {
    std::string Text = AEncoding == 'Q' ? QEncode(ABytes) : TIdEncoderMIME().EncodeBytes(ABytes);
    return "=?" + ACharSet + "?" + AEncoding + "?" + Text + "?=";
}

// Encoded words of at most 75 characters, each holding whole characters,
// separated by a space (which decoders drop between encoded words).
std::string EncodeRun(const std::string& ARun, const IIdTextEncodingPtr& AEncoding, const std::string& ACharSet,
                      char AHeaderEncoding) {
    constexpr size_t MaxWordLength = 75;
    std::string Result, Current;
    auto AddWord = [&](const std::string& AText) {
        if (!Result.empty())
            Result += ' ';
        Result += EncodedWord(AEncoding->GetBytes(AText), ACharSet, AHeaderEncoding);
    };
    for (size_t I = 0; I < ARun.size();) {
        size_t Next = I + 1;  // the end of this UTF-8 character
        while (Next < ARun.size() && (static_cast<uint8_t>(ARun[Next]) & 0xC0) == 0x80)
            ++Next;
        std::string Candidate = Current + ARun.substr(I, Next - I);
        if (!Current.empty() &&
            EncodedWord(AEncoding->GetBytes(Candidate), ACharSet, AHeaderEncoding).size() > MaxWordLength) {
            AddWord(Current);
            Candidate = ARun.substr(I, Next - I);
        }
        Current = std::move(Candidate);
        I = Next;
    }
    if (!Current.empty())
        AddWord(Current);
    return Result;
}

bool IsBlank(char C) {
    return C == ' ' || C == '\t';
}

// A double quote would end the quoted parameter and a CR or LF the part
// header; they go as %22, %0D and %0A, as browsers send them.
std::string EscapeQuotedParameter(const std::string& AText) {
    std::string Result;
    Result.reserve(AText.size());
    for (char C : AText) {
        if (C == '"')
            Result += "%22";
        else if (C == '\r')
            Result += "%0D";
        else if (C == '\n')
            Result += "%0A";
        else
            Result += C;
    }
    return Result;
}

// Fills ABuffer from the system's cryptographic random source.
void FillRandom(uint8_t* ABuffer, size_t ALength) {
    while (ALength > 0) {
        ssize_t Got = getrandom(ABuffer, ALength, 0);
        if (Got < 0) {
            if (errno == EINTR)
                continue;
            throw EIdException(Format("Cannot read random bytes: %s", std::strerror(errno)));
        }
        ABuffer += Got;
        ALength -= static_cast<size_t>(Got);
    }
}

// Eight hyphens and fifteen random decimal digits: a boundary that no one
// can guess, so that no part's content can end the body early.
std::string NewBoundary() {
    constexpr size_t Length = 23;
    std::string Result = "--------";
    while (Result.size() < Length) {
        uint8_t Bytes[16];
        FillRandom(Bytes, sizeof Bytes);
        for (uint8_t Byte : Bytes)
            if (Byte < 250 && Result.size() < Length)  // 250 = 25 x 10: every digit equally likely
                Result += static_cast<char>('0' + Byte % 10);
    }
    return Result;
}
}  // namespace

// TIdFormDataField

TIdFormDataField::TIdFormDataField(TIdFormDataFields* ACollection) : FCollection(ACollection) {
    DefaultHeaderCharSet(FHeaderCharSet, FHeaderEncoding);
}

TIdFormDataField::~TIdFormDataField() = default;

void TIdFormDataField::SetContentTransfer(const std::string& Value) {
    if (!Value.empty() && TransferKindOf(Value) == tkNone)
        throw EIdUnsupportedTransfer(
            "Unsupported transfer type. You can assign only an empty string or one of the following values: "
            "7bit, 8bit, binary, quoted-printable, base64.");
    FContentTransfer = Value;
}

void TIdFormDataField::SetContentType(const std::string& Value) {
    std::string Type = Value;
    if (Type.empty())
        Type = FFileName.empty() ? "application/octet-stream" : GetMIMETypeFromFile(FFileName);
    std::string GivenCharset = ExtractHeaderSubItem(Type, "charset", QuoteMIME);
    if (!GivenCharset.empty()) {
        Type = ReplaceHeaderSubItem(Type, "charset", "", QuoteMIME);
        FCharset = GivenCharset;
    } else if (FCharset.empty() && TextStartsWith(ExtractHeaderItem(Type), "text/")) {
        FCharset = "us-ascii";
    }
    FContentType = Type;
}

void TIdFormDataField::SetFileName(const std::string& Value) {
    size_t Slash = Value.rfind('/');
    FFileName = Slash == std::string::npos ? Value : Value.substr(Slash + 1);
}

TStream* TIdFormDataField::FieldStream() const {
    if (!FFieldStream)
        throw EIdInvalidObjectType(InvalidObjectTypeText);
    return FFieldStream;
}

void TIdFormDataField::SetFieldStream(TStream* Value) {
    if (!Value)
        throw EIdInvalidObjectType(InvalidObjectTypeText);
    if (Value == FFieldStream)
        return;
    DropStream();
    FFieldValue.clear();
    FFieldStream = Value;
}

void TIdFormDataField::SetFieldStream(std::unique_ptr<TStream> Value) {
    if (!Value)
        throw EIdInvalidObjectType(InvalidObjectTypeText);
    DropStream();
    FFieldValue.clear();
    FFieldStream = Value.get();
    FOwnedFieldStream = std::move(Value);
}

const std::string& TIdFormDataField::FieldValue() const {
    if (FFieldStream)
        throw EIdInvalidObjectType(InvalidObjectTypeText);
    return FFieldValue;
}

void TIdFormDataField::SetFieldValue(const std::string& Value) {
    DropStream();
    FFieldValue = Value;
}

void TIdFormDataField::DropStream() {
    FFieldStream = nullptr;
    FOwnedFieldStream.reset();
}

void TIdFormDataField::SetHeaderEncoding(char Value) {
    if (Value != 'Q' && Value != 'B' && Value != '8')
        throw EIdUnsupportedEncoding("Unsupported encoding. You can assign only one of the following values: Q, B, 8.");
    FHeaderEncoding = Value;
}

std::string TIdFormDataField::EncodeHeaderName(const std::string& AName) const {
    IIdTextEncodingPtr Encoding = EncodingOfCharset(FHeaderCharSet);
    if (FHeaderEncoding == '8')
        return EscapeQuotedParameter(AsString(Encoding->GetBytes(AName)));
    // Words needing encoding are joined with the blanks between them into
    // one run, since blanks between encoded words do not survive decoding.
    std::string Result, Run, Blanks;
    auto FlushRun = [&] {
        if (!Run.empty())
            Result += EncodeRun(Run, Encoding, FHeaderCharSet, FHeaderEncoding);
        Run.clear();
    };
    for (size_t I = 0; I < AName.size();) {
        size_t End = I;
        while (End < AName.size() && IsBlank(AName[End]) == IsBlank(AName[I]))
            ++End;
        std::string Token = AName.substr(I, End - I);
        I = End;
        if (IsBlank(Token[0])) {
            Blanks = Token;
        } else if (NeedsEncodedWord(Encoding->GetBytes(Token))) {
            (Run.empty() ? Result : Run) += Blanks;
            Run += Token;
            Blanks.clear();
        } else {
            FlushRun();
            Result += Blanks + Token;
            Blanks.clear();
        }
    }
    FlushRun();
    return EscapeQuotedParameter(Result + Blanks);
}

std::string TIdFormDataField::FormatHeader(const std::string& ABoundary) const {
    std::string Header = Format("%s\r\nContent-Disposition: form-data; name=\"%s\"", "--" + ABoundary,
                                EncodeHeaderName(FFieldName));
    if (!FFileName.empty())
        Header += Format("; filename=\"%s\"", EncodeHeaderName(FFileName));
    Header += "\r\n";
    if (!FContentType.empty()) {
        Header += Format("Content-Type: %s", To8Bit(FContentType));
        if (!FCharset.empty())
            Header += Format("; charset=\"%s\"", To8Bit(FCharset));
        Header += "\r\n";
    }
    if (!FContentTransfer.empty())
        Header += Format("Content-Transfer-Encoding: %s\r\n", To8Bit(FContentTransfer));
    return Header + "\r\n";
}

bool TIdFormDataField::DataEndsWithCRLF() const {
    return TransferKindOf(FContentTransfer) != tkQuotedPrintable;
}

namespace {
// A value's bytes: ASCII for 7-bit or unstated transfers, else in its charset.
std::string ValueBytes(const std::string& AValue, TransferKind AKind, const std::string& ACharset) {
    IIdTextEncodingPtr Encoding = AKind == tk7Bit || AKind == tkNone ? IdTextEncoding(encASCII)
                                                                     : EncodingOfCharset(ACharset);
    return AsString(Encoding->GetBytes(AValue));
}
}  // namespace

TStream& TIdFormDataField::OpenData(std::unique_ptr<TStream>& ATemp) {
    TransferKind Kind = TransferKindOf(FContentTransfer);
    std::unique_ptr<TIdEncoder> Encoder = EncoderFor(Kind);
    if (FFieldStream) {
        FFieldStream->SetPosition(0);
        if (!Encoder)
            return *FFieldStream;
        ATemp = std::make_unique<TIdEncodedReadStream>(*FFieldStream, std::move(Encoder));
    } else {
        auto Value = std::make_unique<TStringStream>(ValueBytes(FFieldValue, Kind, FCharset));
        if (Encoder)
            ATemp = std::make_unique<TIdEncodedReadStream>(std::move(Value), std::move(Encoder));
        else
            ATemp = std::move(Value);
    }
    return *ATemp;
}

int64_t TIdFormDataField::FieldSize() {
    TIdMultiPartFormDataStream* Parent = FCollection ? FCollection->ParentStream() : nullptr;
    int64_t Result = static_cast<int64_t>(FormatHeader(Parent ? Parent->Boundary() : "").size());
    TransferKind Kind = TransferKindOf(FContentTransfer);
    std::unique_ptr<TIdEncoder> Encoder = EncoderFor(Kind);
    if (!FFieldStream) {
        std::string Bytes = ValueBytes(FFieldValue, Kind, FCharset);
        Result += static_cast<int64_t>(Encoder ? Encoder->EncodeString(Bytes).size() : Bytes.size());
    } else if (!Encoder) {
        Result += FFieldStream->Size();
    } else {
        int64_t Saved = FFieldStream->Position();
        FFieldStream->SetPosition(0);
        Result += Encoder->EncodedSize(*FFieldStream);
        FFieldStream->SetPosition(Saved);
    }
    return Result + (DataEndsWithCRLF() ? 2 : 0);
}

// TIdFormDataFields

TIdFormDataField* TIdFormDataFields::Add() {
    FItems.push_back(std::make_unique<TIdFormDataField>(this));
    return FItems.back().get();
}

TIdFormDataField* TIdFormDataFields::Items(int AIndex) const {
    if (AIndex < 0 || AIndex >= Count())
        RaiseListIndexError(AIndex);
    return FItems[static_cast<size_t>(AIndex)].get();
}

void TIdFormDataFields::Delete(int AIndex) {
    Items(AIndex);  // checks the index
    FItems.erase(FItems.begin() + AIndex);
}

// TIdMultiPartFormDataStream

TIdMultiPartFormDataStream::TIdMultiPartFormDataStream()
    : FBoundary(NewBoundary()),
      FRequestContentType("multipart/form-data; boundary=" + FBoundary),
      FFields(std::make_unique<TIdFormDataFields>(this)) {}

TIdMultiPartFormDataStream::~TIdMultiPartFormDataStream() {
    FOwnedInputStream.reset();  // may wrap a field's stream
}

namespace {
// Runs AFill on a new field and takes the field out again when it fails.
template <typename Fill>
TIdFormDataField* AddField(TIdFormDataFields& AFields, Fill AFill) {
    TIdFormDataField* Field = AFields.Add();
    try {
        AFill(*Field);
    } catch (...) {
        AFields.Delete(AFields.Count() - 1);
        throw;
    }
    return Field;
}
}  // namespace

TIdFormDataField* TIdMultiPartFormDataStream::AddFormField(const std::string& AFieldName,
                                                           const std::string& AFieldValue,
                                                           const std::string& ACharset,
                                                           const std::string& AContentType,
                                                           const std::string& AFileName) {
    return AddField(*FFields, [&](TIdFormDataField& Field) {
        Field.SetFieldName(AFieldName);
        Field.SetFieldValue(AFieldValue);
        Field.SetFileName(AFileName);
        Field.SetContentType(AContentType.empty() ? "text/plain" : AContentType);
        if (!ACharset.empty())
            Field.SetCharset(ACharset);
        Field.SetContentTransfer("quoted-printable");
    });
}

TIdFormDataField* TIdMultiPartFormDataStream::AddFormField(const std::string& AFieldName,
                                                           const std::string& AContentType,
                                                           const std::string& ACharset, TStream* AFieldValue,
                                                           const std::string& AFileName) {
    if (!AFieldValue)
        throw EIdInvalidObjectType(InvalidObjectTypeText);
    return AddField(*FFields, [&](TIdFormDataField& Field) {
        Field.SetFieldName(AFieldName);
        Field.SetFieldStream(AFieldValue);
        Field.SetFileName(AFileName);
        Field.SetContentType(AContentType);
        if (!ACharset.empty())
            Field.SetCharset(ACharset);
        Field.SetContentTransfer("binary");
    });
}

TIdFormDataField* TIdMultiPartFormDataStream::AddObject(const std::string& AFieldName,
                                                        const std::string& AContentType,
                                                        const std::string& ACharset, TObject* AFileData,
                                                        const std::string& AFileName) {
    auto* Stream = dynamic_cast<TStream*>(AFileData);
    if (!Stream)
        throw EIdInvalidObjectType(InvalidObjectTypeText);
    return AddFormField(AFieldName, AContentType, ACharset, Stream, AFileName);
}

TIdFormDataField* TIdMultiPartFormDataStream::AddFile(const std::string& AFieldName, const std::string& AFileName,
                                                      const std::string& AContentType) {
    auto File = std::make_unique<TFileStream>(AFileName, fmOpenRead | fmShareDenyWrite);
    return AddField(*FFields, [&](TIdFormDataField& Field) {
        Field.SetFieldName(AFieldName);
        Field.SetFieldStream(std::move(File));
        Field.SetFileName(AFileName);
        Field.SetContentType(AContentType);
        Field.SetContentTransfer("binary");
    });
}

void TIdMultiPartFormDataStream::Clear() {
    ResetReading();
    FFields->Clear();
}

void TIdMultiPartFormDataStream::ResetReading() {
    if (FInputStream)
        EndField();  // frees a temporary stream and rewinds a caller's
    FInternalBuffer.clear();
    FInternalBufferPos = 0;
    FCurrentItem = 0;
    FInitialized = false;
    FPosition = 0;
}

void TIdMultiPartFormDataStream::AppendToBuffer(std::string_view ABytes) {
    FInternalBuffer.insert(FInternalBuffer.end(), ABytes.begin(), ABytes.end());
}

void TIdMultiPartFormDataStream::StartField(TIdFormDataField& AField) {
    AppendToBuffer(AField.FormatHeader(FBoundary));
    FInputStream = &AField.OpenData(FOwnedInputStream);
    FInputEndsWithCRLF = AField.DataEndsWithCRLF();
}

void TIdMultiPartFormDataStream::EndField() {
    FOwnedInputStream.reset();
    FInputStream = nullptr;
    if (TStream* CallerStream = FFields->Items(FCurrentItem - 1)->FFieldStream)
        CallerStream->SetPosition(0);
    if (FInputEndsWithCRLF)
        AppendToBuffer("\r\n");
}

int64_t TIdMultiPartFormDataStream::Read(void* Buffer, int64_t Count) {
    if (!FInitialized) {
        ResetReading();
        FInitialized = true;
    }
    auto* Dest = static_cast<uint8_t*>(Buffer);
    int64_t Done = 0;
    while (Done < Count) {
        size_t Buffered = FInternalBuffer.size() - FInternalBufferPos;
        if (Buffered == 0 && !FInputStream) {
            if (FCurrentItem < FFields->Count()) {
                StartField(*FFields->Items(FCurrentItem++));
            } else if (FCurrentItem == FFields->Count() && FCurrentItem > 0) {
                AppendToBuffer("--" + FBoundary + "--\r\n");
                ++FCurrentItem;
            } else {
                break;  // the body is complete
            }
            continue;
        }
        if (Buffered > 0) {
            size_t Take = std::min(Buffered, static_cast<size_t>(Count - Done));
            std::memcpy(Dest + Done, FInternalBuffer.data() + FInternalBufferPos, Take);
            FInternalBufferPos += Take;
            Done += static_cast<int64_t>(Take);
            if (FInternalBufferPos == FInternalBuffer.size()) {
                FInternalBuffer.clear();
                FInternalBufferPos = 0;
            }
            continue;
        }
        int64_t Got = FInputStream->Read(Dest + Done, Count - Done);
        if (Got > 0)
            Done += Got;
        else
            EndField();
    }
    FPosition += Done;
    return Done;
}

int64_t TIdMultiPartFormDataStream::Write(const void*, int64_t) {
    throw EIdUnsupportedOperation("Unsupported operation.");
}

void TIdMultiPartFormDataStream::SetSize(int64_t) {
    throw EIdUnsupportedOperation("Unsupported operation.");
}

int64_t TIdMultiPartFormDataStream::Seek(int64_t Offset, TSeekOrigin Origin) {
    if (Offset == 0 && Origin == soBeginning) {
        ResetReading();
        return 0;
    }
    if (Offset == 0 && Origin == soEnd)
        return Size();
    return FPosition;
}

int64_t TIdMultiPartFormDataStream::Size() {
    FSize = 0;
    if (FFields->Count() > 0) {
        for (int I = 0; I < FFields->Count(); ++I)
            FSize += FFields->Items(I)->FieldSize();
        FSize += static_cast<int64_t>(FBoundary.size()) + 6;
    }
    return FSize;
}
