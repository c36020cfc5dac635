#include "rules/transferLimits.h"

enum BodyLimit bodyLimit(int64_t decoded, int64_t coded, int64_t maxDecoded)
{
    if (maxDecoded > 0 && decoded > maxDecoded)
        return BODY_OVER_MAXIMUM;
    // decoded > ratio * coded, without a product that could overflow.
    if (decoded > EXPANSION_FREE_BYTES && coded <= (decoded - 1) / EXPANSION_MAX_RATIO)
        return BODY_OVER_EXPANSION;
    return BODY_WITHIN;
}

int stallCheck(struct StallWatch *watch, double t, int64_t received, double limit)
{
    const unsigned slots = STALL_MIN_BYTES;
    // Observations with a whole STALL_MIN_BYTES after them can decide nothing
    // any more: the count only grows.
    while (watch->size && watch->counts[watch->first] <= received - STALL_MIN_BYTES) {
        watch->first = (watch->first + 1) % slots;
        --watch->size;
    }
    unsigned last = (watch->first + watch->size + slots - 1) % slots;
    if (!watch->size || watch->counts[last] < received) {
        unsigned next = (watch->first + watch->size) % slots;
        watch->times[next] = t;
        watch->counts[next] = received;
        ++watch->size;
    }
    // Since the oldest observation left, less than STALL_MIN_BYTES arrived.
    return t - watch->times[watch->first] >= limit;
}
