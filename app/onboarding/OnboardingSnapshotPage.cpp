#include "app/onboarding/OnboardingSnapshotPage.hpp"

#include <algorithm>
#include <cctype>

namespace noctave::app {

namespace {

constexpr int kLastPage = 3;

std::optional<long long> parsePageNumber(const std::string& text) {
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i == text.size()) {
        return std::nullopt;
    }
    long long value = 0;
    for (; i < text.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) {
            return std::nullopt;
        }
        // Saturate: any number past the last page means the last page.
        value = std::min(value * 10 + (text[i] - '0'), 1000000LL);
    }
    return negative ? -value : value;
}

}  // namespace

int onboardingSnapshotPage(const std::optional<std::string>& argument) {
    long long number = 1;
    if (argument) {
        number = parsePageNumber(*argument).value_or(1);
    }
    return static_cast<int>(std::clamp(number - 1, 0LL, static_cast<long long>(kLastPage)));
}

}  // namespace noctave::app
