// The handshake of the SChannel-style handler: credentials, the token loop
// over the socket, the client certificate when the server asks, and the
// stream sizes the records are cut to.
#include <gnutls/x509.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/Format.h"
#include "core/Ticks.h"
#include "net/kbvIdCertStore.h"
#include "net/kbvIdIOHandlerSocket.h"
#include "net/kbvIdSSLSChannel_State.h"
#include "net/kbvIdStackLinux.h"

using namespace kbvSSPI;

namespace {

constexpr size_t HandshakeBufferSize = 65536;
constexpr int CertHashLength = 40;

thread_local SECURITY_STATUS LastStatus = SEC_E_OK;
thread_local std::string LastError;

bool Fail(TkbvSChannelState& AState, SECURITY_STATUS AStatus, std::string AText) {
    AState.LastStatus = AStatus;
    SetSChannelLastError(AStatus, std::move(AText));
    return false;
}

// --- the socket --------------------------------------------------------------------

// Reads what the socket has behind the buffered bytes: the count, or 0 / -1
// (error text set) when the peer closed or failed.
int ReadMore(TkbvSChannelState& AState) {
    if (AState.ReceivedCount >= AState.Received.size()) {
        Fail(AState, SEC_E_BUFFER_TOO_SMALL, "the server's handshake does not fit the receive buffer");
        return -1;
    }
    int Budget = AState.WaitMS;
    bool ConnectLimit = false;
    if (AState.ConnectDeadline != 0) {
        const int Left = MillisecondsUntil(AState.ConnectDeadline);
        if (Left <= Budget) {
            Budget = Left;
            ConnectLimit = true;
        }
    }
    if (!WaitForSocket(AState.Socket, POLLIN, Budget)) {
        if (ConnectLimit)
            throw EIdConnectTimeout();
        throw EIdReadTimeout();
    }
    ssize_t Count;
    do
        Count = ::recv(AState.Socket, AState.Received.data() + AState.ReceivedCount,
                       AState.Received.size() - AState.ReceivedCount, 0);
    while (Count < 0 && errno == EINTR);
    if (Count <= 0) {
        AState.LastErrno = Count == 0 ? 0 : errno;
        Fail(AState, AState.LastStatus, Format("recv returns %d", Count == 0 ? 0 : TranslateErrno(AState.LastErrno)));
        return Count == 0 ? 0 : -1;
    }
    AState.ReceivedCount += static_cast<size_t>(Count);
    return static_cast<int>(Count);
}

bool SendToken(TkbvSChannelState& AState, SecBuffer& AToken) {
    const bool Sent = AToken.cbBuffer == 0 || SChannelSendAll(AState, AToken.pvBuffer, AToken.cbBuffer);
    FreeContextBuffer(AToken);
    return Sent;
}

// --- the client certificate ----------------------------------------------------------

bool HexToBytes(const std::string& AText, TIdBytes& VBytes) {
    auto Digit = [](char C) {
        return C >= '0' && C <= '9' ? C - '0' : C >= 'a' && C <= 'f' ? C - 'a' + 10 : C >= 'A' && C <= 'F' ? C - 'A' + 10 : -1;
    };
    VBytes.clear();
    for (size_t I = 0; I + 1 < AText.size(); I += 2) {
        const int High = Digit(AText[I]);
        const int Low = Digit(AText[I + 1]);
        if (High < 0 || Low < 0)
            return false;
        VBytes.push_back(static_cast<uint8_t>(High << 4 | Low));
    }
    return true;
}

bool CertificateByHash(TkbvSChannelState& AState, CERT_CONTEXT& VCertificate) {
    const auto Store = TkbvCertStore::Open(CertStoreFolder(AState.CertStorePath, AState.CertStoreName), AState.Password);
    if (!Store)
        return Fail(AState, SEC_E_NO_CREDENTIALS, "Cannot Open Certificate Store.");
    if (AState.CertHash.size() != CertHashLength)
        return Fail(AState, SEC_E_NO_CREDENTIALS, Format("Invalid Certificate Hash Length, must be %d.", CertHashLength));
    TIdBytes Hash;
    if (!HexToBytes(AState.CertHash, Hash))
        return Fail(AState, SEC_E_NO_CREDENTIALS, "Error calling method CryptStringToBinary.");
    const TkbvStoreCertificate* Found = Store->FindBySHA1(Hash);
    if (!Found)
        return Fail(AState, SEC_E_NO_CREDENTIALS, Format("Certificate not found in Store %s with Hash %s",
                                                         CertStoreNameText(AState.CertStoreName), AState.CertHash));
    VCertificate = CertContextOf(*Found);
    return true;
}

std::string NameText(const TIdBytes& ADer) {
    const gnutls_datum_t Name{const_cast<uint8_t*>(ADer.data()), static_cast<unsigned>(ADer.size())};
    gnutls_datum_t Text{};
    if (gnutls_x509_rdn_get2(&Name, &Text, 0) < 0)
        return "";
    std::string Result(reinterpret_cast<char*>(Text.data), Text.size);
    gnutls_free(Text.data);
    return Result;
}

// New credentials with ACertificate as the client certificate.
SECURITY_STATUS AcquireWith(TkbvSChannelState& AState, const CERT_CONTEXT& ACertificate, CredHandle& VCredential) {
    SCHANNEL_CRED Cred = AState.Cred;
    Cred.paCred = {std::make_shared<const CERT_CONTEXT>(ACertificate)};
    return AcquireCredentialsHandle(Cred, VCredential);
}

// The certificate chosen by the issuers the server named.
SECURITY_STATUS CredentialsByIssuers(TkbvSChannelState& AState, CredHandle& VCredential) {
    SecPkgContext_IssuerListInfoEx Issuers;
    if (const SECURITY_STATUS Status = QueryContextAttributes(AState.Context, Issuers); Status != SEC_E_OK) {
        Fail(AState, Status, Format("QueryContextAttributes(SECPKG_ATTR_ISSUER_LIST_EX) returns %.8X", Status));
        return Status;
    }
    for (const CERT_CONTEXT& Chain : FindClientChains(Issuers.aIssuers, AState.Password))
        if (AcquireWith(AState, Chain, VCredential) == SEC_E_OK)
            return SEC_E_OK;
    Fail(AState, SEC_E_NO_CREDENTIALS, "CertFindChainInStore returns nil");
    return SEC_E_NO_CREDENTIALS;
}

// Asked by the context when the server wants a client certificate.
SECURITY_STATUS ObtainClientCredentials(TkbvSChannelState& AState, CredHandle& VCredential) {
    if (AState.CertHash.empty() && AState.CertFile.empty() && AState.OnCredentials) {
        SecPkgContext_IssuerListInfoEx Issuers;
        QueryContextAttributes(AState.Context, Issuers);
        TStringList Names;
        for (const TIdBytes& Issuer : Issuers.aIssuers)
            Names.Add(NameText(Issuer));
        TkbvSChannelCertificate Choice;
        Choice.SetPassword(AState.Password);
        AState.OnCredentials(AState.Sender, Names, Choice);
        AState.CertHash = Choice.CertHash();
        AState.CertFile = Choice.CertFile();
        AState.Password = Choice.Password();
        AState.CertStoreName = Choice.CertStoreName();
        AState.CertStorePath = Choice.CertStorePath();
    }
    SECURITY_STATUS Status;
    if (AState.CertHash.empty() && AState.CertFile.empty()) {
        Status = CredentialsByIssuers(AState, VCredential);
    } else {
        CERT_CONTEXT Certificate;
        bool Found;
        if (!AState.CertHash.empty()) {
            Found = CertificateByHash(AState, Certificate);
        } else {
            Found = ImportCertificateFile(AState.CertFile, AState.Password, Certificate);
            if (!Found)
                Fail(AState, SEC_E_NO_CREDENTIALS, "Cannot import the certificate.");
        }
        if (!Found) {
            AState.CredentialsFailed = true;
            return AState.LastStatus;
        }
        Status = AcquireWith(AState, Certificate, VCredential);
        if (Status != SEC_E_OK)
            Fail(AState, Status, Format("AcquireCredentialsHandle returns %.8X", Status));
    }
    if (Status != SEC_E_OK) {
        AState.CredentialsFailed = true;
        return Status;
    }
    AState.Credentials = VCredential;  // the new ones replace the old
    return SEC_E_OK;
}

// --- set-up --------------------------------------------------------------------------

bool AcquireCredentials(TkbvSChannelState& AState) {
    AState.Cred.dwVersion = SCH_CREDENTIALS_VERSION;
    AState.Cred.dwFlags = SCH_CRED_NO_DEFAULT_CREDS | SCH_CRED_MANUAL_CRED_VALIDATION;
    AState.Cred.palgSupportedAlgs = AState.Algorithms;
    const SECURITY_STATUS Status = AcquireCredentialsHandle(AState.Cred, AState.Credentials);
    if (Status != SEC_E_OK)
        return Fail(AState, Status, Format("AcquireCredentialsHandle returns %.8X", Status));
    AState.CredentialsAcquired = true;
    return true;
}

bool FirstToken(TkbvSChannelState& AState) {
    SecBuffer InBuffers[1];
    SecBufferDesc In{0, InBuffers};
    if (!AState.ALPN.empty()) {
        InBuffers[0] = {static_cast<uint32_t>(AState.ALPN.size()), SECBUFFER_APPLICATION_PROTOCOLS, AState.ALPN.data()};
        In.cBuffers = 1;
    }
    SecBuffer OutBuffers[1] = {{0, SECBUFFER_TOKEN, nullptr}};
    SecBufferDesc Out{1, OutBuffers};
    // No server name for an address (RFC 6066), as the OpenSSL handler does.
    const std::string ServerName = IsAddress(AState.TargetName) ? "" : AState.TargetName;
    const SECURITY_STATUS Status = InitializeSecurityContext(AState.Credentials, AState.Context, ServerName, &In, &Out);
    AState.LastStatus = Status;
    if (Status != SEC_I_CONTINUE_NEEDED)
        return Fail(AState, Status, Format("First call to InitializeSecurityContext returns %.8X", Status));
    AState.ContextCreated = true;
    SetCredentialsQuery(AState.Context,
                        [&AState](CredHandle& VCredential) { return ObtainClientCredentials(AState, VCredential); });
    return SendToken(AState, OutBuffers[0]);
}

bool ReadStreamSizes(TkbvSChannelState& AState) {
    const SECURITY_STATUS Status = QueryContextAttributes(AState.Context, AState.Sizes);
    if (Status != SEC_E_OK)
        return Fail(AState, Status, Format("QueryContextAttributes(SECPKG_ATTR_STREAM_SIZES) returns %.8X", Status));
    const size_t Record = size_t(AState.Sizes.cbHeader) + AState.Sizes.cbMaximumMessage + AState.Sizes.cbTrailer;
    // A peer's record may carry more expansion than ours: room for the largest.
    AState.Received.resize(std::max({Record, MaxRecordSize, AState.ReceivedCount}));
    AState.SendBuffer.resize(Record);
    AState.Plain.clear();
    AState.PlainCount = 0;
    AState.PlainPos = 0;
    return true;
}

}  // namespace

SECURITY_STATUS SChannelLastStatus() { return LastStatus; }
const std::string& SChannelLastError() { return LastError; }

void SetSChannelLastError(SECURITY_STATUS AStatus, std::string AText) {
    LastStatus = AStatus;
    LastError = std::move(AText);
}

uint32_t SChannelProtocolsOf(TwsTLSVersions AVersion) {
    switch (AVersion) {
    case tls1_0: return SP_PROT_TLS1_0;
    case tls1_1: return SP_PROT_TLS1_1;
    case tls1_2: return SP_PROT_TLS1_2;
    case tls1_3: return SP_PROT_TLS1_3;
    default: return SP_PROT_TLS1_0 | SP_PROT_TLS1_1 | SP_PROT_TLS1_2 | SP_PROT_TLS1_3;
    }
}

bool SChannelSendAll(TkbvSChannelState& AState, const uint8_t* AData, size_t ASize) {
    while (ASize > 0) {
        const ssize_t Sent = ::send(AState.Socket, AData, ASize, MSG_NOSIGNAL);
        if (Sent < 0 && errno == EINTR)
            continue;
        if (Sent <= 0) {
            AState.LastErrno = Sent < 0 ? errno : EPIPE;
            return Fail(AState, AState.LastStatus, Format("send returns %d", TranslateErrno(AState.LastErrno)));
        }
        AData += Sent;
        ASize -= static_cast<size_t>(Sent);
    }
    return true;
}

bool SChannelHandshakeLoop(TkbvSChannelState& AState, bool AInitialRead) {
    bool Read = AInitialRead;
    for (;;) {
        if (Read && ReadMore(AState) <= 0)
            return false;
        Read = true;
        SecBuffer InBuffers[2] = {{static_cast<uint32_t>(AState.ReceivedCount), SECBUFFER_TOKEN, AState.Received.data()},
                                  {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc In{2, InBuffers};
        SecBuffer OutBuffers[1] = {{0, SECBUFFER_TOKEN, nullptr}};
        SecBufferDesc Out{1, OutBuffers};
        const SECURITY_STATUS Status =
            InitializeSecurityContext(AState.Credentials, AState.Context, AState.TargetName, &In, &Out);
        AState.LastStatus = Status;
        if (!SendToken(AState, OutBuffers[0]))
            return false;
        if (InBuffers[1].BufferType == SECBUFFER_EXTRA) {
            const size_t Extra = InBuffers[1].cbBuffer;
            std::memmove(AState.Received.data(), AState.Received.data() + AState.ReceivedCount - Extra, Extra);
            AState.ReceivedCount = Extra;
        } else if (Status != SEC_E_INCOMPLETE_MESSAGE) {
            AState.ReceivedCount = 0;
        }
        if (Status == SEC_E_INCOMPLETE_MESSAGE || Status == SEC_I_CONTINUE_NEEDED)
            continue;
        if (Status == SEC_E_OK)
            return true;
        if (AState.CredentialsFailed)
            return false;  // the certificate's own text says why
        return Fail(AState, Status, Format("InitializeSecurityContext returns %.8X", Status));
    }
}

bool SChannelHandshake(TkbvSChannelState& AState) {
    SetSChannelLastError(SEC_E_OK, "");
    if (!AcquireCredentials(AState) || !FirstToken(AState))
        return false;
    AState.Received.assign(HandshakeBufferSize, 0);
    AState.ReceivedCount = 0;
    if (!SChannelHandshakeLoop(AState, true))
        return false;
    if (AState.VerifyCertificate && !SChannelVerifyServer(AState))
        return false;
    return ReadStreamSizes(AState);
}
