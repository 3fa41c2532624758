#include "server/rate.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>

namespace isisim {

namespace {

// Slack, in seconds, within which a sample counts as lying on a requested time.
double tolerance(SimRate rate) {
    double interval = simRateInterval(rate);
    return std::max(interval * 0.01, std::min(1e-6, interval * 0.25));
}

bool reduceInto(int64_t p, int64_t q, SimRate* rate, std::string* error) {
    if (p <= 0 || q <= 0) {
        if (error) *error = "rate must be positive";
        return false;
    }
    int64_t g = std::gcd(p, q);
    p /= g;
    q /= g;
    if (p > kMaxRateTerm || q > kMaxRateTerm) {
        if (error) *error = "rate needs a factor or multiplier above 32767";
        return false;
    }
    rate->p = int32_t(p);
    rate->q = int32_t(q);
    return true;
}

bool parseDigits(const std::string& text, int64_t* value, int* digits) {
    *value = 0;
    *digits = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        if (*value > 100000000000LL) return false;
        *value = *value * 10 + (c - '0');
        ++*digits;
    }
    return true;
}

}  // namespace

bool simParseRate(const std::string& text, SimRate* rate, std::string* error) {
    auto bad = [&]() {
        if (error) *error = "not a rate: \"" + text + "\"";
        return false;
    };
    int64_t p = 0, q = 1;
    int digits = 0;
    size_t slash = text.find('/');
    if (slash != std::string::npos) {
        if (!parseDigits(text.substr(0, slash), &p, &digits) || digits == 0) return bad();
        if (!parseDigits(text.substr(slash + 1), &q, &digits) || digits == 0) return bad();
        return reduceInto(p, q, rate, error);
    }
    size_t dot = text.find('.');
    std::string whole = text.substr(0, dot);
    std::string fraction = dot == std::string::npos ? "" : text.substr(dot + 1);
    int wholeDigits = 0, fractionDigits = 0;
    int64_t w = 0, f = 0;
    if (!parseDigits(whole, &w, &wholeDigits) || !parseDigits(fraction, &f, &fractionDigits))
        return bad();
    if (wholeDigits + fractionDigits == 0 || fractionDigits > 9) return bad();
    for (int i = 0; i < fractionDigits; ++i) {
        q *= 10;
        w *= 10;
    }
    return reduceInto(w + f, q, rate, error);
}

bool simRateFromDouble(double samplesPerSecond, SimRate* rate) {
    SimRate best;
    if (!(samplesPerSecond > 0.0)) return false;
    double bestError = HUGE_VAL;
    // Small denominators first, so 20.0 stays 20/1 and 0.1 becomes 1/10.
    for (int64_t q = 1; q <= kMaxRateTerm; ++q) {
        double p = std::round(samplesPerSecond * double(q));
        if (p < 1.0 || p > kMaxRateTerm) {
            if (p > kMaxRateTerm) break;
            continue;
        }
        double err = std::fabs(p / double(q) - samplesPerSecond);
        if (err < bestError) {
            bestError = err;
            reduceInto(int64_t(p), q, &best, nullptr);
        }
        if (err <= samplesPerSecond * 1e-9) break;
    }
    if (!(bestError <= samplesPerSecond * 1e-6)) return false;
    *rate = best;
    return true;
}

void simRateToFactorMultiplier(SimRate rate, int16_t* factor, int16_t* multiplier) {
    if (rate.q == 1) {
        *factor = int16_t(rate.p);
        *multiplier = 1;
    } else if (rate.p == 1) {
        *factor = int16_t(-rate.q);
        *multiplier = 1;
    } else {
        *factor = int16_t(rate.p);
        *multiplier = int16_t(rate.q);
    }
}

double simRateInterval(SimRate rate) {
    return double(rate.q) / double(rate.p);
}

double simRatePerSecond(SimRate rate) {
    return double(rate.p) / double(rate.q);
}

std::string simRateText(SimRate rate) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%g", simRatePerSecond(rate));
    return buf;
}

double simSampleTime(SimRate rate, double t0, int64_t k) {
    double offset = double(k * rate.q) / double(rate.p);
    return t0 == 0.0 ? offset : t0 + offset;
}

int64_t simIndexAtOrAfter(SimRate rate, double t0, double t) {
    double slack = tolerance(rate);
    auto k = int64_t(std::floor((t - t0) * double(rate.p) / double(rate.q)));
    while (simSampleTime(rate, t0, k) < t - slack) ++k;
    while (simSampleTime(rate, t0, k - 1) >= t - slack) --k;
    return k;
}

int64_t simIndexAtOrBefore(SimRate rate, double t0, double t) {
    double slack = tolerance(rate);
    auto k = int64_t(std::floor((t - t0) * double(rate.p) / double(rate.q)));
    while (simSampleTime(rate, t0, k) > t + slack) --k;
    while (simSampleTime(rate, t0, k + 1) <= t + slack) ++k;
    return k;
}

}  // namespace isisim
