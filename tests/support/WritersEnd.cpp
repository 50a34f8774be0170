// Every test program ends only after the spill area's writer threads: one
// still starting (to close a file a test let go of at its end) while the
// process goes down can crash Wine's process.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "core/spill/SpillArea.h"

namespace {

class TWritersEnd : public testing::Environment {
 public:
  void TearDown() override {
    for (int n = 0; n < 1000 && tarvik::SpillWritersRunning() != 0; ++n)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
};

[[maybe_unused]] const testing::Environment* const Registered = testing::AddGlobalTestEnvironment(new TWritersEnd);

}  // namespace
