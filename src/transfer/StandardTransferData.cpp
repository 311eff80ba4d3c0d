#include "transfer/StandardTransferData.hpp"

#include <algorithm>

namespace halcyne {

namespace {
unsigned NonNegative(int value) {
    return static_cast<unsigned>(std::max(value, 0));
}
}  // namespace

StandardTransferData::StandardTransferData(const TransferParams& params, const TransferBehavior& behavior,
                                           MillisecondClock clock)
    : params(params),
      behavior(behavior),
      progress(std::make_shared<TransferStatusImpl>(
          &this->params, NonNegative(behavior.settings.speedWindowSeconds),
          NonNegative(behavior.settings.remainingRecalcMs), std::move(clock))) {}

}  // namespace halcyne
