#include "net/kbvIdSSPI.h"

#include <cerrno>
#include <cstring>

#include <gnutls/x509.h>

#include "net/kbvIdSSPI_Session.h"

namespace kbvSSPI {

namespace {

constexpr size_t RecordHeaderSize = 5;

// --- record framing ---------------------------------------------------------------

enum class TFrame { Whole, Partial, Illegal };

// Whether AData starts with a whole TLS record; AData's size for Partial.
TFrame FrameRecord(const uint8_t* AData, size_t ASize, size_t& VLength) {
    if (ASize >= 1 && (AData[0] < 20 || AData[0] > 24))
        return TFrame::Illegal;  // not change_cipher_spec, alert, handshake, data, heartbeat
    if (ASize >= 2 && AData[1] != 3)
        return TFrame::Illegal;
    if (ASize < RecordHeaderSize)
        return TFrame::Partial;
    VLength = RecordHeaderSize + (size_t(AData[3]) << 8 | AData[4]);
    if (VLength > MaxRecordSize)
        return TFrame::Illegal;
    return ASize >= VLength ? TFrame::Whole : TFrame::Partial;
}

// --- the transport GnuTLS sees ----------------------------------------------------

ssize_t Push(gnutls_transport_ptr_t AContext, const void* AData, size_t ASize) {
    auto* Context = static_cast<TSspiContext*>(AContext);
    const auto* Bytes = static_cast<const uint8_t*>(AData);
    Context->Out.insert(Context->Out.end(), Bytes, Bytes + ASize);
    return static_cast<ssize_t>(ASize);
}

ssize_t Pull(gnutls_transport_ptr_t AContext, void* AData, size_t ASize) {
    auto* Context = static_cast<TSspiContext*>(AContext);
    if (Context->InLeft == 0) {
        gnutls_transport_set_errno(Context->Session, EAGAIN);
        return -1;
    }
    const size_t Count = std::min(ASize, Context->InLeft);
    std::memcpy(AData, Context->In, Count);
    Context->In += Count;
    Context->InLeft -= Count;
    return static_cast<ssize_t>(Count);
}

int PullTimeout(gnutls_transport_ptr_t AContext, unsigned int) {
    return static_cast<TSspiContext*>(AContext)->InLeft > 0 ? 1 : 0;
}

// --- status of a failed GnuTLS call ---------------------------------------------------

SECURITY_STATUS StatusOf(const TSspiContext& AContext, int AError) {
    switch (AError) {
    case GNUTLS_E_USER_ERROR:
        return Failed(AContext.QueryStatus) ? AContext.QueryStatus : SEC_E_INTERNAL_ERROR;
    case GNUTLS_E_DECRYPTION_FAILED:
        return SEC_E_DECRYPT_FAILURE;
    case GNUTLS_E_UNSUPPORTED_VERSION_PACKET:
    case GNUTLS_E_NO_CIPHER_SUITES:
    case GNUTLS_E_UNKNOWN_CIPHER_SUITE:
    case GNUTLS_E_INSUFFICIENT_CREDENTIALS:
    case GNUTLS_E_NO_COMMON_KEY_SHARE:
        return SEC_E_ALGORITHM_MISMATCH;
    case GNUTLS_E_CERTIFICATE_ERROR:
    case GNUTLS_E_NO_CERTIFICATE_FOUND:
        return SEC_E_CERT_UNKNOWN;
    case GNUTLS_E_MEMORY_ERROR:
    case GNUTLS_E_INTERNAL_ERROR:
        return SEC_E_INTERNAL_ERROR;
    default:
        // Alerts received and every malformed or unexpected message.
        return SEC_E_ILLEGAL_MESSAGE;
    }
}

// The client certificate, when the server asks for one.
int RetrieveCertificate(gnutls_session_t ASession, const gnutls_cert_retr_st* AInfo, gnutls_pcert_st** VCerts,
                        unsigned int* VCount, gnutls_ocsp_data_st** VOCSP, unsigned int* VOCSPCount,
                        gnutls_privkey_t* VKey, unsigned int* VFlags) {
    auto* Context = static_cast<TSspiContext*>(gnutls_session_get_ptr(ASession));
    *VCerts = nullptr;
    *VCount = 0;
    *VOCSP = nullptr;
    *VOCSPCount = 0;
    *VKey = nullptr;
    *VFlags = 0;
    if (!Context)
        return -1;
    Context->Issuers.clear();
    for (unsigned I = 0; I < AInfo->nreqs; ++I)
        Context->Issuers.emplace_back(AInfo->req_ca_rdn[I].data, AInfo->req_ca_rdn[I].data + AInfo->req_ca_rdn[I].size);
    TSspiCredentials* Use = Context->Credential.get();
    if (Use->ClientChain.empty() && Context->Query) {
        try {
            Context->QueryStatus = Context->Query(Context->Supplied);
        } catch (...) {
            Context->QueryStatus = SEC_E_INTERNAL_ERROR;
        }
        if (Failed(Context->QueryStatus))
            return -1;
        if (Context->Supplied)
            Use = Context->Supplied.get();
    }
    if (!Use->ClientChain.empty()) {
        *VCerts = Use->ClientChain.data();
        *VCount = static_cast<unsigned>(Use->ClientChain.size());
        *VKey = Use->ClientKey;
    }
    return 0;
}

// --- credentials ------------------------------------------------------------------

// The GnuTLS priority text for the enabled protocols and algorithms; empty
// when no version it knows is enabled.
std::string PriorityText(const SCHANNEL_CRED& ACred) {
    std::string Result = "NORMAL";
    if (ACred.grbitEnabledProtocols != 0) {
        std::string Versions;
        const std::pair<uint32_t, const char*> Known[] = {{SP_PROT_TLS1_3, "+VERS-TLS1.3"},
                                                          {SP_PROT_TLS1_2, "+VERS-TLS1.2"},
                                                          {SP_PROT_TLS1_1, "+VERS-TLS1.1"},
                                                          {SP_PROT_TLS1_0, "+VERS-TLS1.0"}};
        for (const auto& [Bits, Name] : Known)
            if (ACred.grbitEnabledProtocols & Bits)
                Versions += std::string(":") + Name;
        if (Versions.empty())
            return "";
        Result += ":-VERS-ALL" + Versions;
    }
    std::string Ciphers, Hashes, Exchanges;
    for (ALG_ID Algorithm : ACred.palgSupportedAlgs) {
        switch (Algorithm) {
        case CALG_AES_128: Ciphers += ":+AES-128-GCM:+AES-128-CCM:+AES-128-CBC"; break;
        case CALG_AES_256: Ciphers += ":+AES-256-GCM:+AES-256-CCM:+AES-256-CBC"; break;
        case CALG_AES: Ciphers += ":+AES-128-GCM:+AES-256-GCM:+AES-128-CBC:+AES-256-CBC"; break;
        case CALG_3DES: Ciphers += ":+3DES-CBC"; break;
        case CALG_SHA1: Hashes += ":+SHA1"; break;
        case CALG_SHA_256: Hashes += ":+SHA256"; break;
        case CALG_SHA_384: Hashes += ":+SHA384"; break;
        case CALG_RSA_KEYX: Exchanges += ":+RSA"; break;
        case CALG_DH_EPHEM: Exchanges += ":+DHE-RSA:+DHE-DSS"; break;
        case CALG_ECDH:
        case CALG_ECDH_EPHEM: Exchanges += ":+ECDHE-RSA:+ECDHE-ECDSA"; break;
        default: break;
        }
    }
    if (!Ciphers.empty())
        Result += ":-CIPHER-ALL" + Ciphers;
    if (!Hashes.empty())
        Result += ":-MAC-ALL:+AEAD" + Hashes;
    if (!Exchanges.empty())
        Result += ":-KX-ALL" + Exchanges;
    return Result;
}

SECURITY_STATUS LoadClientCertificate(TSspiCredentials& ACredentials, const CERT_CONTEXT& ACertificate) {
    if (ACertificate.Chain.empty())
        return SEC_E_UNKNOWN_CREDENTIALS;
    for (const TIdBytes& Der : ACertificate.Chain) {
        gnutls_pcert_st Cert;
        const gnutls_datum_t Data{const_cast<uint8_t*>(Der.data()), static_cast<unsigned>(Der.size())};
        if (gnutls_pcert_import_x509_raw(&Cert, &Data, GNUTLS_X509_FMT_DER, 0) < 0)
            return SEC_E_UNKNOWN_CREDENTIALS;
        ACredentials.ClientChain.push_back(Cert);
    }
    const gnutls_datum_t Key{const_cast<uint8_t*>(ACertificate.PrivateKey.data()),
                             static_cast<unsigned>(ACertificate.PrivateKey.size())};
    // The raw import reads PKCS#8 only; this one also PKCS#1 and SEC1.
    gnutls_x509_privkey_t X509Key = nullptr;
    if (gnutls_x509_privkey_init(&X509Key) < 0)
        return SEC_E_INTERNAL_ERROR;
    if (gnutls_x509_privkey_import(X509Key, &Key, GNUTLS_X509_FMT_DER) < 0 ||
        gnutls_privkey_init(&ACredentials.ClientKey) < 0 ||
        gnutls_privkey_import_x509(ACredentials.ClientKey, X509Key, GNUTLS_PRIVKEY_IMPORT_AUTO_RELEASE) < 0) {
        gnutls_x509_privkey_deinit(X509Key);
        return SEC_E_UNKNOWN_CREDENTIALS;
    }
    return SEC_E_OK;
}

// --- context steps ----------------------------------------------------------------

SecBuffer* FindBuffer(SecBufferDesc* ADesc, uint32_t AType) {
    if (!ADesc)
        return nullptr;
    for (uint32_t I = 0; I < ADesc->cBuffers; ++I)
        if (ADesc->pBuffers[I].BufferType == AType)
            return &ADesc->pBuffers[I];
    return nullptr;
}

// The names of an application-protocols buffer: a 32-bit size of the lists,
// then per list the 32-bit extension kind, a 16-bit size and the names,
// each behind a length byte.
std::vector<gnutls_datum_t> ALPNNames(const SecBuffer& ABuffer) {
    std::vector<gnutls_datum_t> Names;
    const uint8_t* Data = ABuffer.pvBuffer;
    const size_t Size = ABuffer.cbBuffer;
    auto U32 = [&](size_t At) { return uint32_t(Data[At]) | uint32_t(Data[At + 1]) << 8 | uint32_t(Data[At + 2]) << 16 | uint32_t(Data[At + 3]) << 24; };
    if (!Data || Size < 10)
        return Names;
    const size_t ListsEnd = std::min(Size, 4 + size_t(U32(0)));
    size_t At = 4;
    while (At + 6 <= ListsEnd) {
        const uint32_t Kind = U32(At);
        const size_t ListEnd = std::min(ListsEnd, At + 6 + (size_t(Data[At + 4]) | size_t(Data[At + 5]) << 8));
        At += 6;
        for (; At < ListEnd && At + 1 + Data[At] <= ListEnd; At += 1 + Data[At])
            if (Kind == SecApplicationProtocolNegotiationExt_ALPN && Data[At] > 0)
                Names.push_back({const_cast<uint8_t*>(Data + At + 1), Data[At]});
        At = ListEnd;
    }
    return Names;
}

void HandOutToken(TSspiContext& AContext, SecBufferDesc* AOutput) {
    AContext.Token.swap(AContext.Out);
    AContext.Out.clear();
    if (SecBuffer* Token = FindBuffer(AOutput, SECBUFFER_TOKEN)) {
        Token->pvBuffer = AContext.Token.empty() ? nullptr : AContext.Token.data();
        Token->cbBuffer = static_cast<uint32_t>(AContext.Token.size());
    }
}

SECURITY_STATUS StartContext(const CredHandle& ACredential, CtxtHandle& VContext, const std::string& ATargetName,
                             SecBufferDesc* AInput, SecBufferDesc* AOutput) {
    auto Context = std::make_shared<TSspiContext>();
    Context->Credential = ACredential;
    if (gnutls_init(&Context->Session, GNUTLS_CLIENT | GNUTLS_NONBLOCK) < 0)
        return SEC_E_INTERNAL_ERROR;
    gnutls_session_t Session = Context->Session;
    gnutls_session_set_ptr(Session, Context.get());
    gnutls_transport_set_ptr(Session, Context.get());
    gnutls_transport_set_push_function(Session, Push);
    gnutls_transport_set_pull_function(Session, Pull);
    gnutls_transport_set_pull_timeout_function(Session, PullTimeout);
    // The caller bounds every wait; the library must not add its own.
    gnutls_handshake_set_timeout(Session, GNUTLS_INDEFINITE_TIMEOUT);
    if (gnutls_priority_set(Session, ACredential->Priority) < 0 ||
        gnutls_credentials_set(Session, GNUTLS_CRD_CERTIFICATE, ACredential->Certificates) < 0)
        return SEC_E_INTERNAL_ERROR;
    if (!ATargetName.empty() &&
        gnutls_server_name_set(Session, GNUTLS_NAME_DNS, ATargetName.data(), ATargetName.size()) < 0)
        return SEC_E_INTERNAL_ERROR;
    if (const SecBuffer* Protocols = FindBuffer(AInput, SECBUFFER_APPLICATION_PROTOCOLS)) {
        const std::vector<gnutls_datum_t> Names = ALPNNames(*Protocols);
        if (!Names.empty() && gnutls_alpn_set_protocols(Session, Names.data(), static_cast<unsigned>(Names.size()), 0) < 0)
            return SEC_E_INTERNAL_ERROR;
    }
    const int Result = gnutls_handshake(Session);
    if (Result != GNUTLS_E_AGAIN || Context->Out.empty())
        return StatusOf(*Context, Result);
    HandOutToken(*Context, AOutput);
    VContext = std::move(Context);
    return SEC_I_CONTINUE_NEEDED;
}

// Data of the old session that came ahead of a new handshake's messages:
// kept for the next DecryptMessage, bounded like any record.
bool KeepEarlyData(TSspiContext& AContext) {
    uint8_t Buffer[MaxRecordSize];
    const ssize_t Count = gnutls_record_recv(AContext.Session, Buffer, sizeof Buffer);
    if (Count < 0 || AContext.Early.size() + static_cast<size_t>(Count) > 4 * MaxRecordSize)
        return false;
    AContext.Early.insert(AContext.Early.end(), Buffer, Buffer + Count);
    return true;
}

// Feeds the whole records at the start of AInput's token to the handshake
// until it is done or they run out.
SECURITY_STATUS StepContext(TSspiContext& AContext, SecBufferDesc* AInput, SecBufferDesc* AOutput) {
    SecBuffer* Input = FindBuffer(AInput, SECBUFFER_TOKEN);
    const uint8_t* Data = Input ? Input->pvBuffer : nullptr;
    const size_t Size = Data ? Input->cbBuffer : 0;
    size_t Used = 0;
    SECURITY_STATUS Status = SEC_I_CONTINUE_NEEDED;
    if (AContext.Rehandshake) {
        // The new ClientHello goes out before anything is read.
        AContext.Rehandshake = false;
        AContext.HandshakeDone = false;
        const int Result = gnutls_handshake(AContext.Session);
        if (Result != GNUTLS_E_AGAIN)
            return StatusOf(AContext, Result);
    }
    bool Fed = false;
    while (!AContext.HandshakeDone) {
        size_t Length = 0;
        const TFrame Frame = FrameRecord(Data + Used, Size - Used, Length);
        if (Frame == TFrame::Illegal)
            return SEC_E_ILLEGAL_MESSAGE;
        if (Frame == TFrame::Partial) {
            if (!Fed) {
                if (SecBuffer* Missing = AInput && AInput->cBuffers > 1 ? &AInput->pBuffers[1] : nullptr) {
                    Missing->BufferType = SECBUFFER_MISSING;
                    Missing->cbBuffer = static_cast<uint32_t>(Length > Size - Used ? Length - (Size - Used) : 0);
                }
                HandOutToken(AContext, AOutput);
                return SEC_E_INCOMPLETE_MESSAGE;
            }
            break;
        }
        AContext.In = Data + Used;
        AContext.InLeft = Length;
        const int Result = gnutls_handshake(AContext.Session);
        const size_t Taken = Length - AContext.InLeft;
        AContext.InLeft = 0;
        if (Taken == 0)
            return SEC_E_INTERNAL_ERROR;  // a whole record the library would not read
        Used += Taken;
        Fed = true;
        if (Result == 0) {
            AContext.HandshakeDone = true;
        } else if (Result == GNUTLS_E_GOT_APPLICATION_DATA) {
            if (!KeepEarlyData(AContext))
                return SEC_E_ILLEGAL_MESSAGE;
        } else if (Result != GNUTLS_E_AGAIN && Result != GNUTLS_E_WARNING_ALERT_RECEIVED) {
            return StatusOf(AContext, Result);
        }
    }
    if (AContext.HandshakeDone)
        Status = SEC_E_OK;
    if (Used < Size && AInput && AInput->cBuffers > 1) {
        AInput->pBuffers[1].BufferType = SECBUFFER_EXTRA;
        AInput->pBuffers[1].cbBuffer = static_cast<uint32_t>(Size - Used);
    }
    HandOutToken(AContext, AOutput);
    return Status;
}

}  // namespace

TSspiCredentials::~TSspiCredentials() {
    for (gnutls_pcert_st& Cert : ClientChain)
        gnutls_pcert_deinit(&Cert);
    if (ClientKey)
        gnutls_privkey_deinit(ClientKey);
    if (Priority)
        gnutls_priority_deinit(Priority);
    if (Certificates)
        gnutls_certificate_free_credentials(Certificates);
}

TSspiContext::~TSspiContext() {
    if (Session)
        gnutls_deinit(Session);
}

SECURITY_STATUS AcquireCredentialsHandle(const SCHANNEL_CRED& AAuthData, CredHandle& VCredential) {
    auto Credentials = std::make_shared<TSspiCredentials>();
    const std::string Priority = PriorityText(AAuthData);
    if (Priority.empty())
        return SEC_E_ALGORITHM_MISMATCH;
    if (gnutls_priority_init(&Credentials->Priority, Priority.c_str(), nullptr) < 0)
        return SEC_E_ALGORITHM_MISMATCH;
    if (gnutls_certificate_allocate_credentials(&Credentials->Certificates) < 0)
        return SEC_E_INTERNAL_ERROR;
    gnutls_certificate_set_retrieve_function3(Credentials->Certificates, RetrieveCertificate);
    if (!AAuthData.paCred.empty() && AAuthData.paCred.front())
        if (const SECURITY_STATUS Status = LoadClientCertificate(*Credentials, *AAuthData.paCred.front()); Failed(Status))
            return Status;
    VCredential = std::move(Credentials);
    return SEC_E_OK;
}

void FreeCredentialsHandle(CredHandle& VCredential) { VCredential.reset(); }

SECURITY_STATUS InitializeSecurityContext(const CredHandle& ACredential, CtxtHandle& VContext,
                                          const std::string& ATargetName, SecBufferDesc* AInput,
                                          SecBufferDesc* AOutput) {
    if (!VContext)
        return ACredential ? StartContext(ACredential, VContext, ATargetName, AInput, AOutput) : SEC_E_INVALID_HANDLE;
    return StepContext(*VContext, AInput, AOutput);
}

void DeleteSecurityContext(CtxtHandle& VContext) { VContext.reset(); }

void FreeContextBuffer(SecBuffer& VBuffer) {
    VBuffer.pvBuffer = nullptr;
    VBuffer.cbBuffer = 0;
}

void SetCredentialsQuery(const CtxtHandle& AContext, TCredentialsQuery AQuery) {
    if (AContext)
        AContext->Query = std::move(AQuery);
}

SECURITY_STATUS EncryptMessage(const CtxtHandle& AContext, SecBufferDesc& VMessage) {
    if (!AContext || !AContext->HandshakeDone)
        return SEC_E_INVALID_HANDLE;
    SecBuffer* Header = FindBuffer(&VMessage, SECBUFFER_STREAM_HEADER);
    SecBuffer* Data = FindBuffer(&VMessage, SECBUFFER_DATA);
    SecBuffer* Trailer = FindBuffer(&VMessage, SECBUFFER_STREAM_TRAILER);
    if (!Header || !Data || !Trailer)
        return SEC_E_INVALID_TOKEN;
    if (Data->cbBuffer > gnutls_record_get_max_size(AContext->Session))
        return SEC_E_BUFFER_TOO_SMALL;
    AContext->Out.clear();
    const ssize_t Sent = gnutls_record_send(AContext->Session, Data->pvBuffer, Data->cbBuffer);
    if (Sent != static_cast<ssize_t>(Data->cbBuffer))
        return Sent < 0 ? StatusOf(*AContext, static_cast<int>(Sent)) : SEC_E_INTERNAL_ERROR;
    // The record spread over the three buffers, in order.
    const TIdBytes& Record = AContext->Out;
    if (Record.size() < size_t(Header->cbBuffer) + Data->cbBuffer ||
        Record.size() - Header->cbBuffer - Data->cbBuffer > Trailer->cbBuffer)
        return SEC_E_BUFFER_TOO_SMALL;
    size_t At = 0;
    for (SecBuffer* Piece : {Header, Data, Trailer}) {
        const size_t Count = Piece == Trailer ? Record.size() - At : Piece->cbBuffer;
        std::memcpy(Piece->pvBuffer, Record.data() + At, Count);
        Piece->cbBuffer = static_cast<uint32_t>(Count);
        At += Count;
    }
    AContext->Out.clear();
    return SEC_E_OK;
}

SECURITY_STATUS DecryptMessage(const CtxtHandle& AContext, SecBufferDesc& VMessage) {
    if (!AContext || VMessage.cBuffers < 4 || VMessage.pBuffers[0].BufferType != SECBUFFER_DATA)
        return SEC_E_INVALID_TOKEN;
    SecBuffer* Buffers = VMessage.pBuffers;
    uint8_t* Data = Buffers[0].pvBuffer;
    const size_t Size = Buffers[0].cbBuffer;
    if (!AContext->Early.empty()) {
        // Handed out from the context; the input stays unread.
        AContext->EarlyOut.swap(AContext->Early);
        AContext->Early.clear();
        Buffers[0] = {0, SECBUFFER_STREAM_HEADER, Data};
        Buffers[1] = {static_cast<uint32_t>(AContext->EarlyOut.size()), SECBUFFER_DATA, AContext->EarlyOut.data()};
        Buffers[2] = {0, SECBUFFER_STREAM_TRAILER, Data};
        Buffers[3] = Size > 0 ? SecBuffer{static_cast<uint32_t>(Size), SECBUFFER_EXTRA, Data} : SecBuffer{};
        return SEC_E_OK;
    }
    size_t Length = 0;
    const TFrame Frame = FrameRecord(Data, Size, Length);
    if (Frame == TFrame::Illegal)
        return SEC_E_ILLEGAL_MESSAGE;
    if (Frame == TFrame::Partial) {
        Buffers[1].BufferType = SECBUFFER_MISSING;
        Buffers[1].cbBuffer = static_cast<uint32_t>(Length > Size ? Length - Size : 0);
        return SEC_E_INCOMPLETE_MESSAGE;
    }
    TSspiContext& Context = *AContext;
    Context.Plain.resize(MaxRecordSize);
    Context.In = Data;
    Context.InLeft = Length;
    const ssize_t Result = gnutls_record_recv(Context.Session, Context.Plain.data(), Context.Plain.size());
    Context.InLeft = 0;
    SECURITY_STATUS Status = SEC_E_OK;
    size_t PlainSize = 0;
    if (Result > 0) {
        PlainSize = static_cast<size_t>(Result);
        std::memcpy(Data + RecordHeaderSize, Context.Plain.data(), PlainSize);
    } else if (Result == 0) {
        return SEC_I_CONTEXT_EXPIRED;
    } else if (Result == GNUTLS_E_REHANDSHAKE) {
        Context.Rehandshake = true;
        Status = SEC_I_RENEGOTIATE;
    } else if (Result == GNUTLS_E_AGAIN || Result == GNUTLS_E_WARNING_ALERT_RECEIVED) {
        // A record without data (a session ticket, a key update); what the
        // library answered goes out with the next handshake step.
        if (!Context.Out.empty())
            Status = SEC_I_RENEGOTIATE;
    } else {
        return StatusOf(Context, static_cast<int>(Result));
    }
    Buffers[0] = {static_cast<uint32_t>(RecordHeaderSize), SECBUFFER_STREAM_HEADER, Data};
    Buffers[1] = {static_cast<uint32_t>(PlainSize), SECBUFFER_DATA, Data + RecordHeaderSize};
    Buffers[2] = {static_cast<uint32_t>(Length - RecordHeaderSize - PlainSize), SECBUFFER_STREAM_TRAILER,
                  Data + RecordHeaderSize + PlainSize};
    Buffers[3] = Length < Size ? SecBuffer{static_cast<uint32_t>(Size - Length), SECBUFFER_EXTRA, Data + Length}
                               : SecBuffer{};
    return Status;
}

}  // namespace kbvSSPI
