// The limits that every download is held to as its bytes arrive: how far a
// decoded body may grow, and when a transfer has stalled. No I/O.
#pragma once

#include <stdint.h>

// A decoded body may grow this far whatever arrived for it; past it, to
// EXPANSION_MAX_RATIO times the coded bytes received.
#define EXPANSION_FREE_BYTES ((int64_t)1 << 20)
#define EXPANSION_MAX_RATIO 200

enum BodyLimit { BODY_WITHIN, BODY_OVER_MAXIMUM, BODY_OVER_EXPANSION };

// Which limit a body passes when it has grown to decoded bytes after decoding
// while coded bytes of it were received; maxDecoded 0 sets no maximum.
enum BodyLimit bodyLimit(int64_t decoded, int64_t coded, int64_t maxDecoded);

// A transfer stalls when less than this arrives in a window of the stall limit.
#define STALL_MIN_BYTES 1024

// When the bytes of a transfer arrived: observations (seconds, bytes received
// by then) in a ring, oldest first. Counts grow strictly and stay within
// STALL_MIN_BYTES of the newest, so that many slots always suffice.
struct StallWatch {
    double times[STALL_MIN_BYTES];
    int64_t counts[STALL_MIN_BYTES];
    unsigned first, size;
};

// Records that received bytes had arrived at time t (seconds). 1 when the
// observations show that a window of limit seconds ending at t received less
// than STALL_MIN_BYTES; 0 otherwise. watch starts zeroed.
int stallCheck(struct StallWatch *watch, double t, int64_t received, double limit);
