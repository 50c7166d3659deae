#include "run/auto.h"
#include "platform/errors.h"

namespace vqflow {

awaitable<int> Auto::for_play_book(std::vector<std::string>, std::string, bool) { co_return 0; }

}  // namespace vqflow
