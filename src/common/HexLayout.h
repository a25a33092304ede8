#pragma once
// What a hex view shows and where: lines of address, hex bytes and
// characters laid out in character cells, the first line drawn, the current
// line that the keys and the mouse move, the 65536-step scroll bar, and the
// bytes of each line, read from the stream in aligned blocks as lines are
// drawn. The window only measures the font, paints and passes on input.

#include <array>
#include <cstdint>
#include <string>

namespace vantrel {

// A read-only stream of bytes of a known size.
class IHexSource {
 public:
  virtual ~IHexSource() = default;
  virtual std::int64_t Size() const = 0;
  // Copies up to count bytes from offset on; returns how many it delivered.
  virtual std::uint32_t ReadAt(std::int64_t offset, std::uint8_t* buffer, std::uint32_t count) = 0;
};

class THexLayout {
 public:
  static constexpr int kBlockSize = 2048;
  static constexpr int kMaxBytesPerLine = 16;
  static constexpr int kScrollSteps = 65536;
  static constexpr int kAddressCells = 10;  // "%8xh:" plus a gap

  // How the view has to be redrawn after a move.
  enum TRedraw {
    rdNone,      // nothing moved
    rdLineUp,    // the content moves up one line; only the new last line is drawn
    rdLineDown,  // the content moves down one line; only the new first line is drawn
    rdAll
  };
  enum TScrollCode { scLineUp, scLineDown, scPageUp, scPageDown, scThumb, scOther };
  enum TKey { hkPageUp, hkPageDown, hkEnd, hkHome, hkUp, hkDown, hkOther };

  // Attaches a stream (none detaches); the view starts at the first line.
  void SetStream(IHexSource* stream);
  // Heights and widths measured in the font: LineHeight is the height of
  // "A" + 2, CharWidth the width of "D" + 1.
  void SetFontMetrics(int letterHeight, int letterWidth);
  void SetClientSize(int width, int height);
  void SetShowAddress(bool show);
  void SetShowCharacters(bool show);

  bool HasData() const { return stream_ != nullptr; }
  std::int64_t DataSize() const { return dataSize_; }
  std::int64_t TopLine() const { return topLine_; }
  std::int64_t CurrentLine() const { return currentLine_; }
  std::int64_t LineCount() const { return lineCount_; }
  int VisibleLines() const { return visibleLines_; }
  int BytesPerLine() const { return bytesPerLine_; }
  int LineHeight() const { return lineHeight_; }
  int CharWidth() const { return charWidth_; }
  double ScrollUnit() const { return scrollUnit_; }
  bool ShowAddress() const { return showAddress_; }
  bool ShowCharacters() const { return showCharacters_; }

  // The scroll bar's position (0 to 65535) for the first line drawn.
  int ScrollPosition() const;

  TRedraw SetTopLine(std::int64_t line);
  TRedraw SetCurrentLine(std::int64_t line);
  // A scroll-bar action; thumb is the bar's position for scThumb.
  TRedraw Scroll(TScrollCode code, int thumb = 0);
  TRedraw Key(TKey key);
  // A left click at y pixels below the top of the client area.
  TRedraw Click(int y);

  // Pixel columns: the address column's width, the start of the hex column
  // and of the character column.
  int AddressWidth() const { return showAddress_ ? kAddressCells * charWidth_ : 0; }
  int HexX() const { return AddressWidth(); }
  int CharsX() const { return bytesPerLine_ * 3 * charWidth_ + AddressWidth(); }

  // Bytes shown on a line: BytesPerLine, fewer on a short last line, 0 past the end.
  int BytesOnLine(std::int64_t line) const;
  // The address text of a line: its offset in upper-case hex, right-aligned
  // in 8 places, and "h" (9 characters; longer offsets widen it).
  std::string AddressText(std::int64_t line) const;
  // The bytes of a line into out (room for 16); returns their number.
  // Bytes the stream does not deliver are zeros.
  int LineBytes(std::int64_t line, std::uint8_t* out);
  // Two upper-case hex digits per byte, separated by tabs: 3 × count − 1 characters.
  static std::string HexText(const std::uint8_t* bytes, int count);

  // Blocks read from the stream so far.
  std::uint64_t BlockReads() const { return blockReads_; }

 private:
  void Layout();
  const std::uint8_t* Block(std::int64_t blockStart);

  IHexSource* stream_ = nullptr;
  std::int64_t dataSize_ = 0;
  std::int64_t topLine_ = 0;
  std::int64_t currentLine_ = 0;
  std::int64_t lineCount_ = 0;
  int visibleLines_ = 0;
  int bytesPerLine_ = kMaxBytesPerLine;
  int lineHeight_ = 0;
  int charWidth_ = 0;
  int clientWidth_ = 0;
  int clientHeight_ = 0;
  double scrollUnit_ = 0;
  bool showAddress_ = true;
  bool showCharacters_ = true;

  std::array<std::uint8_t, kBlockSize> block_{};
  std::int64_t blockStart_ = -1;  // offset of the block in block_, -1 for none
  std::uint64_t blockReads_ = 0;
};

}  // namespace vantrel
