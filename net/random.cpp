#include "net/random.h"

#include <memory>
#include <random>

namespace {
std::minstd_rand &generator()
{
    static std::minstd_rand engine(1);
    return engine;
}
} // namespace

void Random::seed(quint32 seed)
{
    generator().seed(seed);
}

int Random::next()
{
    // minstd_rand yields values in [1, 2^31 - 2], which fit a non-negative int.
    return static_cast<int>(generator()());
}

RandomSource Random::sequence(const QVector<int> &draws)
{
    // Shared, so that copies of the source draw from one sequence.
    auto taken = std::make_shared<int>(0);
    return [draws, taken] {
        return *taken < draws.size() ? draws.at((*taken)++) : next();
    };
}
