#include "net/kbvIdSSLOpenSSLHeaders.h"

#include <openssl/crypto.h>
#include <openssl/ssl.h>

#include <atomic>
#include <mutex>

namespace {

// Library files of each generation, crypto first as they are loaded.
struct TGenerationFiles {
    const char* Crypto;
    const char* SSL;
};
constexpr TGenerationFiles GenerationFiles[] = {
    {"libcrypto.so.1.0.0", "libssl.so.1.0.0"},
    {"libcrypto.so.1.1", "libssl.so.1.1"},
    {"libcrypto.so.3", "libssl.so.3"},
};

std::mutex LoadLock;  // guards everything below but the flag
std::atomic<bool> Loaded{false};
TIdOpenSSLAPIGeneration Generation = osgAPI_3_0;
std::string LibPath;
std::string FailedToLoad;

}  // namespace

TIdOpenSSLAPIGeneration IdOpenSSLAPIGeneration() {
    std::lock_guard Guard(LoadLock);
    return Generation;
}

void IdOpenSSLSetAPIGeneration(TIdOpenSSLAPIGeneration AValue) {
    std::lock_guard Guard(LoadLock);
    Generation = AValue;
}

std::string IdOpenSSLLibPath() {
    std::lock_guard Guard(LoadLock);
    return LibPath;
}

void IdOpenSSLSetLibPath(const std::string& AValue) {
    std::lock_guard Guard(LoadLock);
    LibPath = AValue.empty() || AValue.back() == '/' ? AValue : AValue + "/";
}

bool LoadOpenSSLLibrary() {
    if (Loaded)
        return true;
    std::lock_guard Guard(LoadLock);
    if (Loaded)
        return true;
    FailedToLoad.clear();
    // The linked library serves only its own generation; any other stops at
    // its first file, as a load of a missing file would.
    const bool Linked3 = OpenSSL_version_num() >= 0x30000000L;
    if (Generation != osgAPI_3_0 || !Linked3) {
        FailedToLoad = "Failed to load " + LibPath + GenerationFiles[Generation].Crypto + ".";
        return false;
    }
    if (OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr) != 1) {
        FailedToLoad = "Failed to load " + LibPath + GenerationFiles[Generation].SSL + ".";
        return false;
    }
    Loaded = true;
    return true;
}

bool IdSSLOpenSSLLoaded() { return Loaded; }

std::string WhichFailedToLoad() {
    std::lock_guard Guard(LoadLock);
    return FailedToLoad;
}

std::string OpenSSLVersion() { return Loaded ? OpenSSL_version(OPENSSL_VERSION) : ""; }

std::string CouldNotLoadSSLLibraryMessage() {
    std::string Message = "Could not load SSL library.";
    std::lock_guard Guard(LoadLock);
    if (!FailedToLoad.empty())
        Message += "\r\n***PATH*** " + LibPath + "\r\n***VERSION*** " + OpenSSL_version(OPENSSL_VERSION) +
                   "\r\n***METHODS*** " + FailedToLoad;
    return Message;
}
