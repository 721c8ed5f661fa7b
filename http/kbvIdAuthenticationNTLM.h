// NTLM version 1 (MS-NLMP) over MD4 and DES from OpenSSL's legacy provider,
// loaded into a library context of its own so that the rest of the process
// keeps OpenSSL's default algorithms only.
//
// The handshake takes one connection: negotiate (type 1), the server's
// challenge (type 2) in its 401, and the authenticate message (type 3).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "http/kbvIdAuthentication.h"
#include "net/kbvIdSSLOpenSSL_Errors.h"

// The server's challenge message is not one this code can read safely.
class EIdNTLMChallengeError : public EIdException {
public:
    using EIdException::EIdException;
};

// The server asked for NTLM without a challenge to answer: the handshake
// ends quietly, as a normal end rather than a failure.
class EIdNTLMNoChallenge : public EIdSilentException {
public:
    using EIdSilentException::EIdSilentException;
};

// OpenSSL is there, but its legacy provider (MD4, DES) is not.
class EIdOSSLCouldNotLoadLegacyProvider : public EIdOSSLCouldNotLoadSSLLibrary {
public:
    using EIdOSSLCouldNotLoadSSLLibrary::EIdOSSLCouldNotLoadSSLLibrary;
};

// The negotiate flags (MS-NLMP 2.2.2.5) this code sends or reads.
constexpr uint32_t NTLMSSP_NEGOTIATE_UNICODE = 0x00000001;
constexpr uint32_t NTLM_NEGOTIATE_OEM = 0x00000002;
constexpr uint32_t NTLMSSP_REQUEST_TARGET = 0x00000004;
constexpr uint32_t NTLMSSP_NEGOTIATE_NTLM = 0x00000200;
constexpr uint32_t NTLMSSP_NEGOTIATE_OEM_DOMAIN_SUPPLIED = 0x00001000;
constexpr uint32_t NTLMSSP_NEGOTIATE_OEM_WORKSTATION_SUPPLIED = 0x00002000;
constexpr uint32_t NTLMSSP_NEGOTIATE_ALWAYS_SIGN = 0x00008000;
constexpr uint32_t NTLMSSP_NEGOTIATE_TARGET_INFO = 0x00800000;

// The longest challenge text taken from a server, in base64 characters.
constexpr size_t NTLMMaxChallengeLength = 64 * 1024;

// A checked challenge message; the buffers are copies of its payload.
struct TIdNTLMChallenge {
    uint32_t Flags = 0;
    std::array<uint8_t, 8> ServerChallenge{};
    TIdBytes TargetName;
    TIdBytes TargetInfo;
};

// Checks the signature, the message type, the length (at least 32 bytes)
// and that every security buffer it holds lies inside the message (the
// target information only when its flag announces it); raises
// EIdNTLMChallengeError "The server's NTLM challenge is malformed: ..." otherwise.
TIdNTLMChallenge ParseNTLMChallenge(const TIdBytes& AMessage);
// The same from the base64 text of a challenge line (at most
// NTLMMaxChallengeLength characters).
TIdNTLMChallenge DecodeNTLMChallenge(std::string_view ABase64);

// The negotiate message: Unicode or OEM, NTLM v1, always sign, and the
// domain and workstation names in OEM (each left out when empty).
TIdBytes BuildNTLMNegotiate(const std::string& ADomain, const std::string& AHost);
// The authenticate message with NTLM v1 responses to AChallenge; names in
// UTF-16LE when the challenge negotiated Unicode, else in OEM.
TIdBytes BuildNTLMAuthenticate(const TIdNTLMChallenge& AChallenge, const std::string& ADomain,
                               const std::string& AUser, const std::string& AHost, const std::string& APassword);

// The one-way functions and responses of NTLM v1 (MS-NLMP 3.3.1).
TIdBytes NTLMNTOWFv1(const std::string& APassword);   // MD4 of the UTF-16LE password
TIdBytes NTLMLMOWFv1(const std::string& APassword);   // DES of "KGS!@#$%" under the upper-cased password
// DESL: AKey (16 bytes) padded to 21, three DES keys, AData encrypted under each.
TIdBytes NTLMDESL(const TIdBytes& AKey, const std::array<uint8_t, 8>& AData);

class TIdNTLMAuthentication : public TIdAuthentication {
public:
    // Loads OpenSSL and its legacy provider; raises EIdOSSLCouldNotLoadSSLLibrary
    // (EIdOSSLCouldNotLoadLegacyProvider for the provider) when that fails.
    TIdNTLMAuthentication();
    static std::unique_ptr<TIdAuthentication> Create();

    // Step 1: "NTLM " and the negotiate message. Step 2: "NTLM " and the
    // authenticate message answering the challenge line; without one the
    // object resets and raises EIdNTLMNoChallenge. Other steps: "".
    std::string Authentication() override;
    bool KeepAlive() const override { return true; }
    void Reset() override;
    int Steps() const override { return 3; }

    // From the user name: the part before a back-slash ("domain\user"); a
    // single space without one. The user is the rest.
    std::string Domain() const;
    std::string User() const;
    // The computer name (up to its first dot), as the negotiate message names it.
    const std::string& Host() const { return FHost; }

protected:
    // Step 0 asks for a user name or moves to step 1; steps 1 and 2 move on;
    // step 3 (the answer was refused) resets and fails.
    TIdAuthWhatsNext DoNext() override;

private:
    std::string FHost;
    std::string FNTLMInfo;  // the server's challenge text
};
