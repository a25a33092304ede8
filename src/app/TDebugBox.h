#pragma once
// The debug window's behaviour without its widgets: the collected lines, the
// optional time stamp and where the window sits for each screen corner. The
// Qt window draws this model; the command line prints its lines.

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "common/DebugLog.h"

namespace vantrel {

enum TPositions { poTopLeft = 0, poBottomLeft = 1, poTopRight = 2, poBottomRight = 3 };

struct TWindowOrigin {
  int Left = 0;
  int Top = 0;
};

// Left and top edge of a window of the given size in a screen corner.
TWindowOrigin CornerOrigin(TPositions position, int width, int height, int screenWidth,
                           int screenHeight);

class TDebugBox : public IDebugSink {
 public:
  std::string Caption = "调试窗口";
  TPositions Position = poTopRight;
  bool Visible = false;
  int Width = 250;
  int Height = 200;
  bool TimeStamp = false;

  void Add(const std::string& text) override;

  const std::vector<std::string>& Lines() const { return lines_; }
  // Index of the selected (last added) line, -1 when empty.
  int Selected() const { return static_cast<int>(lines_.size()) - 1; }

  // Replaces the wall clock that time-stamps lines (tests).
  void SetTimeSource(std::function<std::time_t()> source) { time_ = std::move(source); }

  TWindowOrigin Origin(int screenWidth, int screenHeight) const {
    return CornerOrigin(Position, Width, Height, screenWidth, screenHeight);
  }

 private:
  std::vector<std::string> lines_;
  std::function<std::time_t()> time_;
};

}  // namespace vantrel
