// The transport-neutral half of a connection: an input buffer with line,
// counted and stream reads, buffered and direct writes, a chain of
// intercepts that see every block, and a registry of handler classes.
// Concrete handlers supply the transport through a few abstract operations.
#pragma once

#include <climits>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <typeinfo>

#include "core/Component.h"
#include "core/Streams.h"
#include "core/StringList.h"
#include "net/kbvIdBuffer.h"
#include "net/kbvIdComponent.h"
#include "net/kbvIdException.h"
#include "net/kbvIdGlobal.h"

class EIdIOHandler : public EIdException {
public:
    using EIdException::EIdException;
};

class EIdTCPConnectionError : public EIdException {
public:
    using EIdException::EIdException;
};

class EIdInterceptCircularLink : public EIdException {
public:
    using EIdException::EIdException;
};

class EIdNotConnected : public EIdException {
public:
    EIdNotConnected() : EIdException("Not Connected") {}
    using EIdException::EIdException;
};

class EIdClosedSocket : public EIdException {
public:
    EIdClosedSocket() : EIdException("Disconnected.") {}
};

class EIdReadTimeout : public EIdException {
public:
    EIdReadTimeout() : EIdException("Read timed out.") {}
};

class EIdConnClosedGracefully : public EIdSilentException {
public:
    EIdConnClosedGracefully() : EIdSilentException("Connection Closed Gracefully.") {}
};

class EIdReadLnMaxLineLengthExceeded : public EIdException {
public:
    EIdReadLnMaxLineLengthExceeded() : EIdException("Max line length exceeded.") {}
};

class EIdReadLnWaitMaxAttemptsExceeded : public EIdException {
public:
    EIdReadLnWaitMaxAttemptsExceeded() : EIdException("Max line read attempts exceeded.") {}
};

class EIdIOHandlerRequiresLargeStream : public EIdIOHandler {
public:
    EIdIOHandlerRequiresLargeStream()
        : EIdIOHandler("Set LargeStream to True to send streams greater than 2GB") {}
};

class EIdIOHandlerStreamDataTooLarge : public EIdIOHandler {
public:
    EIdIOHandlerStreamDataTooLarge() : EIdIOHandler("Data is too large for stream") {}
};

class EIdNoDataToRead : public EIdTCPConnectionError {
public:
    EIdNoDataToRead() : EIdTCPConnectionError("No data to read.") {}
};

class EIdMaxCaptureLineExceeded : public EIdException {
public:
    EIdMaxCaptureLineExceeded() : EIdException("Maximum number of line allowed exceeded") {}
};

class EIdObjectTypeNotSupported : public EIdTCPConnectionError {
public:
    EIdObjectTypeNotSupported() : EIdTCPConnectionError("Object type not supported.") {}
};

class EIdFileNotFound : public EIdTCPConnectionError {
public:
    explicit EIdFileNotFound(const std::string& AFileName);
};

class TIdConnectionIntercept;
using TIdInterceptNotifyEvent = std::function<void(TIdConnectionIntercept* ASender)>;
using TIdInterceptStreamEvent = std::function<void(TIdConnectionIntercept* ASender, TIdBytes& ABuffer)>;

// Sees every block a connection sends and receives, and its connect and
// disconnect; intercepts form a chain through Intercept().
class TIdConnectionIntercept : public TIdBaseComponent {
public:
    explicit TIdConnectionIntercept(TComponent* AOwner = nullptr);

    // Each passes along the chain: Connect and Send act before the next link,
    // Disconnect and Receive after it, so a chain unwinds in reverse.
    virtual void Connect(TComponent* AConnection);
    virtual void Disconnect();
    virtual void Receive(TIdBytes& ABuffer);
    virtual void Send(TIdBytes& ABuffer);

    TComponent* Connection() const { return FConnection; }
    TIdConnectionIntercept* Intercept() const { return FIntercept; }
    // Raises EIdInterceptCircularLink when this intercept is already in AValue's chain.
    void SetIntercept(TIdConnectionIntercept* AValue);
    bool IsClient() const { return FIsClient; }
    TObject* Data() const { return FData; }
    void SetData(TObject* AValue) { FData = AValue; }

    void SetOnConnect(TIdInterceptNotifyEvent AValue) { FOnConnect = std::move(AValue); }
    void SetOnDisconnect(TIdInterceptNotifyEvent AValue) { FOnDisconnect = std::move(AValue); }
    void SetOnReceive(TIdInterceptStreamEvent AValue) { FOnReceive = std::move(AValue); }
    void SetOnSend(TIdInterceptStreamEvent AValue) { FOnSend = std::move(AValue); }

protected:
    void Notification(TComponent* AComponent, TOperation Operation) override;

    TComponent* FConnection = nullptr;
    TIdConnectionIntercept* FIntercept = nullptr;
    bool FIsClient = true;
    TObject* FData = nullptr;
    TIdInterceptNotifyEvent FOnConnect;
    TIdInterceptNotifyEvent FOnDisconnect;
    TIdInterceptStreamEvent FOnReceive;
    TIdInterceptStreamEvent FOnSend;
};

enum TIdMaxLineAction { maException = 0, maSplit = 1 };

// Time-outs in milliseconds: -1 takes the handler's ReadTimeout, -2 waits forever.
constexpr int IdTimeoutDefault = -1;
constexpr int IdTimeoutInfinite = -2;

class TIdIOHandler;

// One registered handler class: how to make one, and how to ask whether it
// derives from a given base without making one.
struct TIdIOHandlerClass {
    const std::type_info* Type;
    TIdIOHandler* (*Create)(TComponent* AOwner);
    void (*ThrowNull)();  // throws a null pointer of the class; a catch clause tests its bases
};

class TIdIOHandler : public TIdComponent {
public:
    explicit TIdIOHandler(TComponent* AOwner = nullptr);
    ~TIdIOHandler() override;

    // --- class registry -------------------------------------------------
    template <class T>
    static void RegisterIOHandler() { RegisterClassEntry(ClassEntry<T>()); }
    template <class T>
    static void SetDefaultClass() { SetDefaultClassEntry(ClassEntry<T>()); }
    // Raises "No IOHandler of type TIdIOHandler is installed." without a default class.
    static TIdIOHandler* MakeDefaultIOHandler(TComponent* AOwner = nullptr);
    // The newest registered class that derives from TBase, or nullptr.
    template <class TBase>
    static TBase* TryMakeIOHandler(TComponent* AOwner = nullptr) {
        return dynamic_cast<TBase*>(MakeFirstMatching(&InheritsFrom<TBase>, AOwner));
    }
    template <class TBase>
    static TBase* MakeIOHandler(TComponent* AOwner = nullptr) {
        TBase* Result = TryMakeIOHandler<TBase>(AOwner);
        if (!Result)
            RaiseNotInstalled(typeid(TBase));
        return Result;
    }

    // --- life --------------------------------------------------------------
    virtual void Open();
    virtual void Close();
    // Only marks the peer as gone; the next read that needs more data raises.
    void CloseGracefully() { FClosedGracefully = true; }
    virtual bool Connected();
    virtual void AfterAccept() {}
    // Raises EIdConnClosedGracefully when the connection is gone and (AIgnoreBuffer
    // or nothing is buffered); so received data stays readable after a close.
    virtual void CheckForDisconnect(bool ARaiseExceptionIfDisconnected = true, bool AIgnoreBuffer = false) = 0;
    // Waits up to AMSec ms (-2: forever) until data can be read.
    virtual bool Readable(int AMSec = IdTimeoutDefault);

    // Receives once into the input buffer. Returns the bytes added, 0 when the
    // peer closed, -1 on a time-out that is not raised.
    int FillInputBuffer(bool ARaiseExceptionIfDisconnected = true, int ATimeout = IdTimeoutDefault,
                        bool ARaiseExceptionOnTimeout = true);
    // Waits until AByteCount bytes are buffered (< 0: until any are).
    void AwaitInputBytes(int AByteCount);
    virtual bool CheckForDataOnSource(int ATimeout = 0);
    bool InputBufferIsEmpty() const { return FInputBuffer->Size() == 0; }

    // --- reading lines ---------------------------------------------------
    std::string ReadLn(const IIdTextEncodingPtr& AByteEncoding = nullptr);
    std::string ReadLn(const std::string& ATerminator, const IIdTextEncodingPtr& AByteEncoding);
    // An empty terminator means LF; a CR before an LF terminator is dropped too.
    // A time-out returns empty text and sets ReadLnTimedout.
    virtual std::string ReadLn(const std::string& ATerminator, int ATimeout = IdTimeoutDefault,
                               int AMaxLineLength = -1, const IIdTextEncodingPtr& AByteEncoding = nullptr);
    std::string ReadLnSplit(bool& AWasSplit, const std::string& ATerminator = "\n",
                            int ATimeout = IdTimeoutDefault, int AMaxLineLength = -1,
                            const IIdTextEncodingPtr& AByteEncoding = nullptr);
    virtual std::string ReadLnWait(int AFailCount = INT_MAX, const IIdTextEncodingPtr& AByteEncoding = nullptr);
    std::string ReadLnRFC(bool& VMsgEnd, const std::string& ALineTerminator = "\n",
                          const std::string& ADelim = ".", const IIdTextEncodingPtr& AByteEncoding = nullptr);
    // AReadLinesCount < 0 reads the count first, as a 32-bit network-order integer.
    void ReadStrings(TStringList& ADest, int AReadLinesCount = -1,
                     const IIdTextEncodingPtr& AByteEncoding = nullptr);
    // ADest is a TStringList or a TStream (lines written with CR LF).
    virtual void Capture(TObject* ADest, int& VLineCount, const std::string& ADelim = ".",
                         bool AUsesDotTransparency = true, const IIdTextEncodingPtr& AByteEncoding = nullptr);
    void Capture(TObject* ADest, const std::string& ADelim = ".", bool AUsesDotTransparency = true,
                 const IIdTextEncodingPtr& AByteEncoding = nullptr);
    std::string WaitFor(const std::string& AString, bool ARemoveFromBuffer = true, bool AInclusive = false,
                        const IIdTextEncodingPtr& AByteEncoding = nullptr, int ATimeout = IdTimeoutDefault);
    // A console-style line editor with echo (backspace, tab expansion, mask).
    std::string InputLn(const std::string& AMask = "", bool AEcho = true, int ATabWidth = 8,
                        int AMaxLineLength = -1, const IIdTextEncodingPtr& AByteEncoding = nullptr);

    // --- reading bytes and values ---------------------------------------
    // AByteCount < 0 takes whatever is buffered (waiting for some first).
    virtual void ReadBytes(TIdBytes& VBuffer, int AByteCount, bool AAppend = true);
    std::string ReadString(int ABytes, const IIdTextEncodingPtr& AByteEncoding = nullptr);
    // One character, as UTF-8 text.
    std::string ReadChar(const IIdTextEncodingPtr& AByteEncoding = nullptr);
    uint8_t ReadByte();
    int16_t ReadInt16(bool AConvert = true);
    uint16_t ReadUInt16(bool AConvert = true);
    int32_t ReadInt32(bool AConvert = true);
    uint32_t ReadUInt32(bool AConvert = true);
    int64_t ReadInt64(bool AConvert = true);
    uint64_t ReadUInt64(bool AConvert = true);
    // AByteCount -1 without AReadUntilDisconnect reads a size prefix first.
    // AStream may be null: the bytes are then dropped.
    virtual void ReadStream(TStream* AStream, int64_t AByteCount = -1, bool AReadUntilDisconnect = false);
    void Discard(int64_t AByteCount);  // nothing for a count below 1
    void DiscardAll();
    // Everything until the peer closes, as text. A reset, or any other
    // failure before the close, raises.
    virtual std::string AllData(const IIdTextEncodingPtr& AByteEncoding = nullptr);
    std::string InputBufferAsString(const IIdTextEncodingPtr& AByteEncoding = nullptr);
    void InputBufferToStream(TStream& AStream, int AByteCount = -1);

    // --- writing -----------------------------------------------------------
    virtual void Write(const std::string& AOut, const IIdTextEncodingPtr& AByteEncoding = nullptr);
    virtual void WriteLn(const std::string& AOut = "", const IIdTextEncodingPtr& AByteEncoding = nullptr);
    // Doubles a leading "." (dot-stuffing).
    virtual void WriteLnRFC(const std::string& AOut = "", const IIdTextEncodingPtr& AByteEncoding = nullptr);
    void WriteRFCStrings(const TStringList& AStrings, bool AWriteTerminator = true,
                         const IIdTextEncodingPtr& AByteEncoding = nullptr);
    // All lines or none: sent inside one write-buffering bracket.
    virtual void Write(const TStringList& AValue, bool AWriteLinesCount = false,
                       const IIdTextEncodingPtr& AByteEncoding = nullptr);
    virtual void Write(const TIdBytes& ABuffer, int ALength = -1, int AOffset = 0);
    void WriteInt16(int16_t AValue, bool AConvert = true);
    void WriteUInt16(uint16_t AValue, bool AConvert = true);
    void WriteInt32(int32_t AValue, bool AConvert = true);
    void WriteUInt32(uint32_t AValue, bool AConvert = true);
    void WriteInt64(int64_t AValue, bool AConvert = true);
    void WriteUInt64(uint64_t AValue, bool AConvert = true);
    // ASize < 0: from the position to the end; 0: the whole stream from 0.
    virtual void Write(TStream& AStream, int64_t ASize = 0, bool AWriteByteCount = false);
    // Returns the number of bytes sent.
    virtual int64_t WriteFile(const std::string& AFile, bool AEnableTransferFile = false);
    // Bypasses the write buffer, through the intercepts to the transport.
    void WriteDirect(const TIdBytes& ABuffer, int ALength = -1, int AOffset = 0);

    // --- write buffering -------------------------------------------------
    // AThreshold <= 0 holds everything until WriteBufferClose/Flush.
    virtual void WriteBufferOpen(int AThreshold = -1);
    virtual void WriteBufferClose();
    virtual void WriteBufferFlush(int AByteCount = -1);
    virtual void WriteBufferClear();
    virtual void WriteBufferCancel();
    bool WriteBufferingActive() const { return FWriteBuffer != nullptr; }

    // --- properties -----------------------------------------------------
    virtual std::string Destination() const { return FDestination; }
    virtual void SetDestination(const std::string& AValue) { FDestination = AValue; }
    const std::string& Host() const { return FHost; }
    virtual void SetHost(const std::string& AValue) { FHost = AValue; }
    int Port() const { return FPort; }
    virtual void SetPort(int AValue) { FPort = AValue; }
    TIdConnectionIntercept* Intercept() const { return FIntercept; }
    virtual void SetIntercept(TIdConnectionIntercept* AValue);
    int MaxLineLength() const { return FMaxLineLength; }
    void SetMaxLineLength(int AValue) { FMaxLineLength = AValue; }
    TIdMaxLineAction MaxLineAction() const { return FMaxLineAction; }
    void SetMaxLineAction(TIdMaxLineAction AValue) { FMaxLineAction = AValue; }
    int RecvBufferSize() const { return FRecvBufferSize; }
    void SetRecvBufferSize(int AValue) { FRecvBufferSize = AValue; }
    int SendBufferSize() const { return FSendBufferSize; }
    void SetSendBufferSize(int AValue) { FSendBufferSize = AValue; }
    int ConnectTimeout() const { return FConnectTimeout; }
    void SetConnectTimeout(int AValue) { FConnectTimeout = AValue; }
    bool ClosedGracefully() const { return FClosedGracefully; }
    TIdBuffer* InputBuffer() const { return FInputBuffer.get(); }
    bool LargeStream() const { return FLargeStream; }
    void SetLargeStream(bool AValue) { FLargeStream = AValue; }
    int MaxCapturedLines() const { return FMaxCapturedLines; }
    void SetMaxCapturedLines(int AValue) { FMaxCapturedLines = AValue; }
    bool Opened() const { return FOpened; }
    int ReadTimeout() const { return FReadTimeOut; }
    void SetReadTimeout(int AValue) { FReadTimeOut = AValue; }
    bool ReadLnTimedout() const { return FReadLnTimedOut; }
    bool ReadLnSplit() const { return FReadLnSplit; }
    int WriteBufferThreshold() const { return FWriteBufferThreshold; }
    void SetWriteBufferThreshold(int AValue) { FWriteBufferThreshold = AValue; }
    const IIdTextEncodingPtr& DefStringEncoding() const { return FDefStringEncoding; }
    // An empty reference stores the library's default encoding.
    void SetDefStringEncoding(IIdTextEncodingPtr AValue);

protected:
    // The transport. ReadDataFromSource fills up to ABuffer.size() bytes and
    // returns the count (0: peer closed, < 0: error); WriteDataToTarget
    // returns the count sent or < 0.
    virtual int ReadDataFromSource(TIdBytes& ABuffer) = 0;
    virtual int WriteDataToTarget(const TIdBytes& ABuffer, int AOffset, int ALength) = 0;
    virtual bool SourceIsAvailable() = 0;
    // For a negative result: the transport's error code if it counts as a
    // close (10053, 10054, 10058) or a time-out (10060); raises otherwise.
    virtual int GetSocketErrorCode(int AResult) = 0;
    [[noreturn]] virtual void RaiseSocketError(int AErrorCode) = 0;

    void Notification(TComponent* AComponent, TOperation Operation) override;
    const IIdTextEncodingPtr& EncodingOrDefault(const IIdTextEncodingPtr& AByteEncoding) const {
        return AByteEncoding ? AByteEncoding : FDefStringEncoding;
    }

    bool FLargeStream = false;
    bool FClosedGracefully = false;
    int FConnectTimeout = 0;
    std::string FDestination;
    std::string FHost;
    std::unique_ptr<TIdBuffer> FInputBuffer;
    TIdConnectionIntercept* FIntercept = nullptr;
    int FMaxCapturedLines = -1;
    TIdMaxLineAction FMaxLineAction = maException;
    int FMaxLineLength = 16384;
    bool FOpened = false;
    int FPort = 0;
    bool FReadLnSplit = false;
    bool FReadLnTimedOut = false;
    int FReadTimeOut = IdTimeoutDefault;
    int FRecvBufferSize = 32768;
    TIdBytes FRecvBuffer;  // reused by every receive
    // The last line terminator and its bytes in the last encoding used.
    std::string FTerminatorText;
    IIdTextEncodingPtr FTerminatorEncoding;
    TIdBytes FTerminatorBytes;
    int FSendBufferSize = 32768;
    std::unique_ptr<TIdBuffer> FWriteBuffer;
    int FWriteBufferThreshold = 0;
    IIdTextEncodingPtr FDefStringEncoding;

private:
    const TIdBytes& EncodedTerminator(const std::string& ATerminator, const IIdTextEncodingPtr& AEncoding);
    // Moves what is buffered (at most AMax bytes, all for < 0) into AStream,
    // or drops it without a stream; returns the count.
    int64_t TakeFromInputBuffer(TStream* AStream, int64_t AMax);
    void WriteBytesOf(uint64_t AValue, int ASize, bool AConvert);

    template <class T>
    static TIdIOHandlerClass ClassEntry() {
        static_assert(std::is_base_of_v<TIdIOHandler, T>, "an IO handler class derives from TIdIOHandler");
        // The registry creates handlers; an owner takes them over like any component.
        return {&typeid(T), [](TComponent* AOwner) -> TIdIOHandler* { return new T(AOwner); },
                [] { throw static_cast<T*>(nullptr); }};
    }
    template <class TBase>
    static bool InheritsFrom(const TIdIOHandlerClass& AClass) {
        try {
            AClass.ThrowNull();
        } catch (TBase*) {
            return true;
        } catch (...) {
        }
        return false;
    }
    static void RegisterClassEntry(const TIdIOHandlerClass& AClass);
    static void SetDefaultClassEntry(const TIdIOHandlerClass& AClass);
    static TIdIOHandler* MakeFirstMatching(bool (*AMatches)(const TIdIOHandlerClass&), TComponent* AOwner);
    [[noreturn]] static void RaiseNotInstalled(const std::type_info& ABaseType);
};
