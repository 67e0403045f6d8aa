#include "platform/input_time.h"

namespace {
thread_local int64_t deliveredInputTimeNs = 0;
}

int64_t DeliveredInputTimeNs() {
    return deliveredInputTimeNs;
}

void SetDeliveredInputTimeNs(int64_t timeNs) {
    deliveredInputTimeNs = timeNs;
}
