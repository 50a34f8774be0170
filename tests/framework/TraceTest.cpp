#include "framework/Trace.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/TraceRecorder.h"

namespace tarvik {
namespace {

// A sink that can be told to fail, as a full disk would make a file fail.
class FailingSink final : public TraceSink {
 public:
  void Write(std::string_view source, std::string_view, int32_t, int32_t) override {
    if (Throws) throw std::bad_alloc();
    Written.emplace_back(source);
  }
  bool Throws = false;
  std::vector<std::string> Written;
};

TEST(TraceTest, LinesReachTheOneSinkOnlyWhileItListensAndAreBuiltOnlyThen) {
  int built = 0;
  auto message = [&] {
    ++built;
    return std::string("built");
  };
  Log("Nobody", message);
  EXPECT_EQ(built, 0);

  {
    test::TraceRecorder sink;
    Log("Source", message);
    Log([] { return std::string("Made"); }, "text", 3000, 100);
    EXPECT_EQ(built, 1);
    const std::vector<test::TraceLine> lines = sink.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].Source + "|" + lines[0].Message, "Source|built");
    EXPECT_EQ(lines[0].Extra * 1000 + lines[0].Level, 50);
    EXPECT_EQ(lines[1].Source + "|" + lines[1].Message, "Made|text");
    EXPECT_EQ(lines[1].Extra * 1000 + lines[1].Level, 3000 * 1000 + 100);
  }
  // The recorder put back what was there before it: nothing.
  EXPECT_FALSE(TraceActive());
  Log("Nobody", message);
  EXPECT_EQ(built, 1);
}

TEST(TraceTest, NoFailureOfBuildingOrWritingALineReachesTheCaller) {
  FailingSink sink;
  TraceSink* const previous = SetTraceSink(&sink);
  sink.Throws = true;
  EXPECT_NO_THROW(Log("Source", "lost"));
  sink.Throws = false;
  EXPECT_NO_THROW(Log("Source", []() -> std::string { throw std::runtime_error("cannot build"); }));
  Log("After", "kept");
  SetTraceSink(previous);
  EXPECT_EQ(sink.Written, std::vector<std::string>{"After"});
}

TEST(TraceTest, NoThrowAnswersWhetherTheBodyEndedAndTracesOnlyAFailureThatNamesALine) {
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
