#include "httpapi/kbvIdLogFile.h"

#include <sys/file.h>

#include <cerrno>

#include "core/DateTime.h"
#include "core/Exceptions.h"
#include "net/kbvIdGlobal.h"

namespace {

// Holds a file's advisory lock for one write.
class TFileLock {
public:
    explicit TFileLock(int AHandle) : FHandle(AHandle) {
        while (::flock(FHandle, LOCK_EX) != 0)
            if (errno != EINTR)
                throw EStreamError("Cannot lock the log file for writing");
    }
    ~TFileLock() { ::flock(FHandle, LOCK_UN); }
    TFileLock(const TFileLock&) = delete;
    TFileLock& operator=(const TFileLock&) = delete;

private:
    int FHandle;
};

const char* const EOL = "\r\n";

}  // namespace

// --- TIdLogBase ----------------------------------------------------------------

TIdLogBase::TIdLogBase(TComponent* AOwner) : TIdConnectionIntercept(AOwner) {}

void TIdLogBase::Connect(TComponent* AConnection) {
    TIdConnectionIntercept::Connect(AConnection);
    FRedactor.Restart();
    if (FActive)
        WriteStatusEntry("Connected.");
}

void TIdLogBase::Disconnect() {
    if (FActive)
        WriteStatusEntry("Disconnected.");
    FRedactor.Restart();
    TIdConnectionIntercept::Disconnect();
}

void TIdLogBase::Receive(TIdBytes& ABuffer) {
    TIdConnectionIntercept::Receive(ABuffer);
    if (FActive)
        WriteReceivedEntry(TimeStamp(), DataText(ABuffer, false));
}

void TIdLogBase::Send(TIdBytes& ABuffer) {
    if (FActive)
        WriteSentEntry(TimeStamp(), DataText(ABuffer, true));
    TIdConnectionIntercept::Send(ABuffer);
}

void TIdLogBase::SetActive(bool AValue) {
    if (AValue == FActive)
        return;
    if (AValue)
        Open();
    else
        Close();
    FActive = AValue;
}

std::string TIdLogBase::CurrentTimeStamp() {
    int Year, Month, Day, Hour, Minute, Second, MSec;
    DecodeDateTime(Now(), Year, Month, Day, Hour, Minute, Second, MSec);
    return Format("%04d-%02d-%02d %02d:%02d:%02d", Year, Month, Day, Hour, Minute, Second);
}

std::string TIdLogBase::TimeStamp() const { return FLogTime ? CurrentTimeStamp() : std::string(); }

// Replacing CR LF, then CR, then LF, each everywhere, comes to one pass that
// takes CR LF as a pair.
std::string TIdLogBase::MarkLineBreaks(std::string AText) const {
    if (!FReplaceCRLF || AText.find_first_of("\r\n") == std::string::npos)
        return AText;
    std::string Result;
    Result.reserve(AText.size() + 16);
    for (size_t I = 0; I < AText.size(); ++I) {
        if (AText[I] == '\r' && I + 1 < AText.size() && AText[I + 1] == '\n') {
            Result += "<EOL>";
            ++I;
        } else if (AText[I] == '\r') {
            Result += "<CR>";
        } else if (AText[I] == '\n') {
            Result += "<LF>";
        } else {
            Result += AText[I];
        }
    }
    return Result;
}

std::string TIdLogBase::RedactSentBlock(std::string_view ABytes) {
    return FRedactCredentials ? FRedactor.RedactBlock(ABytes) : std::string(ABytes);
}

std::string TIdLogBase::RedactSentText(std::string_view AText) const {
    return FRedactCredentials ? TkbvCredentialRedactor::RedactText(AText) : std::string(AText);
}

// The bytes become text through the 8-bit encoding, not the library default:
// the default (ASCII) would turn every byte from 0x80 up into U+FFFD and the
// file into '?', losing the UTF-8 of a JSON body. 8-bit in and 8-bit out
// gives back the bytes that passed.
std::string TIdLogBase::DataText(const TIdBytes& ABuffer, bool ASent) {
    const IIdTextEncodingPtr Encoding = IdTextEncoding(enc8Bit);
    if (!ASent || !FRedactCredentials)
        return MarkLineBreaks(Encoding->GetString(ABuffer));
    std::string Redacted =
        RedactSentBlock(std::string_view(reinterpret_cast<const char*>(ABuffer.data()), ABuffer.size()));
    return MarkLineBreaks(Encoding->GetString(TIdBytes(Redacted.begin(), Redacted.end())));
}

// --- TIdLogFile ----------------------------------------------------------------

TIdLogFile::TIdLogFile(TComponent* AOwner) : TIdLogBase(AOwner) {}

TIdLogFile::~TIdLogFile() { SetActive(false); }

void TIdLogFile::SetFilename(const std::string& AValue) {
    if (FFileStream)
        throw EIdException("Unable to set Filename while log file is open.");
    FFilename = AValue;
}

void TIdLogFile::WriteStatusEntry(const std::string& AText) { LogWriteString("Stat " + AText + EOL); }

void TIdLogFile::WriteReceivedEntry(const std::string& ATimeStamp, const std::string& AData) {
    LogWriteString("Recv " + ATimeStamp + ": " + AData + EOL);
}

void TIdLogFile::WriteSentEntry(const std::string& ATimeStamp, const std::string& AData) {
    LogWriteString("Sent " + ATimeStamp + ": " + AData + EOL);
}

// Owner-only when created, as a log holds the whole traffic; an existing
// file keeps its mode.
void TIdLogFile::Open() { FFileStream = std::make_unique<TFileStream>(FFilename, fmAppend, 0600); }

void TIdLogFile::Close() { FFileStream.reset(); }

void TIdLogFile::DoWriteFormattedEntry(const std::string& AText) {
    SetActive(true);
    std::string Stamp = FLogTime ? CurrentTimeStamp() + " " : std::string();
    LogWriteString(Stamp + MarkLineBreaks(AText) + EOL);
}

void TIdLogFile::LogWriteString(const std::string& AText) {
    if (!FFileStream || AText.empty())
        return;
    TIdBytes Bytes = IdTextEncoding(enc8Bit)->GetBytes(AText);
    // One write under the file's advisory lock, which other handles on the
    // file (in this or another process) honour: entries never mix.
    TFileLock Lock(FFileStream->Handle());
    FFileStream->WriteBuffer(Bytes.data(), static_cast<int64_t>(Bytes.size()));
}

// --- TkbvIdLogFileBase -----------------------------------------------------------

void TkbvIdLogFileBase::LogSendString(const std::string& AText) {
    WriteSentEntry(CurrentTimeStamp(), RedactSentText(AText));
}

void TkbvIdLogFileBase::LogRecvString(const std::string& AText) { WriteReceivedEntry(CurrentTimeStamp(), AText); }

void TkbvIdLogFileBase::LogSendDecodedString(const std::string& AText) {
    LogWriteString("Sent " + CurrentTimeStamp() + ": " + RedactSentText(AText) + EOL);
}

void TkbvIdLogFileBase::LogRecvDecodedString(const std::string& AText) {
    LogWriteString("Recv " + CurrentTimeStamp() + ": " + AText + EOL);
}

void TkbvIdLogFileBase::Close() {
    std::lock_guard<std::mutex> Guard(FLock);
    TIdLogFile::Close();
}

void TkbvIdLogFileBase::LogWriteString(const std::string& AText) {
    std::lock_guard<std::mutex> Guard(FLock);
    TIdLogFile::LogWriteString(AText);
}

// --- option groups -------------------------------------------------------------

void TkbvHttpLogFile::Assign(const TPersistent& ASource) {
    const auto* Source = dynamic_cast<const TkbvHttpLogFile*>(&ASource);
    if (!Source) {
        TPersistent::Assign(ASource);
        return;
    }
    FFileName = Source->FFileName;
}

void TkbvSocketLogFile::Assign(const TPersistent& ASource) {
    const auto* Source = dynamic_cast<const TkbvSocketLogFile*>(&ASource);
    if (!Source) {
        TPersistent::Assign(ASource);
        return;
    }
    FEnabled = Source->FEnabled;
    FFileName = Source->FFileName;
}
