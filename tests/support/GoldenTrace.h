#pragma once
// The lines a scenario traced, against its golden file in the tests' tree:
// one line a trace call, "source: message" (": message" left out when the
// message is empty), with " {Extra=e Level=l}" where the pair is not 0 and
// 50. Values that change from run to run (serial numbers, addresses, ports)
// stand in the file as {name} and are given by the test.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "support/TraceRecorder.h"

namespace tarvik::test {

using TraceValues = std::vector<std::pair<std::string, std::string>>;

std::string RenderTrace(const std::vector<TraceLine>& lines);

// file: relative to tests/, such as "protocol/traces/start.trace".
::testing::AssertionResult MatchesGoldenTrace(const std::vector<TraceLine>& lines, const std::string& file,
                                              const TraceValues& values = {});

}  // namespace tarvik::test
