// A multipart/form-data request body as a read-only stream. Each part's
// header is made when the reader reaches it and stream or file data is
// copied (and encoded) while it is read, so no body is ever held whole; the
// size is computed in advance for an exact Content-Length.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/Streams.h"
#include "net/kbvIdException.h"
#include "net/kbvIdGlobal.h"

class EIdUnsupportedOperation : public EIdException {
public:
    using EIdException::EIdException;
};

class EIdUnsupportedTransfer : public EIdException {
public:
    using EIdException::EIdException;
};

class EIdUnsupportedEncoding : public EIdException {
public:
    using EIdException::EIdException;
};

class EIdInvalidObjectType : public EIdException {
public:
    using EIdException::EIdException;
};

class TIdFormDataFields;
class TIdMultiPartFormDataStream;

// One part: a text value or a stream, with its names and content headers.
class TIdFormDataField : public TObject {
public:
    // Header charset and encoding follow the system's language.
    explicit TIdFormDataField(TIdFormDataFields* ACollection);
    ~TIdFormDataField() override;

    TIdFormDataFields* Collection() const { return FCollection; }

    // "", "7bit", "8bit", "binary", "quoted-printable" or "base64" in any
    // case; anything else raises EIdUnsupportedTransfer.
    const std::string& ContentTransfer() const { return FContentTransfer; }
    void SetContentTransfer(const std::string& Value);
    // An empty value becomes the type of the file name; a charset parameter
    // moves to Charset; a text type with no charset gets "us-ascii".
    const std::string& ContentType() const { return FContentType; }
    void SetContentType(const std::string& Value);
    const std::string& Charset() const { return FCharset; }
    void SetCharset(const std::string& Value) { FCharset = Value; }
    const std::string& FieldName() const { return FFieldName; }
    void SetFieldName(const std::string& Value) { FFieldName = Value; }
    // Only the name part of a path is kept.
    const std::string& FileName() const { return FFileName; }
    void SetFileName(const std::string& Value);

    // The stream of a stream field; raises EIdInvalidObjectType for a value
    // field. Setting a stream clears the value; a stream the field owned is
    // freed. The first form references the caller's stream, the second owns it.
    TStream* FieldStream() const;
    void SetFieldStream(TStream* Value);
    void SetFieldStream(std::unique_ptr<TStream> Value);
    bool CanFreeFieldStream() const { return FOwnedFieldStream != nullptr; }
    // The value of a value field; raises EIdInvalidObjectType for a stream
    // field. Setting it drops the stream.
    const std::string& FieldValue() const;
    void SetFieldValue(const std::string& Value);

    // The bytes this part takes in the body: header, data and line break.
    int64_t FieldSize();

    const std::string& HeaderCharSet() const { return FHeaderCharSet; }
    void SetHeaderCharSet(const std::string& Value) { FHeaderCharSet = Value; }
    // 'Q', 'B' or '8'; anything else raises EIdUnsupportedEncoding.
    char HeaderEncoding() const { return FHeaderEncoding; }
    void SetHeaderEncoding(char Value);

private:
    friend class TIdMultiPartFormDataStream;

    // The part's header as bytes, from "--" + boundary to the empty line.
    std::string FormatHeader(const std::string& ABoundary) const;
    // The field name or file name as it goes into its quoted header
    // parameter; a double quote, CR and LF become %22, %0D and %0A.
    std::string EncodeHeaderName(const std::string& AName) const;
    // The part's data after its header, except a final CR LF, as a stream
    // from its start; ATemp receives it when it is made for the occasion.
    TStream& OpenData(std::unique_ptr<TStream>& ATemp);
    // Whether a CR LF follows the data (quoted-printable ends in one itself).
    bool DataEndsWithCRLF() const;
    void DropStream();

    TIdFormDataFields* FCollection;
    std::string FFileName;
    std::string FCharset;
    std::string FContentType;
    std::string FContentTransfer;
    std::string FFieldName;
    TStream* FFieldStream = nullptr;
    std::unique_ptr<TStream> FOwnedFieldStream;  // set when the field owns FFieldStream
    std::string FFieldValue;
    std::string FHeaderCharSet;
    char FHeaderEncoding = 'B';
};

// The fields of a multipart stream, in order.
class TIdFormDataFields : public TObject {
public:
    explicit TIdFormDataFields(TIdMultiPartFormDataStream* AParentStream) : FParentStream(AParentStream) {}

    TIdMultiPartFormDataStream* ParentStream() const { return FParentStream; }
    TIdFormDataField* Add();
    int Count() const { return static_cast<int>(FItems.size()); }
    // Raises EListError outside 0..Count-1.
    TIdFormDataField* Items(int AIndex) const;
    void Delete(int AIndex);
    void Clear() { FItems.clear(); }

private:
    TIdMultiPartFormDataStream* FParentStream;
    std::vector<std::unique_ptr<TIdFormDataField>> FItems;
};

class TIdMultiPartFormDataStream : public TStream {
public:
    TIdMultiPartFormDataStream();
    ~TIdMultiPartFormDataStream() override;

    // A text field, sent quoted-printable; content type "text/plain" unless given.
    TIdFormDataField* AddFormField(const std::string& AFieldName, const std::string& AFieldValue,
                                   const std::string& ACharset = "", const std::string& AContentType = "",
                                   const std::string& AFileName = "");
    // A field over the caller's stream, sent binary; the content type
    // defaults to the type of AFileName. A null stream raises EIdInvalidObjectType.
    TIdFormDataField* AddFormField(const std::string& AFieldName, const std::string& AContentType,
                                   const std::string& ACharset, TStream* AFieldValue,
                                   const std::string& AFileName = "");
    // As the stream field when AFileData is a stream; raises EIdInvalidObjectType otherwise.
    TIdFormDataField* AddObject(const std::string& AFieldName, const std::string& AContentType,
                                const std::string& ACharset, TObject* AFileData, const std::string& AFileName = "");
    // A field over the file, opened read-only and owned by the field.
    TIdFormDataField* AddFile(const std::string& AFieldName, const std::string& AFileName,
                              const std::string& AContentType = "");
    void Clear();

    int64_t Read(void* Buffer, int64_t Count) override;
    // Both raise EIdUnsupportedOperation "Unsupported operation.".
    int64_t Write(const void* Buffer, int64_t Count) override;
    void SetSize(int64_t NewSize) override;
    // Only offset 0 is served: from the beginning it rewinds, from the end it
    // returns the size without moving; everything else returns the position.
    int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
    int64_t Size() override;

    // Eight hyphens and fifteen decimal digits from the system's
    // cryptographic random source, fresh for every stream.
    const std::string& Boundary() const { return FBoundary; }
    const std::string& RequestContentType() const { return FRequestContentType; }
    TIdFormDataFields& Fields() { return *FFields; }

private:
    void StartField(TIdFormDataField& AField);
    void EndField();
    void ResetReading();
    void AppendToBuffer(std::string_view ABytes);

    TStream* FInputStream = nullptr;            // the data being copied, null between fields
    std::unique_ptr<TStream> FOwnedInputStream;  // set when FInputStream was made for its field
    bool FInputEndsWithCRLF = false;
    std::string FBoundary;
    std::string FRequestContentType;
    int FCurrentItem = 0;
    bool FInitialized = false;
    TIdBytes FInternalBuffer;
    size_t FInternalBufferPos = 0;  // bytes of FInternalBuffer already handed out
    int64_t FPosition = 0;
    int64_t FSize = 0;
    std::unique_ptr<TIdFormDataFields> FFields;
};
