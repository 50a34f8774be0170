#include "framework/ComBoundary.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/TraceRecorder.h"

namespace tarvik {
namespace {

std::vector<std::string> GDescribed;
void Remember(const std::string& what) { GDescribed.push_back(what); }
void DescribeFails(const std::string&) { throw std::bad_alloc(); }

class ComBoundaryTest : public ::testing::Test {
 protected:
  void SetUp() override { GDescribed.clear(); }
};

TEST_F(ComBoundaryTest, EachKindOfExceptionAnswersItsResultAndABodysResultPassesUnchanged) {
  constexpr TComFailure distinct{.Result = E_UNEXPECTED};
  EXPECT_EQ(ComBoundary(distinct, [] { return S_FALSE; }), S_FALSE);
  EXPECT_EQ(ComBoundary(distinct, [] {}), S_OK);
  EXPECT_EQ(ComBoundary(distinct, []() -> HRESULT { throw std::bad_alloc(); }), E_OUTOFMEMORY);
  EXPECT_EQ(ComBoundary(distinct, [] { throw std::runtime_error("x"); }), E_UNEXPECTED);
  EXPECT_EQ(ComBoundary(distinct, [] { throw 7; }), E_UNEXPECTED);
  // Where memory exhaustion has never been told apart, it is not.
  EXPECT_EQ(ComBoundary(AnyException(DISP_E_EXCEPTION), [] { throw std::bad_alloc(); }), DISP_E_EXCEPTION);
  EXPECT_EQ(ComBoundary(AnyException(S_OK), [] { throw std::logic_error("x"); }), S_OK);
}

TEST_F(ComBoundaryTest, TheLineIsWrittenOnlyOnAFailureThatNamesOne) {
  test::TraceRecorder trace;
  const TComFailure traced = AnyException(E_FAIL, "Source.Call", "Outmost Exception occured!", 1000, 200);
  EXPECT_EQ(ComBoundary(traced, [] { return S_OK; }), S_OK);
  EXPECT_EQ(ComBoundary(AnyException(E_FAIL), [] { throw 1; }), E_FAIL);
  EXPECT_TRUE(trace.Lines().empty());
  EXPECT_EQ(ComBoundary(traced, [] { throw std::bad_alloc(); }), E_FAIL);
  const std::vector<test::TraceLine> lines = trace.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].Source, "Source.Call");
  EXPECT_EQ(lines[0].Message, "Outmost Exception occured!");
  EXPECT_EQ(lines[0].Extra, 1000);
  EXPECT_EQ(lines[0].Level, 200);
}

TEST_F(ComBoundaryTest, DescribeHearsStandardExceptionsButNotExhaustedMemory) {
  constexpr TComFailure described{.Result = E_FAIL, .Describe = &Remember};
  EXPECT_EQ(ComBoundary(described, [] { throw std::runtime_error("disk full"); }), E_FAIL);
  EXPECT_EQ(ComBoundary(described, [] { throw std::bad_alloc(); }), E_OUTOFMEMORY);
  EXPECT_EQ(ComBoundary(described, [] { throw 3; }), E_FAIL);
  EXPECT_EQ(GDescribed, std::vector<std::string>{"disk full"});
  // A description that cannot be given leaves the result as it is.
  constexpr TComFailure failing{.Result = E_FAIL, .Describe = &DescribeFails};
  EXPECT_EQ(ComBoundary(failing, [] { throw std::runtime_error("x"); }), E_FAIL);
}

}  // namespace
}  // namespace tarvik
