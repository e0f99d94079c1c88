#include "random_variable.hpp"

#include <algorithm>
#include <cmath>

#include "core/foundation/units.hpp"

namespace whistle {

const char* distribution_name(Distribution distribution) {
    switch (distribution) {
        case Distribution::Normal: return "normal";
        case Distribution::Uniform: return "uniform";
        case Distribution::Discrete: return "discrete";
        case Distribution::Fixed: break;
    }
    return "fixed";
}

namespace {

double polynomial(const double (&c)[8], double x) {
    double sum = c[7];
    for (int i = 6; i >= 0; --i) sum = sum * x + c[i];
    return sum;
}

}  // namespace

// Wichura's rational approximations (Applied Statistics algorithm AS 241): one for the
// central region and two for the tails, in the distance r = sqrt(-log(min(p, 1 - p))).
double normal_quantile(double p) {
    static constexpr double central_num[8] = {
        3.387132872796366608, 133.14166789178437745, 1971.5909503065514427, 13731.693765509461125,
        45921.953931549871457, 67265.770927008700853, 33430.575583588128105, 2509.0809287301226727};
    static constexpr double central_den[8] = {
        1.0, 42.313330701600911252, 687.1870074920579083, 5394.1960214247511077,
        21213.794301586595867, 39307.89580009271061, 28729.085735721942674, 5226.4952788528545610};
    static constexpr double near_num[8] = {
        1.42343711074968357734, 4.6303378461565452959, 5.7694972214606914055, 3.64784832476320460504,
        1.27045825245236838258, 0.24178072517745061177, 0.0227238449892691845833, 7.7454501427834140764e-4};
    static constexpr double near_den[8] = {
        1.0, 2.05319162663775882187, 1.6763848301838038494, 0.68976733498510000455,
        0.14810397642748007459, 0.0151986665636164571966, 5.475938084995344946e-4, 1.05075007164441684324e-9};
    static constexpr double far_num[8] = {
        6.6579046435011037772, 5.4637849111641143699, 1.7848265399172913358, 0.29656057182850489123,
        0.026532189526576123093, 0.0012426609473880784386, 2.71155556874348757815e-5, 2.01033439929228813265e-7};
    static constexpr double far_den[8] = {
        1.0, 0.59983220655588793769, 0.13692988092273580531, 0.0148753612908506148525,
        7.868691311456132591e-4, 1.8463183175100546818e-5, 1.4215117583164458887e-7, 2.04426310338993978564e-15};

    double q = p - 0.5;
    if (std::fabs(q) <= 0.425) {
        double r = 0.180625 - q * q;
        return q * polynomial(central_num, r) / polynomial(central_den, r);
    }
    double r = std::sqrt(-std::log(q < 0 ? p : 1 - p));
    double value = r <= 5 ? polynomial(near_num, r - 1.6) / polynomial(near_den, r - 1.6)
                          : polynomial(far_num, r - 5) / polynomial(far_den, r - 5);
    return q < 0 ? -value : value;
}

void check_probability(double p) {
    if (!(p >= 0 && p <= 1)) throw RangeError("CDF value out of range 0 - 1.");
}

double clamped_normal_quantile(double p) {
    return normal_quantile(std::clamp(p, 1e-16, 0.9999999999999999));
}

size_t discrete_index(double p, size_t count) {
    return std::min(size_t(double(count) * p), count - 1);
}

}  // namespace whistle
