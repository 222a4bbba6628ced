#pragma once
// Summaries of timing measurements, shared by the round-trip tool and the timing harness.
#include <vector>

namespace toolsupport {

// The median, the 99th percentile and the largest of a set of values (all 0 for none).
struct Spread {
    double p50 = 0, p99 = 0, max = 0;
};

Spread spreadOf(std::vector<double> values);

// The least-squares line y = mean(y) + slope * (x - mean(x)), and how far each point lies from
// it (absolute). Callers pass values centred near zero (e.g. less the first point), so that
// doubles keep the precision of large integer time stamps.
struct LineFit {
    bool valid = false; // at least three points, not all at one x
    double slope = 0;
    Spread deviation;
};

LineFit fitLine(const std::vector<double>& x, const std::vector<double>& y);

} // namespace toolsupport
