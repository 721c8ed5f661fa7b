// What a context tells about itself once the handshake is done.
#include <gnutls/crypto.h>

#include "net/kbvIdSSPI_Session.h"

namespace kbvSSPI {

namespace {

bool Established(const CtxtHandle& AContext) { return AContext && AContext->Session && AContext->HandshakeDone; }

uint32_t ProtocolBit(gnutls_protocol_t AVersion) {
    switch (AVersion) {
    case GNUTLS_TLS1_0: return SP_PROT_TLS1_0_CLIENT;
    case GNUTLS_TLS1_1: return SP_PROT_TLS1_1_CLIENT;
    case GNUTLS_TLS1_2: return SP_PROT_TLS1_2_CLIENT;
    case GNUTLS_TLS1_3: return SP_PROT_TLS1_3_CLIENT;
    default: return 0;
    }
}

ALG_ID CipherId(gnutls_cipher_algorithm_t ACipher) {
    switch (ACipher) {
    case GNUTLS_CIPHER_AES_128_GCM:
    case GNUTLS_CIPHER_AES_128_CCM:
    case GNUTLS_CIPHER_AES_128_CBC: return CALG_AES_128;
    case GNUTLS_CIPHER_AES_256_GCM:
    case GNUTLS_CIPHER_AES_256_CCM:
    case GNUTLS_CIPHER_AES_256_CBC: return CALG_AES_256;
    case GNUTLS_CIPHER_3DES_CBC: return CALG_3DES;
    default: return 0;  // no identifier (ChaCha20-Poly1305)
    }
}

ALG_ID HashId(gnutls_digest_algorithm_t AHash) {
    switch (AHash) {
    case GNUTLS_DIG_SHA1: return CALG_SHA1;
    case GNUTLS_DIG_SHA256: return CALG_SHA_256;
    case GNUTLS_DIG_SHA384: return CALG_SHA_384;
    case GNUTLS_DIG_SHA512: return CALG_SHA_512;
    default: return 0;
    }
}

// The hash of a suite: its MAC, or for AEAD suites the handshake's PRF hash.
gnutls_digest_algorithm_t SuiteHash(gnutls_session_t ASession) {
    const gnutls_mac_algorithm_t Mac = gnutls_mac_get(ASession);
    if (Mac == GNUTLS_MAC_AEAD)
        return gnutls_prf_hash_get(ASession);
    return static_cast<gnutls_digest_algorithm_t>(Mac);  // the MAC and digest numbers agree
}

uint32_t GroupBits(gnutls_group_t AGroup) {
    switch (AGroup) {
    case GNUTLS_GROUP_SECP256R1: return 256;
    case GNUTLS_GROUP_SECP384R1: return 384;
    case GNUTLS_GROUP_SECP521R1: return 521;
    case GNUTLS_GROUP_X25519: return 255;
    case GNUTLS_GROUP_X448: return 448;
    case GNUTLS_GROUP_FFDHE2048: return 2048;
    case GNUTLS_GROUP_FFDHE3072: return 3072;
    case GNUTLS_GROUP_FFDHE4096: return 4096;
    case GNUTLS_GROUP_FFDHE6144: return 6144;
    case GNUTLS_GROUP_FFDHE8192: return 8192;
    default: return 0;
    }
}

ALG_ID ExchangeId(gnutls_session_t ASession) {
    switch (gnutls_kx_get(ASession)) {
    case GNUTLS_KX_RSA: return CALG_RSA_KEYX;
    case GNUTLS_KX_DHE_RSA:
    case GNUTLS_KX_DHE_DSS: return CALG_DH_EPHEM;
    default: break;
    }
    // TLS 1.3 names no exchange in its suites: the group tells.
    const gnutls_group_t Group = gnutls_group_get(ASession);
    if (Group >= GNUTLS_GROUP_FFDHE2048 && Group <= GNUTLS_GROUP_FFDHE8192)
        return CALG_DH_EPHEM;
    return Group != GNUTLS_GROUP_INVALID ? CALG_ECDH_EPHEM : 0;
}

std::string Text(const char* AName) { return AName ? AName : ""; }

}  // namespace

SECURITY_STATUS QueryContextAttributes(const CtxtHandle& AContext, SecPkgContext_StreamSizes& VSizes) {
    if (!Established(AContext))
        return SEC_E_INVALID_HANDLE;
    gnutls_session_t Session = AContext->Session;
    VSizes.cbHeader = 5;
    // The overhead counts the header too: the trailer's room is a little larger than it needs.
    VSizes.cbTrailer = static_cast<uint32_t>(gnutls_record_overhead_size(Session));
    VSizes.cbMaximumMessage = static_cast<uint32_t>(gnutls_record_get_max_size(Session));
    VSizes.cBuffers = 4;
    VSizes.cbBlockSize = static_cast<uint32_t>(gnutls_cipher_get_block_size(gnutls_cipher_get(Session)));
    return SEC_E_OK;
}

SECURITY_STATUS QueryContextAttributes(const CtxtHandle& AContext, SecPkgContext_ConnectionInfo& VInfo) {
    if (!Established(AContext))
        return SEC_E_INVALID_HANDLE;
    gnutls_session_t Session = AContext->Session;
    const gnutls_cipher_algorithm_t Cipher = gnutls_cipher_get(Session);
    const gnutls_digest_algorithm_t Hash = SuiteHash(Session);
    VInfo.dwProtocol = ProtocolBit(gnutls_protocol_get_version(Session));
    VInfo.aiCipher = CipherId(Cipher);
    VInfo.dwCipherStrength = static_cast<uint32_t>(gnutls_cipher_get_key_size(Cipher) * 8);
    VInfo.aiHash = HashId(Hash);
    VInfo.dwHashStrength = static_cast<uint32_t>(gnutls_hash_get_len(Hash) * 8);
    VInfo.aiExch = ExchangeId(Session);
    VInfo.dwExchStrength = GroupBits(gnutls_group_get(Session));
    return SEC_E_OK;
}

SECURITY_STATUS QueryContextAttributes(const CtxtHandle& AContext, SecPkgContext_CipherInfo& VInfo) {
    if (!Established(AContext))
        return SEC_E_INVALID_HANDLE;
    gnutls_session_t Session = AContext->Session;
    VInfo.szProtocol = Text(gnutls_protocol_get_name(gnutls_protocol_get_version(Session)));
    VInfo.szCipher = Text(gnutls_cipher_get_name(gnutls_cipher_get(Session)));
    VInfo.szHash = Text(gnutls_digest_get_name(SuiteHash(Session)));
    const gnutls_group_t Group = gnutls_group_get(Session);
    VInfo.szExchange = Group != GNUTLS_GROUP_INVALID ? Text(gnutls_group_get_name(Group))
                                                     : Text(gnutls_kx_get_name(gnutls_kx_get(Session)));
    if (char* Description = gnutls_session_get_desc(Session)) {
        VInfo.szCipherSuite = Description;
        gnutls_free(Description);
    }
    return SEC_E_OK;
}

SECURITY_STATUS QueryContextAttributes(const CtxtHandle& AContext, SecPkgContext_ApplicationProtocol& VProtocol) {
    if (!Established(AContext))
        return SEC_E_INVALID_HANDLE;
    gnutls_datum_t Chosen{};
    VProtocol.Negotiated = gnutls_alpn_get_selected_protocol(AContext->Session, &Chosen) == 0;
    VProtocol.ProtocolId = VProtocol.Negotiated ? std::string(reinterpret_cast<char*>(Chosen.data), Chosen.size) : "";
    return SEC_E_OK;
}

SECURITY_STATUS QueryContextAttributes(const CtxtHandle& AContext, SecPkgContext_IssuerListInfoEx& VIssuers) {
    if (!AContext)
        return SEC_E_INVALID_HANDLE;
    VIssuers.aIssuers = AContext->Issuers;
    return SEC_E_OK;
}

SECURITY_STATUS QueryContextAttributes(const CtxtHandle& AContext, SecPkgContext_RemoteCertificate& VCertificate) {
    if (!Established(AContext))
        return SEC_E_INVALID_HANDLE;
    unsigned Count = 0;
    const gnutls_datum_t* Chain = gnutls_certificate_get_peers(AContext->Session, &Count);
    if (!Chain || Count == 0)
        return SEC_E_CERT_UNKNOWN;
    VCertificate.Chain.clear();
    for (unsigned I = 0; I < Count; ++I)
        VCertificate.Chain.emplace_back(Chain[I].data, Chain[I].data + Chain[I].size);
    return SEC_E_OK;
}

}  // namespace kbvSSPI
