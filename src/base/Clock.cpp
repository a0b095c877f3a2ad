#include "base/Clock.h"

#include <ctime>

static std::tm LocalNow()
{
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local;
}

uint16_t DosDateOf(int year, int month, int day)
{
    return static_cast<uint16_t>(((year - 1980) & 0x7f) * 512 + month * 32 + day);
}

uint16_t DosTimeOf(int hour, int minute, int second)
{
    return static_cast<uint16_t>(hour * 2048 + minute * 32 + second / 2);
}

void DosDateTime(uint16_t& date, uint16_t& time)
{
    std::tm local = LocalNow();
    date = DosDateOf(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
    time = DosTimeOf(local.tm_hour, local.tm_min, local.tm_sec);
}

uint64_t MonotonicMilliseconds()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}
