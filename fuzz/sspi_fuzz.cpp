// A server's handshake bytes through the provider-shaped TLS layer: records
// cut by the layer, parsed by GnuTLS. The first byte chooses how the bytes
// arrive (1 to 8 at a time, or all at once); the rest is what the "server"
// sends after the ClientHello. Besides crashes, a finding is an extra buffer
// larger than the input it came from.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "net/kbvIdSSPI.h"

using namespace kbvSSPI;

namespace {

CtxtHandle StartHandshake(CredHandle& VCredentials) {
    SCHANNEL_CRED Cred;
    Cred.grbitEnabledProtocols = SP_PROT_TLS1_2 | SP_PROT_TLS1_3;
    Cred.dwFlags = SCH_CRED_NO_DEFAULT_CREDS | SCH_CRED_MANUAL_CRED_VALIDATION;
    CtxtHandle Context;
    if (AcquireCredentialsHandle(Cred, VCredentials) != SEC_E_OK)
        return Context;
    SecBufferDesc In{0, nullptr};
    SecBuffer OutBuffer{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc Out{1, &OutBuffer};
    InitializeSecurityContext(VCredentials, Context, "localhost", &In, &Out);
    FreeContextBuffer(OutBuffer);
    return Context;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    if (ASize == 0)
        return 0;
    const size_t Step = AData[0] % 9 == 0 ? ASize : AData[0] % 9;
    std::basic_string<uint8_t> Pending;
    Try([&] {
        CredHandle Credentials;
        CtxtHandle Context = StartHandshake(Credentials);
        if (!Context)
            return;
        for (size_t At = 1; At < ASize; At += Step) {
            Pending.append(AData + At, std::min(Step, ASize - At));
            SecBuffer InBuffers[2] = {{static_cast<uint32_t>(Pending.size()), SECBUFFER_TOKEN, Pending.data()},
                                      {0, SECBUFFER_EMPTY, nullptr}};
            SecBufferDesc In{2, InBuffers};
            SecBuffer OutBuffer{0, SECBUFFER_TOKEN, nullptr};
            SecBufferDesc Out{1, &OutBuffer};
            const SECURITY_STATUS Status = InitializeSecurityContext(Credentials, Context, "localhost", &In, &Out);
            FreeContextBuffer(OutBuffer);
            if (InBuffers[1].BufferType == SECBUFFER_EXTRA) {
                if (InBuffers[1].cbBuffer > Pending.size()) {
                    std::fprintf(stderr, "an extra buffer larger than its input\n");
                    std::abort();
                }
                Pending.erase(0, Pending.size() - InBuffers[1].cbBuffer);
            } else if (Status != SEC_E_INCOMPLETE_MESSAGE) {
                Pending.clear();
            }
            if (Status != SEC_E_INCOMPLETE_MESSAGE && Status != SEC_I_CONTINUE_NEEDED)
                break;
        }
        DeleteSecurityContext(Context);
    });
    return 0;
}
