#include "tools/Statistics.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace toolsupport {

Spread spreadOf(std::vector<double> values)
{
    Spread s;
    if (values.empty())
        return s;
    std::sort(values.begin(), values.end());
    auto at = [&](double q) {
        return values[std::min(values.size() - 1, size_t(q * double(values.size() - 1) + 0.5))];
    };
    s.p50 = at(0.50);
    s.p99 = at(0.99);
    s.max = values.back();
    return s;
}

LineFit fitLine(const std::vector<double>& x, const std::vector<double>& y)
{
    LineFit fit;
    const size_t count = std::min(x.size(), y.size());
    if (count < 3)
        return fit;
    double sx = 0, sy = 0;
    for (size_t i = 0; i < count; ++i) {
        sx += x[i];
        sy += y[i];
    }
    const double n = double(count);
    const double mx = sx / n, my = sy / n;
    double sxx = 0, sxy = 0;
    for (size_t i = 0; i < count; ++i) {
        const double dx = x[i] - mx;
        sxx += dx * dx;
        sxy += dx * (y[i] - my);
    }
    if (sxx <= 0)
        return fit;
    fit.valid = true;
    fit.slope = sxy / sxx;
    std::vector<double> deviations;
    deviations.reserve(count);
    for (size_t i = 0; i < count; ++i)
        deviations.push_back(std::fabs(y[i] - (my + fit.slope * (x[i] - mx))));
    fit.deviation = spreadOf(std::move(deviations));
    return fit;
}

} // namespace toolsupport
