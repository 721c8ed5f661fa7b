// Byte streams: the abstract stream, one in memory, one over a string and
// one over a file. Positions and sizes are 64-bit throughout.
#pragma once

#include <cstdint>
#include <string>

#include "core/Persistent.h"

enum TSeekOrigin { soBeginning, soCurrent, soEnd };

class TStream : public TObject {
public:
    TStream() = default;
    TStream(const TStream&) = delete;
    TStream& operator=(const TStream&) = delete;

    // Transfer up to Count bytes at the position and advance it; return the
    // number transferred (0 at the end). Failures of the system raise EStreamError.
    virtual int64_t Read(void* Buffer, int64_t Count) = 0;
    virtual int64_t Write(const void* Buffer, int64_t Count) = 0;
    // Returns the new position. Positions past the end are allowed; a position
    // before the start raises EStreamError "Stream seek error".
    virtual int64_t Seek(int64_t Offset, TSeekOrigin Origin) = 0;

    virtual int64_t Size();
    // Streams that cannot change their size ignore it. A position past the new
    // end moves to the end.
    virtual void SetSize(int64_t NewSize);
    int64_t Position() { return Seek(0, soCurrent); }
    void SetPosition(int64_t Value) { Seek(Value, soBeginning); }

    // Transfer exactly Count bytes or raise EStreamError "Stream read error" /
    // "Stream write error".
    void ReadBuffer(void* Buffer, int64_t Count);
    void WriteBuffer(const void* Buffer, int64_t Count);

    // Copies Count bytes from Source's position; Count <= 0 copies all of
    // Source from its beginning. Returns the number of bytes copied.
    int64_t CopyFrom(TStream& Source, int64_t Count = 0);
};

// A growable stream in memory; writing past the end fills the gap with zeros.
class TMemoryStream : public TStream {
public:
    int64_t Read(void* Buffer, int64_t Count) override;
    int64_t Write(const void* Buffer, int64_t Count) override;
    int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
    int64_t Size() override { return static_cast<int64_t>(FData.size()); }
    void SetSize(int64_t NewSize) override;

    void* Memory() { return FData.data(); }
    const void* Memory() const { return FData.data(); }
    // Frees the memory; size and position become 0.
    void Clear();

    // Load replaces the contents with all of Source (or the file) and rewinds;
    // Save writes the whole contents at Dest's position.
    void LoadFromStream(TStream& Source);
    void LoadFromFile(const std::string& AFileName);
    void SaveToStream(TStream& Dest);
    void SaveToFile(const std::string& AFileName);

protected:
    std::string FData;  // bytes, not text
    int64_t FPosition = 0;
};

// A memory stream whose bytes are available as a string.
class TStringStream : public TMemoryStream {
public:
    TStringStream() = default;
    // Starts at position 0 over a copy of AString.
    explicit TStringStream(std::string AString);

    const std::string& DataString() const { return FData; }
    // Up to Count bytes from the position.
    std::string ReadString(int64_t Count);
    void WriteString(const std::string& AString) { WriteBuffer(AString.data(), static_cast<int64_t>(AString.size())); }
};

// Open modes: fmCreate, or one access mode combined with one share mode.
// Share modes are accepted for compatibility; POSIX files have no such locks.
constexpr uint16_t fmCreate = 0xFF00;  // create or truncate, read and write
// Create when missing, never truncate; every write lands at the end of the
// file, also when other handles (other processes) write to it too.
constexpr uint16_t fmAppend = 0xFE00;
constexpr uint16_t fmOpenRead = 0x0000;
constexpr uint16_t fmOpenWrite = 0x0001;
constexpr uint16_t fmOpenReadWrite = 0x0002;
constexpr uint16_t fmShareCompat = 0x0000;
constexpr uint16_t fmShareExclusive = 0x0010;
constexpr uint16_t fmShareDenyWrite = 0x0020;
constexpr uint16_t fmShareDenyRead = 0x0030;
constexpr uint16_t fmShareDenyNone = 0x0040;

class TFileStream : public TStream {
public:
    // Raises EFCreateError "Cannot create file "<name>". <reason>" for fmCreate
    // and fmAppend, else EFOpenError "Cannot open file "<name>". <reason>".
    // Rights apply to a file that is created.
    TFileStream(const std::string& AFileName, uint16_t Mode, unsigned Rights = 0666);
    ~TFileStream() override;

    int64_t Read(void* Buffer, int64_t Count) override;
    int64_t Write(const void* Buffer, int64_t Count) override;
    int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
    int64_t Size() override;
    void SetSize(int64_t NewSize) override;

    const std::string& FileName() const { return FFileName; }
    int Handle() const { return FHandle; }

private:
    std::string FFileName;
    int FHandle = -1;
};
