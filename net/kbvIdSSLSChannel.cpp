#include "net/kbvIdSSLSChannel.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/Format.h"
#include "core/Ticks.h"
#include "net/kbvIdSSLSChannel_State.h"
#include "net/kbvIdStackLinux.h"

using namespace kbvSSPI;

namespace {

// An application-protocols buffer: the size of the lists, then one ALPN
// list of names, each behind its length byte (all little-endian).
TIdBytes ApplicationProtocols(const TStringList& ANames) {
    TIdBytes List;
    for (int I = 0; I < ANames.Count(); ++I) {
        const std::string& Name = ANames.Strings(I);
        if (Name.empty() || Name.size() > 255)
            continue;
        List.push_back(static_cast<uint8_t>(Name.size()));
        List.insert(List.end(), Name.begin(), Name.end());
    }
    if (List.empty())
        return {};
    auto Put = [](TIdBytes& AInto, uint32_t AValue, int ABytes) {
        for (int I = 0; I < ABytes; ++I)
            AInto.push_back(static_cast<uint8_t>(AValue >> (8 * I)));
    };
    TIdBytes Result;
    Put(Result, static_cast<uint32_t>(6 + List.size()), 4);
    Put(Result, SecApplicationProtocolNegotiationExt_ALPN, 4);
    Put(Result, static_cast<uint32_t>(List.size()), 2);
    Result.insert(Result.end(), List.begin(), List.end());
    return Result;
}

const char* ProtocolName(uint32_t AProtocol) {
    switch (AProtocol) {
    case SP_PROT_TLS1_0_CLIENT: return "TLSv1";
    case SP_PROT_TLS1_1_CLIENT: return "TLSv1.1";
    case SP_PROT_TLS1_2_CLIENT: return "TLSv1.2";
    case SP_PROT_TLS1_3_CLIENT: return "TLSv1.3";
    default: return "";
    }
}

}  // namespace

void TkbvSChannelCertificate::Assign(const TPersistent& ASource) {
    const auto* Source = dynamic_cast<const TkbvSChannelCertificate*>(&ASource);
    if (!Source) {
        TPersistent::Assign(ASource);
        return;
    }
    FPassword = Source->FPassword;
    FCertHash = Source->FCertHash;
    FCertFile = Source->FCertFile;
    FCertStoreName = Source->FCertStoreName;
    FCertStorePath = Source->FCertStorePath;
    FVerifyCertificate = Source->FVerifyCertificate;
}

TkbvIdSSLIOHandlerSocketSChannel::TkbvIdSSLIOHandlerSocketSChannel(TComponent* AOwner)
    : TIdSSLIOHandlerSocketBase(AOwner), FCertificate(std::make_unique<TkbvSChannelCertificate>()) {}

TkbvIdSSLIOHandlerSocketSChannel::~TkbvIdSSLIOHandlerSocketSChannel() {
    try {
        if (FOpened)
            Close();
    } catch (...) {
    }
    ReleaseState();
}

std::string TkbvIdSSLIOHandlerSocketSChannel::ALPNProtocol() const {
    SecPkgContext_ApplicationProtocol Protocol;
    if (!FState || QueryContextAttributes(FState->Context, Protocol) != SEC_E_OK)
        return "";
    return Protocol.ProtocolId;
}

TkbvSChannelConnectionInfo TkbvIdSSLIOHandlerSocketSChannel::Info() const {
    TkbvSChannelConnectionInfo Result;
    SecPkgContext_ConnectionInfo Connection;
    SecPkgContext_CipherInfo Names;
    if (!FState || QueryContextAttributes(FState->Context, Connection) != SEC_E_OK ||
        QueryContextAttributes(FState->Context, Names) != SEC_E_OK)
        return Result;
    Result.Protocol = Connection.dwProtocol;
    Result.Cipher = Connection.aiCipher;
    Result.CipherStrength = Connection.dwCipherStrength;
    Result.Hash = Connection.aiHash;
    Result.HashStrength = Connection.dwHashStrength;
    Result.Exchange = Connection.aiExch;
    Result.ExchangeStrength = Connection.dwExchStrength;
    Result.ProtocolName = ProtocolName(Connection.dwProtocol);
    Result.CipherName = Names.szCipher;
    Result.HashName = Names.szHash;
    Result.ExchangeName = Names.szExchange;
    Result.Description = Names.szCipherSuite;
    return Result;
}

// --- starting and ending TLS ----------------------------------------------------------

void TkbvIdSSLIOHandlerSocketSChannel::ConnectToPeer() {
    ConnectInPlainText();
    StartSSL();
}

void TkbvIdSSLIOHandlerSocketSChannel::StartSSL() {
    if (!FPassThrough)
        OpenEncodedConnection();
}

void TkbvIdSSLIOHandlerSocketSChannel::SetPassThrough(bool AValue) {
    if (AValue == FPassThrough)
        return;
    FPassThrough = AValue;
    if (!AValue && BindingAllocated())
        OpenEncodedConnection();
    else if (AValue)
        ReleaseState();
}

void TkbvIdSSLIOHandlerSocketSChannel::OpenEncodedConnection() {
    ReleaseState();
    auto State = std::make_unique<TkbvSChannelState>();
    State->Socket = FBinding->Handle();
    State->TargetName = HostToCheck(FURIToCheck, FHost);
    State->Cred.grbitEnabledProtocols = SChannelProtocolsOf(FTLSVersion);
    State->CipherList = FCipherList;
    State->Algorithms = SChannelAlgorithmsOf(FCipherList);
    State->ALPN = ApplicationProtocols(FALPNProtocols);
    State->VerifyCertificate = FCertificate->VerifyCertificate();
    State->CertHash = FCertificate->CertHash();
    State->CertFile = FCertificate->CertFile();
    State->Password = FCertificate->Password();
    State->CertStorePath = FCertificate->CertStorePath();
    State->CertStoreName = FCertificate->CertStoreName();
    State->OnCredentials = FOnCredentials;
    State->Sender = this;
    State->WaitMS = FReadTimeOut > 0 ? FReadTimeOut : TLSHandshakeWaitDefaultMS;
    State->ConnectDeadline = FConnectTimeout > 0 ? GetTickCount64() + static_cast<uint64_t>(FConnectTimeout) : 0;
    FState = std::move(State);
    FFailure = TFailure::None;
    bool Started = false;
    try {
        Started = SChannelHandshake(*FState);
    } catch (...) {
        Close();
        throw;
    }
    if (!Started) {
        SChannelError Error(SChannelLastError(), SChannelLastStatus());
        Close();
        throw Error;
    }
    FPassThrough = false;
}

void TkbvIdSSLIOHandlerSocketSChannel::ReleaseState() {
    if (!FState)
        return;
    DeleteSecurityContext(FState->Context);
    FreeCredentialsHandle(FState->Credentials);
    FState.reset();
}

void TkbvIdSSLIOHandlerSocketSChannel::Close() {
    TIdIOHandlerStack::Close();
    ReleaseState();
}

std::unique_ptr<TIdSSLIOHandlerSocketBase> TkbvIdSSLIOHandlerSocketSChannel::Clone() const {
    auto Result = std::make_unique<TkbvIdSSLIOHandlerSocketSChannel>();
    Result->FTLSVersion = FTLSVersion;
    Result->FCertificate->Assign(*FCertificate);
    Result->FCipherList = FCipherList;
    Result->FALPNProtocols.Assign(FALPNProtocols);
    Result->FOnCredentials = FOnCredentials;
    Result->FReadTimeOut = FReadTimeOut;
    Result->FConnectTimeout = FConnectTimeout;
    Result->FIPVersion = FIPVersion;
    Result->FIsPeer = FIsPeer;
    return Result;
}

// --- reading -------------------------------------------------------------------------

bool TkbvIdSSLIOHandlerSocketSChannel::Connected() {
    try {
        return TIdIOHandlerStack::Connected();
    } catch (const EkbvSChannelStreamError&) {
        // A dead idle connection is just not connected; one that broke off
        // in the middle of what it sent is a failure for its reader.
        Close();
        if (!InputBufferIsEmpty())
            throw;
        return false;
    }
}

bool TkbvIdSSLIOHandlerSocketSChannel::WaitReadable(uint64_t ADeadline) {
    return WaitForSocket(FState->Socket, POLLIN, ADeadline != 0 ? MillisecondsUntil(ADeadline) : -1);
}

bool TkbvIdSSLIOHandlerSocketSChannel::Readable(int AMSec) {
    if (FPassThrough)
        return TIdIOHandlerStack::Readable(AMSec);
    if (!FState)
        return false;
    if (FFailure == TFailure::TimedOut)
        FFailure = TFailure::None;
    FReadDeadline = AMSec >= 0 ? GetTickCount64() + static_cast<uint64_t>(AMSec) : 0;
    FReadDeadlineSet = true;
    // A failure is readable too: the receive that follows reports it.
    return FState->PlainWaiting() > 0 || FFailure != TFailure::None || DecryptUntilPlain(FReadDeadline) != 0;
}

int TkbvIdSSLIOHandlerSocketSChannel::RecvEnc(TIdBytes& VBuffer) {
    if (!FState)
        throw EIdNotConnected();
    if (FFailure == TFailure::TimedOut)
        FFailure = TFailure::None;
    if (FState->PlainWaiting() == 0 && FFailure == TFailure::None) {
        // The receive may wait as long as the Readable before it had left.
        uint64_t Deadline = FReadDeadline;
        if (!FReadDeadlineSet)
            Deadline = FReadTimeOut > 0 ? GetTickCount64() + static_cast<uint64_t>(FReadTimeOut) : 0;
        if (DecryptUntilPlain(Deadline) == 0)
            FFailure = TFailure::TimedOut;
    }
    FReadDeadlineSet = false;
    TkbvSChannelState& State = *FState;
    const size_t Count = std::min(VBuffer.size(), State.PlainWaiting());
    if (Count == 0)
        return -1;
    std::memcpy(VBuffer.data(), State.Plain.data() + State.PlainPos, Count);
    State.PlainPos += Count;
    return static_cast<int>(Count);
}

int TkbvIdSSLIOHandlerSocketSChannel::DecryptUntilPlain(uint64_t ADeadline) {
    TkbvSChannelState& State = *FState;
    State.PlainCount = 0;
    State.PlainPos = 0;
    auto Broke = [&](TFailure AFailure, std::string AText) {
        FFailure = AFailure;
        FFailureText = std::move(AText);
        SetSChannelLastError(State.LastStatus, FFailureText);
        return -1;
    };
    bool NeedMore = State.ReceivedCount == 0;
    while (State.PlainCount == 0) {
        if (!NeedMore) {
            SecBuffer Buffers[4] = {{static_cast<uint32_t>(State.ReceivedCount), SECBUFFER_DATA, State.Received.data()}};
            SecBufferDesc Message{4, Buffers};
            const SECURITY_STATUS Status = DecryptMessage(State.Context, Message);
            State.LastStatus = Status;
            if (Status == SEC_E_INCOMPLETE_MESSAGE) {
                NeedMore = true;
                continue;
            }
            if (Status == SEC_I_CONTEXT_EXPIRED)
                return Broke(TFailure::Closed, "DecryptMessage returns SEC_I_CONTEXT_EXPIRED");
            if (Status == SEC_E_DECRYPT_FAILURE)
                return Broke(TFailure::Broken, "DecryptMessage returns SEC_E_DECRYPT_FAILURE");
            if (Status != SEC_E_OK && Status != SEC_I_RENEGOTIATE)
                return Broke(TFailure::Broken, Format("DecryptMessage returns %.8X", Status));
            size_t Extra = 0;
            for (const SecBuffer& Buffer : Buffers) {
                if (Buffer.BufferType == SECBUFFER_DATA && Buffer.cbBuffer > 0) {
                    State.Plain.resize(std::max(State.Plain.size(), State.PlainCount + Buffer.cbBuffer));
                    std::memcpy(State.Plain.data() + State.PlainCount, Buffer.pvBuffer, Buffer.cbBuffer);
                    State.PlainCount += Buffer.cbBuffer;
                } else if (Buffer.BufferType == SECBUFFER_EXTRA) {
                    Extra = Buffer.cbBuffer;
                }
            }
            std::memmove(State.Received.data(), State.Received.data() + State.ReceivedCount - Extra, Extra);
            State.ReceivedCount = Extra;
            if (Status == SEC_I_RENEGOTIATE) {
                if (!SChannelHandshakeLoop(State, false) || (State.VerifyCertificate && !SChannelVerifyServer(State)))
                    return Broke(TFailure::Broken, SChannelLastError());
                NeedMore = false;  // data may have come within the handshake
                continue;
            }
            NeedMore = State.ReceivedCount == 0;
            continue;
        }
        if (State.ReceivedCount >= State.Received.size())
            return Broke(TFailure::Broken, "A record does not fit the receive buffer");
        if (!WaitReadable(ADeadline))
            return 0;
        const ssize_t Count = ::recv(State.Socket, State.Received.data() + State.ReceivedCount,
                                     State.Received.size() - State.ReceivedCount, 0);
        if (Count < 0 && errno == EINTR)
            continue;
        if (Count == 0)
            return Broke(TFailure::EndOfFile, "recv returns 0");
        if (Count < 0) {
            FFailureErrno = errno;
            return Broke(TFailure::Socket, Format("recv returns %d", TranslateErrno(FFailureErrno)));
        }
        State.ReceivedCount += static_cast<size_t>(Count);
        NeedMore = false;
    }
    return 1;
}

// --- writing --------------------------------------------------------------------------

int TkbvIdSSLIOHandlerSocketSChannel::SendEnc(const TIdBytes& ABuffer, int AOffset, int ALength) {
    if (!FState)
        throw EIdNotConnected();
    TkbvSChannelState& State = *FState;
    const uint32_t Header = State.Sizes.cbHeader;
    int Sent = 0;
    while (Sent < ALength) {
        const uint32_t Piece = std::min<uint32_t>(State.Sizes.cbMaximumMessage, static_cast<uint32_t>(ALength - Sent));
        uint8_t* Record = State.SendBuffer.data();
        std::memcpy(Record + Header, ABuffer.data() + AOffset + Sent, Piece);
        SecBuffer Buffers[4] = {{Header, SECBUFFER_STREAM_HEADER, Record},
                                {Piece, SECBUFFER_DATA, Record + Header},
                                {State.Sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, Record + Header + Piece},
                                {}};
        SecBufferDesc Message{4, Buffers};
        const SECURITY_STATUS Status = EncryptMessage(State.Context, Message);
        if (Status != SEC_E_OK) {
            FFailure = TFailure::Broken;
            FFailureText = Format("EncryptMessage returns %.8X", Status);
            SetSChannelLastError(Status, FFailureText);
            return -1;
        }
        if (!SChannelSendAll(State, Record, size_t(Buffers[0].cbBuffer) + Buffers[1].cbBuffer + Buffers[2].cbBuffer)) {
            FFailure = TFailure::Socket;
            FFailureErrno = State.LastErrno;
            return -1;
        }
        Sent += static_cast<int>(Piece);
    }
    return Sent;
}

// --- failures --------------------------------------------------------------------------

int TkbvIdSSLIOHandlerSocketSChannel::GetSocketErrorCode(int AResult) {
    if (FPassThrough)
        return TIdIOHandlerStack::GetSocketErrorCode(AResult);
    switch (FFailure) {
    case TFailure::None: return 0;
    case TFailure::TimedOut: return Id_WSAETIMEDOUT;
    case TFailure::Closed: return Id_WSAESHUTDOWN;  // the peer ended TLS: raised as a graceful close
    case TFailure::Socket: {
        const int Code = TranslateErrno(FFailureErrno);
        if (Code == Id_WSAECONNABORTED || Code == Id_WSAECONNRESET || Code == Id_WSAESHUTDOWN || Code == Id_WSAETIMEDOUT)
            return Code;
        Close();
        TIdStack::RaiseSocketError(Code);
    }
    case TFailure::EndOfFile:
        Close();
        throw EkbvSChannelUnexpectedEOF();
    case TFailure::Broken:
    default:
        Close();
        throw EkbvSChannelStreamError(FFailureText);
    }
}

void TkbvIdSSLIOHandlerSocketSChannel::RaiseSocketError(int AErrorCode) {
    if (!FPassThrough && FFailure == TFailure::Closed)
        throw EIdConnClosedGracefully();
    TIdStack::RaiseSocketError(AErrorCode);
}
