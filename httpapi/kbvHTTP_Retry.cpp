#include "httpapi/kbvHTTP_Retry.h"

#include <charconv>
#include <cmath>
#include <random>

#include "http/kbvIdGlobalProtocols_Dates.h"
#include "http/kbvIdHTTP.h"
#include "net/kbvIdIOHandler.h"
#include "net/kbvIdIOHandlerSocket.h"
#include "net/kbvIdSSLOpenSSL_Errors.h"
#include "net/kbvIdSSLSChannel.h"
#include "net/kbvIdStack.h"

namespace {

using std::chrono::milliseconds;

constexpr milliseconds MaxRetryAfter{60000};

bool IsRetryableStatus(int ACode) { return ACode == 408 || ACode == 409 || ACode == 429 || ACode >= 500; }

// The connection broke or went quiet: a new one may well succeed.
bool IsConnectionFailure(const Exception& AE) {
    return dynamic_cast<const EIdSocketError*>(&AE) || dynamic_cast<const EIdConnClosedGracefully*>(&AE) ||
           dynamic_cast<const EIdClosedSocket*>(&AE) || dynamic_cast<const EIdConnectTimeout*>(&AE) ||
           dynamic_cast<const EIdReadTimeout*>(&AE) || dynamic_cast<const EIdHTTPResponseIncomplete*>(&AE) ||
           dynamic_cast<const EIdOSSLUnexpectedEOF*>(&AE) || dynamic_cast<const EkbvSChannelUnexpectedEOF*>(&AE);
}

milliseconds Backoff(int AAttempt) {
    static thread_local std::mt19937 Random{std::random_device{}()};
    const double Seconds = std::min(0.5 * std::pow(2.0, AAttempt), 8.0);
    const double Jitter = 1.0 - 0.25 * std::uniform_real_distribution<double>(0.0, 1.0)(Random);
    return milliseconds(static_cast<int64_t>(Seconds * Jitter * 1000));
}

}  // namespace

std::optional<milliseconds> RetryAfterDelay(const std::string& AValue, TDateTime ANow) {
    if (AValue.empty())
        return std::nullopt;
    double Seconds = 0;
    const char* End = AValue.data() + AValue.size();
    if (auto [Ptr, Error] = std::from_chars(AValue.data(), End, Seconds); Error == std::errc() && Ptr == End)
        return Seconds >= 0 && Seconds < 1e9 ? std::optional(milliseconds(static_cast<int64_t>(Seconds * 1000)))
                                             : std::nullopt;
    const TDateTime When = HttpDateToLocal(AValue);
    if (When == 0)
        return std::nullopt;
    return milliseconds(std::max<int64_t>(0, std::llround((When - ANow) * 86400000.0)));
}

std::optional<milliseconds> RetryDelay(const Exception& AE, const std::string& ARetryAfter, int AAttempt) {
    if (const auto* HTTPError = dynamic_cast<const EIdHTTPProtocolException*>(&AE)) {
        if (!IsRetryableStatus(HTTPError->ErrorCode()))
            return std::nullopt;
        if (auto Asked = RetryAfterDelay(ARetryAfter, Now()); Asked && *Asked <= MaxRetryAfter)
            return Asked;
        return Backoff(AAttempt);
    }
    if (IsConnectionFailure(AE))
        return Backoff(AAttempt);
    return std::nullopt;
}
