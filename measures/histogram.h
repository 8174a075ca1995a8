// The one histogram every percentile of the measures comes from: counts of
// whole values in log-linear buckets, constant work per value and memory fixed
// by its type, so a run of hours costs no more per value than a run of seconds.
//
// Each use chooses its range and precision, and how a bucket is read back:
// the intervals between reports (timing::IntervalHistogram: 0 to 50 ms within
// 1/128, read back as the bucket's lowest value, so that the usual polling
// intervals come back exact) and --stats's handling delays (DelayHistogram,
// below: any nanosecond count within 1/32, read back as the bucket's highest
// value, a bound the delay did not exceed).
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <type_traits>

namespace measures {

// Which value of its bucket a quantile reads back.
enum class ReadBack {
    floor,    // the lowest: never above the sample, at most one bucket's width below it
    ceiling,  // the highest: never below the sample, at most one bucket's width above it
};

// Values from 0 to `top` in buckets: one per value below 2^sub_bits, then
// 2^sub_bits per power of two, so a bucket is at most 1/2^sub_bits of its
// values wide. With the exact count, least, greatest and sum.
template <typename Value, Value top, int sub_bits, ReadBack reading>
class LogHistogram {
    static_assert(std::is_integral_v<Value> && top > 0);
    static_assert(sub_bits > 0 && sub_bits < 16);

  public:
    using value_type = Value;
    static constexpr Value highest = top;
    static constexpr ReadBack read_back = reading;
    static constexpr int sub_buckets = 1 << sub_bits;

    // The bucket of `value` (0 to highest).
    static constexpr int bucket_of(Value value) {
        const auto v = static_cast<std::uint64_t>(value);
        if (v < static_cast<std::uint64_t>(sub_buckets))
            return static_cast<int>(v);
        const int octave =
            static_cast<int>(std::bit_width(v)) - 1;  // the highest set bit, >= sub_bits
        const auto sub = static_cast<int>((v >> (octave - sub_bits)) & (sub_buckets - 1));
        return (octave - sub_bits + 1) * sub_buckets + sub;
    }
    // The lowest value that falls in `bucket`, and the highest.
    static constexpr Value floor(int bucket) {
        if (bucket < sub_buckets)
            return static_cast<Value>(bucket);
        return static_cast<Value>(low_bits(bucket) << shift(bucket));
    }
    static constexpr Value ceiling(int bucket) {
        if (bucket < sub_buckets)
            return static_cast<Value>(bucket);
        const int s = shift(bucket);
        return static_cast<Value>((low_bits(bucket) << s) + ((std::uint64_t{1} << s) - 1));
    }
    static constexpr int bucket_count = bucket_of(highest) + 1;

    // One value, kept within 0 to highest.
    void add(Value value) {
        if constexpr (std::is_signed_v<Value>)
            value = std::max<Value>(value, 0);
        value = std::min<Value>(value, highest);
        ++buckets_[static_cast<std::size_t>(bucket_of(value))];
        ++count_;
        min_ = std::min(min_, value);
        max_ = std::max(max_, value);
        sum_ += value;
    }
    // Adds every value of `other`.
    void merge(const LogHistogram& other) {
        for (std::size_t i = 0; i < buckets_.size(); ++i)
            buckets_[i] += other.buckets_[i];
        count_ += other.count_;
        min_ = std::min(min_, other.min_);
        max_ = std::max(max_, other.max_);
        sum_ += other.sum_;
    }

    std::uint64_t count() const { return count_; }
    Value min() const { return count_ == 0 ? 0 : min_; }
    Value max() const { return max_; }
    Value sum() const { return sum_; }

    // The smallest value that at least `q` (0..1) of the samples do not
    // exceed (the nearest rank), as its bucket's floor or ceiling (read_back)
    // kept within [min, max]: the greatest sample exactly, and with floors the
    // least too; nullopt when empty.
    std::optional<Value> quantile(double q) const {
        if (count_ == 0)
            return std::nullopt;
        const std::uint64_t rank = rank_of(q);
        if (rank == count_)
            return max_;
        std::uint64_t seen = 0;
        for (int b = 0; b < bucket_count; ++b) {
            seen += buckets_[static_cast<std::size_t>(b)];
            if (seen >= rank)
                return std::clamp(read_back == ReadBack::floor ? floor(b) : ceiling(b), min_, max_);
        }
        return max_;
    }
    // How many samples are below `low` or above `high`, judged by their
    // buckets' floors.
    std::uint64_t count_outside(double low, double high) const {
        std::uint64_t outside = 0;
        for (int b = 0; b < bucket_count; ++b) {
            const auto lowest = static_cast<double>(floor(b));
            if (lowest < low || lowest > high)
                outside += buckets_[static_cast<std::size_t>(b)];
        }
        return outside;
    }

  private:
    // A bucket at or above sub_buckets: its values' top sub_bits + 1 bits, and
    // how far they are shifted up.
    static constexpr std::uint64_t low_bits(int bucket) {
        return static_cast<std::uint64_t>(sub_buckets + bucket % sub_buckets);
    }
    static constexpr int shift(int bucket) { return bucket / sub_buckets - 1; }

    // The rank of the sample wanted, 1-based: the smallest covering q of them.
    // Worked out in whole millionths, not in floating point: on a 387 FPU (the
    // 32-bit Windows build) 0.01 * 100 carries excess precision past 1 and
    // would take the second sample for the first.
    std::uint64_t rank_of(double q) const {
        constexpr std::uint64_t million = 1'000'000;
        const auto millionths =
            static_cast<std::uint64_t>(std::llround(std::clamp(q, 0.0, 1.0) * 1e6));
        const std::uint64_t rank =
            count_ / million * millionths + (count_ % million * millionths + million - 1) / million;
        return std::max<std::uint64_t>(rank, 1);
    }

    std::array<std::uint64_t, bucket_count> buckets_{};
    std::uint64_t count_ = 0;
    Value min_ = std::numeric_limits<Value>::max();
    Value max_ = 0;
    Value sum_ = 0;
};

// Nanosecond durations: exact below 32 ns, then 32 buckets per power of two;
// a quantile is read back as its bucket's highest value, never below the true
// one and within 1/32 of it.
using DelayHistogram = LogHistogram<std::uint64_t, UINT64_MAX, 5, ReadBack::ceiling>;

}  // namespace measures
