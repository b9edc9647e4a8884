// The calendar time of a certificate date, for mbedTLS
// (MBEDTLS_PLATFORM_GMTIME_R_ALT): the C library's gmtime_r would bring in
// its time zone code, which a static router executable does without.
#include <mbedtls/platform_time.h>

#include <ctime>

// The calendar time of `*tt` in UTC: days to civil date, proleptic Gregorian.
extern "C" struct tm* mbedtls_platform_gmtime_r(const mbedtls_time_t* tt, struct tm* tm_buf) {
    const long long t = *tt;
    long long days = t / 86400, secs = t % 86400;
    if (secs < 0) {
        secs += 86400;
        --days;
    }
    *tm_buf = tm{};
    tm_buf->tm_hour = static_cast<int>(secs / 3600);
    tm_buf->tm_min = static_cast<int>(secs / 60 % 60);
    tm_buf->tm_sec = static_cast<int>(secs % 60);
    tm_buf->tm_wday = static_cast<int>(((days + 4) % 7 + 7) % 7);  // 1970-01-01 was a Thursday
    days += 719468;                                                // from 0000-03-01
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const long long doe = days - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    const long long month = mp < 10 ? mp + 3 : mp - 9;
    const long long year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    tm_buf->tm_mday = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    tm_buf->tm_mon = static_cast<int>(month - 1);
    tm_buf->tm_year = static_cast<int>(year - 1900);
    const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
    static const int before_month[] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
    tm_buf->tm_yday = before_month[month - 1] + tm_buf->tm_mday - 1 + (leap && month > 2 ? 1 : 0);
    return tm_buf;
}
