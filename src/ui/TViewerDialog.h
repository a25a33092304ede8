#pragma once
// Looking at a file before saving it: its clusters as a hex dump or as text.

#include <QDialog>
#include <cstdint>
#include <memory>
#include <string>

#include "common/HexLayout.h"

class QLabel;
class QPlainTextEdit;
class QStackedWidget;

namespace vantrel {
class TFATdrive;
class TFATStream;
}  // namespace vantrel

namespace vantrel::ui {

class THexDump;

// A file's stream as the hex view reads it.
class TFATStreamSource : public IHexSource {
 public:
  explicit TFATStreamSource(TFATStream& stream) : stream_(stream) {}
  std::int64_t Size() const override;
  std::uint32_t ReadAt(std::int64_t offset, std::uint8_t* buffer, std::uint32_t count) override;

 private:
  TFATStream& stream_;
};

class TViewerDialog : public QDialog {
  Q_OBJECT
 public:
  // The text view shows at most this many bytes of a file.
  static constexpr std::uint32_t kTextLimit = 2u << 20;

  explicit TViewerDialog(QWidget* parent = nullptr);
  ~TViewerDialog() override;

  // Show the file modally in one of the views; the stream lives until the
  // dialog closes. True when it closed with OK (it has no OK button).
  bool ShowHex(TFATdrive& drive, const std::string& name, std::uint8_t fatChoice, std::uint32_t size,
               std::uint32_t startCluster);
  bool ShowText(TFATdrive& drive, const std::string& name, std::uint8_t fatChoice, std::uint32_t size,
                std::uint32_t startCluster);

  // The two halves of ShowHex/ShowText: prepare the view, and free the stream.
  void OpenHex(TFATdrive& drive, const std::string& name, std::uint8_t fatChoice, std::uint32_t size,
               std::uint32_t startCluster);
  void OpenText(TFATdrive& drive, const std::string& name, std::uint8_t fatChoice, std::uint32_t size,
                std::uint32_t startCluster);
  void CloseStream();

  // Text of a file's bytes: UTF-8 when they are, otherwise the code page of
  // short names. A sequence cut off at the end counts as valid.
  static QString DecodeText(const std::string& bytes);

  QStackedWidget* Notebook1 = nullptr;
  QWidget* TextPage = nullptr;
  QPlainTextEdit* RichEdit1 = nullptr;
  QLabel* LabelLimit = nullptr;  // says when a file is shown only in part
  THexDump* Hexdump1 = nullptr;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void NewStream(TFATdrive& drive, std::uint8_t fatChoice, std::uint32_t size, std::uint32_t startCluster);

  std::unique_ptr<TFATStream> stream_;
  std::unique_ptr<TFATStreamSource> source_;
};

}  // namespace vantrel::ui
