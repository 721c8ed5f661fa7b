// When a failed API call is worth another try, and how long to wait first.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "core/DateTime.h"
#include "core/Exceptions.h"

// The wait a Retry-After value asks for: delay-seconds ("2", also "1.5") or
// an HTTP date, measured from ANow (local time). None for an empty or
// unreadable value; a date in the past gives zero.
std::optional<std::chrono::milliseconds> RetryAfterDelay(const std::string& AValue, TDateTime ANow);

// The wait before attempt AAttempt + 1 (AAttempt counts from 0) after the
// failure AE, or none when AE is not worth a retry: a connection failure or
// time-out, or a reply of 408, 409, 429 or 5xx, is; anything else (a 4xx, a
// certificate refused, a file not found) would fail the same way again.
// The reply's Retry-After is honoured up to a minute; otherwise the wait is
// 0.5 s doubled per attempt up to 8 s, less up to a quarter at random, so
// that clients refused together do not come back together.
std::optional<std::chrono::milliseconds> RetryDelay(const Exception& AE, const std::string& ARetryAfter,
                                                    int AAttempt);
