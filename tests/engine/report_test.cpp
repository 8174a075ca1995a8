// The report line of a packet: exactly what the printf format of the line
// gives, for every field at its extremes.
#include <gtest/gtest.h>

#include <climits>
#include <random>

#include "rawinput/report.h"
#include "tests/support/test_support.h"

namespace {

RAWMOUSE packet(USHORT flags, USHORT button_flags, USHORT button_data, ULONG raw, LONG x, LONG y,
                ULONG extra) {
    RAWMOUSE m{};
    m.usFlags = flags;
    m.usButtonFlags = button_flags;
    m.usButtonData = button_data;
    m.ulRawButtons = raw;
    m.lLastX = x;
    m.lLastY = y;
    m.ulExtraInformation = extra;
    return m;
}

void expect_as_printf(int mouse_number, const RAWMOUSE& m) {
    char line[report::max_line];
    const std::size_t length = report::format_packet(line, mouse_number, m);
    const std::string expected = testsupport::expected_line(mouse_number, m);
    EXPECT_EQ(std::string(line, length), expected);
    EXPECT_EQ(line[length], '\0');
    EXPECT_EQ(report::packet_line(mouse_number, m), expected);
}

TEST(ReportLineTest, MatchesTheFormatAtEveryFieldsExtremes) {
    expect_as_printf(0, packet(0, 0, 0, 0, 0, 0, 0));
    expect_as_printf(2, packet(0, 0x0400, 0xff88, 0x1f, -1, 1, 0));
    expect_as_printf(-1,
                     packet(0xffff, 0xffff, 0xffff, 0xffffffffu, INT_MIN, INT_MAX, 0xffffffffu));
    expect_as_printf(INT_MIN, packet(1, 0x10, 0x1, 0x10000, 0xfff, 0x1000, 0x12345));
    expect_as_printf(INT_MAX, packet(0xf, 0xabc, 0xdef0, 0xabcdef, -4096, 65535, 7));
}

TEST(ReportLineTest, MatchesTheFormatOnRandomPackets) {
    std::mt19937 random(1234);
    std::uniform_int_distribution<std::uint32_t> bits;
    for (int i = 0; i < 10000; ++i) {
        // Mostly small values, as motion is, with whole-range ones mixed in.
        const std::uint32_t mask = (i % 3 == 0) ? 0xffffffffu : (0xffu >> (i % 8));
        const RAWMOUSE m =
            packet(static_cast<USHORT>(bits(random) & mask),
                   static_cast<USHORT>(bits(random) & mask), static_cast<USHORT>(bits(random)),
                   bits(random) & mask, static_cast<LONG>(bits(random) & mask) * ((i & 1) ? -1 : 1),
                   static_cast<LONG>(bits(random)), bits(random) & mask);
        expect_as_printf(static_cast<int>(bits(random) % 12) - 1, m);
        if (HasFailure())
            return;
    }
}

}  // namespace
