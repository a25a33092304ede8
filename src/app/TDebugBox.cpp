#include "app/TDebugBox.h"

namespace vantrel {

TWindowOrigin CornerOrigin(TPositions position, int width, int height, int screenWidth,
                           int screenHeight) {
  switch (position) {
    case poTopLeft: return {0, 0};
    case poBottomLeft: return {0, screenHeight - height};
    case poTopRight: return {screenWidth - width, 0};
    case poBottomRight: return {screenWidth - width, screenHeight - height};
  }
  return {0, 0};
}

void TDebugBox::Add(const std::string& text) {
  if (!TimeStamp) {
    lines_.push_back(text);
    return;
  }
  const std::time_t now = time_ ? time_() : std::time(nullptr);
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &now);
#else
  localtime_r(&now, &local);
#endif
  char stamp[16];
  std::strftime(stamp, sizeof stamp, "%H:%M:%S", &local);
  lines_.push_back(std::string(stamp) + " - " + text);
}

}  // namespace vantrel
