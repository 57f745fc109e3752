// UTC time stamp texts. No local time zone is ever used.
#pragma once

#include <cstdint>
#include <vector>

namespace ns::encoding::time {

inline constexpr const char* format_time_months[12] = {
    "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// YYYY-MM-DDTHH:MM:SS.uuuuuuZ (27 characters for years 0 to 9999).
void formatTimeIso(std::vector<unsigned char>& out, int64_t seconds, uint32_t nanoseconds);

// YYYYMMDDHHMMSS.
void formatTimeDefault(std::vector<unsigned char>& out, int64_t seconds);

// "Mmm dd HH:MM:SS" with the day padded by a blank.
void formatTimeSyslogRfc3164(std::vector<unsigned char>& out, int64_t seconds);

} // namespace ns::encoding::time
