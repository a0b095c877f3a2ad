// The clock: MS-DOS dates and times (as ZIP archives keep them) and a clock for measuring.
#pragma once

#include <cstdint>

void DosDateTime(uint16_t& date, uint16_t& time);
uint16_t DosDateOf(int year, int month, int day);
uint16_t DosTimeOf(int hour, int minute, int second);
// Milliseconds on a clock that never goes back.
uint64_t MonotonicMilliseconds();
