// Dates from a peer (Date, Expires, Last-Modified, cookie expiry) through the
// forgiving readers. Besides crashes, a finding is a date the reader took
// that the writer cannot write in a form the reader reads back.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/Exceptions.h"
#include "http/kbvIdGlobalProtocols_Dates.h"

namespace {

constexpr double OneSecond = 1.0 / 86400;

void CheckWrittenReadsBack(TDateTime ADate) {
    std::string Written;
    try {
        Written = DateTimeGMTToHttpStr(ADate);
    } catch (const EConvertError&) {
        return;  // outside the years 1 to 9999
    }
    std::string Text = Written;
    TDateTime Again = 0;
    // The writer drops the milliseconds.
    if (!ParseInternetDate(Text, Again) || std::fabs(Again - ADate) >= OneSecond) {
        std::fprintf(stderr, "a written date does not read back: %.9f -> \"%s\" -> %.9f\n", ADate, Written.c_str(),
                     Again);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    const std::string Input(reinterpret_cast<const char*>(AData), ASize);
    try {
        HttpDateToLocal(Input);
        std::string Text = Input;
        TDateTime Date = 0;
        if (ParseInternetDate(Text, Date))
            CheckWrittenReadsBack(Date);
        Text = Input;
        if (ParseIsoDate(Text, Date))
            CheckWrittenReadsBack(Date);
        OffsetToTime(Input);
        ZoneToOffsetText(Input);
        MonthFromName(Input);
        DayFromName(Input);
    } catch (const Exception&) {
        // The library's own refusal.
    }
    return 0;
}
