// The exceptions of the OpenSSL transport, and how a failed OpenSSL call
// becomes one: the caller's message, then the library's own text.
#pragma once

#include <string>

#include "net/kbvIdException.h"
#include "net/kbvIdStack.h"

// The oldest queued OpenSSL error (0 for none); the queue is emptied.
unsigned long TakeOldestError();

typedef struct ssl_st SSL;

class EIdOpenSSLError : public EIdException {
public:
    using EIdException::EIdException;
};

// A failed TLS call: ErrorCode is the error kind (SSL_get_error), RetCode
// what the call returned.
class EIdOpenSSLAPISSLError : public EIdOpenSSLError {
public:
    explicit EIdOpenSSLAPISSLError(std::string AMessage, int AErrorCode = 0, int ARetCode = 0)
        : EIdOpenSSLError(std::move(AMessage)), FErrorCode(AErrorCode), FRetCode(ARetCode) {}
    int ErrorCode() const { return FErrorCode; }
    int RetCode() const { return FRetCode; }

private:
    int FErrorCode;
    int FRetCode;
};

// A failed library call: ErrorCode is the code from OpenSSL's error queue.
class EIdOpenSSLAPICryptoError : public EIdOpenSSLError {
public:
    explicit EIdOpenSSLAPICryptoError(std::string AMessage, unsigned long AErrorCode = 0)
        : EIdOpenSSLError(std::move(AMessage)), FErrorCode(AErrorCode) {}
    unsigned long ErrorCode() const { return FErrorCode; }

private:
    unsigned long FErrorCode;
};

#define KBV_OSSL_ERROR(Name, Parent, Text)                                                  \
    class Name : public Parent {                                                            \
    public:                                                                                 \
        using Parent::Parent;                                                               \
        Name() : Parent(Text) {}                                                            \
        static constexpr const char* DefaultMessage = Text;                                 \
    }

KBV_OSSL_ERROR(EIdOSSLCouldNotLoadSSLLibrary, EIdOpenSSLError, "Could not load SSL library.");
KBV_OSSL_ERROR(EIdOSSLModeNotSet, EIdOpenSSLError, "Mode has not been set.");
KBV_OSSL_ERROR(EIdOSSLGetMethodError, EIdOpenSSLError, "Error getting SSL method.");
KBV_OSSL_ERROR(EIdOSSLCreatingContextError, EIdOpenSSLAPICryptoError, "Error creating SSL context.");
KBV_OSSL_ERROR(EIdOSSLLoadingRootCertError, EIdOpenSSLAPICryptoError, "Could not load root certificate.");
KBV_OSSL_ERROR(EIdOSSLLoadingCertError, EIdOpenSSLAPICryptoError, "Could not load certificate.");
KBV_OSSL_ERROR(EIdOSSLLoadingKeyError, EIdOpenSSLAPICryptoError, "Could not load key, check password.");
KBV_OSSL_ERROR(EIdOSSLLoadingDHParamsError, EIdOpenSSLAPICryptoError, "Could not load DH Parameters.");
KBV_OSSL_ERROR(EIdOSSLSettingCipherError, EIdOpenSSLError, "SetCipher failed.");
KBV_OSSL_ERROR(EIdOSSLCreatingSessionError, EIdOpenSSLError, "Error creating SSL session.");
KBV_OSSL_ERROR(EIdOSSLDataBindingError, EIdOpenSSLAPISSLError, "Error binding data to SSL socket.");
KBV_OSSL_ERROR(EIdOSSLFDSetError, EIdOpenSSLAPISSLError, "Error setting File Descriptor for SSL");
KBV_OSSL_ERROR(EIdOSSLConnectError, EIdOpenSSLAPISSLError, "Error connecting with SSL.");
KBV_OSSL_ERROR(EIdOSSLAcceptError, EIdOpenSSLAPISSLError, "Error accepting connection with SSL.");
KBV_OSSL_ERROR(EIdOSSLUnderlyingCryptoError, EIdOpenSSLAPICryptoError, "");
// The peer closed the TCP connection without ending TLS first: whatever was
// still to come may have been cut off by a third party.
KBV_OSSL_ERROR(EIdOSSLUnexpectedEOF, EIdOpenSSLAPISSLError, "EOF was observed that violates the protocol");
#undef KBV_OSSL_ERROR

class EIdOSSLALPNError : public EIdOpenSSLError {
public:
    EIdOSSLALPNError() : EIdOpenSSLError("Error Updating ALPN Protocols") {}
};

// The library's text for an error-queue code, at most 160 characters.
std::string OpenSSLErrorText(unsigned long AErrorCode);

// Raises E with AMessage, "\r\n" and the text of the oldest queued error
// (only the text without a message); the queue is emptied.
template <class E>
[[noreturn]] void RaiseCryptoError(const std::string& AMessage = E::DefaultMessage);

// What a failed TLS call means, from its error kind (SSL_get_error), its
// result and errno right after it; the error queue is emptied.
struct TIdSSLFailure {
    enum { Library, UnexpectedEOF, Socket, Other } Cause;
    std::string Message;        // AMessage, "\r\n", the library's text
    unsigned long ErrorCode;    // Library: the queued error
    int SocketError;            // Socket: the socket stack's code
};
TIdSSLFailure DescribeSSLFailure(int AErrorKind, int ARetCode, int ASysError, const std::string& AMessage);

// Raises for a failed TLS call: a library error as
// EIdOSSLUnderlyingCryptoError, a peer that vanished without closing TLS as
// EIdOSSLUnexpectedEOF, a socket failure as the socket stack's error, and
// anything else as E.
template <class E>
[[noreturn]] void RaiseSSLError(int AErrorKind, int ARetCode, int ASysError,
                                const std::string& AMessage = E::DefaultMessage) {
    const TIdSSLFailure Failure = DescribeSSLFailure(AErrorKind, ARetCode, ASysError, AMessage);
    switch (Failure.Cause) {
    case TIdSSLFailure::Library:
        throw EIdOSSLUnderlyingCryptoError(Failure.Message, Failure.ErrorCode);
    case TIdSSLFailure::UnexpectedEOF:
        throw EIdOSSLUnexpectedEOF(Failure.Message, AErrorKind, ARetCode);
    case TIdSSLFailure::Socket:
        TIdStack::RaiseSocketError(Failure.SocketError);
    case TIdSSLFailure::Other:
        break;
    }
    throw E(Failure.Message, AErrorKind, ARetCode);
}

template <class E>
[[noreturn]] void RaiseCryptoError(const std::string& AMessage) {
    const unsigned long Code = TakeOldestError();
    const std::string Text = OpenSSLErrorText(Code);
    throw E(AMessage.empty() ? Text : Text.empty() ? AMessage : AMessage + "\r\n" + Text, Code);
}
