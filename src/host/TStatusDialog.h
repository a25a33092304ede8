#pragma once
// The one progress window of the program, without its widgets: long
// operations (device scan, lost-drive and lost-data search, saving) write up
// to four lines into it, step its bar, let it estimate the remaining time and
// poll its cancel flag between units of work. The window itself is an
// IStatusView drawn by the front end; the command line and the tests read the
// state through the accessors.
//
// Typical use: Init; set Total, Step and RefreshInterval (500); Show; then
// per unit of work: if IsRefreshDue, SetTexts and ProcessMessages; do the
// unit; stop if Cancelled; StepIt. Hide at the end.

#include <array>
#include <cstdint>
#include <string>

namespace vantrel {

class IStatusView {
 public:
  virtual ~IStatusView() = default;
  virtual void SetCaption(const std::string& text) = 0;
  virtual void SetLine(int line /*1..4*/, const std::string& text) = 0;
  virtual void SetProgressVisible(bool visible) = 0;
  virtual void SetProgress(int percent) = 0;
  virtual void SetRemainingText(const std::string& text) = 0;
  virtual void ShowWindow() = 0;
  virtual void HideWindow() = 0;
};

class TStatusDialog {
 public:
  explicit TStatusDialog(IStatusView* view = nullptr) : view_(view) {}

  // The front end may attach its window after the dialog was created; the
  // current state is pushed to it at once.
  void SetView(IStatusView* view);

  std::uint32_t LastRefreshTick = 0;  // tick of the last refresh; 0 = none yet
  std::uint32_t EstimateTick = 0;     // start of the current time slice; 0 = not started
  std::uint32_t ElapsedSeconds = 0;   // seconds of work counted for the estimate
  bool ShowRemaining = false;         // Label5 is kept up to date
  bool ForceRefresh = false;          // the next IsRefreshDue answers true
  bool Cancelled = false;             // Cancel was pressed since the last Show
  // 64 bits: a save counts bytes, and more than 4 GiB is common.
  std::uint64_t Position = 0;         // units done
  std::uint64_t Total = 0;            // units in all
  std::int64_t Step = 0;              // units added by each StepIt
  std::uint32_t RefreshInterval = 0;  // minimum milliseconds between refreshes

  // Prepares the dialog for a new operation. Without ShowProgress the bar is
  // hidden and the counters keep their values.
  void Init(const std::string& caption, const std::string& line1, const std::string& line2,
            const std::string& line3, const std::string& line4, bool showProgress,
            bool showRemainingTime);
  // Every non-empty argument replaces the caption or its line.
  void SetTexts(const std::string& caption, const std::string& line1, const std::string& line2,
                const std::string& line3, const std::string& line4);
  // Whether the caller should rewrite its texts now: at most once per
  // RefreshInterval, and right after every bar refresh.
  bool IsRefreshDue();
  void StepIt();
  void UpdateRemainingTime();
  // Forgets the start of the current time slice, so that a pause (a message
  // box waiting for the user) does not count as work.
  void RestartTimeEstimate() { EstimateTick = 0; }

  void Show();  // clears Cancelled, like showing the window does
  void Hide();
  void CancelBtnClick() { Cancelled = true; }

  const std::string& Caption() const { return caption_; }
  const std::string& Line(int line) const;  // 1..4; anything else reads as empty
  int ProgressPercent() const { return percent_; }
  bool ProgressVisible() const { return progressVisible_; }
  const std::string& Label5() const { return label5_; }
  bool Visible() const { return visible_; }

 private:
  bool IntervalPassed(std::uint32_t since, std::uint32_t tick) const;
  void SetLabel5(const std::string& text);

  IStatusView* view_;
  // Tick of the last bar refresh. Kept apart from LastRefreshTick: in the
  // usual loop IsRefreshDue runs just before StepIt and would otherwise take
  // every slot, leaving the bar and the estimate frozen after the first step.
  std::uint32_t barTick_ = 0;
  std::string caption_;
  std::array<std::string, 4> lines_;
  int percent_ = 0;
  bool progressVisible_ = true;
  std::string label5_;
  bool visible_ = false;
};

}  // namespace vantrel
