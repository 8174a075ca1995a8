// What a packet's stamp is on each input, and the receipt clock's arithmetic.
#include <gtest/gtest.h>

#include <cstdint>
#include <string_view>

#include "measures/clock.h"

namespace {

using measures::Clock;

TEST(InputClockTest, EachInputStampsOnItsOwnClock) {
    const struct {
        std::string_view input;
        Clock clock;
        bool counts_overflows;
        std::string_view note;
        bool debounced;
        std::string_view report_input;
        std::string_view report_clock;
    } rows[] = {
        {"evdev", Clock::microseconds, true, "", false, "evdev", "kernel"},
        {"x11", Clock::milliseconds, false, "ms clock", true, "x11", "ms"},
        {"replay", Clock::microseconds, false, "", false, "replay", "recorded"},
        {"user32", Clock::receipt, false, "receipt time", false, "windows", "receipt"},
        {"auto", Clock::microseconds, false, "", false, "", ""},  // a name no input stamps under
        {"", Clock::microseconds, false, "", false, "", ""},
    };
    for (const auto& row : rows) {
        const measures::InputClock& clock = measures::input_clock(row.input);
        EXPECT_EQ(clock.clock, row.clock) << row.input;
        EXPECT_EQ(clock.counts_overflows, row.counts_overflows) << row.input;
        EXPECT_EQ(measures::clock_note(clock.clock), row.note) << row.input;
        EXPECT_EQ(clock.debounced_buttons, row.debounced) << row.input;
        EXPECT_EQ(clock.report_input, row.report_input) << row.input;
        EXPECT_EQ(clock.report_clock, row.report_clock) << row.input;
    }
#ifdef _WIN32
    EXPECT_EQ(measures::input_clock(measures::native_input()).clock, Clock::receipt);
#else
    EXPECT_EQ(measures::input_clock(measures::native_input()).clock, Clock::microseconds);
#endif
}

TEST(InputClockTest, ACounterReadingIsExactMicroseconds) {
    const struct {
        std::int64_t counter;
        std::int64_t frequency;
        std::int64_t us;
    } rows[] = {
        {0, 10'000'000, 0},
        {10'000'000, 10'000'000, 1'000'000},
        {10, 3, 3'333'333},                                                // rounded down, never up
        {3'579'545 * 7 + 1, 3'579'545, 7'000'000},                         // the ACPI timer's rate
        {9'000'000'000'000'000'000, 10'000'000, 900'000'000'000'000'000},  // no overflow
        {123, 0, 0},  // a frequency the system does not give
    };
    for (const auto& row : rows)
        EXPECT_EQ(measures::counter_us(row.counter, row.frequency), row.us)
            << row.counter << " at " << row.frequency;
}

}  // namespace
