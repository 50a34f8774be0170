#include "framework/Trace.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/TraceRecorder.h"

namespace tarvik {
namespace {

std::vector<std::string> GWritten;
bool GWriterThrows = false;
void Remember(const std::string& source, const std::string& message, int32_t extra, int32_t level) {
  if (GWriterThrows) throw std::bad_alloc();
  GWritten.push_back(source + "|" + message + "|" + std::to_string(extra) + "|" + std::to_string(level));
}

class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FPrevious = SetTraceWriter(nullptr);
    GWritten.clear();
    GWriterThrows = false;
  }
  void TearDown() override { SetTraceWriter(FPrevious); }

  TraceWriter FPrevious = nullptr;
};

TEST_F(TraceTest, LinesReachTheWriterOnlyWhileASinkListensAndAreBuiltOnlyThen) {
  int built = 0;
  auto message = [&] {
    ++built;
    return std::string("built");
  };
  SetTraceWriter(&Remember);
  Log("Nobody", message);
  EXPECT_EQ(built, 0);
  EXPECT_TRUE(GWritten.empty());

  test::TraceRecorder sink;
  Log("Source", message);
  Log([] { return std::string("Made"); }, "text", 3000, 100);
  EXPECT_EQ(built, 1);
  EXPECT_EQ(GWritten, (std::vector<std::string>{"Source|built|0|50", "Made|text|3000|100"}));
  // The writer decides where a line goes: here, not to the sink.
  EXPECT_TRUE(sink.Lines().empty());

  SetTraceWriter(nullptr);
  Log("Direct", "to the sink", 1000, 200);
  ASSERT_EQ(sink.Lines().size(), 1u);
  EXPECT_EQ(sink.Lines()[0].Source, "Direct");
  EXPECT_EQ(sink.Lines()[0].Level, 200);
}

TEST_F(TraceTest, NoFailureOfBuildingOrWritingALineReachesTheCaller) {
  test::TraceRecorder sink;
  SetTraceWriter(&Remember);
  GWriterThrows = true;
  EXPECT_NO_THROW(Log("Source", "lost"));
  GWriterThrows = false;
  EXPECT_NO_THROW(Log("Source", []() -> std::string { throw std::runtime_error("cannot build"); }));
  Log("Source", "after");
  EXPECT_EQ(GWritten, std::vector<std::string>{"Source|after|0|50"});
}

TEST_F(TraceTest, NoThrowAnswersWhetherTheBodyEndedAndTracesOnlyAFailureThatNamesALine) {
  test::TraceRecorder sink;
  struct Case {
    const char* Name;
    void (*Body)(int& steps);
    TFailureLine Line;
    bool Ended;
    int Steps;  // what the body did before it ended or failed stays done
    size_t Lines;
  };
  const Case cases[] = {
      {"ends", [](int& s) { s = 2; }, {"Named", "EXCEPTION!"}, true, 2, 0},
      {"bad_alloc, named",
       [](int& s) { s = 1, throw std::bad_alloc(); },
       {"Named", "EXCEPTION!", 1000, 250},
       false,
       1,
       1},
      {"any type, unnamed", [](int& s) { s = 1, throw 7; }, {}, false, 1, 0},
      {"std::exception, named", [](int&) { throw std::logic_error("x"); }, {"Named", "EXCEPTION!"}, false, 0, 1},
  };
  for (const Case& c : cases) {
    sink.Clear();
    int steps = 0;
    EXPECT_EQ(NoThrow(c.Line, [&] { c.Body(steps); }), c.Ended) << c.Name;
    EXPECT_EQ(steps, c.Steps) << c.Name;
    ASSERT_EQ(sink.Lines().size(), c.Lines) << c.Name;
    if (c.Lines) {
      EXPECT_EQ(sink.Lines()[0].Source, c.Line.Source) << c.Name;
      EXPECT_EQ(sink.Lines()[0].Message, c.Line.Message) << c.Name;
      EXPECT_EQ(sink.Lines()[0].Extra, c.Line.Extra) << c.Name;
      EXPECT_EQ(sink.Lines()[0].Level, c.Line.Level) << c.Name;
    }
  }
}

}  // namespace
}  // namespace tarvik
