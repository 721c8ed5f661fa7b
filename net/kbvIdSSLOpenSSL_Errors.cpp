#include "net/kbvIdSSLOpenSSL_Errors.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include "net/kbvIdStackLinux.h"

namespace {

std::string Joined(const std::string& AMessage, const std::string& AText) {
    if (AMessage.empty())
        return AText;
    return AText.empty() ? AMessage : AMessage + "\r\n" + AText;
}

const char* ErrorKindText(int AErrorKind) {
    switch (AErrorKind) {
    case SSL_ERROR_ZERO_RETURN:
        return "The peer closed the TLS session.";
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
        return "The TLS operation did not complete.";
    case SSL_ERROR_WANT_X509_LOOKUP:
        return "The certificate callback asked to be called again.";
    case SSL_ERROR_SYSCALL:
        return "A system call failed.";
    default:
        return "TLS error.";
    }
}

}  // namespace

std::string OpenSSLErrorText(unsigned long AErrorCode) {
    if (AErrorCode == 0)
        return "";
    char Buffer[161];
    ERR_error_string_n(AErrorCode, Buffer, sizeof Buffer);
    return Buffer;
}

unsigned long TakeOldestError() {
    const unsigned long Code = ERR_get_error();
    ERR_clear_error();
    return Code;
}

TIdSSLFailure DescribeSSLFailure(int AErrorKind, int ARetCode, int ASysError, const std::string& AMessage) {
    const unsigned long Queued = ERR_peek_error();
    // OpenSSL 3 reports a close without close_notify as a library error.
    if ((AErrorKind == SSL_ERROR_SSL && ERR_GET_REASON(Queued) == SSL_R_UNEXPECTED_EOF_WHILE_READING) ||
        (AErrorKind == SSL_ERROR_SYSCALL && Queued == 0 && (ARetCode == 0 || ASysError == 0))) {
        ERR_clear_error();
        return {TIdSSLFailure::UnexpectedEOF, Joined(AMessage, EIdOSSLUnexpectedEOF::DefaultMessage), 0, 0};
    }
    if (AErrorKind == SSL_ERROR_SSL || (AErrorKind == SSL_ERROR_SYSCALL && Queued != 0)) {
        const unsigned long Code = TakeOldestError();
        return {TIdSSLFailure::Library, Joined(AMessage, OpenSSLErrorText(Code)), Code, 0};
    }
    ERR_clear_error();
    if (AErrorKind == SSL_ERROR_SYSCALL)
        return {TIdSSLFailure::Socket, AMessage, 0, TranslateErrno(ASysError)};
    return {TIdSSLFailure::Other, Joined(AMessage, ErrorKindText(AErrorKind)), 0, 0};
}
