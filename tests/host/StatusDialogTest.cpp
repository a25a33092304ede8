#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/Clock.h"
#include "host/TStatusDialog.h"

namespace vantrel {
namespace {

class RecordingView : public IStatusView {
 public:
  void SetCaption(const std::string& t) override { caption = t; }
  void SetLine(int line, const std::string& t) override { lines.at(line - 1) = t; }
  void SetProgressVisible(bool v) override { barVisible = v; }
  void SetProgress(int p) override { bar.push_back(p); }
  void SetRemainingText(const std::string&) override {}
  void ShowWindow() override { shown = true; }
  void HideWindow() override { shown = false; }
  std::string caption;
  std::vector<std::string> lines = std::vector<std::string>(4);
  bool barVisible = false, shown = false;
  std::vector<int> bar;
};

class StatusDialogTest : public ::testing::Test {
 protected:
  void SetUp() override { SetTickSource([this] { return now; }); }
  void TearDown() override { SetTickSource({}); }
  // The dialog as a long operation prepares it.
  void Start(std::uint32_t total, std::int32_t step) {
    dlg.Init("Scanning", "a", "b", "c", "d", true, true);
    dlg.Total = total;
    dlg.Step = step;
    dlg.RefreshInterval = 500;
    dlg.Show();
  }
  std::uint32_t now = 1000;
  RecordingView view;
  TStatusDialog dlg{&view};
};

TEST_F(StatusDialogTest, InitAndSetTexts) {
  dlg.Init("Cap", "one", "", "three", "four", true, false);
  // Empty arguments keep what is there; the line numbers must not shift.
  dlg.SetTexts("", "", "two", "", "FOUR");
  EXPECT_EQ(view.caption, "Cap");
  EXPECT_EQ(view.lines, (std::vector<std::string>{"one", "two", "three", "FOUR"}));
  dlg.Init("New", "", "", "", "", true, false);  // writes empty lines too
  EXPECT_EQ(view.lines, std::vector<std::string>(4));
}

TEST_F(StatusDialogTest, InitWithoutProgressHidesBarAndKeepsCounters) {
  Start(100, 7);
  dlg.StepIt();
  dlg.StepIt();
  dlg.Init("Next", "", "", "", "", false, false);
  EXPECT_FALSE(view.barVisible);
  EXPECT_EQ(dlg.Position, 14u);
  dlg.Init("Again", "", "", "", "", true, false);
  EXPECT_TRUE(view.barVisible);
  EXPECT_EQ(dlg.Position, 0u);
  EXPECT_EQ(dlg.LastRefreshTick, 0u);
}

TEST_F(StatusDialogTest, StepEveryMillisecondRefreshesTheBarTwiceASecond) {
  Start(100000, 1);
  std::vector<std::uint32_t> refreshTicks;
  for (; now < 3000; ++now) {
    const std::size_t before = view.bar.size();
    dlg.StepIt();
    if (view.bar.size() == before) continue;
    refreshTicks.push_back(now);
    EXPECT_TRUE(dlg.IsRefreshDue());  // once after each bar refresh
    EXPECT_FALSE(dlg.IsRefreshDue());
  }
  EXPECT_EQ(refreshTicks, (std::vector<std::uint32_t>{1000, 1501, 2002, 2503}));
}

// The usual loop asks IsRefreshDue before each unit and steps after it; the
// text refresh must not use up the slot the bar and the estimate wait for.
TEST_F(StatusDialogTest, UsualLoopKeepsBarAndEstimateMoving) {
  Start(20000, 1);
  int textRefreshes = 0;
  for (; now < 11000; ++now) {
    textRefreshes += dlg.IsRefreshDue();
    dlg.StepIt();
  }
  EXPECT_GE(view.bar.size(), 19u);
  EXPECT_GE(view.bar.back(), 45);
  EXPECT_GE(textRefreshes, 19);
  EXPECT_LE(textRefreshes, 60);
  EXPECT_FALSE(dlg.Label5().empty());
}

TEST_F(StatusDialogTest, BarRoundsHalfToEvenAndStaysInRange) {
  Start(8, 1);
  dlg.StepIt();
  EXPECT_EQ(dlg.ProgressPercent(), 12);  // 12.5
  dlg.Position = 4;
  now += 1000;
  dlg.StepIt();
  EXPECT_EQ(dlg.ProgressPercent(), 62);  // 62.5
  dlg.Position = 500;
  now += 1000;
  dlg.StepIt();
  EXPECT_EQ(dlg.ProgressPercent(), 100);
  dlg.Total = 0;
  now += 1000;
  dlg.StepIt();
  EXPECT_EQ(dlg.ProgressPercent(), 0);
  // 512 ms later across the wrap of the tick is still a refresh.
  now = 0xFFFFFF00u;
  dlg.StepIt();
  now = 0x100;
  const std::size_t before = view.bar.size();
  dlg.StepIt();
  EXPECT_EQ(view.bar.size(), before + 1);
}

TEST_F(StatusDialogTest, RemainingTimeTexts) {
  struct Case {
    std::uint32_t total, position, elapsed;
    const char* text;
  } cases[] = {
      {1000, 250, 30, "剩余时间: 2 分钟"},  // 90 s: 1.5 min rounds up to the even 2
      {1000, 250, 50, "剩余时间: 2 分钟"},  // 150 s: 2.5 min rounds down to the even 2
      {200, 100, 60, "剩余时间: 60 秒"},    // exactly a minute is still seconds
      {200, 100, 61, "剩余时间: 1 分钟"},
      {100, 200, 30, "剩余时间: 0 秒"},     // stepped past Total: nothing left
      {5, 2, 1, "剩余时间: 1 秒"},          // 2.5 s in all rounds to 2, minus 1
  };
  for (const Case& c : cases) {
    dlg.Total = c.total;
    dlg.Position = c.position;
    dlg.ElapsedSeconds = c.elapsed;
    dlg.UpdateRemainingTime();
    EXPECT_EQ(dlg.Label5(), c.text) << c.total << "/" << c.position << "/" << c.elapsed;
  }
  dlg.Position = 0;  // nothing done: no estimate, no division by zero
  dlg.UpdateRemainingTime();
  EXPECT_EQ(dlg.Label5(), "剩余时间: 1 秒");
}

TEST_F(StatusDialogTest, EstimateCountsWorkTimeOnly) {
  Start(1000, 100);
  dlg.StepIt();  // the estimate's clock starts at the first refresh
  now = 6000;
  dlg.StepIt();  // exactly 5 s later: not yet
  EXPECT_EQ(dlg.Label5(), "");
  now = 7001;
  dlg.StepIt();  // 6 s for 300 units: 1000/300*6 = 20, minus 6
  EXPECT_EQ(dlg.ElapsedSeconds, 6u);
  EXPECT_EQ(dlg.Label5(), "剩余时间: 14 秒");

  dlg.RestartTimeEstimate();  // a long pause for a question to the user
  now = 300000;
  dlg.StepIt();
  now = 306000;
  dlg.StepIt();
  EXPECT_EQ(dlg.ElapsedSeconds, 12u);

  Start(1000, 100);  // the next operation counts from zero
  EXPECT_EQ(dlg.Label5(), "");
  dlg.StepIt();
  now += 6000;
  dlg.StepIt();
  EXPECT_EQ(dlg.Label5(), "剩余时间: 24 秒");  // 1000/200*6 = 30, minus 6
}

TEST_F(StatusDialogTest, CancelStaysUntilShownAgain) {
  Start(10, 1);
  dlg.CancelBtnClick();
  dlg.Hide();
  EXPECT_FALSE(view.shown);
  EXPECT_TRUE(dlg.Cancelled);  // callers test it after hiding
  dlg.Show();
  EXPECT_TRUE(view.shown);
  EXPECT_FALSE(dlg.Cancelled);
}

}  // namespace
}  // namespace vantrel
