// The exception hierarchy every layer raises from: one root, a message, and
// the few runtime errors (conversion, files, list indexes) the layers share.
#pragma once

#include <exception>
#include <string>

class Exception : public std::exception {
public:
    explicit Exception(std::string AMessage) : FMessage(std::move(AMessage)) {}
    const char* what() const noexcept override { return FMessage.c_str(); }
    const std::string& Message() const { return FMessage; }
    void SetMessage(std::string Value) { FMessage = std::move(Value); }

private:
    std::string FMessage;
};

// A value could not be converted to the type asked for, or an object could
// not be assigned from another class.
class EConvertError : public Exception {
public:
    using Exception::Exception;
};

// Position outside a list.
class EListError : public Exception {
public:
    using Exception::Exception;
};

class EStreamError : public Exception {
public:
    using Exception::Exception;
};

// Base of file errors; the message carries the operating system's text.
class EFileStreamError : public EStreamError {
public:
    using EStreamError::EStreamError;
};

class EFOpenError : public EFileStreamError {
public:
    using EFileStreamError::EFileStreamError;
};

class EFCreateError : public EFileStreamError {
public:
    using EFileStreamError::EFileStreamError;
};

[[noreturn]] void RaiseListIndexError(long long AIndex);

// The operating system's text for an errno value.
std::string SystemErrorText(int AError);
