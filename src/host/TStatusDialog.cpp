#include "host/TStatusDialog.h"

#include <cmath>

#include "common/Clock.h"

namespace vantrel {
namespace {
// Nearest integer, halves to the even neighbour (the default rounding mode).
double RoundEven(double x) { return std::nearbyint(x); }
}  // namespace

void TStatusDialog::SetView(IStatusView* view) {
  view_ = view;
  if (!view_) return;
  view_->SetCaption(caption_);
  for (int i = 0; i < 4; ++i) view_->SetLine(i + 1, lines_[i]);
  view_->SetProgressVisible(progressVisible_);
  view_->SetProgress(percent_);
  view_->SetRemainingText(label5_);
  if (visible_) view_->ShowWindow();
  else view_->HideWindow();
}

void TStatusDialog::Init(const std::string& caption, const std::string& line1,
                         const std::string& line2, const std::string& line3,
                         const std::string& line4, bool showProgress, bool showRemainingTime) {
  if (showProgress) {
    SetLabel5("");
    percent_ = 0;
    progressVisible_ = true;
    if (view_) {
      view_->SetProgress(0);
      view_->SetProgressVisible(true);
    }
    Position = 0;
    LastRefreshTick = 0;
    barTick_ = 0;
    EstimateTick = 0;
    ElapsedSeconds = 0;
    ForceRefresh = true;
  } else {
    progressVisible_ = false;
    if (view_) view_->SetProgressVisible(false);
  }
  ShowRemaining = showRemainingTime;
  caption_ = caption;
  if (view_) view_->SetCaption(caption_);
  const std::string* lines[4] = {&line1, &line2, &line3, &line4};
  for (int i = 0; i < 4; ++i) {
    lines_[i] = *lines[i];
    if (view_) view_->SetLine(i + 1, lines_[i]);
  }
}

void TStatusDialog::SetTexts(const std::string& caption, const std::string& line1,
                             const std::string& line2, const std::string& line3,
                             const std::string& line4) {
  if (!caption.empty()) {
    caption_ = caption;
    if (view_) view_->SetCaption(caption_);
  }
  const std::string* lines[4] = {&line1, &line2, &line3, &line4};
  for (int i = 0; i < 4; ++i) {
    if (lines[i]->empty()) continue;
    lines_[i] = *lines[i];
    if (view_) view_->SetLine(i + 1, lines_[i]);
  }
}

// The tick wraps at 2^32 after about 49 days; the difference in unsigned
// arithmetic stays right across the wrap.
bool TStatusDialog::IntervalPassed(std::uint32_t since, std::uint32_t tick) const {
  return since == 0 || static_cast<std::uint32_t>(tick - since) > RefreshInterval;
}

bool TStatusDialog::IsRefreshDue() {
  if (ForceRefresh) {
    ForceRefresh = false;
    return true;
  }
  const std::uint32_t tick = GetTickCount();
  if (!IntervalPassed(LastRefreshTick, tick)) return false;
  LastRefreshTick = tick;
  return true;
}

void TStatusDialog::StepIt() {
  Position += static_cast<std::uint64_t>(Step);
  const std::uint32_t tick = GetTickCount();
  if (!IntervalPassed(barTick_, tick)) return;

  ForceRefresh = true;
  LastRefreshTick = tick;
  barTick_ = tick;
  // A caller that has not set Total yet gets an empty bar; one that steps
  // past Total gets a full one, as a real progress bar would clamp it.
  int percent = 0;
  if (Total > 0) {
    const double p = RoundEven(static_cast<double>(Position) / Total * 100.0);
    percent = p > 100.0 ? 100 : static_cast<int>(p);
  }
  percent_ = percent;
  if (view_) view_->SetProgress(percent_);

  if (!ShowRemaining) return;
  if (EstimateTick == 0) {
    EstimateTick = tick;  // the estimate's clock starts at the first refresh
  } else if (static_cast<std::uint32_t>(tick - EstimateTick) > 5000) {
    ElapsedSeconds += static_cast<std::uint32_t>(
        RoundEven(static_cast<std::uint32_t>(tick - EstimateTick) / 1000.0));
    EstimateTick = tick;
    UpdateRemainingTime();
  }
}

void TStatusDialog::UpdateRemainingTime() {
  // Nothing done yet tells nothing about the rest.
  if (Position == 0) return;
  const double whole = RoundEven(static_cast<double>(Total) / Position * ElapsedSeconds);
  double remaining = whole - ElapsedSeconds;
  // Past Total the work is overdue rather than ahead of us.
  if (remaining < 0) remaining = 0;
  if (remaining <= 60) {
    SetLabel5("剩余时间: " + std::to_string(static_cast<long long>(remaining)) + " 秒");
  } else {
    SetLabel5("剩余时间: " + std::to_string(static_cast<long long>(RoundEven(remaining / 60))) +
              " 分钟");
  }
}

void TStatusDialog::Show() {
  Cancelled = false;
  visible_ = true;
  if (view_) view_->ShowWindow();
}

void TStatusDialog::Hide() {
  visible_ = false;
  if (view_) view_->HideWindow();
}

const std::string& TStatusDialog::Line(int line) const {
  static const std::string none;
  return line >= 1 && line <= 4 ? lines_[line - 1] : none;
}

void TStatusDialog::SetLabel5(const std::string& text) {
  label5_ = text;
  if (view_) view_->SetRemainingText(label5_);
}

}  // namespace vantrel
