#include "net/kbvIdIOHandler.h"

#include <cxxabi.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <vector>

#include "core/Format.h"
#include "core/Text.h"
#include "core/Ticks.h"
#include "net/kbvIdAntiFreezeBase.h"
#include "net/kbvIdStack.h"

namespace {

// Runs ABody between BeginWork and EndWork; EndWork also runs when ABody raises.
template <class F>
void InWork(TIdComponent& AComponent, TWorkMode AMode, int64_t ASize, F&& ABody) {
    AComponent.BeginWork(AMode, ASize);
    try {
        ABody();
    } catch (...) {
        AComponent.EndWork(AMode);
        throw;
    }
    AComponent.EndWork(AMode);
}

std::string TypeName(const std::type_info& AType) {
    int Status = 0;
    std::unique_ptr<char, decltype(&std::free)> Demangled(
        abi::__cxa_demangle(AType.name(), nullptr, nullptr, &Status), &std::free);
    std::string Name = Status == 0 && Demangled ? Demangled.get() : AType.name();
    auto Scope = Name.rfind("::");
    return Scope == std::string::npos ? Name : Name.substr(Scope + 2);
}

// The class registry: registered classes in order, and the default one.
struct TIdIOHandlerRegistry {
    std::mutex Lock;
    std::vector<TIdIOHandlerClass> Classes;
    const TIdIOHandlerClass* Default = nullptr;

    static TIdIOHandlerRegistry& Instance() {
        static TIdIOHandlerRegistry Registry;
        return Registry;
    }
    // Registers once; returns the stored entry. Caller holds Lock.
    const TIdIOHandlerClass& Add(const TIdIOHandlerClass& AClass) {
        for (const auto& Entry : Classes)
            if (*Entry.Type == *AClass.Type)
                return Entry;
        // Keep Default valid when the vector moves.
        size_t DefaultIndex = Default ? static_cast<size_t>(Default - Classes.data()) : 0;
        bool HadDefault = Default != nullptr;
        Classes.push_back(AClass);
        if (HadDefault)
            Default = &Classes[DefaultIndex];
        return Classes.back();
    }
};

constexpr uint8_t CR = 13;
constexpr uint8_t LF = 10;
const char* const ReplacementChar = "\xEF\xBF\xBD";  // U+FFFD, what a decoder yields for incomplete bytes

// Removes the last UTF-8 encoded character of S.
void PopCharacter(std::string& S) {
    while (!S.empty()) {
        unsigned char C = static_cast<unsigned char>(S.back());
        S.pop_back();
        if ((C & 0xC0) != 0x80)
            break;
    }
}

}  // namespace

EIdFileNotFound::EIdFileNotFound(const std::string& AFileName)
    : EIdTCPConnectionError(Format("File \"%s\" not found", AFileName)) {}

// --- TIdConnectionIntercept -----------------------------------------------

TIdConnectionIntercept::TIdConnectionIntercept(TComponent* AOwner) : TIdBaseComponent(AOwner) {}

void TIdConnectionIntercept::Connect(TComponent* AConnection) {
    FConnection = AConnection;
    if (FOnConnect)
        FOnConnect(this);
    if (FIntercept)
        FIntercept->Connect(AConnection);
}

void TIdConnectionIntercept::Disconnect() {
    if (FIntercept)
        FIntercept->Disconnect();
    if (FOnDisconnect)
        FOnDisconnect(this);
    FConnection = nullptr;
}

void TIdConnectionIntercept::Receive(TIdBytes& ABuffer) {
    if (FIntercept)
        FIntercept->Receive(ABuffer);
    if (FOnReceive)
        FOnReceive(this, ABuffer);
}

void TIdConnectionIntercept::Send(TIdBytes& ABuffer) {
    if (FOnSend)
        FOnSend(this, ABuffer);
    if (FIntercept)
        FIntercept->Send(ABuffer);
}

void TIdConnectionIntercept::SetIntercept(TIdConnectionIntercept* AValue) {
    for (auto* Link = AValue; Link; Link = Link->FIntercept)
        if (Link == this)
            throw EIdInterceptCircularLink(Format("%s: Circular links are not allowed", ClassName()));
    SetReference(FIntercept, AValue);
}

void TIdConnectionIntercept::Notification(TComponent* AComponent, TOperation Operation) {
    if (Operation == opRemove && AComponent == FIntercept)
        FIntercept = nullptr;
    TIdBaseComponent::Notification(AComponent, Operation);
}

// --- TIdIOHandler: registry ------------------------------------------------

void TIdIOHandler::RegisterClassEntry(const TIdIOHandlerClass& AClass) {
    auto& Registry = TIdIOHandlerRegistry::Instance();
    std::lock_guard Guard(Registry.Lock);
    Registry.Add(AClass);
}

void TIdIOHandler::SetDefaultClassEntry(const TIdIOHandlerClass& AClass) {
    auto& Registry = TIdIOHandlerRegistry::Instance();
    std::lock_guard Guard(Registry.Lock);
    Registry.Default = &Registry.Add(AClass);
}

TIdIOHandler* TIdIOHandler::MakeDefaultIOHandler(TComponent* AOwner) {
    auto& Registry = TIdIOHandlerRegistry::Instance();
    TIdIOHandler* (*Create)(TComponent*) = nullptr;
    {
        std::lock_guard Guard(Registry.Lock);
        if (Registry.Default)
            Create = Registry.Default->Create;
    }
    if (!Create)
        RaiseNotInstalled(typeid(TIdIOHandler));
    return Create(AOwner);
}

TIdIOHandler* TIdIOHandler::MakeFirstMatching(bool (*AMatches)(const TIdIOHandlerClass&), TComponent* AOwner) {
    auto& Registry = TIdIOHandlerRegistry::Instance();
    TIdIOHandler* (*Create)(TComponent*) = nullptr;
    {
        std::lock_guard Guard(Registry.Lock);
        for (auto It = Registry.Classes.rbegin(); It != Registry.Classes.rend() && !Create; ++It)
            if (AMatches(*It))
                Create = It->Create;
    }
    return Create ? Create(AOwner) : nullptr;
}

void TIdIOHandler::RaiseNotInstalled(const std::type_info& ABaseType) {
    throw EIdException(Format("No IOHandler of type %s is installed.", TypeName(ABaseType)));
}

// --- TIdIOHandler: life --------------------------------------------------------

TIdIOHandler::TIdIOHandler(TComponent* AOwner)
    : TIdComponent(AOwner),
      FInputBuffer(std::make_unique<TIdBuffer>(
          // Every byte consumed from the input counts as read progress.
          [this](TObject*, int ACount) { DoWork(wmRead, ACount); })),
      FDefStringEncoding(IdTextEncoding(encASCII)) {}

TIdIOHandler::~TIdIOHandler() {
    // Derived handlers close their transport in their own destructors; here
    // only the intercept chain and the buffers are left to tidy.
    if (FOpened) {
        try {
            TIdIOHandler::Close();
        } catch (...) {
        }
    }
}

void TIdIOHandler::Open() {
    FOpened = false;
    FClosedGracefully = false;
    WriteBufferClear();
    FInputBuffer->Clear();
    FOpened = true;
}

void TIdIOHandler::Close() {
    try {
        if (FIntercept)
            FIntercept->Disconnect();
    } catch (...) {
        FOpened = false;
        WriteBufferClear();
        throw;
    }
    FOpened = false;
    WriteBufferClear();
}

bool TIdIOHandler::Connected() {
    CheckForDisconnect(false, false);
    return FOpened && !(FClosedGracefully && InputBufferIsEmpty());
}

bool TIdIOHandler::Readable(int) { return false; }

void TIdIOHandler::SetIntercept(TIdConnectionIntercept* AValue) { SetReference(FIntercept, AValue); }

void TIdIOHandler::SetDefStringEncoding(IIdTextEncodingPtr AValue) {
    FDefStringEncoding = AValue ? std::move(AValue) : IdTextEncoding(encDefault);
}

void TIdIOHandler::Notification(TComponent* AComponent, TOperation Operation) {
    if (Operation == opRemove && AComponent == FIntercept)
        FIntercept = nullptr;
    TIdComponent::Notification(AComponent, Operation);
}

// --- TIdIOHandler: filling the input buffer ------------------------------------

int TIdIOHandler::FillInputBuffer(bool ARaiseExceptionIfDisconnected, int ATimeout, bool ARaiseExceptionOnTimeout) {
    if (ATimeout == IdTimeoutDefault)
        ATimeout = FReadTimeOut == 0 || FReadTimeOut == IdTimeoutDefault ? IdTimeoutInfinite : FReadTimeOut;
    CheckForDisconnect(ARaiseExceptionIfDisconnected, false);
    if (!SourceIsAvailable()) {
        if (ARaiseExceptionIfDisconnected)
            throw EIdNotConnected();
        return 0;
    }
    for (;;) {
        if (!Readable(ATimeout)) {
            if (ARaiseExceptionOnTimeout)
                throw EIdReadTimeout();
            return -1;
        }
        int Received = 0;  // from the transport
        int Added = 0;     // to the input buffer, after the intercepts
        if (FOpened && SourceIsAvailable()) {
            // One receive array for the handler's life: a fresh one would be
            // zeroed on every receive.
            FRecvBuffer.resize(static_cast<size_t>(FRecvBufferSize));
            Received = ReadDataFromSource(FRecvBuffer);
            if (Received > 0 && FIntercept) {
                TIdBytes Block(FRecvBuffer.begin(), FRecvBuffer.begin() + Received);
                FIntercept->Receive(Block);
                Added = static_cast<int>(Block.size());
                FInputBuffer->Write(Block);
            } else if (Received > 0) {
                Added = Received;
                FInputBuffer->Write(FRecvBuffer, Received);
            }
        } else if (ARaiseExceptionIfDisconnected) {
            if (FOpened)
                throw EIdClosedSocket();
            throw EIdNotConnected();
        }
        if (Received < 0) {
            int Code = GetSocketErrorCode(Received);
            if (Code == Id_WSAETIMEDOUT) {
                if (ARaiseExceptionOnTimeout)
                    throw EIdReadTimeout();
                return -1;
            }
            FClosedGracefully = true;
            Close();
            if (InputBufferIsEmpty() && ARaiseExceptionIfDisconnected)
                RaiseSocketError(Code);
            Received = 0;
        }
        if (Received == 0)
            FClosedGracefully = true;
        CheckForDisconnect(ARaiseExceptionIfDisconnected, false);
        // An intercept may hold bytes back; the peer closed only on a 0 receive.
        if (Added != 0)
            return Added;
        if (!SourceIsAvailable() || FClosedGracefully)
            return 0;
    }
}

void TIdIOHandler::AwaitInputBytes(int AByteCount) {
    if (AByteCount > 0) {
        while (FInputBuffer->Size() < AByteCount) {
            if (FillInputBuffer(false, IdTimeoutDefault, true) > 0 && FInputBuffer->Size() >= AByteCount)
                break;
            CheckForDisconnect(true, true);
        }
    } else if (AByteCount < 0 && InputBufferIsEmpty()) {
        FillInputBuffer(false, IdTimeoutDefault, false);  // ReadTimeout, 0 meaning forever
        CheckForDisconnect(true, true);
    }
}

bool TIdIOHandler::CheckForDataOnSource(int ATimeout) {
    int SizeBefore = FInputBuffer->Size();
    return Connected() && (FInputBuffer->Size() > SizeBefore || FillInputBuffer(false, ATimeout, false) > 0);
}

// --- TIdIOHandler: reading lines -----------------------------------------------

std::string TIdIOHandler::ReadLn(const IIdTextEncodingPtr& AByteEncoding) {
    return ReadLn("\n", IdTimeoutDefault, -1, AByteEncoding);
}

std::string TIdIOHandler::ReadLn(const std::string& ATerminator, const IIdTextEncodingPtr& AByteEncoding) {
    return ReadLn(ATerminator, IdTimeoutDefault, -1, AByteEncoding);
}

std::string TIdIOHandler::ReadLn(const std::string& ATerminator, int ATimeout, int AMaxLineLength,
                                 const IIdTextEncodingPtr& AByteEncoding) {
    const IIdTextEncodingPtr& Encoding = EncodingOrDefault(AByteEncoding);
    if (AMaxLineLength < 0)
        AMaxLineLength = FMaxLineLength;
    const TIdBytes& Terminator = EncodedTerminator(ATerminator.empty() ? "\n" : ATerminator, Encoding);
    const int TerminatorLength = static_cast<int>(Terminator.size());
    FReadLnSplit = false;
    FReadLnTimedOut = false;
    const uint64_t Start = ATimeout >= 0 ? GetTickCount64() : 0;  // only a given time-out is checked
    int SearchPos = 0;
    for (;;) {
        int Found = -1;
        const int Size = FInputBuffer->Size();
        if (Size > 0) {
            if (SearchPos < Size)
                Found = FInputBuffer->IndexOf(Terminator, SearchPos);
            // Bytes scanned once are not scanned again; a terminator split
            // across two receives is still found.
            SearchPos = std::max(Size - TerminatorLength + 1, 0);
        }
        if (AMaxLineLength > 0 && (Found > AMaxLineLength || (Found < 0 && SearchPos > AMaxLineLength))) {
            if (FMaxLineAction == maException)
                throw EIdReadLnMaxLineLengthExceeded();
            FReadLnSplit = true;
            return FInputBuffer->ExtractToString(AMaxLineLength, Encoding);
        }
        if (Found >= 0) {
            int LineLength = Found;
            if (TerminatorLength == 1 && Terminator[0] == LF && Found > 0 && FInputBuffer->PeekByte(Found - 1) == CR)
                --LineLength;
            std::string Line = FInputBuffer->ExtractToString(LineLength, Encoding);
            FInputBuffer->Remove(Found + TerminatorLength - LineLength);
            return Line;
        }
        CheckForDisconnect(true, true);
        FReadLnTimedOut = FillInputBuffer(true, ATimeout, false) == -1;
        if (!FReadLnTimedOut && ATimeout >= 0 && GetTickDiff64(Start, GetTickCount64()) >= static_cast<uint64_t>(ATimeout))
            FReadLnTimedOut = true;
        if (FReadLnTimedOut)
            return {};
    }
}

// Lines are read one after another with the same terminator: encoding it
// once spares an allocation per line.
const TIdBytes& TIdIOHandler::EncodedTerminator(const std::string& ATerminator, const IIdTextEncodingPtr& AEncoding) {
    if (ATerminator != FTerminatorText || AEncoding != FTerminatorEncoding) {
        FTerminatorBytes = AEncoding->GetBytes(ATerminator);
        FTerminatorText = ATerminator;
        FTerminatorEncoding = AEncoding;
    }
    return FTerminatorBytes;
}

std::string TIdIOHandler::ReadLnSplit(bool& AWasSplit, const std::string& ATerminator, int ATimeout,
                                      int AMaxLineLength, const IIdTextEncodingPtr& AByteEncoding) {
    const TIdMaxLineAction SavedAction = FMaxLineAction;
    FMaxLineAction = maSplit;
    std::string Line;
    try {
        Line = ReadLn(ATerminator, ATimeout, AMaxLineLength, AByteEncoding);
    } catch (...) {
        FMaxLineAction = SavedAction;
        throw;
    }
    FMaxLineAction = SavedAction;
    AWasSplit = FReadLnSplit;
    return Line;
}

std::string TIdIOHandler::ReadLnWait(int AFailCount, const IIdTextEncodingPtr& AByteEncoding) {
    for (int Attempt = 0; Attempt < AFailCount; ++Attempt) {
        const std::string Line(Trim(ReadLn(AByteEncoding)));
        if (!Line.empty())
            return Line;
        if (FReadLnTimedOut)
            throw EIdReadTimeout();
    }
    throw EIdReadLnWaitMaxAttemptsExceeded();
}

std::string TIdIOHandler::ReadLnRFC(bool& VMsgEnd, const std::string& ALineTerminator, const std::string& ADelim,
                                    const IIdTextEncodingPtr& AByteEncoding) {
    std::string Line = ReadLn(ALineTerminator, AByteEncoding);
    VMsgEnd = Line == ADelim;
    if (!VMsgEnd && Line.starts_with(".."))
        Line.erase(0, 1);
    return Line;
}

void TIdIOHandler::ReadStrings(TStringList& ADest, int AReadLinesCount, const IIdTextEncodingPtr& AByteEncoding) {
    if (AReadLinesCount < 0)
        AReadLinesCount = ReadInt32();
    for (int I = 0; I < AReadLinesCount; ++I)
        ADest.Add(ReadLn(AByteEncoding));
}

void TIdIOHandler::Capture(TObject* ADest, int& VLineCount, const std::string& ADelim, bool AUsesDotTransparency,
                           const IIdTextEncodingPtr& AByteEncoding) {
    auto* List = dynamic_cast<TStringList*>(ADest);
    auto* Stream = dynamic_cast<TStream*>(ADest);
    if (!List && !Stream)
        throw EIdObjectTypeNotSupported();
    const IIdTextEncodingPtr& Encoding = EncodingOrDefault(AByteEncoding);
    VLineCount = 0;
    InWork(*this, wmRead, 0, [&] {
        for (;;) {
            std::string Line = ReadLn(Encoding);
            if (Line == ADelim)
                break;
            ++VLineCount;
            if (FMaxCapturedLines > 0 && VLineCount > FMaxCapturedLines)
                throw EIdMaxCaptureLineExceeded();
            if (AUsesDotTransparency && Line.starts_with(".."))
                Line.erase(0, 1);
            if (List) {
                List->Add(std::move(Line));
            } else {
                TIdBytes Bytes = Encoding->GetBytes(Line + "\r\n");
                Stream->WriteBuffer(Bytes.data(), static_cast<int64_t>(Bytes.size()));
            }
        }
    });
}

void TIdIOHandler::Capture(TObject* ADest, const std::string& ADelim, bool AUsesDotTransparency,
                           const IIdTextEncodingPtr& AByteEncoding) {
    int LineCount = 0;
    Capture(ADest, LineCount, ADelim, AUsesDotTransparency, AByteEncoding);
}

std::string TIdIOHandler::WaitFor(const std::string& AString, bool ARemoveFromBuffer, bool AInclusive,
                                  const IIdTextEncodingPtr& AByteEncoding, int ATimeout) {
    const IIdTextEncodingPtr& Encoding = EncodingOrDefault(AByteEncoding);
    const TIdBytes Pattern = Encoding->GetBytes(AString);
    const int PatternLength = static_cast<int>(Pattern.size());
    int SearchPos = 0;
    int Found = -1;
    while (Found < 0) {
        const int Size = FInputBuffer->Size();
        if (Size > 0) {
            if (SearchPos < Size)
                Found = FInputBuffer->IndexOf(Pattern, SearchPos);
            SearchPos = std::max(Size - PatternLength + 1, 0);
        }
        if (Found < 0)
            FillInputBuffer(true, ATimeout, true);
    }
    std::string Result = FInputBuffer->ExtractToString(Found, Encoding);
    if (ARemoveFromBuffer) {
        std::string Matched = FInputBuffer->ExtractToString(PatternLength, Encoding);
        if (AInclusive)
            Result += Matched;
    } else if (AInclusive) {
        Result += AString;
    }
    return Result;
}

std::string TIdIOHandler::InputLn(const std::string& AMask, bool AEcho, int ATabWidth, int AMaxLineLength,
                                  const IIdTextEncodingPtr& AByteEncoding) {
    const IIdTextEncodingPtr& Encoding = EncodingOrDefault(AByteEncoding);
    if (AMaxLineLength < 0)
        AMaxLineLength = FMaxLineLength;
    std::string Line;
    int Length = 0;  // in characters
    auto Echo = [&](const std::string& AText) {
        if (AEcho)
            Write(AText, Encoding);
    };
    for (;;) {
        const std::string Char = ReadChar(Encoding);
        if (Char == "\b") {
            if (Length > 0) {
                PopCharacter(Line);
                --Length;
                Echo("\b \b");
            }
        } else if (Char == "\t" && ATabWidth > 0) {
            const int Spaces = std::min(ATabWidth - Length % ATabWidth, std::max(AMaxLineLength - Length, 0));
            Line.append(static_cast<size_t>(Spaces), ' ');
            Length += Spaces;
            Echo(std::string(static_cast<size_t>(Spaces), ' '));
        } else if (Char == "\n") {
            break;
        } else if (Char != "\r" && Char != "\x1B" && Length < AMaxLineLength) {
            Line += Char;
            ++Length;
            Echo(AMask.empty() ? Char : AMask);
        }
    }
    while (!Line.empty() && (Line.back() == '\r' || Line.back() == '\n'))
        Line.pop_back();
    Echo("\r\n");
    return Line;
}

// --- TIdIOHandler: reading bytes and values --------------------------------

void TIdIOHandler::ReadBytes(TIdBytes& VBuffer, int AByteCount, bool AAppend) {
    AwaitInputBytes(AByteCount);
    if (AByteCount != 0)
        FInputBuffer->ExtractToBytes(VBuffer, AByteCount < 0 ? -1 : AByteCount, AAppend);
}

std::string TIdIOHandler::ReadString(int ABytes, const IIdTextEncodingPtr& AByteEncoding) {
    if (ABytes < 1)
        return {};
    AwaitInputBytes(ABytes);
    return FInputBuffer->ExtractToString(ABytes, EncodingOrDefault(AByteEncoding));
}

std::string TIdIOHandler::ReadChar(const IIdTextEncodingPtr& AByteEncoding) {
    const IIdTextEncodingPtr& Encoding = EncodingOrDefault(AByteEncoding);
    const int MaxBytes = std::max(Encoding->GetMaxByteCount(2), 1);
    TIdBytes Bytes;
    std::string Char;
    for (int I = 0; I < MaxBytes; ++I) {
        ReadBytes(Bytes, 1, true);
        Char = Encoding->GetString(Bytes);
        if (!Char.empty() && Char != ReplacementChar)
            break;
    }
    return Char;
}

uint8_t TIdIOHandler::ReadByte() {
    AwaitInputBytes(1);
    return FInputBuffer->ExtractToUInt8();
}

int16_t TIdIOHandler::ReadInt16(bool AConvert) { return static_cast<int16_t>(ReadUInt16(AConvert)); }

uint16_t TIdIOHandler::ReadUInt16(bool AConvert) {
    AwaitInputBytes(2);
    return FInputBuffer->ExtractToUInt16(-1, AConvert);
}

int32_t TIdIOHandler::ReadInt32(bool AConvert) { return static_cast<int32_t>(ReadUInt32(AConvert)); }

uint32_t TIdIOHandler::ReadUInt32(bool AConvert) {
    AwaitInputBytes(4);
    return FInputBuffer->ExtractToUInt32(-1, AConvert);
}

int64_t TIdIOHandler::ReadInt64(bool AConvert) { return static_cast<int64_t>(ReadUInt64(AConvert)); }

uint64_t TIdIOHandler::ReadUInt64(bool AConvert) {
    AwaitInputBytes(8);
    return FInputBuffer->ExtractToUInt64(-1, AConvert);
}

int64_t TIdIOHandler::TakeFromInputBuffer(TStream* AStream, int64_t AMax) {
    int64_t Count = FInputBuffer->Size();
    if (AMax >= 0)
        Count = std::min(Count, AMax);
    if (Count > 0) {
        if (AStream)
            FInputBuffer->ExtractToStream(*AStream, static_cast<int>(Count));
        else
            FInputBuffer->Remove(static_cast<int>(Count));
    }
    return Count;
}

void TIdIOHandler::ReadStream(TStream* AStream, int64_t AByteCount, bool AReadUntilDisconnect) {
    int64_t Size = AByteCount;
    if (AByteCount == -1 && !AReadUntilDisconnect)
        Size = FLargeStream ? ReadInt64() : static_cast<int64_t>(ReadInt32());
    // The size may come from the peer: the stream grows with the bytes that
    // arrive and is never sized in advance.
    if (AStream && Size >= 0 && Size > INT64_MAX - AStream->Position())
        throw EIdIOHandlerStreamDataTooLarge();
    if (Size < 0)
        AReadUntilDisconnect = true;

    auto ReadBody = [&] {
        int64_t Remaining = Size;
        auto Take = [&] { Remaining -= TakeFromInputBuffer(AStream, AReadUntilDisconnect ? -1 : Remaining); };
        Take();
        while (AReadUntilDisconnect || Remaining > 0) {
            int Added;
            try {
                Added = FillInputBuffer(!AReadUntilDisconnect, IdTimeoutDefault, true);
            } catch (...) {
                Take();
                throw;
            }
            Take();
            if (Added < 1) {
                CheckForDisconnect(false, false);
                break;
            }
            TIdAntiFreezeBase::DoProcess(false);
        }
    };
    // The stream ends where the read ended, also when it held more before.
    auto CutStream = [&] {
        if (AStream && AStream->Size() > AStream->Position())
            AStream->SetSize(AStream->Position());
    };
    try {
        InWork(*this, wmRead, AReadUntilDisconnect ? 0 : Size, ReadBody);
    } catch (...) {
        CutStream();
        throw;
    }
    CutStream();
}

void TIdIOHandler::Discard(int64_t AByteCount) {
    if (AByteCount < 1)
        return;
    InWork(*this, wmRead, AByteCount, [&] {
        for (;;) {
            const int64_t Count = std::min<int64_t>({AByteCount, INT_MAX, FInputBuffer->Size()});
            if (Count > 0) {
                FInputBuffer->Remove(static_cast<int>(Count));
                AByteCount -= Count;
                if (AByteCount == 0)
                    break;
            }
            if (FillInputBuffer(false, IdTimeoutDefault, true) <= 0)
                CheckForDisconnect(true, true);
        }
    });
}

void TIdIOHandler::DiscardAll() {
    InWork(*this, wmRead, 0, [&] {
        try {
            for (;;) {
                FInputBuffer->Clear();
                FillInputBuffer(true, IdTimeoutDefault, true);
            }
        } catch (const EIdConnClosedGracefully&) {
            FInputBuffer->Clear();
        } catch (...) {
            FInputBuffer->Clear();
            throw;
        }
    });
}

std::string TIdIOHandler::AllData(const IIdTextEncodingPtr& AByteEncoding) {
    try {
        if (Connected())
            while (FillInputBuffer(false, 250, false) != 0) {
            }
    } catch (const EIdConnClosedGracefully&) {
        // The peer's close is the normal end; any other failure is one.
    }
    return InputBufferAsString(AByteEncoding);
}

std::string TIdIOHandler::InputBufferAsString(const IIdTextEncodingPtr& AByteEncoding) {
    return FInputBuffer->ExtractToString(-1, EncodingOrDefault(AByteEncoding));
}

void TIdIOHandler::InputBufferToStream(TStream& AStream, int AByteCount) {
    FInputBuffer->ExtractToStream(AStream, AByteCount);
}

// --- TIdIOHandler: writing -----------------------------------------------------

void TIdIOHandler::Write(const std::string& AOut, const IIdTextEncodingPtr& AByteEncoding) {
    if (!AOut.empty())
        Write(EncodingOrDefault(AByteEncoding)->GetBytes(AOut));
}

void TIdIOHandler::WriteLn(const std::string& AOut, const IIdTextEncodingPtr& AByteEncoding) {
    Write(AOut + "\r\n", AByteEncoding);
}

void TIdIOHandler::WriteLnRFC(const std::string& AOut, const IIdTextEncodingPtr& AByteEncoding) {
    WriteLn(AOut.starts_with(".") ? "." + AOut : AOut, AByteEncoding);
}

void TIdIOHandler::WriteRFCStrings(const TStringList& AStrings, bool AWriteTerminator,
                                   const IIdTextEncodingPtr& AByteEncoding) {
    for (int I = 0; I < AStrings.Count(); ++I)
        WriteLnRFC(AStrings.Strings(I), AByteEncoding);
    if (AWriteTerminator)
        WriteLn(".", AByteEncoding);
}

void TIdIOHandler::Write(const TStringList& AValue, bool AWriteLinesCount, const IIdTextEncodingPtr& AByteEncoding) {
    const bool OwnBuffering = !WriteBufferingActive();
    if (OwnBuffering)
        WriteBufferOpen();
    try {
        if (AWriteLinesCount)
            WriteInt32(AValue.Count());
        for (int I = 0; I < AValue.Count(); ++I)
            WriteLn(AValue.Strings(I), AByteEncoding);
    } catch (...) {
        if (OwnBuffering)
            WriteBufferCancel();
        throw;
    }
    if (OwnBuffering)
        WriteBufferClose();
}

void TIdIOHandler::Write(const TIdBytes& ABuffer, int ALength, int AOffset) {
    const int Available = static_cast<int>(ABuffer.size()) - AOffset;
    if (ALength < 0 || ALength > Available)
        ALength = Available;
    if (ALength < 1)
        return;
    if (!FWriteBuffer) {
        WriteDirect(ABuffer, ALength, AOffset);
        return;
    }
    FWriteBuffer->Write(ABuffer, ALength, AOffset);
    if (FWriteBufferThreshold > 0)
        while (FWriteBuffer && FWriteBuffer->Size() >= FWriteBufferThreshold)
            WriteBufferFlush(FWriteBufferThreshold);
}

void TIdIOHandler::WriteBytesOf(uint64_t AValue, int ASize, bool AConvert) {
    TIdBytes Bytes(static_cast<size_t>(ASize));
    if (AConvert) {
        for (int I = ASize - 1; I >= 0; --I, AValue >>= 8)
            Bytes[static_cast<size_t>(I)] = static_cast<uint8_t>(AValue);
    } else {
        for (int I = 0; I < ASize; ++I, AValue >>= 8)  // host order: this platform is little-endian
            Bytes[static_cast<size_t>(I)] = static_cast<uint8_t>(AValue);
    }
    Write(Bytes);
}

void TIdIOHandler::WriteInt16(int16_t AValue, bool AConvert) { WriteBytesOf(static_cast<uint16_t>(AValue), 2, AConvert); }
void TIdIOHandler::WriteUInt16(uint16_t AValue, bool AConvert) { WriteBytesOf(AValue, 2, AConvert); }
void TIdIOHandler::WriteInt32(int32_t AValue, bool AConvert) { WriteBytesOf(static_cast<uint32_t>(AValue), 4, AConvert); }
void TIdIOHandler::WriteUInt32(uint32_t AValue, bool AConvert) { WriteBytesOf(AValue, 4, AConvert); }
void TIdIOHandler::WriteInt64(int64_t AValue, bool AConvert) { WriteBytesOf(static_cast<uint64_t>(AValue), 8, AConvert); }
void TIdIOHandler::WriteUInt64(uint64_t AValue, bool AConvert) { WriteBytesOf(AValue, 8, AConvert); }

void TIdIOHandler::Write(TStream& AStream, int64_t ASize, bool AWriteByteCount) {
    if (ASize < 0) {
        ASize = AStream.Size() - AStream.Position();
    } else if (ASize == 0) {
        AStream.SetPosition(0);
        ASize = AStream.Size();
    }
    if (AWriteByteCount) {
        if (FLargeStream) {
            WriteInt64(ASize);
        } else {
            if (ASize > INT32_MAX)
                throw EIdIOHandlerRequiresLargeStream();
            WriteInt32(static_cast<int32_t>(ASize));
        }
    }
    InWork(*this, wmWrite, ASize, [&] {
        TIdBytes Buffer;
        while (ASize > 0) {
            Buffer.resize(static_cast<size_t>(std::min<int64_t>(ASize, FSendBufferSize)));
            const int64_t Count = AStream.Read(Buffer.data(), static_cast<int64_t>(Buffer.size()));
            if (Count <= 0)
                throw EIdNoDataToRead();
            Write(Buffer, static_cast<int>(Count));
            ASize -= Count;
        }
    });
}

int64_t TIdIOHandler::WriteFile(const std::string& AFile, bool) {
    std::error_code Error;
    if (!std::filesystem::is_regular_file(AFile, Error))
        throw EIdFileNotFound(AFile);
    TFileStream Stream(AFile, fmOpenRead | fmShareDenyWrite);
    Write(Stream, 0, false);
    return Stream.Size();
}

void TIdIOHandler::WriteDirect(const TIdBytes& ABuffer, int ALength, int AOffset) {
    CheckForDisconnect(true, true);
    const int Available = static_cast<int>(ABuffer.size()) - AOffset;
    if (ALength < 0 || ALength > Available)
        ALength = Available;
    const TIdBytes* Data = &ABuffer;
    TIdBytes Intercepted;
    if (FIntercept && ALength > 0) {
        // The chain may replace the block (compress, encrypt, log).
        Intercepted.assign(ABuffer.begin() + AOffset, ABuffer.begin() + AOffset + ALength);
        FIntercept->Send(Intercepted);
        Data = &Intercepted;
        AOffset = 0;
        ALength = static_cast<int>(Intercepted.size());
    }
    while (ALength > 0) {
        const int Sent = WriteDataToTarget(*Data, AOffset, ALength);
        if (Sent < 0) {
            const int Code = GetSocketErrorCode(Sent);
            if (Code != Id_WSAETIMEDOUT) {
                FClosedGracefully = true;
                Close();
            }
            RaiseSocketError(Code);
        }
        TIdAntiFreezeBase::DoProcess(false);
        if (Sent == 0)
            FClosedGracefully = true;
        CheckForDisconnect(true, false);
        DoWork(wmWrite, Sent);
        AOffset += Sent;
        ALength -= Sent;
    }
}

// --- TIdIOHandler: write buffering --------------------------------------------

void TIdIOHandler::WriteBufferOpen(int AThreshold) {
    if (FWriteBuffer)
        FWriteBuffer->Clear();
    else
        FWriteBuffer = std::make_unique<TIdBuffer>();
    FWriteBufferThreshold = AThreshold;
}

void TIdIOHandler::WriteBufferClose() {
    try {
        WriteBufferFlush();
    } catch (...) {
        FWriteBuffer.reset();
        throw;
    }
    FWriteBuffer.reset();
}

void TIdIOHandler::WriteBufferFlush(int AByteCount) {
    if (!FWriteBuffer || FWriteBuffer->Size() == 0)
        return;
    if (AByteCount < 0 || AByteCount > FWriteBuffer->Size())
        AByteCount = FWriteBuffer->Size();
    TIdBytes Bytes;
    FWriteBuffer->ExtractToBytes(Bytes, AByteCount);
    WriteDirect(Bytes);
}

void TIdIOHandler::WriteBufferClear() {
    if (FWriteBuffer)
        FWriteBuffer->Clear();
}

void TIdIOHandler::WriteBufferCancel() {
    WriteBufferClear();
    FWriteBuffer.reset();
}
