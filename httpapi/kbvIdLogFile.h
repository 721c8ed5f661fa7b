// The protocol log: an intercept that appends every block a connection
// sends and receives to a text file, one entry per block, with a status
// entry when the connection opens and closes. Also the option groups that
// name a log file.
//
// Entries (CR LF ends each; the stamp is the local date and time, as
// "2024-05-01 13:45:07", or empty with LogTime off):
//
//   Stat Connected.
//   Sent <stamp>: <data>
//   Recv <stamp>: <data>
//
// Data bytes are written as they came (a byte becomes the character of the
// same number, which the file takes back as that byte), except that with
// ReplaceCRLF line breaks become "<EOL>" (CR LF), "<CR>" and "<LF>", and
// with RedactCredentials the secrets of authorization header lines in sent
// data are masked (kbvIdLogFile_Redact.h).
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "core/Format.h"
#include "core/Persistent.h"
#include "httpapi/kbvIdLogFile_Redact.h"
#include "core/Streams.h"
#include "net/kbvIdIOHandler.h"

// Turns the intercept's notifications into entries; where they go is left
// to the derived class.
class TIdLogBase : public TIdConnectionIntercept {
public:
    explicit TIdLogBase(TComponent* AOwner = nullptr);

    // Each runs the intercept's own behaviour and, while active, writes an
    // entry: after it for Connect and Receive (so a received entry shows the
    // data as later links delivered it), before it for Disconnect and Send.
    void Connect(TComponent* AConnection) override;
    void Disconnect() override;
    void Receive(TIdBytes& ABuffer) override;
    void Send(TIdBytes& ABuffer) override;

    bool Active() const { return FActive; }
    // Opens or closes the log on a change; a log that cannot open stays inactive.
    virtual void SetActive(bool AValue);
    bool LogTime() const { return FLogTime; }
    void SetLogTime(bool AValue) { FLogTime = AValue; }
    bool ReplaceCRLF() const { return FReplaceCRLF; }
    void SetReplaceCRLF(bool AValue) { FReplaceCRLF = AValue; }
    // On unless turned off explicitly: the log then holds the API key.
    bool RedactCredentials() const { return FRedactCredentials; }
    void SetRedactCredentials(bool AValue) { FRedactCredentials = AValue; }

protected:
    virtual void WriteStatusEntry(const std::string& AText) = 0;
    virtual void WriteReceivedEntry(const std::string& ATimeStamp, const std::string& AData) = 0;
    virtual void WriteSentEntry(const std::string& ATimeStamp, const std::string& AData) = 0;
    // Not pure: the destructors of derived classes close through SetActive.
    virtual void Open() {}
    virtual void Close() {}

    // The local date and time as entries show it.
    static std::string CurrentTimeStamp();
    // The stamp of a data entry: empty with LogTime off.
    std::string TimeStamp() const;
    // The ReplaceCRLF step, when it is on.
    std::string MarkLineBreaks(std::string AText) const;
    // Credentials masked, when RedactCredentials is on: a block of the
    // calling thread's connection, or a text that stands alone.
    std::string RedactSentBlock(std::string_view ABytes);
    std::string RedactSentText(std::string_view AText) const;

    bool FActive = false;
    bool FLogTime = true;
    bool FReplaceCRLF = true;
    bool FRedactCredentials = true;

private:
    std::string DataText(const TIdBytes& ABuffer, bool ASent);

    TkbvCredentialRedactor FRedactor;
};

// Writes the entries to a file, appending; several logs, in this process or
// others, may write to one file at once, each entry staying whole.
class TIdLogFile : public TIdLogBase {
public:
    explicit TIdLogFile(TComponent* AOwner = nullptr);
    ~TIdLogFile() override;

    const std::string& Filename() const { return FFilename; }
    // Raises EIdException "Unable to set Filename while log file is open."
    void SetFilename(const std::string& AValue);

    // Writes "<stamp> <text>" (or the text alone with LogTime off), the text
    // being AFormat filled with AArgs (printf style); opens the log first
    // when it is inactive.
    template <typename... Args>
    void WriteFormattedEntry(const char* AFormat, const Args&... AArgs) {
        DoWriteFormattedEntry(Format(AFormat, AArgs...));
    }

protected:
    void WriteStatusEntry(const std::string& AText) override;
    void WriteReceivedEntry(const std::string& ATimeStamp, const std::string& AData) override;
    void WriteSentEntry(const std::string& ATimeStamp, const std::string& AData) override;
    // Raises EFCreateError with the system's reason when the file can be
    // neither opened nor created (an empty name, a missing folder).
    void Open() override;
    void Close() override;
    virtual void DoWriteFormattedEntry(const std::string& AText);
    // Writes AText, each character as one byte (ISO-8859-1), in one piece;
    // nothing while the file is closed.
    virtual void LogWriteString(const std::string& AText);

    std::string FFilename;
    std::unique_ptr<TFileStream> FFileStream;
};

// A log file that one object may serve to connections on several threads:
// its writes are serialised, so entries never mix even on a shared handle.
class TkbvIdLogFileBase : public TIdLogFile {
public:
    using TIdLogFile::TIdLogFile;

    // Entries with the current time as stamp, whatever LogTime says. The
    // plain forms go through the entry writers; the decoded forms write the
    // entry text directly. Sent texts are masked like sent data, as a whole.
    void LogSendString(const std::string& AText);
    void LogRecvString(const std::string& AText);
    void LogSendDecodedString(const std::string& AText);
    void LogRecvDecodedString(const std::string& AText);

protected:
    // Closing waits for a write in progress on another thread.
    void Close() override;
    void LogWriteString(const std::string& AText) override;

private:
    std::mutex FLock;
};

// The log the HTTP client component installs on its connection.
class TkbvIdLogFileClient : public TkbvIdLogFileBase {
public:
    using TkbvIdLogFileBase::TkbvIdLogFileBase;
};

// The log settings of the HTTP client component.
class TkbvHttpLogFile : public TPersistent {
public:
    const std::string& FileName() const { return FFileName; }
    void SetFileName(std::string AValue) { FFileName = std::move(AValue); }
    // From another TkbvHttpLogFile only; else EConvertError "Cannot assign a %s to a %s".
    void Assign(const TPersistent& ASource) override;

private:
    std::string FFileName;
};

// The log settings of the socket components.
class TkbvSocketLogFile : public TPersistent {
public:
    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool AValue) { FEnabled = AValue; }
    const std::string& FileName() const { return FFileName; }
    void SetFileName(std::string AValue) { FFileName = std::move(AValue); }
    // From another TkbvSocketLogFile only; else EConvertError "Cannot assign a %s to a %s".
    void Assign(const TPersistent& ASource) override;

private:
    bool FEnabled = false;
    std::string FFileName;
};
