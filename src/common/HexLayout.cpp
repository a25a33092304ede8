#include "common/HexLayout.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace vantrel {

void THexLayout::SetStream(IHexSource* stream) {
  stream_ = stream;
  dataSize_ = stream ? std::max<std::int64_t>(stream->Size(), 0) : 0;
  currentLine_ = 0;
  topLine_ = 0;
  blockStart_ = -1;  // the block in the buffer belonged to the last stream
  Layout();
}

void THexLayout::SetFontMetrics(int letterHeight, int letterWidth) {
  lineHeight_ = letterHeight + 2;
  charWidth_ = letterWidth + 1;
  Layout();
}

void THexLayout::SetClientSize(int width, int height) {
  clientWidth_ = std::max(width, 0);
  clientHeight_ = std::max(height, 0);
  Layout();
}

void THexLayout::SetShowAddress(bool show) {
  if (show == showAddress_) return;
  showAddress_ = show;
  Layout();
}

void THexLayout::SetShowCharacters(bool show) {
  if (show == showCharacters_) return;
  showCharacters_ = show;
  Layout();
}

void THexLayout::Layout() {
  if (lineHeight_ <= 0 || charWidth_ <= 0) return;
  visibleLines_ = clientHeight_ / lineHeight_ + 1;
  int cells = clientWidth_ / charWidth_;
  if (showAddress_) cells -= kAddressCells;
  // Three cells per byte for "XX" and its gap, and one more in the character column.
  bytesPerLine_ = std::clamp(cells / (showCharacters_ ? 4 : 3), 1, kMaxBytesPerLine);
  lineCount_ = dataSize_ / bytesPerLine_ + (dataSize_ % bytesPerLine_ != 0 ? 1 : 0);
  scrollUnit_ = static_cast<double>(lineCount_) / kScrollSteps;
  // Fewer lines after a wider layout: the view stays on lines that exist.
  const std::int64_t last = std::max<std::int64_t>(lineCount_ - 1, 0);
  topLine_ = std::min(topLine_, last);
  currentLine_ = std::min(currentLine_, last);
}

int THexLayout::ScrollPosition() const {
  if (lineCount_ == 0 || scrollUnit_ <= 0) return 0;
  const double position = std::round(static_cast<double>(topLine_) / scrollUnit_);
  return static_cast<int>(std::clamp(position, 0.0, static_cast<double>(kScrollSteps - 1)));
}

THexLayout::TRedraw THexLayout::SetTopLine(std::int64_t line) {
  if (line == topLine_) return rdNone;
  // Without lines there is nowhere to go (and line -1 would be drawn).
  if (lineCount_ == 0) return rdNone;
  line = std::clamp<std::int64_t>(line, 0, lineCount_ - 1);
  const std::int64_t old = topLine_;
  topLine_ = line;
  if (line == old) return rdNone;
  if (line == old + 1) return rdLineUp;
  if (line == old - 1) return rdLineDown;
  return rdAll;
}

THexLayout::TRedraw THexLayout::SetCurrentLine(std::int64_t line) {
  if (line == currentLine_ || lineCount_ == 0) return rdNone;
  line = std::clamp<std::int64_t>(line, 0, lineCount_ - 1);
  currentLine_ = line;
  // The last of VisibleLines is only partly on screen: a line there is
  // brought up to the last whole line.
  if (line < topLine_) return SetTopLine(line);
  if (line >= topLine_ + visibleLines_ - 1) return SetTopLine(line - std::max(visibleLines_ - 2, 0));
  return rdNone;
}

THexLayout::TRedraw THexLayout::Scroll(TScrollCode code, int thumb) {
  std::int64_t line = topLine_;
  switch (code) {
    case scLineUp: line -= 1; break;
    case scLineDown: line += 1; break;
    case scPageUp: line -= visibleLines_ - 1; break;
    case scPageDown: line += visibleLines_ - 1; break;
    case scThumb: line = static_cast<std::int64_t>(std::llround(thumb * scrollUnit_)); break;
    case scOther: break;
  }
  return SetTopLine(line);
}

THexLayout::TRedraw THexLayout::Key(TKey key) {
  if (!HasData()) return rdNone;
  switch (key) {
    case hkPageUp: return SetCurrentLine(currentLine_ - visibleLines_);
    case hkPageDown: return SetCurrentLine(currentLine_ + visibleLines_);
    case hkEnd: return SetCurrentLine(lineCount_ - 1);
    case hkHome: return SetCurrentLine(0);
    case hkUp: return SetCurrentLine(currentLine_ - 1);
    case hkDown: return SetCurrentLine(currentLine_ + 1);
    case hkOther: break;
  }
  return rdNone;
}

THexLayout::TRedraw THexLayout::Click(int y) {
  if (!HasData() || lineHeight_ <= 0 || y < 0) return rdNone;
  return SetCurrentLine(y / lineHeight_ + topLine_);
}

int THexLayout::BytesOnLine(std::int64_t line) const {
  if (line < 0 || line >= lineCount_) return 0;
  const int rest = static_cast<int>(dataSize_ % bytesPerLine_);
  return line == lineCount_ - 1 && rest != 0 ? rest : bytesPerLine_;
}

std::string THexLayout::AddressText(std::int64_t line) const {
  char text[24];
  std::snprintf(text, sizeof text, "%8llXh", static_cast<unsigned long long>(line * bytesPerLine_));
  return text;
}

const std::uint8_t* THexLayout::Block(std::int64_t blockStart) {
  if (blockStart != blockStart_) {
    // Cleared first: what the stream does not deliver shows as zeros.
    block_.fill(0);
    blockStart_ = blockStart;
    ++blockReads_;
    const std::int64_t available = std::min<std::int64_t>(kBlockSize, dataSize_ - blockStart);
    if (stream_ && available > 0) stream_->ReadAt(blockStart, block_.data(), static_cast<std::uint32_t>(available));
  }
  return block_.data();
}

int THexLayout::LineBytes(std::int64_t line, std::uint8_t* out) {
  const int count = BytesOnLine(line);
  std::int64_t offset = line * bytesPerLine_;
  int done = 0;
  // A line may straddle two blocks.
  while (done < count) {
    const std::int64_t start = offset - offset % kBlockSize;
    const int inBlock = static_cast<int>(offset - start);
    const int take = std::min(count - done, kBlockSize - inBlock);
    std::memcpy(out + done, Block(start) + inBlock, static_cast<std::size_t>(take));
    done += take;
    offset += take;
  }
  return count;
}

std::string THexLayout::HexText(const std::uint8_t* bytes, int count) {
  static const char digits[] = "0123456789ABCDEF";
  std::string text;
  for (int i = 0; i < count; ++i) {
    if (i > 0) text += '\t';
    text += digits[bytes[i] >> 4];
    text += digits[bytes[i] & 0x0F];
  }
  return text;
}

}  // namespace vantrel
