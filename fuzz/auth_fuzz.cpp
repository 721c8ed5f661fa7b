// A challenge from a peer into each authentication scheme: as the
// WWW-Authenticate line that Basic and Digest read and answer, and as the
// NTLM challenge message (base64-encoded by the target, and as the text of
// the line itself) that the NTLM class answers at step 2. Besides crashes, a
// finding is a Digest answer whose quoted values do not read back as the
// values the object holds.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/Streams.h"
#include "fuzz/FuzzSupport.h"
#include "http/kbvIdAuthentication.h"
#include "http/kbvIdAuthenticationDigest.h"
#include "http/kbvIdAuthenticationNTLM.h"

namespace {

void CheckReadsBack(const std::string& AHeader, const char* AName, const std::string& AExpected) {
    TStringList Params;
    ParseAuthChallenge(AHeader, Params);
    if (Params.Values(AName) != AExpected) {
        std::fprintf(stderr, "%s does not read back\nheader: %s\nexpected: %s\n", AName, AHeader.c_str(),
                     AExpected.c_str());
        std::abort();
    }
}

void Basic(const std::string& ALine) {
    TIdBasicAuthentication Auth;
    Auth.SetUsername("user");
    Auth.SetPassword("p\xC3\xA9");
    Auth.AuthParams().Add(ALine);
    Auth.Next();
    Auth.Authentication();
}

void Digest(const std::string& ALine) {
    TIdDigestAuthentication Auth;
    Auth.SetUsername("us\"er");
    Auth.SetPassword("pw");
    Auth.AuthParams().Add(ALine);
    if (Auth.Next() != wnDoRequest)
        return;
    TStringStream Body("name=value");
    Auth.SetRequest("POST", "/dir/index.html", &Body);
    const std::string Header = Auth.Authentication();
    CheckReadsBack(Header, "username", "us\"er");
    CheckReadsBack(Header, "realm", Auth.Realm());
    CheckReadsBack(Header, "nonce", Auth.Nonce());
    CheckReadsBack(Header, "opaque", Auth.Opaque());
}

void NTLM(const std::string& AChallengeLine) {
    TIdNTLMAuthentication Auth;
    Auth.SetUsername("Domain\\User");
    Auth.SetPassword("Password");
    Auth.Next();
    Auth.Next();  // step 2: answer the challenge
    Auth.AuthParams().Add(AChallengeLine);
    Auth.Authentication();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    const std::string Input(reinterpret_cast<const char*>(AData), ASize);
    for (const std::string& Line : {Input, "Basic " + Input})
        Try([&] { Basic(Line); });
    for (const std::string& Line : {Input, "Digest " + Input})
        Try([&] { Digest(Line); });
    Try([&] { NTLM("NTLM " + AuthBase64Encode(TIdBytes(Input.begin(), Input.end()))); });
    Try([&] { NTLM("NTLM " + Input); });
    Try([&] { ParseNTLMChallenge(TIdBytes(Input.begin(), Input.end())); });
    return 0;
}
