// The log file itself: a file that any number of writers, threads and
// processes alike, append to at once without their entries mixing.
#pragma once

#include <cstdint>
#include <string>

#include "core/Streams.h"

// Opened for appending and shared with other writers. Each Write lands whole
// at the end of the file: one write(2) on an O_APPEND handle while holding an
// exclusive flock, which other handles on the file (in this or another
// process) honour. Writers that share one handle need their own lock, since
// flock does not tell them apart.
class TkbvAppendFileStream : public TStream {
public:
    // A missing file is created owner-only (0600), as a log holds the whole
    // traffic; an existing one keeps its mode. Raises EFCreateError
    // "Cannot create file "<name>". <reason>" when it can be neither.
    explicit TkbvAppendFileStream(const std::string& AFileName);
    ~TkbvAppendFileStream() override;

    int64_t Read(void* Buffer, int64_t Count) override;
    // Raises EStreamError "Stream write error. <reason>" on a failure.
    int64_t Write(const void* Buffer, int64_t Count) override;
    int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;

    const std::string& FileName() const { return FFileName; }

private:
    std::string FFileName;
    int FHandle = -1;
};
